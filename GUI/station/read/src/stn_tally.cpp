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

std::uint32_t StnTally::Groups::of(const std::string &name) {
    if (last != UINT32_MAX && names[last] == name) return last;
    const auto it = index.emplace(name, static_cast<std::uint32_t>(names.size()));
    if (it.second) {
        names.push_back(name);
        figures.emplace_back();
    }
    last = it.first->second;
    return last;
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
    filter_.by_order = true;
    filter_.order = order;
}

void StnTally::filter(const StnFigureFilter &filter) { filter_ = filter; }

void StnTally::begin_file(const std::string &report_id) {
    end_file();
    // The same report read twice keeps its one identity.
    const auto it = std::find(reports_.begin(), reports_.end(), report_id);
    report_ = static_cast<std::uint32_t>(it - reports_.begin());
    if (it == reports_.end()) reports_.push_back(report_id);
    line_no_ = 0;
}

void StnTally::end_file() {
    close_run();
    file_station_.clear();
}

void StnTally::skip_line() {
    if (line_no_ != UINT32_MAX) ++line_no_;
    ++skipped_lines;
}

bool StnTally::before(const Key &a, const Key &b) const {
    if (a.at != b.at) return a.at < b.at;
    if (a.report != b.report) {
        const int c = reports_[a.report].compare(reports_[b.report]);
        if (c != 0) return c < 0;
    }
    return a.line < b.line;
}

void StnTally::count_first(StnOutcome outcome, int sign) {
    if (outcome == StnOutcome::kCurrent) return;
    tried_ += static_cast<std::uint64_t>(sign);
    if (outcome == StnOutcome::kUpdated) passed_ += static_cast<std::uint64_t>(sign);
}

bool StnTally::in_window(bool timed, std::int64_t at) const {
    if (!filter_.windowed()) return true;
    return timed && at >= filter_.from_ms && at < filter_.to_ms;
}

bool StnTally::station_kept(const std::string &station) const {
    return filter_.stations.empty() ||
           std::find(filter_.stations.begin(), filter_.stations.end(), station) !=
               filter_.stations.end();
}

const std::string &StnTally::station_of(const StnReportLine &r) const {
    return r.station.empty() ? file_station_ : r.station;
}

bool StnTally::segment_counts() const {
    // A run whose lines name no order (or station) is the one of its units.
    if (filter_.by_order &&
        !(run_order_known_ ? run_order_ == filter_.order : segment_units_)) {
        return false;
    }
    if (!filter_.stations.empty() &&
        !(run_station_known_ ? station_kept(run_station_) : segment_units_)) {
        return false;
    }
    return true;
}

namespace {

// [from, to) cut to the window; false when nothing of it is inside.
bool clip(const StnFigureFilter &w, std::int64_t *from, std::int64_t *to) {
    *from = std::max(*from, w.from_ms);
    *to = std::min(*to, w.to_ms);
    return *from < *to;
}

}  // namespace

void StnTally::close_segment() {
    std::int64_t from = from_ms_, to = to_ms_;
    if (in_run_ && segment_counts() && clip(filter_, &from, &to)) {
        closed_ms_ += static_cast<std::uint64_t>(to - from);
        timeline_.add_running(from, to);
    }
    if (in_run_ && segment_counts()) halts += pending_halts_;
    in_run_ = segment_units_ = false;
    pending_halts_ = 0;
}

void StnTally::close_run() {
    close_segment();
    run_order_known_ = run_station_known_ = false;
    run_order_.clear();
    run_station_.clear();
}

void StnTally::set_run_order(const StnReportLine &r) {
    const std::string &station = station_of(r);
    if (!station.empty()) {
        run_station_known_ = true;
        run_station_ = station;
    }
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

void StnTally::add_offset(const std::string &offset, std::int64_t at) {
    // The 16 earliest offsets, each at its earliest line.
    for (auto &o : offsets_) {
        if (o.first != offset) continue;
        o.second = std::min(o.second, at);
        return;
    }
    if (offsets_.size() < 16) {
        offsets_.emplace_back(offset, at);
        return;
    }
    const auto latest = std::max_element(
        offsets_.begin(), offsets_.end(),
        [](const auto &a, const auto &b) { return a.second < b.second; });
    if (at < latest->second) *latest = std::make_pair(offset, at);
}

void StnTally::add_run(const StnReportLine &r) {
    std::int64_t at = 0;
    const bool timed = believed(r, &at);
    if (!r.utc_offset.empty() && station_kept(station_of(r))) {
        add_offset(r.utc_offset, timed ? at : kUntimed);
    }
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

bool StnTally::add_halt(const StnReportLine &r) {
    // A time that cannot be right is in no window (and, as before, not
    // counted among bad_times: a halt line is no time of the runs).
    std::int64_t at = 0;
    const bool timed = stn_utc_ms(r.time, &at) && at >= kStnEarliestMs && at <= latest_ms_;
    if (!in_window(timed, at)) return false;
    if (!filter_.by_order) {
        ++halts;
    } else if (r.has_order || run_order_known_) {
        if ((r.has_order ? r.order : run_order_) == filter_.order) ++halts;
    } else if (in_run_) {
        ++pending_halts_;  // the segment's units will say whose it is
    }
    return true;
}

bool StnTally::add_unit(const StnReportLine &r) {
    std::int64_t at = 0;
    const bool timed = believed(r, &at);
    // Outside the window a unit counts nowhere, but its run went on.
    if (timed && !r.recovered) activity(at);
    if (!in_window(timed, at)) return false;
    ++units;
    stn_count(r.outcome, updated, current, failed, interrupted, rejected);
    if (r.outcome == StnOutcome::kFailed) ++failures[static_cast<int>(r.failure)];
    if (r.recovered) ++recovered;
    const std::uint32_t order = orders_.of(r.order), station = stations_.of(station_of(r));
    bool first_pass = false;  // an unidentified failure: a first pass at its line
    attempt = 0;
    if (r.outcome == StnOutcome::kRejected) {
        // Not a pass: the station did not touch it.
    } else if (r.has_serial) {
        const Key key{timed ? at : kUntimed, report_, line_no_};
        const auto it = results.emplace(r.serial, SerialResults());
        SerialResults &s = it.first->second;
        if (it.second) {
            s.first = s.last = r.outcome;
            s.first_at = s.last_at = key.at;
            s.first_report = s.last_report = key.report;
            s.first_line = s.last_line = key.line;
            s.first_order = order;
            s.first_station = station;
            count_first(r.outcome, 1);
        } else {
            if (s.lines != UINT32_MAX) ++s.lines;
            if (before(key, Key{s.first_at, s.first_report, s.first_line})) {
                count_first(s.first, -1);
                s.first = r.outcome;
                s.first_at = key.at;
                s.first_report = key.report;
                s.first_line = key.line;
                s.first_order = order;
                s.first_station = station;
                count_first(r.outcome, 1);
            }
            if (before(Key{s.last_at, s.last_report, s.last_line}, key)) {
                s.last = r.outcome;
                s.last_at = key.at;
                s.last_report = key.report;
                s.last_line = key.line;
            }
        }
        attempt = s.lines;
    } else if (r.outcome == StnOutcome::kFailed) {
        ++unidentified_failed;
        first_pass = true;
    }
    for (StnGroupFigures *g : {&orders_.figures[order], &stations_.figures[station]}) {
        ++g->units;
        stn_count(r.outcome, g->updated, g->current, g->failed, g->interrupted, g->rejected);
        if (first_pass) ++g->first_tried;
    }
    if (timed) timeline_.add_unit(at, r.outcome, first_pass);
    return true;
}

bool StnTally::add(const StnReportLine &r) {
    if (line_no_ != UINT32_MAX) ++line_no_;
    if (r.kind == StnReportLine::kSkipped) {
        ++skipped_lines;
        return true;
    }
    // A line without a station is its report's: the first it named.
    if (file_station_.empty() && !r.station.empty()) file_station_ = r.station;
    if (r.kind != StnReportLine::kRun && !station_kept(station_of(r))) return false;
    if (filter_.by_order && (r.kind == StnReportLine::kUnit || r.kind == StnReportLine::kStart) &&
        r.order != filter_.order) {
        return false;
    }
    if (r.kind == StnReportLine::kRun) {
        // Another station's run: none of its time counts (its open line
        // still ends the run before it).
        add_run(r);
        return station_kept(station_of(r));
    }
    if (r.kind == StnReportLine::kHalt) return add_halt(r);
    if (r.kind == StnReportLine::kStart) {
        // Shapes the runs, in the window or not.
        std::int64_t at = 0;
        if (believed(r, &at)) activity(at);
        return true;
    }
    return add_unit(r);
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
    const std::uint64_t tried = tried_ + unidentified_failed;
    return tried == 0 ? -1.0 : static_cast<double>(passed_) / static_cast<double>(tried);
}

std::uint64_t StnTally::running_ms() const {
    std::int64_t from = from_ms_, to = to_ms_;
    const bool open = in_run_ && segment_counts() && clip(filter_, &from, &to);
    return closed_ms_ + (open ? static_cast<std::uint64_t>(to - from) : 0);
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

StnFigures StnTally::summary() const {
    StnFigures f;
    f.units = units;
    f.updated = updated;
    f.current = current;
    f.failed = failed;
    f.interrupted = interrupted;
    f.rejected = rejected;
    f.recovered = recovered;
    f.unidentified_failed = unidentified_failed;
    std::copy(std::begin(failures), std::end(failures), std::begin(f.failures));
    f.first_tried = tried_ + unidentified_failed;
    f.first_passed = passed_;
    f.running_ms = running_ms();
    f.halts = halts;
    f.bad_times = bad_times;
    f.skipped_lines = skipped_lines;
    f.not_at_image = not_at_image();
    std::vector<StnGroupFigures> orders = orders_.figures, stations = stations_.figures;
    f.timeline = timeline_;
    // The running time of the run still open (a report still being written).
    std::int64_t from = from_ms_, to = to_ms_;
    if (in_run_ && segment_counts() && clip(filter_, &from, &to)) f.timeline.add_running(from, to);
    // Each serial's first pass where it stands in time.
    for (const auto &e : results) {
        const SerialResults &s = e.second;
        if (s.first == StnOutcome::kCurrent) continue;
        const bool passed = s.first == StnOutcome::kUpdated;
        for (StnGroupFigures *g : {&orders[s.first_order], &stations[s.first_station]}) {
            ++g->first_tried;
            if (passed) ++g->first_passed;
        }
        if (s.first_at != kUntimed) {
            StnTimeline::Slot slot;
            slot.first_tried = 1;
            slot.first_passed = passed ? 1 : 0;
            f.timeline.add_slot(s.first_at, slot);
        }
    }
    for (std::size_t i = 0; i < orders.size(); ++i) f.orders[orders_.names[i]] = orders[i];
    for (std::size_t i = 0; i < stations.size(); ++i) f.stations[stations_.names[i]] = stations[i];
    // The zone first: the offset of the earliest run line.
    std::vector<std::pair<std::string, std::int64_t>> offsets = offsets_;
    std::stable_sort(offsets.begin(), offsets.end(),
                     [](const auto &a, const auto &b) { return a.second < b.second; });
    for (const auto &o : offsets) f.utc_offsets.push_back(o.first);
    return f;
}
