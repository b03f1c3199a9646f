#include "stn_timeline.h"

#include <algorithm>
#include <cstdio>

#include "stn_text.h"
#include "stn_time.h"

namespace {

constexpr std::int64_t kQuarterMs = 15 * 60000;
constexpr std::int64_t kHourMs = 3600000, kDayMs = 24 * kHourMs;
// Longer spans than this are shown by day.
constexpr std::int64_t kHoursAtMost = 48 * kHourMs;

// Floor division (times before 1970 stay in their own quarter).
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0);
}

void merge(StnTimeline::Slot *into, const StnTimeline::Slot &s) {
    into->units += s.units;
    into->updated += s.updated;
    into->current += s.current;
    into->failed += s.failed;
    into->interrupted += s.interrupted;
    into->rejected += s.rejected;
    into->first_tried += s.first_tried;
    into->first_passed += s.first_passed;
    into->running_ms += s.running_ms;
}

}  // namespace

double StnTimeline::Slot::first_pass_yield() const {
    return first_tried == 0 ? -1.0 : static_cast<double>(first_passed) / first_tried;
}

double StnTimeline::Slot::units_per_hour() const {
    if (running_ms < 60000) return -1.0;
    return static_cast<double>(units) * 3600000.0 / static_cast<double>(running_ms);
}

StnTimeline::Slot *StnTimeline::slot(std::int64_t q) {
    const auto it = slots_.find(q);
    if (it != slots_.end()) return &it->second;
    if (slots_.size() >= kStnTimelineSlots) {
        const auto oldest = slots_.begin();
        if (q < oldest->first) return nullptr;
        merge(&left_out, oldest->second);
        if (last_ == &oldest->second) last_ = nullptr;
        slots_.erase(oldest);
    }
    return &slots_[q];
}

void StnTimeline::add_unit(std::int64_t at, StnOutcome outcome, bool first_pass) {
    // Lines come in time order: the slot of the line before, mostly.
    const std::int64_t q = floor_div(at, kQuarterMs);
    if (last_ == nullptr || q != last_quarter_) {
        last_ = slot(q);
        last_quarter_ = q;
    }
    Slot &s = last_ != nullptr ? *last_ : left_out;
    ++s.units;
    stn_count(outcome, s.updated, s.current, s.failed, s.interrupted, s.rejected);
    if (first_pass) {
        ++s.first_tried;
        if (outcome == StnOutcome::kUpdated) ++s.first_passed;
    }
}

void StnTimeline::add_slot(std::int64_t at, const Slot &counts) {
    const std::int64_t q = floor_div(at, kQuarterMs);
    Slot *s = slot(q);
    merge(s != nullptr ? s : &left_out, counts);
}

void StnTimeline::add_running(std::int64_t from, std::int64_t to) {
    if (from >= to) return;
    if (to - from > kStnSpreadMs) {
        left_out.running_ms += static_cast<std::uint64_t>(to - kStnSpreadMs - from);
        from = to - kStnSpreadMs;
    }
    while (from < to) {
        const std::int64_t q = floor_div(from, kQuarterMs);
        const std::int64_t end = std::min(to, (q + 1) * kQuarterMs);
        Slot *s = slot(q);
        (s != nullptr ? s : &left_out)->running_ms += static_cast<std::uint64_t>(end - from);
        from = end;
    }
}

std::vector<StnTimeline::Bucket> StnTimeline::buckets(int offset_minutes) const {
    std::vector<Bucket> out;
    if (slots_.empty()) return out;
    const std::int64_t shift = static_cast<std::int64_t>(offset_minutes) * 60000;
    const std::int64_t first = slots_.begin()->first * kQuarterMs + shift;
    const std::int64_t last = slots_.rbegin()->first * kQuarterMs + shift;
    const bool by_day = last - first > kHoursAtMost;
    const std::int64_t width = by_day ? kDayMs : kHourMs;
    // Buckets of local time; a slot of a zone with a quarter-hour offset
    // falls wholly into one. Only the ones that hold something: a stray
    // time years away costs one bucket, not the years between.
    for (const auto &s : slots_) {
        const std::int64_t local = floor_div(s.first * kQuarterMs + shift, width) * width;
        if (out.empty() || out.back().start_ms != local - shift) {
            out.emplace_back();
            out.back().start_ms = local - shift;
            out.back().width_ms = width;
            const StnUtcTime t = stn_utc_time_of(local);
            char buf[32];
            if (by_day) {
                std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.year, t.month, t.day);
            } else {
                std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:00", t.year, t.month, t.day,
                              t.hour);
            }
            out.back().label = buf;
        }
        merge(&out.back().slot, s.second);
    }
    return out;
}

bool stn_parse_utc_offset(const std::string &text, int *minutes) {
    if (text.size() != 6 || (text[0] != '+' && text[0] != '-') || text[3] != ':') return false;
    for (std::size_t i : {1u, 2u, 4u, 5u}) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    const int h = (text[1] - '0') * 10 + (text[2] - '0');
    const int m = (text[4] - '0') * 10 + (text[5] - '0');
    if (h > 14 || m > 59) return false;
    *minutes = (text[0] == '-' ? -1 : 1) * (h * 60 + m);
    return true;
}

std::string stn_local_time_text(std::int64_t utc_ms, int offset_minutes) {
    const StnUtcTime t =
        stn_utc_time_of(utc_ms + static_cast<std::int64_t>(offset_minutes) * 60000);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute);
    return buf;
}
