// The tally of a station report: counts by result, first-pass yield, units
// per hour, the serials not at the image, failures by kind (named, or from
// the detail code of older lines) and the lines it skips.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stn_tally.h"

namespace {

// A unit line at 2026-12-08, time of day hh:mm:ss.mmm
std::string unit(const std::string &time, const std::string &serial, const char *result,
                 const std::string &more = "") {
    return "{\"type\":\"unit\",\"time\":\"2026-12-08T" + time + "Z\",\"id\":7,\"index\":0,"
           "\"serial\":" + serial + ",\"result\":\"" + result + "\"" + more + "}";
}

}  // namespace

TEST(StnTally, CountsYieldRateAndSerialsNotAtTheImage) {
    struct Case {
        const char *name;
        std::vector<std::string> lines;
        std::uint64_t units, updated, current, failed, interrupted, recovered, skipped;
        double yield, per_hour;
        std::vector<std::int64_t> not_at_image;
    };
    const Case cases[] = {
        {"a shift",
         {
             "{\"type\":\"start\",\"id\":1,\"time\":\"2026-12-08T10:00:00.000Z\",\"index\":0}",
             unit("10:00:00.000", "101", "updated", ",\"detail\":0"),
             unit("10:10:00.000", "102", "failed", ",\"detail\":57348"),
             unit("10:20:00.000", "102", "updated") + "\r",  // its second pass
             unit("10:30:00.000", "103", "current"),          // not in the yield
             unit("10:40:00.000", "104", "failed", ",\"failure\":\"deadline\""),
             unit("11:00:00.000", "105", "interrupted", ",\"recovered\":true"),
             unit("10:50:00.000", "null", "failed", ",\"detail\":4294967293"),  // no serial
             "{\"type\":\"unit\",\"index\":3,\"ser",                            // torn
             std::string(3, '\0'),  // what a power cut can leave
             "{\"type\":\"summary\",\"updated\":1}",  // JSON, but not a record
             "{\"type\":\"unit\",\"result\":\"exploded\"}",
             "[1]",
             "",
         },
         7, 2, 1, 3, 1, 1, 6, 0.25, 7.0, {104, 105}},
        {"nothing", {}, 0, 0, 0, 0, 0, 0, 0, -1, -1, {}},
        {"only current units, under a minute",
         {unit("10:00:00.000", "1", "current"), unit("10:00:59.999", "2", "current")},
         2, 0, 2, 0, 0, 0, 0, -1, -1, {}},
        {"times out of order, without milliseconds, and not times",
         {unit("12:30:00.000", "1", "failed"), unit("12:00:00", "1", "updated"),
          unit("12:15:00.000", "2", "updated"), unit("bad", "3", "updated"),
          unit("25:00:00.000", "4", "updated")},
         5, 4, 0, 1, 0, 0, 0, 0.75, 10.0, {}},
    };
    for (const Case &c : cases) {
        StnTally t;
        for (const std::string &l : c.lines) t.feed(l);
        EXPECT_EQ(t.units, c.units) << c.name;
        EXPECT_EQ(t.updated, c.updated) << c.name;
        EXPECT_EQ(t.current, c.current) << c.name;
        EXPECT_EQ(t.failed, c.failed) << c.name;
        EXPECT_EQ(t.interrupted, c.interrupted) << c.name;
        EXPECT_EQ(t.recovered, c.recovered) << c.name;
        EXPECT_EQ(t.skipped_lines, c.skipped) << c.name;
        EXPECT_DOUBLE_EQ(t.first_pass_yield(), c.yield) << c.name;
        EXPECT_NEAR(t.units_per_hour(), c.per_hour, 1e-9) << c.name;
        EXPECT_EQ(t.not_at_image(), c.not_at_image) << c.name;
    }
}

TEST(StnTally, FailureKindsNamedOrFromTheDetailOfOlderLines) {
    struct Case {
        std::string more;   // the failed line's fields
        StnFailure kind;
    };
    const Case cases[] = {
        {",\"detail\":4294967294", StnFailure::kNoAnswer},
        {",\"detail\":4294967293", StnFailure::kUnverified},
        {",\"detail\":4294967291", StnFailure::kDeadline},
        {",\"detail\":4294967295", StnFailure::kOther},
        {",\"detail\":4294967292", StnFailure::kOther},
        {",\"detail\":4294967290", StnFailure::kOther},
        {",\"detail\":57348", StnFailure::kRefused},
        {",\"detail\":0", StnFailure::kOther},
        {"", StnFailure::kOther},
        {",\"failure\":\"unplugged\",\"detail\":4294967294", StnFailure::kUnplugged},  // named wins
        {",\"failure\":\"refused\"", StnFailure::kRefused},
        {",\"failure\":\"no_answer\"", StnFailure::kNoAnswer},
        {",\"failure\":\"unverified\"", StnFailure::kUnverified},
        {",\"failure\":\"weather\"", StnFailure::kOther},
    };
    for (const Case &c : cases) {
        StnTally t;
        t.feed(unit("10:00:00.000", "1", "failed", c.more));
        t.feed(unit("10:00:01.000", "2", "updated", c.more));  // only failed lines count
        std::uint64_t expect[kStnFailureKinds] = {};
        expect[static_cast<int>(c.kind)] = 1;
        for (int k = 0; k < kStnFailureKinds; ++k) EXPECT_EQ(t.failures[k], expect[k]) << c.more;
    }
}
