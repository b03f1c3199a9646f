#include "stn_tally.h"

#include <nlohmann/json.hpp>

#include "stn_text.h"

namespace {

using Json = nlohmann::json;

// Milliseconds since 1970 of "YYYY-MM-DDTHH:MM:SS[.mmm]Z"; false for any
// other text.
bool iso_ms(const std::string &t, std::int64_t *out) {
    const auto digits = [&](std::size_t at, std::size_t n, int *v) {
        if (at + n > t.size()) return false;
        *v = 0;
        for (std::size_t i = at; i < at + n; ++i) {
            if (t[i] < '0' || t[i] > '9') return false;
            *v = *v * 10 + (t[i] - '0');
        }
        return true;
    };
    int y, mo, d, h, mi, s, ms = 0;
    if (!digits(0, 4, &y) || t.compare(4, 1, "-") != 0 || !digits(5, 2, &mo) ||
        t.compare(7, 1, "-") != 0 || !digits(8, 2, &d) || t.compare(10, 1, "T") != 0 ||
        !digits(11, 2, &h) || t.compare(13, 1, ":") != 0 || !digits(14, 2, &mi) ||
        t.compare(16, 1, ":") != 0 || !digits(17, 2, &s)) {
        return false;
    }
    std::size_t at = 19;
    if (t.compare(at, 1, ".") == 0) {
        if (!digits(20, 3, &ms)) return false;
        at = 23;
    }
    if (t.size() != at + 1 || t[at] != 'Z') return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return false;
    // Days from the civil date (proleptic Gregorian, March-based years).
    const int yy = y - (mo <= 2 ? 1 : 0);
    const int era = yy / 400;
    const int yoe = yy - era * 400;
    const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
    *out = ((days * 24 + h) * 60 + mi) * 60000 + s * 1000 + ms;
    return true;
}

const Json *field(const Json &obj, const char *name) {
    const auto it = obj.find(name);
    return it == obj.end() ? nullptr : &*it;
}

std::string text_of(const Json &obj, const char *name) {
    const Json *v = field(obj, name);
    return v != nullptr && v->is_string() ? v->get<std::string>() : std::string();
}

// A whole number that is not negative.
bool count_of(const Json &obj, const char *name, std::uint64_t *out) {
    const Json *v = field(obj, name);
    if (v == nullptr || !v->is_number_integer()) return false;
    if (v->is_number_unsigned()) {
        *out = v->get<std::uint64_t>();
        return true;
    }
    const std::int64_t n = v->get<std::int64_t>();
    if (n < 0) return false;
    *out = static_cast<std::uint64_t>(n);
    return true;
}

bool outcome_of(const std::string &word, StnOutcome *out) {
    for (StnOutcome o : {StnOutcome::kUpdated, StnOutcome::kCurrent, StnOutcome::kFailed,
                         StnOutcome::kInterrupted}) {
        if (word == stn_outcome_name(o)) {
            *out = o;
            return true;
        }
    }
    return false;
}

StnFailure failure_of_word(const std::string &word) {
    for (int k = 1; k < kStnFailureKinds; ++k) {
        if (word == stn_failure_name(static_cast<StnFailure>(k))) return static_cast<StnFailure>(k);
    }
    return StnFailure::kOther;
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

StnReportLine stn_read_report_line(const std::string &line) {
    StnReportLine r;
    const std::size_t n = !line.empty() && line.back() == '\r' ? line.size() - 1 : line.size();
    const Json j = Json::parse(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(n),
                               nullptr, /*allow_exceptions=*/false);
    if (!j.is_object()) return r;  // discarded (not JSON) or another value
    const std::string type = text_of(j, "type");
    if (type == "start") {
        r.kind = StnReportLine::kStart;
        return r;
    }
    if (type != "unit" || !outcome_of(text_of(j, "result"), &r.outcome)) return r;
    r.kind = StnReportLine::kUnit;
    r.time = text_of(j, "time");
    r.has_id = count_of(j, "id", &r.id);
    r.has_index = count_of(j, "index", &r.index);
    if (const Json *s = field(j, "serial"); s != nullptr && s->is_number_integer()) {
        if (!s->is_number_unsigned()) {
            r.serial = s->get<std::int64_t>();
            r.has_serial = true;
        } else if (s->get<std::uint64_t>() <= static_cast<std::uint64_t>(INT64_MAX)) {
            r.serial = static_cast<std::int64_t>(s->get<std::uint64_t>());
            r.has_serial = true;
        }
    }
    r.old_version = text_of(j, "old_version");
    r.new_version = text_of(j, "new_version");
    r.message = text_of(j, "message");
    count_of(j, "detail", &r.detail);
    count_of(j, "ms", &r.ms);
    const Json *rec = field(j, "recovered");
    r.recovered = rec != nullptr && rec->is_boolean() && rec->get<bool>();
    const std::string failure = text_of(j, "failure");
    if (!failure.empty()) {
        r.failure = failure_of_word(failure);
    } else if (r.outcome == StnOutcome::kFailed) {
        r.failure = stn_failure_of_detail(r.detail);
        if (r.failure == StnFailure::kNone) r.failure = StnFailure::kOther;
    }
    return r;
}

void StnTally::feed(const std::string &line) { add(stn_read_report_line(line)); }

void StnTally::add(const StnReportLine &r) {
    if (r.kind == StnReportLine::kSkipped) {
        ++skipped_lines;
        return;
    }
    if (r.kind != StnReportLine::kUnit) return;
    ++units;
    stn_count(r.outcome, updated, current, failed, interrupted);
    if (r.outcome == StnOutcome::kFailed) ++failures[static_cast<int>(r.failure)];
    if (r.recovered) ++recovered;
    if (r.has_serial) {
        // One small entry per serial: a shift's report holds thousands.
        auto it = results.find(r.serial);
        if (it == results.end()) {
            results.emplace(r.serial, SerialResults{r.outcome, r.outcome});
        } else {
            it->second.last = r.outcome;
        }
    }
    std::int64_t at = 0, edge = 0;
    if (iso_ms(r.time, &at)) {
        if (first_time.empty() || (iso_ms(first_time, &edge) && at < edge)) first_time = r.time;
        if (last_time.empty() || (iso_ms(last_time, &edge) && at > edge)) last_time = r.time;
    }
}

StnTallyFigures StnTally::figures() const {
    StnTallyFigures f;
    f.units = units;
    f.updated = updated;
    f.current = current;
    f.failed = failed;
    f.interrupted = interrupted;
    f.first_pass_yield = first_pass_yield();
    f.units_per_hour = units_per_hour();
    return f;
}

double StnTally::first_pass_yield() const {
    std::uint64_t tried = 0, passed = 0;
    for (const auto &s : results) {
        if (s.second.first == StnOutcome::kCurrent) continue;
        ++tried;
        if (s.second.first == StnOutcome::kUpdated) ++passed;
    }
    return tried == 0 ? -1.0 : static_cast<double>(passed) / static_cast<double>(tried);
}

double StnTally::units_per_hour() const {
    std::int64_t from = 0, to = 0;
    if (!iso_ms(first_time, &from) || !iso_ms(last_time, &to) || to - from < 60000) return -1.0;
    return static_cast<double>(units) * 3600000.0 / static_cast<double>(to - from);
}

std::vector<std::int64_t> StnTally::not_at_image() const {
    std::vector<std::int64_t> out;
    for (const auto &s : results) {
        if (s.second.last != StnOutcome::kUpdated && s.second.last != StnOutcome::kCurrent) {
            out.push_back(s.first);
        }
    }
    return out;
}
