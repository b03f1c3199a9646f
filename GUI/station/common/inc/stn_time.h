// The report's times: UTC in ISO 8601 as the station writes them,
// "2026-12-08T19:40:00.123Z" (the milliseconds may be left out). One
// reader for every place that reads them back. Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct StnUtcTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
};

// Reads "YYYY-MM-DDTHH:MM:SS[.mmm]Z" (exactly that, nothing around it).
// Returns false for any other text; *out is then unchanged.
bool stn_parse_utc(const char *text, std::size_t size, StnUtcTime *out);
inline bool stn_parse_utc(const std::string &text, StnUtcTime *out) {
    return stn_parse_utc(text.data(), text.size(), out);
}

// Milliseconds since 1970-01-01T00:00:00Z (proleptic Gregorian calendar).
std::int64_t stn_utc_epoch_ms(const StnUtcTime &t);

// The civil time of milliseconds since 1970 (its inverse).
StnUtcTime stn_utc_time_of(std::int64_t ms);

// The text the station writes of milliseconds since 1970
// ("2026-12-08T19:40:00.123Z"), for years 0 to 9999.
std::string stn_utc_text(std::int64_t ms);

// Both at once: false when text is not such a time.
inline bool stn_utc_ms(const std::string &text, std::int64_t *ms) {
    StnUtcTime t;
    if (!stn_parse_utc(text, &t)) return false;
    *ms = stn_utc_epoch_ms(t);
    return true;
}

// A bound of a span of time as a person gives it: a report's time
// ("2026-12-08T19:40:00Z", "...00.123Z") or a day ("2026-12-08": its
// 00:00:00Z). Days that do not exist (02-30) are refused.
bool stn_utc_bound_ms(const std::string &text, std::int64_t *ms);
