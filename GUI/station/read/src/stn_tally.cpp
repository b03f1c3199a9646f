#include "stn_tally.h"

#include <algorithm>
#include <vector>

#include "stn_fields.h"
#include "stn_text.h"
#include "stn_time.h"

namespace {

bool outcome_of(std::string_view word, StnOutcome *out) {
    for (StnOutcome o : {StnOutcome::kUpdated, StnOutcome::kCurrent, StnOutcome::kFailed,
                         StnOutcome::kInterrupted, StnOutcome::kRejected}) {
        if (word == stn_outcome_name(o)) {
            *out = o;
            return true;
        }
    }
    return false;
}

StnFailure failure_of_word(std::string_view word) {
    for (int k = 1; k < kStnFailureKinds; ++k) {
        if (word == stn_failure_name(static_cast<StnFailure>(k))) return static_cast<StnFailure>(k);
    }
    return StnFailure::kOther;
}

using F = StnLineFields;

// A unit line's members into *r (its kind and time set).
void unit_line(const F &f, StnReportLine *r) {
    r->has_id = f.count(F::kId, &r->id);
    r->has_index = f.count(F::kIndex, &r->index);
    const F::Value &s = f[F::kSerial];
    if (s.kind == F::Value::kNegative) {
        r->serial = s.i;
        r->has_serial = true;
    } else if (s.kind == F::Value::kUnsigned && s.u <= static_cast<std::uint64_t>(INT64_MAX)) {
        r->serial = static_cast<std::int64_t>(s.u);
        r->has_serial = true;
    }
    r->old_version.assign(f.text(F::kOldVersion));
    r->new_version.assign(f.text(F::kNewVersion));
    r->message.assign(f.text(F::kMessage));
    f.count(F::kDetail, &r->detail);
    f.count(F::kMs, &r->ms);
    r->recovered = f[F::kRecovered].kind == F::Value::kTrue;
    const std::string_view failure = f.text(F::kFailure);
    if (!failure.empty()) {
        r->failure = failure_of_word(failure);
    } else if (r->outcome == StnOutcome::kFailed) {
        r->failure = stn_failure_of_detail(r->detail);
        if (r->failure == StnFailure::kNone) r->failure = StnFailure::kOther;
    }
}

// *r reset (its strings keep their room).
void reset(StnReportLine *r) {
    r->kind = StnReportLine::kSkipped;
    r->time.clear();
    r->has_id = r->has_index = r->has_serial = false;
    r->id = r->index = 0;
    r->serial = 0;
    r->old_version.clear();
    r->new_version.clear();
    r->message.clear();
    r->outcome = StnOutcome::kFailed;
    r->failure = StnFailure::kNone;
    r->detail = r->ms = 0;
    r->recovered = r->stop = r->clock = false;
    r->utc_offset.clear();
    r->was.clear();
}

// What the line's members say, into *r.
void report_line(const F &f, StnReportLine *r) {
    reset(r);
    r->operator_name.assign(f.text(F::kOperator));
    r->order.assign(f.text(F::kOrder));
    r->has_order = f[F::kOrder].kind == F::Value::kString;
    r->station.assign(f.text(F::kStation));
    const std::string_view type = f.text(F::kType);
    if (type == "start" || type == "halt") {
        r->kind = type == "start" ? StnReportLine::kStart : StnReportLine::kHalt;
        r->time.assign(f.text(F::kTime));
    } else if (type == "run") {
        const std::string_view event = f.text(F::kEvent);
        if (event != "open" && event != "stop" && event != "clock") return;
        r->kind = StnReportLine::kRun;
        r->time.assign(f.text(F::kTime));
        r->stop = event == "stop";
        r->clock = event == "clock";
        r->utc_offset.assign(f.text(F::kUtcOffset));
        if (r->clock) r->was.assign(f.text(F::kWas));
    } else if (type == "unit" && outcome_of(f.text(F::kResult), &r->outcome)) {
        r->kind = StnReportLine::kUnit;
        r->time.assign(f.text(F::kTime));
        unit_line(f, r);
    }
}

}  // namespace

StnFailure stn_failure_of_detail(std::uint64_t detail) {
    switch (detail) {
    case 0:
        return StnFailure::kNone;
    case 0xFFFFFFFEu:
        return StnFailure::kNoAnswer;
    case 0xFFFFFFFDu:
        return StnFailure::kUnverified;
    case 0xFFFFFFFBu:
        return StnFailure::kDeadline;
    case 0xFFFFFFFFu:
    case 0xFFFFFFFCu:
    case 0xFFFFFFFAu:
        return StnFailure::kOther;
    default:
        return StnFailure::kRefused;
    }
}

StnReportLine stn_read_report_line_json(std::string_view line) {
    StnReportLine r;
    F f;
    if (f.read_parsed(line)) report_line(f, &r);
    return r;
}

void stn_read_report_line(std::string_view line, StnReportLine *out) {
    F f;
    f.read(line);
    report_line(f, out);
}

StnReportLine stn_read_report_line(std::string_view line) {
    StnReportLine r;
    stn_read_report_line(line, &r);
    return r;
}

bool operator==(const StnReportLine &a, const StnReportLine &b) {
    return a.kind == b.kind && a.time == b.time && a.has_id == b.has_id &&
           a.has_index == b.has_index && a.has_serial == b.has_serial && a.id == b.id &&
           a.index == b.index && a.serial == b.serial && a.old_version == b.old_version &&
           a.new_version == b.new_version && a.message == b.message && a.outcome == b.outcome &&
           a.failure == b.failure && a.detail == b.detail && a.ms == b.ms &&
           a.recovered == b.recovered && a.stop == b.stop && a.clock == b.clock &&
           a.utc_offset == b.utc_offset && a.was == b.was &&
           a.operator_name == b.operator_name && a.order == b.order &&
           a.has_order == b.has_order && a.station == b.station;
}

void StnTally::feed(std::string_view line) {
    stn_read_report_line(line, &line_);
    add(line_);
}

void StnTally::set_now(std::int64_t now_ms) {
    // A reader whose own clock is that wrong cannot judge later times.
    if (now_ms >= kStnEarliestMs) latest_ms_ = now_ms + 24 * 3600000LL;
}

void StnTally::only_order(const std::string &order) {
    filtered_ = true;
    filter_ = order;
}

bool StnTally::segment_counts() const {
    if (!filtered_) return true;
    if (run_order_known_) return run_order_ == filter_;
    return segment_units_;
}

void StnTally::close_segment() {
    if (in_run_ && segment_counts()) {
        closed_ms_ += static_cast<std::uint64_t>(to_ms_ - from_ms_);
        timeline.add_running(from_ms_, to_ms_);
        halts += pending_halts_;
    }
    in_run_ = segment_units_ = false;
    pending_halts_ = 0;
}

void StnTally::close_run() {
    close_segment();
    run_order_known_ = false;
    run_order_.clear();
}

void StnTally::set_run_order(const StnReportLine &r) {
    if (!r.has_order) return;
    run_order_known_ = true;
    run_order_ = r.order;
}

void StnTally::begin_segment(std::int64_t at) {
    in_run_ = true;
    from_ms_ = to_ms_ = at;
}

void StnTally::activity(std::int64_t at) {
    // A step back: the clock was set back (or lines were put together out
    // of order); the time before it and the time after it are two runs.
    if (in_run_ && at < to_ms_) close_segment();
    if (!in_run_) begin_segment(at);
    if (at > to_ms_) to_ms_ = at;
    segment_units_ = true;
}

bool StnTally::believed(const StnReportLine &r, std::int64_t *at) {
    if (!stn_utc_ms(r.time, at)) return false;
    if (*at >= kStnEarliestMs && *at <= latest_ms_) return true;
    ++bad_times;
    return false;
}

void StnTally::add_run(const StnReportLine &r) {
    if (!r.utc_offset.empty() && utc_offsets.size() < 16 &&
        std::find(utc_offsets.begin(), utc_offsets.end(), r.utc_offset) == utc_offsets.end()) {
        utc_offsets.push_back(r.utc_offset);
    }
    std::int64_t at = 0;
    const bool timed = believed(r, &at);
    if (r.stop) {
        set_run_order(r);
        if (in_run_ && timed && at > to_ms_) to_ms_ = at;
        close_run();
        return;
    }
    // An open line begins a run; a clock line ends the run's time
    // before the clock jumped and goes on from its time after.
    if (r.clock) {
        // Lines stamped after the jump but before the station saw it
        // carry the new time: the run before it ends where the old
        // clock stood.
        std::int64_t was = 0;
        if (in_run_ && stn_utc_ms(r.was, &was) && was >= from_ms_ && was < to_ms_) {
            to_ms_ = was;
        }
        close_segment();
    } else {
        close_run();
    }
    set_run_order(r);
    if (timed) begin_segment(at);
}

void StnTally::add_halt(const StnReportLine &r) {
    if (!filtered_) {
        ++halts;
    } else if (r.has_order || run_order_known_) {
        if ((r.has_order ? r.order : run_order_) == filter_) ++halts;
    } else if (in_run_) {
        ++pending_halts_;  // the segment's units will say whose it is
    }
}

void StnTally::add_unit(const StnReportLine &r) {
    std::int64_t at = 0;
    const bool timed = believed(r, &at);
    ++units;
    stn_count(r.outcome, updated, current, failed, interrupted, rejected);
    if (r.outcome == StnOutcome::kFailed) ++failures[static_cast<int>(r.failure)];
    if (r.recovered) ++recovered;
    Group *groups[] = {&orders[r.order], &stations[r.station]};
    bool first_pass = false;  // this line is a first pass that counts
    attempt = 0;
    if (r.outcome == StnOutcome::kRejected) {
        // Not a pass: the station did not touch it.
    } else if (r.has_serial) {
        // One small entry per serial: a shift's report holds thousands.
        const auto it = results.emplace(r.serial, SerialResults{r.outcome, r.outcome});
        if (!it.second) {
            it.first->second.last = r.outcome;
            ++it.first->second.lines;
        }
        attempt = it.first->second.lines;
        first_pass = it.second && r.outcome != StnOutcome::kCurrent;
    } else if (r.outcome == StnOutcome::kFailed) {
        ++unidentified_failed;
        first_pass = true;
    }
    for (Group *g : groups) {
        ++g->units;
        stn_count(r.outcome, g->updated, g->current, g->failed, g->interrupted, g->rejected);
        if (first_pass) {
            ++g->first_tried;
            if (r.outcome == StnOutcome::kUpdated) ++g->first_passed;
        }
    }
    if (timed) timeline.add_unit(at, r.outcome, first_pass);
    if (timed && !r.recovered) activity(at);
}

bool StnTally::add(const StnReportLine &r) {
    if (r.kind == StnReportLine::kSkipped) {
        ++skipped_lines;
        return true;
    }
    if (filtered_ && (r.kind == StnReportLine::kUnit || r.kind == StnReportLine::kStart) &&
        r.order != filter_) {
        return false;
    }
    if (r.kind == StnReportLine::kRun) {
        add_run(r);
    } else if (r.kind == StnReportLine::kHalt) {
        add_halt(r);
    } else if (r.kind == StnReportLine::kStart) {
        std::int64_t at = 0;
        if (believed(r, &at)) activity(at);
    } else {
        add_unit(r);
    }
    return true;
}

StnTallyFigures StnTally::figures() const {
    StnTallyFigures f;
    f.units = units;
    f.updated = updated;
    f.current = current;
    f.failed = failed;
    f.interrupted = interrupted;
    f.rejected = rejected;
    f.first_pass_yield = first_pass_yield();
    f.units_per_hour = units_per_hour();
    return f;
}

double StnTally::first_pass_yield() const {
    std::uint64_t tried = unidentified_failed, passed = 0;
    for (const auto &s : results) {
        if (s.second.first == StnOutcome::kCurrent) continue;
        ++tried;
        if (s.second.first == StnOutcome::kUpdated) ++passed;
    }
    return tried == 0 ? -1.0 : static_cast<double>(passed) / static_cast<double>(tried);
}

std::uint64_t StnTally::running_ms() const {
    return closed_ms_ +
           (in_run_ && segment_counts() ? static_cast<std::uint64_t>(to_ms_ - from_ms_) : 0);
}

double StnTally::units_per_hour() const {
    const std::uint64_t ms = running_ms();
    if (ms < 60000) return -1.0;
    return static_cast<double>(units) * 3600000.0 / static_cast<double>(ms);
}

std::vector<std::int64_t> StnTally::not_at_image() const {
    std::vector<std::int64_t> out;
    for (const auto &s : results) {
        if (s.second.last != StnOutcome::kUpdated && s.second.last != StnOutcome::kCurrent) {
            out.push_back(s.first);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}
