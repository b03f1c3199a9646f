#include "stn_time.h"

#include <cstdio>

bool stn_parse_utc(const char *text, std::size_t size, StnUtcTime *out) {
    // 'd' a digit, any other character itself; the fraction is optional.
    static const char kShape[] = "dddd-dd-ddTdd:dd:dd.dddZ";
    constexpr std::size_t kWhole = sizeof kShape - 1, kNoFraction = kWhole - 4;
    if (size != kWhole && size != kNoFraction) return false;
    const char *shape = kShape;
    for (std::size_t i = 0; i < size; ++i) {
        // Without the fraction the 'Z' comes where the '.' would.
        const char want = size == kNoFraction && i == kNoFraction - 1 ? 'Z' : shape[i];
        const char c = text[i];
        if (want == 'd' ? (c < '0' || c > '9') : c != want) return false;
    }
    auto num = [&](std::size_t at, std::size_t n) {
        int v = 0;
        for (std::size_t i = at; i < at + n; ++i) v = v * 10 + (text[i] - '0');
        return v;
    };
    StnUtcTime t;
    t.year = num(0, 4);
    t.month = num(5, 2);
    t.day = num(8, 2);
    t.hour = num(11, 2);
    t.minute = num(14, 2);
    t.second = num(17, 2);
    t.ms = size == kWhole ? num(20, 3) : 0;
    // A leap second (60) may be written by a clock that keeps them.
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 ||
        t.second > 60) {
        return false;
    }
    *out = t;
    return true;
}

std::int64_t stn_utc_epoch_ms(const StnUtcTime &t) {
    // Days from the civil date, with years that begin in March.
    const int yy = t.year - (t.month <= 2 ? 1 : 0);
    const int era = (yy >= 0 ? yy : yy - 399) / 400;
    const int yoe = yy - era * 400;
    const int doy = (153 * (t.month + (t.month > 2 ? -3 : 9)) + 2) / 5 + t.day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
    return ((days * 24 + t.hour) * 60 + t.minute) * 60000 + t.second * 1000 + t.ms;
}

StnUtcTime stn_utc_time_of(std::int64_t ms) {
    // Floor division: times before 1970 count back from a whole day.
    std::int64_t days = ms / 86400000, in_day = ms % 86400000;
    if (in_day < 0) {
        in_day += 86400000;
        --days;
    }
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    StnUtcTime t;
    t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t.year = static_cast<int>(yoe + era * 400 + (t.month <= 2 ? 1 : 0));
    t.hour = static_cast<int>(in_day / 3600000);
    t.minute = static_cast<int>(in_day / 60000 % 60);
    t.second = static_cast<int>(in_day / 1000 % 60);
    t.ms = static_cast<int>(in_day % 1000);
    return t;
}

std::string stn_utc_text(std::int64_t ms) {
    const StnUtcTime t = stn_utc_time_of(ms);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.ms);
    return buf;
}

bool stn_utc_bound_ms(const std::string &text, std::int64_t *ms) {
    const std::string full = text.size() == 10 ? text + "T00:00:00Z" : text;
    StnUtcTime t;
    if (!stn_parse_utc(full, &t)) return false;
    const std::int64_t at = stn_utc_epoch_ms(t);
    // The parser takes any day up to 31: one that is not in its month
    // would land in the next.
    if (stn_utc_time_of(at).day != t.day) return false;
    *ms = at;
    return true;
}
