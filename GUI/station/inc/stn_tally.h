// What a station report says, for the person who runs the line: counts of
// units by result, the first-pass yield, failures by kind, units per hour
// and the serials not at the image. Fed one report line at a time, so the
// same tally serves `qvm_cli report` (whole files) and the station window
// (its report at open, then each new line). Torn lines and lines that are
// not records are skipped and counted, never fatal. Pure; one thread at a
// time.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "stn_unit.h"

struct StnTally {
    std::uint64_t units = 0;          // "unit" lines
    std::uint64_t updated = 0, current = 0, failed = 0, interrupted = 0;
    std::uint64_t recovered = 0;      // interrupted lines written at a later start
    std::uint64_t skipped_lines = 0;  // torn or not a record
    std::uint64_t failures[kStnFailureKinds] = {};  // by StnFailure
    // Serial -> result of its first and of its last unit line.
    std::map<std::int64_t, std::string> first_result, last_result;
    std::string first_time, last_time;  // ISO 8601 of the earliest / latest unit line

    // Adds one line of a report (without its line end; a trailing '\r' is ignored).
    void feed(const std::string &line);
    // Of the serials whose first unit line is not "current", the share whose
    // first unit line is "updated"; -1 when there is none.
    double first_pass_yield() const;
    // Units over the time between the first and the last unit line, per
    // hour; -1 when that span is under a minute.
    double units_per_hour() const;
    // Serials whose last unit line is neither "updated" nor "current", ascending.
    std::vector<std::int64_t> not_at_image() const;
};
