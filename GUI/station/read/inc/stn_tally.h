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
#include <utility>
#include <vector>

#include "stn_figures.h"
#include "stn_outcome.h"
#include "stn_timeline.h"

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
// counts (but in no window: filter()).
//
// A serial's first pass and last line are decided by time across every
// file read, whatever their order (stn_figures.h): each serial's entry
// keeps the place of both, and summary() hands the first passes to their
// work order, station and quarter hour at the end.
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
    // Serial -> its first pass and its last line (by time, then report,
    // then line: stn_figures.h), and how many unit lines it has. Small:
    // a shift's report holds thousands, a line's history millions.
    struct SerialResults {
        StnOutcome first = StnOutcome::kUpdated, last = StnOutcome::kUpdated;
        std::uint32_t lines = 1;
        // Where they stand: believed time (kUntimed: none), the report
        // (an index into the reports read) and the line in it (from 1).
        std::int64_t first_at = 0, last_at = 0;
        std::uint32_t first_report = 0, last_report = 0, first_line = 0, last_line = 0;
        // The work order and station of the first pass (indices into the
        // tally's tables of names).
        std::uint32_t first_order = 0, first_station = 0;
    };
    static constexpr std::int64_t kUntimed = INT64_MAX;  // after every believed time
    std::unordered_map<std::int64_t, SerialResults> results;
    std::uint64_t halts = 0;          // "halt" lines: the line stopped itself
    // Start, unit and run lines whose time cannot be right (not used), of
    // the stations and work order kept, whatever the window.
    std::uint64_t bad_times = 0;
    // Which unit line of its serial the last unit line added was, in the
    // order read (1 for its first, 2 for its second, ...); 0 for none.
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
    // Only the lines the filter keeps count (stn_figures.h says how);
    // before the first line.
    void filter(const StnFigureFilter &filter);

    // The lines that follow are one report's, whose identity is report_id
    // (stn_figures.h); they are numbered from 1. The open run ends. The
    // station's own tally (one report) needs no call.
    void begin_file(const std::string &report_id);
    // Adds one line of a report (without its line end; a trailing '\r' is ignored).
    void feed(std::string_view line);
    // Adds a line already read (stn_read_report_line); false when a
    // filter left it out (or, outside the window, kept it only for the
    // runs it shapes).
    bool add(const StnReportLine &line);
    // A line not read (torn, or longer than any record): skipped, and
    // numbered as a line of its report.
    void skip_line();
    // The lines that follow come from another file: the open run ends.
    void end_file();
    // Of the serials whose first pass is not "current", plus the
    // unidentified failures, the share whose first pass is "updated";
    // -1 when there is none. Kept as lines come: cheap at every turn.
    double first_pass_yield() const;
    // Milliseconds the station ran (the runs above, summed; inside the
    // window when there is one).
    std::uint64_t running_ms() const;
    // Units per hour of running time; -1 when it ran under a minute.
    double units_per_hour() const;
    StnTallyFigures figures() const;
    // Serials whose last unit line is neither "updated" nor "current", ascending.
    std::vector<std::int64_t> not_at_image() const;
    // Every figure, the first passes given to their groups and quarter
    // hours (O(serials): for a report, not for every turn).
    StnFigures summary() const;

private:
    // Names (work orders, stations) and their groups' counts.
    struct Groups {
        std::vector<std::string> names;
        std::vector<StnGroupFigures> figures;
        std::unordered_map<std::string, std::uint32_t> index;
        std::uint32_t last = UINT32_MAX;  // the last one asked for: lines repeat it
        std::uint32_t of(const std::string &name);
    };
    struct Key {
        std::int64_t at;
        std::uint32_t report, line;
    };
    bool before(const Key &a, const Key &b) const;
    void count_first(StnOutcome outcome, int sign);
    bool believed(const StnReportLine &r, std::int64_t *at);
    bool in_window(bool timed, std::int64_t at) const;
    bool station_kept(const std::string &station) const;
    const std::string &station_of(const StnReportLine &r) const;
    bool segment_counts() const;
    void close_segment();
    void close_run();
    // add() of a run line, a halt line, a unit line.
    void add_run(const StnReportLine &r);
    bool add_halt(const StnReportLine &r);
    bool add_unit(const StnReportLine &r);
    void add_offset(const std::string &offset, std::int64_t at);
    void set_run_order(const StnReportLine &r);
    void begin_segment(std::int64_t at_ms);
    void activity(std::int64_t at_ms);

    StnReportLine line_;           // feed's, kept for its strings' room
    Groups orders_, stations_;
    StnTimeline timeline_;         // units, unidentified failures, running time
    std::uint64_t tried_ = 0, passed_ = 0;  // first passes of serials, not "current"
    // The UTC offsets of the run lines, each once with its earliest
    // believed time (kUntimed: none), the 16 earliest.
    std::vector<std::pair<std::string, std::int64_t>> offsets_;
    std::vector<std::string> reports_{std::string()};  // the reports' identities
    std::uint32_t report_ = 0;     // the report being read
    std::uint32_t line_no_ = 0;    // its line being read (from 1)
    std::string file_station_;     // the first station its lines named
    std::uint64_t closed_ms_ = 0;  // runs that have ended (that count)
    bool in_run_ = false;          // the open segment of a run, from_ms_ .. to_ms_
    std::int64_t from_ms_ = 0, to_ms_ = 0;
    std::int64_t latest_ms_ = INT64_MAX;  // later times cannot be right
    StnFigureFilter filter_;
    bool run_order_known_ = false;  // the open run's order, from its run lines
    std::string run_order_;
    bool run_station_known_ = false;  // the open run's station, from its run lines
    std::string run_station_;
    bool segment_units_ = false;   // the open segment has start or unit lines (that count)
    std::uint64_t pending_halts_ = 0;  // its halts naming no order, until it ends
};
