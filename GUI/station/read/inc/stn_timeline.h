// Units, first passes and running time over time, for the page's charts.
// Kept in quarter hours of UTC, so that the hours and days of any time zone
// (every zone's offset is a whole number of quarter hours) can be cut from
// it afterwards. Its memory grows with the quarter hours that hold
// anything, never with the lines, and is capped: it keeps at most
// kStnTimelineSlots of them (the latest; what falls before is counted in
// left_out), and a run is spread over at most its last kStnSpreadMs, so
// that no time, however odd, costs more than the cap. Pure; one thread at
// a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "stn_outcome.h"

// Quarter hours kept at most: two years of them (about 8 MB).
constexpr std::size_t kStnTimelineSlots = 2 * 35040;
// A run's running time is spread over its last 31 days at most; before
// that (a run that long is mostly a clock that jumped) it is left out.
constexpr std::int64_t kStnSpreadMs = 31LL * 24 * 3600000;

class StnTimeline {
public:
    // What one span of time (a quarter hour, or a bucket cut from them) holds.
    struct Slot {
        std::uint64_t units = 0, updated = 0, current = 0, failed = 0, interrupted = 0;
        std::uint64_t rejected = 0;  // refused by the MES: no failure, no first pass
        // First passes that count for the yield (as StnTally::Group's).
        std::uint64_t first_tried = 0, first_passed = 0;
        std::uint64_t running_ms = 0;  // of the stations' running time, summed
        double first_pass_yield() const;  // -1 when none was tried
        double units_per_hour() const;    // -1 when it ran under a minute
    };
    // A bucket of local time: an hour or a day.
    struct Bucket {
        std::int64_t start_ms = 0;  // its start, UTC ms since 1970
        std::int64_t width_ms = 0;  // an hour or a day
        std::string label;          // local: "2026-01-05 14:00" or "2026-01-05"
        Slot slot;
    };

    StnTimeline() = default;
    // A copy starts without the cached slot, which points into the original.
    StnTimeline(const StnTimeline &o) : left_out(o.left_out), slots_(o.slots_) {}
    StnTimeline &operator=(const StnTimeline &o) {
        left_out = o.left_out;
        slots_ = o.slots_;
        last_ = nullptr;
        return *this;
    }

    // What the cap left off the timeline: units before the quarter hours
    // kept, and running time before them or early in a long run.
    Slot left_out;

    // A unit line at UTC ms `at`; first_pass: it is a first pass that counts.
    void add_unit(std::int64_t at, StnOutcome outcome, bool first_pass);
    // Counts already summed (a database's group) added to the quarter
    // hour of UTC ms `at`, as that many add_unit calls would.
    void add_slot(std::int64_t at, const Slot &counts);
    // The stations ran from `from` to `to` (UTC ms): spread over the slots.
    void add_running(std::int64_t from, std::int64_t to);

    bool empty() const { return slots_.empty(); }
    // Quarter hours held (at most kStnTimelineSlots).
    std::size_t slots() const { return slots_.size(); }
    // The local hours (days when the span from the first to the last slot
    // is longer than 48 hours) that hold anything, in time order.
    // offset_minutes: east of UTC.
    std::vector<Bucket> buckets(int offset_minutes) const;

private:
    // The slot of quarter q; null when the timeline is full and q is
    // older than every slot kept (the oldest makes way for a later one).
    Slot *slot(std::int64_t q);

    std::map<std::int64_t, Slot> slots_;  // by quarter hour since 1970 (UTC)
    Slot *last_ = nullptr;                // add_unit's last slot (a map's stay put)
    std::int64_t last_quarter_ = 0;
};

// "+01:00" / "-03:30" as minutes east of UTC; false for any other text.
bool stn_parse_utc_offset(const std::string &text, int *minutes);
// Local "YYYY-MM-DD HH:MM" of UTC ms at offset_minutes east.
std::string stn_local_time_text(std::int64_t utc_ms, int offset_minutes);
