// The page's figures over time: a tally's units, first passes and running
// time cut into the hours (or days) of the stations' time zone, from small
// reports of one or more files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stn_tally.h"
#include "stn_timeline.h"

namespace {

std::string run(const char *event, const std::string &utc, const char *offset = "+01:00") {
    return "{\"type\":\"run\",\"time\":\"" + utc + "Z\",\"event\":\"" + event +
           "\",\"station\":\"S\",\"utc_offset\":\"" + offset + "\",\"version\":\"3.50\"}";
}

std::string unit(const std::string &utc, int serial, const char *result,
                 const char *station = "A") {
    return "{\"type\":\"unit\",\"time\":\"" + utc + "Z\",\"id\":1,\"index\":0,\"serial\":" +
           std::to_string(serial) + ",\"result\":\"" + result + "\",\"station\":\"" + station +
           "\"}";
}

// "label units first_passed/first_tried running_s" per bucket.
std::vector<std::string> shown(const StnTally &t, int offset) {
    std::vector<std::string> out;
    for (const StnTimeline::Bucket &b : t.summary().timeline.buckets(offset)) {
        out.push_back(b.label + " " + std::to_string(b.slot.units) + " " +
                      std::to_string(b.slot.first_passed) + "/" +
                      std::to_string(b.slot.first_tried) + " " +
                      std::to_string(b.slot.running_ms / 1000));
    }
    return out;
}

}  // namespace

TEST(StnTimeline, UnitsFirstPassesAndRunningTimeByLocalHourOrDay) {
    struct Case {
        const char *name;
        std::vector<std::vector<std::string>> files;
        int offset;
        std::vector<std::string> buckets;
    };
    const Case cases[] = {
        {"an empty report", {{}}, 60, {}},
        {"a single unit, no run line", {{unit("2026-12-08T10:20:00.000", 1, "updated")}}, 0,
         {"2026-12-08 10:00 1 1/1 0"}},
        {"two stations over midnight, local time",
         {{run("open", "2026-12-08T22:30:00.000"), unit("2026-12-08T22:40:00.000", 1, "updated"),
           unit("2026-12-08T23:05:00.000", 2, "failed"), run("stop", "2026-12-08T23:30:00.000")},
          {run("open", "2026-12-08T22:50:00.000"),
           unit("2026-12-08T23:10:00.000", 3, "current", "B"),
           unit("2026-12-08T23:20:00.000", 2, "updated", "B"),
           run("stop", "2026-12-08T23:20:00.000")}},
         60,
         // 23:00 local: A's 30 min and B's 10; 00:00 local: A's 30 and B's 20.
         // Serial 2's second unit line is no first pass; a current one never.
         {"2026-12-08 23:00 1 1/1 2400", "2026-12-09 00:00 3 0/1 3000"}},
        {"a zone a quarter hour off the hour",
         {{unit("2026-12-08T10:10:00.000", 1, "updated"),
           unit("2026-12-08T10:20:00.000", 2, "updated")}},
         5 * 60 + 45,
         // 10:15Z is 16:00 there: the ten minutes between them split there.
         {"2026-12-08 15:00 1 1/1 300", "2026-12-08 16:00 1 1/1 300"}},
        {"longer than two days: by day",
         {{run("open", "2026-12-07T22:00:00.000", "+00:00"),
           unit("2026-12-07T22:10:00.000", 1, "updated"),
           run("stop", "2026-12-08T02:00:00.000", "+00:00"),
           unit("2026-12-10T09:00:00.000", 2, "interrupted")}},
         0,
         // The run is cut at midnight; the empty day between has no bucket.
         {"2026-12-07 1 1/1 7200", "2026-12-08 0 0/0 7200", "2026-12-10 1 0/1 0"}},
        {"torn and foreign lines count nowhere",
         {{"{\"type\":\"unit\",\"time\":\"2026-12-08T10:00", "not json",
           "{\"type\":\"other\",\"time\":\"2026-12-08T11:00:00.000Z\"}",
           "{\"type\":\"unit\",\"time\":\"yesterday\",\"serial\":5,\"result\":\"updated\"}",
           unit("2026-12-08T12:00:00.000", 6, "updated")}},
         0,
         {"2026-12-08 12:00 1 1/1 0"}},
    };
    for (const Case &c : cases) {
        StnTally t;
        for (const auto &file : c.files) {
            for (const std::string &l : file) t.feed(l);
            t.end_file();
        }
        EXPECT_EQ(shown(t, c.offset), c.buckets) << c.name;
        // The buckets hold every timed unit, and the running time of the whole.
        std::uint64_t units = 0, ms = 0;
        for (const auto &b : t.summary().timeline.buckets(c.offset)) {
            units += b.slot.units;
            ms += b.slot.running_ms;
        }
        EXPECT_EQ(ms, t.running_ms()) << c.name;
        EXPECT_LE(units, t.units) << c.name;
    }
}

TEST(StnTimeline, UtcOffsetsAreReadAndKeptAsFirstSeen) {
    StnTally t;
    for (const std::string &l :
         {run("open", "2026-12-08T08:00:00.000", "+02:00"),
          run("open", "2026-12-08T09:00:00.000", "-03:30"),
          run("stop", "2026-12-08T10:00:00.000", "+02:00")}) {
        t.feed(l);
    }
    EXPECT_EQ(t.summary().utc_offsets, (std::vector<std::string>{"+02:00", "-03:30"}));
    const struct {
        const char *text;
        bool ok;
        int minutes;
    } offsets[] = {{"+01:00", true, 60},  {"-03:30", true, -210}, {"+05:45", true, 345},
                   {"+00:00", true, 0},   {"01:00", false, 0},    {"+1:00", false, 0},
                   {"+15:00", false, 0},  {"+01:60", false, 0},   {"", false, 0}};
    for (const auto &o : offsets) {
        int m = 0;
        EXPECT_EQ(stn_parse_utc_offset(o.text, &m), o.ok) << o.text;
        if (o.ok) {
            EXPECT_EQ(m, o.minutes) << o.text;
        }
    }
}

TEST(StnTimeline, ItsSlotsAreCappedWhateverTheTimes) {
    constexpr std::int64_t kQuarter = 15 * 60000, kDay = 96 * kQuarter;
    constexpr std::int64_t y2000 = 946684800000, y2026 = 1767225600000;
    const std::int64_t cap = static_cast<std::int64_t>(kStnTimelineSlots);
    StnTimeline t;
    std::uint64_t units = 0, ms = 0;
    const auto unit = [&](std::int64_t at) {
        t.add_unit(at, StnOutcome::kUpdated, true);
        ++units;
    };
    const auto ran = [&](std::int64_t from, std::int64_t to) {
        t.add_running(from, to);
        ms += static_cast<std::uint64_t>(to - from);
    };
    // A unit in every quarter hour of more than the cap, then an older one
    // and runs from 2000 on: the latest quarters stay, the rest is counted.
    for (std::int64_t q = 0; q < cap + 100; ++q) unit(y2026 + q * kQuarter);
    unit(y2000);
    ran(y2000, y2026 + cap * kQuarter);
    ran(y2026 - kDay, y2026 + kDay);
    for (int i = 0; i < 100; ++i) unit(y2000 + i * 37 * kDay);
    EXPECT_EQ(t.slots(), kStnTimelineSlots);
    std::uint64_t kept_units = 0, kept_ms = 0;
    const std::vector<StnTimeline::Bucket> buckets = t.buckets(0);
    for (const StnTimeline::Bucket &b : buckets) {
        kept_units += b.slot.units;
        kept_ms += b.slot.running_ms;
    }
    EXPECT_EQ(kept_units + t.left_out.units, units);
    EXPECT_EQ(kept_ms + t.left_out.running_ms, ms);
    // The long run shows for its last 31 days only.
    EXPECT_EQ(kept_ms, static_cast<std::uint64_t>(kStnSpreadMs));
    ASSERT_FALSE(buckets.empty());
    EXPECT_EQ(buckets.back().start_ms, y2026 + (cap + 99) * kQuarter / kDay * kDay);
}
