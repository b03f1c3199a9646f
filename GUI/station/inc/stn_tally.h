// What a station report says, for the person who runs the line: counts of
// units by result, the first-pass yield, failures by kind, units per hour
// and the serials not at the image. Fed one report line at a time, so the
// same tally serves `qvm_cli report` (whole files) and the station window
// (its report at open, then each new line). Torn lines and lines that are
// not records are skipped and counted, never fatal; "start" lines are
// records but not units. Pure; one thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "stn_unit.h"

// One line of a report as read back (nlohmann-json underneath; never throws).
struct StnReportLine {
    enum Kind { kSkipped, kStart, kUnit };
    Kind kind = kSkipped;           // kSkipped: torn, or not a record
    // The fields of a unit line; a missing or null one is empty / false.
    std::string time;               // UTC, ISO 8601, as written
    bool has_id = false, has_index = false, has_serial = false;
    std::uint64_t id = 0, index = 0;
    std::int64_t serial = 0;
    std::string old_version, new_version, message;
    StnOutcome outcome = StnOutcome::kFailed;
    // The line's "failure"; for a failed line without one, from its detail.
    StnFailure failure = StnFailure::kNone;
    std::uint64_t detail = 0, ms = 0;
    bool recovered = false;
};
// line without its line end; a trailing '\r' is ignored.
StnReportLine stn_read_report_line(const std::string &line);
// The kind of a failed unit line written before lines named it: 0xFFFFFFFE
// no answer, 0xFFFFFFFD unverified, 0xFFFFFFFB deadline, 0xFFFFFFFF,
// 0xFFFFFFFC and 0xFFFFFFFA other, any other non-zero code refused; 0 none.
StnFailure stn_failure_of_detail(std::uint64_t detail);

// The figures of a tally that the station's counters show, without its
// per-serial table (cheap to copy at every turn).
struct StnTallyFigures {
    std::uint64_t units = 0, updated = 0, current = 0, failed = 0, interrupted = 0;
    double first_pass_yield = -1;  // as StnTally::first_pass_yield
    double units_per_hour = -1;    // as StnTally::units_per_hour
};

struct StnTally {
    std::uint64_t units = 0;          // "unit" lines
    std::uint64_t updated = 0, current = 0, failed = 0, interrupted = 0;
    std::uint64_t recovered = 0;      // interrupted lines written at a later start
    std::uint64_t skipped_lines = 0;  // torn or not a record
    std::uint64_t failures[kStnFailureKinds] = {};  // by StnFailure
    // Serial -> outcome of its first and of its last unit line.
    struct SerialResults {
        StnOutcome first, last;
    };
    std::map<std::int64_t, SerialResults> results;
    std::string first_time, last_time;  // ISO 8601 of the earliest / latest unit line

    // Adds one line of a report (without its line end; a trailing '\r' is ignored).
    void feed(const std::string &line);
    // Adds a line already read (stn_read_report_line).
    void add(const StnReportLine &line);
    // Of the serials whose first unit line is not "current", the share whose
    // first unit line is "updated"; -1 when there is none.
    double first_pass_yield() const;
    // Units over the time between the first and the last unit line, per
    // hour; -1 when that span is under a minute.
    double units_per_hour() const;
    StnTallyFigures figures() const;
    // Serials whose last unit line is neither "updated" nor "current", ascending.
    std::vector<std::int64_t> not_at_image() const;
};
