#include "stn_tally.h"

#include <algorithm>
#include <vector>

#include <nlohmann/json.hpp>

#include "stn_json.h"
#include "stn_text.h"
#include "stn_time.h"

namespace {

using Json = nlohmann::json;

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

// The members a report line is read by, as the last one of each name left
// them, whichever parse found them. Texts stay views of the line unless
// they had to be decoded.
class Fields : public StnJsonMembers {
public:
    enum Key {
        kType, kTime, kId, kIndex, kSerial, kOldVersion, kNewVersion, kResult, kFailure,
        kMessage, kDetail, kMs, kRecovered, kEvent, kOperator, kOrder, kStation, kUtcOffset,
        kWas, kKeys
    };
    struct Value {
        enum Kind { kAbsent, kOther, kString, kUnsigned, kNegative, kTrue } kind = kAbsent;
        std::string_view text;
        std::string own;  // text when it is not a view of the line
        std::uint64_t u = 0;
        std::int64_t i = 0;
    };

    explicit Fields(std::string_view line) : line_(line) {}

    void member(std::string_view key, const StnJsonScalar &s) override {
        const int k = key_of(key);
        if (k < 0) return;
        Value &v = values_[k];
        switch (s.kind) {
        case StnJsonScalar::kString:
            v.kind = Value::kString;
            if (s.text.data() >= line_.data() && s.text.data() <= line_.data() + line_.size()) {
                v.text = s.text;
            } else {
                v.own.assign(s.text.data(), s.text.size());
                v.text = v.own;
            }
            break;
        case StnJsonScalar::kUnsigned:
            v.kind = Value::kUnsigned;
            v.u = s.u;
            break;
        case StnJsonScalar::kNegative:
            v.kind = Value::kNegative;
            v.i = s.i;
            break;
        case StnJsonScalar::kTrue:
            v.kind = Value::kTrue;
            break;
        default:
            v.kind = Value::kOther;
            break;
        }
    }

    void from_json(const Json &obj) {
        for (auto it = obj.begin(); it != obj.end(); ++it) {
            const int k = key_of(it.key());
            if (k < 0) continue;
            Value &v = values_[k];
            const Json &j = it.value();
            if (j.is_string()) {
                v.kind = Value::kString;
                v.own = j.get<std::string>();
                v.text = v.own;
            } else if (j.is_number_unsigned()) {
                v.kind = Value::kUnsigned;
                v.u = j.get<std::uint64_t>();
            } else if (j.is_number_integer()) {
                v.kind = Value::kNegative;
                v.i = j.get<std::int64_t>();
            } else if (j.is_boolean() && j.get<bool>()) {
                v.kind = Value::kTrue;
            } else {
                v.kind = Value::kOther;
            }
        }
    }

    // *r reset, then filled (its strings keep their room).
    void line(StnReportLine *r) const {
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
        r->operator_name.assign(text(kOperator));
        r->order.assign(text(kOrder));
        r->has_order = values_[kOrder].kind == Value::kString;
        r->station.assign(text(kStation));

        const std::string_view type = text(kType);
        if (type == "start") {
            r->kind = StnReportLine::kStart;
            r->time.assign(text(kTime));
            return;
        }
        if (type == "halt") {
            r->kind = StnReportLine::kHalt;
            r->time.assign(text(kTime));
            return;
        }
        if (type == "run") {
            const std::string_view event = text(kEvent);
            if (event != "open" && event != "stop" && event != "clock") return;
            r->kind = StnReportLine::kRun;
            r->time.assign(text(kTime));
            r->stop = event == "stop";
            r->clock = event == "clock";
            r->utc_offset.assign(text(kUtcOffset));
            if (r->clock) r->was.assign(text(kWas));
            return;
        }
        if (type != "unit" || !outcome_of(text(kResult), &r->outcome)) return;
        r->kind = StnReportLine::kUnit;
        r->time.assign(text(kTime));
        r->has_id = count(kId, &r->id);
        r->has_index = count(kIndex, &r->index);
        const Value &s = values_[kSerial];
        if (s.kind == Value::kNegative) {
            r->serial = s.i;
            r->has_serial = true;
        } else if (s.kind == Value::kUnsigned && s.u <= static_cast<std::uint64_t>(INT64_MAX)) {
            r->serial = static_cast<std::int64_t>(s.u);
            r->has_serial = true;
        }
        r->old_version.assign(text(kOldVersion));
        r->new_version.assign(text(kNewVersion));
        r->message.assign(text(kMessage));
        count(kDetail, &r->detail);
        count(kMs, &r->ms);
        r->recovered = values_[kRecovered].kind == Value::kTrue;
        const std::string_view failure = text(kFailure);
        if (!failure.empty()) {
            r->failure = failure_of_word(failure);
        } else if (r->outcome == StnOutcome::kFailed) {
            r->failure = stn_failure_of_detail(r->detail);
            if (r->failure == StnFailure::kNone) r->failure = StnFailure::kOther;
        }
    }

private:
    static int key_of(std::string_view key) {
        static constexpr std::string_view kNames[kKeys] = {
            "type", "time", "id", "index", "serial", "old_version", "new_version",
            "result", "failure", "message", "detail", "ms", "recovered", "event",
            "operator", "order", "station", "utc_offset", "was"};
        // Most members of a line are looked up: the names by length first.
        static const struct ByLength {
            std::vector<int> of[12];
            ByLength() {
                for (int k = 0; k < kKeys; ++k) of[kNames[k].size()].push_back(k);
            }
        } kByLength;
        if (key.size() >= 12) return -1;
        for (int k : kByLength.of[key.size()]) {
            if (key == kNames[k]) return k;
        }
        return -1;
    }
    std::string_view text(Key k) const {
        return values_[k].kind == Value::kString ? values_[k].text : std::string_view();
    }
    // A whole number that is not negative.
    bool count(Key k, std::uint64_t *out) const {
        const Value &v = values_[k];
        if (v.kind == Value::kUnsigned) {
            *out = v.u;
            return true;
        }
        if (v.kind != Value::kNegative || v.i < 0) return false;
        *out = static_cast<std::uint64_t>(v.i);
        return true;
    }

    std::string_view line_;
    Value values_[kKeys];
};

// line without a trailing '\r'.
std::string_view without_cr(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
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
    line = without_cr(line);
    const Json j = Json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
    if (!j.is_object()) return r;  // discarded (not JSON) or another value
    Fields f(line);
    f.from_json(j);
    f.line(&r);
    return r;
}

void stn_read_report_line(std::string_view line, StnReportLine *out) {
    line = without_cr(line);
    Fields f(line);
    switch (stn_json_read_flat(line, &f)) {
    case StnJsonFlat::kOk:
        f.line(out);
        break;
    case StnJsonFlat::kNested:
        *out = stn_read_report_line_json(line);
        break;
    default:
        Fields(line).line(out);  // nothing: skipped
        break;
    }
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

bool StnTally::add(const StnReportLine &r) {
    if (r.kind == StnReportLine::kSkipped) {
        ++skipped_lines;
        return true;
    }
    if (filtered_ && (r.kind == StnReportLine::kUnit || r.kind == StnReportLine::kStart) &&
        r.order != filter_) {
        return false;
    }
    std::int64_t at = 0;
    if (r.kind == StnReportLine::kRun) {
        if (!r.utc_offset.empty() && utc_offsets.size() < 16 &&
            std::find(utc_offsets.begin(), utc_offsets.end(), r.utc_offset) == utc_offsets.end()) {
            utc_offsets.push_back(r.utc_offset);
        }
        const bool timed = believed(r, &at);
        if (r.stop) {
            set_run_order(r);
            if (in_run_ && timed && at > to_ms_) to_ms_ = at;
            close_run();
            return true;
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
        return true;
    }
    if (r.kind == StnReportLine::kHalt) {
        if (!filtered_) {
            ++halts;
        } else if (r.has_order || run_order_known_) {
            if ((r.has_order ? r.order : run_order_) == filter_) ++halts;
        } else if (in_run_) {
            ++pending_halts_;  // the segment's units will say whose it is
        }
        return true;
    }
    if (r.kind == StnReportLine::kStart) {
        if (believed(r, &at)) activity(at);
        return true;
    }
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
