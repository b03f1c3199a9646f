// What a station report says, for the person who runs the line: counts of
// units by result, the first-pass yield, failures by kind, units per hour
// of running time and the serials not at the image. Fed one report line at
// a time, so the same tally serves `qvm_cli report` (whole files, read a
// chunk at a time) and the station's counters (the lines of its run). Its
// memory grows with the distinct serials, never with the lines. Torn lines
// and lines that are not records are skipped and counted, never fatal;
// "start" and "run" lines are records but not units. Pure; one thread at a
// time.
#pragma once

#include <cstdint>
#include <map>
#include <unordered_map>
#include <string>
#include <string_view>
#include <vector>

#include "stn_timeline.h"
#include "stn_outcome.h"

// One line of a report as read back. Never throws.
struct StnReportLine {
    enum Kind { kSkipped, kStart, kUnit, kRun, kHalt };
    Kind kind = kSkipped;           // kSkipped: torn, or not a record
    std::string time;               // UTC, ISO 8601, as written (every record)
    // The fields of a unit line; a missing or null one is empty / false.
    bool has_id = false, has_index = false, has_serial = false;
    std::uint64_t id = 0, index = 0;
    std::int64_t serial = 0;
    std::string old_version, new_version, message;
    StnOutcome outcome = StnOutcome::kFailed;
    // The line's "failure"; for a failed line without one, from its detail.
    StnFailure failure = StnFailure::kNone;
    std::uint64_t detail = 0, ms = 0;
    bool recovered = false;
    bool stop = false;              // kRun: "event":"stop" (the station ended)
    bool clock = false;             // kRun: "event":"clock" (its clock jumped); neither: "open"
    std::string utc_offset;         // kRun: the station computer's ("+01:00"); may be empty
    std::string was;                // kRun clock: what the clock showed just before it jumped
    // Who made the unit, for which work order, where (start and unit
    // lines; empty in reports written before they were recorded).
    std::string operator_name, order, station;
    // The line names its order (run and halt lines of older reports do not).
    bool has_order = false;
};
bool operator==(const StnReportLine &a, const StnReportLine &b);
inline bool operator!=(const StnReportLine &a, const StnReportLine &b) { return !(a == b); }

// line without its line end; a trailing '\r' is ignored. Lines of scalar
// members (all the station writes) are read by a byte scan; any other line
// through a full JSON parse, as stn_read_report_line_json does.
StnReportLine stn_read_report_line(std::string_view line);
// The same into *out, whose strings keep their room (a reader's loop).
void stn_read_report_line(std::string_view line, StnReportLine *out);
// The same through nlohmann-json's parse alone: the reference the fast
// path must equal, and its fallback.
StnReportLine stn_read_report_line_json(std::string_view line);

// The kind of a failed unit line written before lines named it: 0xFFFFFFFE
// no answer, 0xFFFFFFFD unverified, 0xFFFFFFFB deadline, 0xFFFFFFFF,
// 0xFFFFFFFC and 0xFFFFFFFA other, any other non-zero code refused; 0 none.
StnFailure stn_failure_of_detail(std::uint64_t detail);

// The figures of a tally that the station's counters show, without its
// per-serial table (cheap to copy at every turn).
struct StnTallyFigures {
    std::uint64_t units = 0, updated = 0, current = 0, failed = 0, interrupted = 0;
    std::uint64_t rejected = 0;
    double first_pass_yield = -1;  // as StnTally::first_pass_yield
    double units_per_hour = -1;    // as StnTally::units_per_hour
};

// Times before this (2000-01-01) cannot be right.
constexpr std::int64_t kStnEarliestMs = 946684800000LL;

// Running time: a run spans from its "run" open line to its stop line, or,
// when the stop line is missing (the station was killed), to its latest
// start or unit line. Start and unit lines outside any run (reports of
// earlier versions) form a run from their first to their latest time. A
// recovered unit line stretches no run: it is written at a later start.
// A run is cut in two where its clock jumped: at a "clock" run line, and
// at any line whose time is before the one before it. A time before 2000
// or more than a day after the reader's clock (set_now) is counted in
// bad_times and used for no time (running, the timeline); its unit still
// counts.
class StnTally {
public:
    std::uint64_t units = 0;          // "unit" lines
    std::uint64_t updated = 0, current = 0, failed = 0, interrupted = 0;
    // Refused by the MES before anything was written: counted apart, no
    // failure, and no pass of its serial (its first pass is its first
    // line of another result).
    std::uint64_t rejected = 0;
    std::uint64_t recovered = 0;      // interrupted lines written at a later start
    // Failed unit lines without a serial: units that failed before their
    // serial was read. Each counts as a unit that failed its first pass.
    std::uint64_t unidentified_failed = 0;
    std::uint64_t skipped_lines = 0;  // torn or not a record
    std::uint64_t failures[kStnFailureKinds] = {};  // by StnFailure
    // Serial -> outcome of its first and of its last unit line, and how
    // many unit lines it has.
    struct SerialResults {
        StnOutcome first, last;
        std::uint64_t lines = 1;
    };
    std::unordered_map<std::int64_t, SerialResults> results;
    std::uint64_t halts = 0;          // "halt" lines: the line stopped itself
    // Start, unit and run lines whose time cannot be right (not used).
    std::uint64_t bad_times = 0;
    // Units and first passes of one work order or one station.
    struct Group {
        std::uint64_t units = 0, updated = 0, current = 0, failed = 0, interrupted = 0;
        std::uint64_t rejected = 0;
        // Serials whose first unit line is here and not "current" (plus
        // unidentified failures), and of those the ones "updated".
        std::uint64_t first_tried = 0, first_passed = 0;
        double first_pass_yield() const {
            return first_tried == 0 ? -1 : static_cast<double>(first_passed) / first_tried;
        }
    };
    std::map<std::string, Group> orders, stations;  // by name ("" for none)
    // Units, first passes and running time over time (running time once
    // a run has ended: end_file() ends the last one).
    StnTimeline timeline;
    // The UTC offsets of the run lines, each once, as first seen.
    std::vector<std::string> utc_offsets;
    // Which unit line of its serial the last unit line added was (1 for
    // its first in the lines read, 2 for its second, ...); 0 for none.
    std::uint64_t attempt = 0;

    // The reader's clock (UTC ms since 1970): later times than a day after
    // it cannot be right. Without it (or when it is before 2000) any time
    // from 2000 on is believed.
    void set_now(std::int64_t now_ms);
    // Only that work order counts: its start and unit lines, and the
    // running time and line stops of its runs. A run line or a halt line
    // names its order; a run of an older report that names none is the
    // order's when the order has units in it.
    void only_order(const std::string &order);

    // Adds one line of a report (without its line end; a trailing '\r' is ignored).
    void feed(std::string_view line);
    // Adds a line already read (stn_read_report_line); false when
    // only_order left it out.
    bool add(const StnReportLine &line);
    // The lines that follow come from another file: the open run ends.
    void end_file() { close_run(); }
    // Of the serials whose first unit line is not "current", plus the
    // unidentified failures, the share whose first unit line is "updated";
    // -1 when there is none.
    double first_pass_yield() const;
    // Milliseconds the station ran (the runs above, summed).
    std::uint64_t running_ms() const;
    // Units per hour of running time; -1 when it ran under a minute.
    double units_per_hour() const;
    StnTallyFigures figures() const;
    // Serials whose last unit line is neither "updated" nor "current", ascending.
    std::vector<std::int64_t> not_at_image() const;

private:
    bool believed(const StnReportLine &r, std::int64_t *at);
    bool segment_counts() const;
    void close_segment();
    void close_run();
    // add() of a run line, a halt line, a unit line.
    void add_run(const StnReportLine &r);
    void add_halt(const StnReportLine &r);
    void add_unit(const StnReportLine &r);
    void set_run_order(const StnReportLine &r);
    void begin_segment(std::int64_t at_ms);
    void activity(std::int64_t at_ms);

    StnReportLine line_;           // feed's, kept for its strings' room
    std::uint64_t closed_ms_ = 0;  // runs that have ended (that count)
    bool in_run_ = false;          // the open segment of a run, from_ms_ .. to_ms_
    std::int64_t from_ms_ = 0, to_ms_ = 0;
    std::int64_t latest_ms_ = INT64_MAX;  // later times cannot be right
    bool filtered_ = false;        // only_order
    std::string filter_;
    bool run_order_known_ = false;  // the open run's order, from its run lines
    std::string run_order_;
    bool segment_units_ = false;   // the open segment has start or unit lines (that count)
    std::uint64_t pending_halts_ = 0;  // its halts naming no order, until it ends
};
