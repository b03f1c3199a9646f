// The demo's shift is the page of a real line: chained files, hours of
// running time, a yield near 95 %, every kind of failure, reworks that
// pass, one line stop and one recovered unit; the same bytes every time.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "demo_shift.h"
#include "stn_reading.h"

namespace {

std::string folder(const char *name) {
    const std::filesystem::path p = std::filesystem::path(testing::TempDir()) / name;
    std::filesystem::remove_all(p);
    std::filesystem::create_directories(p);
    return p.string();
}

std::string bytes_of(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(DemoShift, ReadsAsAWholeShiftOfThreeStations) {
    std::vector<std::string> paths;
    std::string error;
    ASSERT_TRUE(demo_write_shift(folder("demo_shift"), &paths, &error)) << error;
    ASSERT_EQ(paths.size(), 3u);
    StnReading::Options options;
    options.chain = true;
    StnReading reading(options);
    for (const std::string &path : paths) {
        DemoFileStore file(path);
        StnChainStatus chain;
        ASSERT_TRUE(reading.read(&file, &chain)) << path;
        EXPECT_TRUE(chain.intact) << path << ": " << chain.verdict;
    }
    const StnTally &t = reading.tally;
    EXPECT_GT(t.units, 900u);
    EXPECT_EQ(t.skipped_lines, 0u);
    EXPECT_EQ(t.bad_times, 0u);
    // Three stations for most of 06:00-14:00 less the break.
    EXPECT_GT(t.running_ms(), 20u * 3600000);
    EXPECT_LT(t.running_ms(), 23u * 3600000);
    EXPECT_GT(t.units_per_hour(), 40.0);
    EXPECT_LT(t.units_per_hour(), 60.0);
    EXPECT_GT(t.first_pass_yield(), 0.92);
    EXPECT_LT(t.first_pass_yield(), 0.97);
    EXPECT_GT(t.current, 0u);
    for (int k = 1; k < kStnFailureKinds - 1; ++k) {
        EXPECT_GE(t.failures[k], 2u) << stn_failure_name(static_cast<StnFailure>(k));
    }
    EXPECT_EQ(t.halts, 1u);
    EXPECT_EQ(t.recovered, 1u);
    const StnFigures f = t.summary();
    EXPECT_EQ(f.orders.size(), 3u);
    EXPECT_EQ(f.stations.size(), 3u);
    EXPECT_EQ(f.utc_offsets, std::vector<std::string>{"+01:00"});
    // Reworks: serials whose first try failed and whose last passed.
    std::size_t reworked = 0;
    for (const auto &s : t.results) {
        reworked += s.second.first == StnOutcome::kFailed && s.second.last == StnOutcome::kUpdated;
    }
    EXPECT_GT(reworked, 10u);
    EXPECT_FALSE(t.not_at_image().empty());
    // Every local hour of the shift has units.
    const std::vector<StnTimeline::Bucket> hours = f.timeline.buckets(60);
    ASSERT_EQ(hours.size(), 8u);
    EXPECT_EQ(hours.front().label, "2026-12-08 06:00");
    for (const StnTimeline::Bucket &b : hours) EXPECT_GT(b.slot.units, 50u) << b.label;
}

TEST(DemoShift, SameBytesEveryTime) {
    std::vector<std::string> a, b;
    std::string error;
    ASSERT_TRUE(demo_write_shift(folder("demo_shift_a"), &a, &error)) << error;
    ASSERT_TRUE(demo_write_shift(folder("demo_shift_b"), &b, &error)) << error;
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::string bytes = bytes_of(a[i]);
        EXPECT_FALSE(bytes.empty());
        EXPECT_EQ(bytes, bytes_of(b[i])) << a[i];
    }
}
