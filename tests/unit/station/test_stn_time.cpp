// The report's times read back: the one accepted shape, every field, and
// milliseconds since 1970 across leap days and the ends of the range.
#include <gtest/gtest.h>

#include "stn_time.h"

TEST(StationTime, ReadsTheWrittenShapeOnly) {
    StnUtcTime t;
    ASSERT_TRUE(stn_parse_utc("2026-12-08T19:40:05.123Z", &t));
    EXPECT_EQ(t.year, 2026);
    EXPECT_EQ(t.month, 12);
    EXPECT_EQ(t.day, 8);
    EXPECT_EQ(t.hour, 19);
    EXPECT_EQ(t.minute, 40);
    EXPECT_EQ(t.second, 5);
    EXPECT_EQ(t.ms, 123);
    ASSERT_TRUE(stn_parse_utc("2026-12-08T19:40:05Z", &t));
    EXPECT_EQ(t.ms, 0);
    EXPECT_EQ(t.second, 5);

    StnUtcTime kept;
    kept.year = 1;
    for (const char *bad :
         {"", "2026-12-08", "2026-13-08T19:40:05Z", "2026-00-08T19:40:05Z", "2026-12-32T19:40:05Z",
          "2026-12-08T24:00:00Z", "2026-12-08T23:60:00Z", "2026-12-08T23:59:61Z",
          "2026-12-08 19:40:05Z", "20x6-12-08T19:40:05Z", "2026-12-08T19:40:05",
          "2026-12-08T19:40:05.12Z", "2026-12-08T19:40:05.1234Z", "2026-12-08T19:40:05.123",
          "2026-12-08T19:40:05.123Z ", "2026-12-08T19:40:05+01:00", "2026-12-08T19:40:05.12xZ"}) {
        EXPECT_FALSE(stn_parse_utc(bad, &kept)) << bad;
        EXPECT_EQ(kept.year, 1) << bad;  // untouched
    }
    // A line's bytes need not end where the time does.
    const char line[] = "2026-12-08T19:40:05Z\",\"id\":1";
    EXPECT_TRUE(stn_parse_utc(line, 20, &t));
    EXPECT_FALSE(stn_parse_utc(line, 21, &t));
}

TEST(StationTime, MillisecondsSince1970) {
    const struct {
        const char *text;
        std::int64_t ms;
    } cases[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2000-03-01T00:00:00.000Z", 951868800000},
        {"2024-02-29T12:00:00Z", 1709208000000},
        {"2026-12-08T19:40:05.123Z", 1796758805123},
        {"9999-12-31T23:59:59.999Z", 253402300799999},
        {"1969-12-31T23:59:59Z", -1000},
    };
    for (const auto &c : cases) {
        std::int64_t ms = 0;
        ASSERT_TRUE(stn_utc_ms(c.text, &ms)) << c.text;
        EXPECT_EQ(ms, c.ms) << c.text;
    }
    std::int64_t ms = 7;
    EXPECT_FALSE(stn_utc_ms("yesterday", &ms));
    EXPECT_EQ(ms, 7);
}
