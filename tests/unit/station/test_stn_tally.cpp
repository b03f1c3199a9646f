// The tally of a station report: counts by result, first-pass yield, units
// per hour, the serials not at the image, failures by kind (named, or from
// the detail code of older lines) and the lines it skips.
#include <gtest/gtest.h>

#include <algorithm>
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
        std::uint64_t units, updated, current, failed, interrupted, recovered, unidentified,
            skipped;
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
         // The line without a serial is a first pass that failed; the
         // recovered line, written at a later start, stretches no run.
         7, 2, 1, 3, 1, 1, 1, 6, 0.2, 8.4, {104, 105}},
        {"nothing", {}, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1, {}},
        {"only current units, under a minute",
         {unit("10:00:00.000", "1", "current"), unit("10:00:59.999", "2", "current")},
         2, 0, 2, 0, 0, 0, 0, 0, -1, -1, {}},
        // A step back cuts the run: 12:30 alone, then 12:00 to 12:15.
        {"times out of order, without milliseconds, and not times",
         {unit("12:30:00.000", "1", "failed"), unit("12:00:00", "1", "updated"),
          unit("12:15:00.000", "2", "updated"), unit("bad", "3", "updated"),
          unit("25:00:00.000", "4", "updated")},
         5, 4, 0, 1, 0, 0, 0, 0, 0.75, 20.0, {}},
        {"only units that were never identified",
         {unit("10:00:00.000", "null", "failed"), unit("10:01:00.000", "null", "interrupted")},
         2, 0, 0, 1, 1, 0, 1, 0, 0.0, 120.0, {}},
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
        EXPECT_EQ(t.unidentified_failed, c.unidentified) << c.name;
        EXPECT_EQ(t.skipped_lines, c.skipped) << c.name;
        EXPECT_DOUBLE_EQ(t.first_pass_yield(), c.yield) << c.name;
        EXPECT_NEAR(t.units_per_hour(), c.per_hour, 1e-9) << c.name;
        EXPECT_EQ(t.not_at_image(), c.not_at_image) << c.name;
    }
}

TEST(StnTally, RejectedUnitsAreCountedApartAndAreNoPass) {
    // 201 rejected, then written; 202 only rejected; 203 failed.
    StnTally t;
    for (const std::string &l :
         {unit("10:00:00.000", "201", "rejected", ",\"reason\":\"on hold\""),
          unit("10:01:00.000", "202", "rejected"), unit("10:02:00.000", "201", "updated"),
          unit("10:03:00.000", "203", "failed", ",\"failure\":\"refused\"")}) {
        t.feed(l);
    }
    EXPECT_EQ(t.skipped_lines, 0u);
    EXPECT_EQ(t.units, 4u);
    EXPECT_EQ(t.rejected, 2u);
    EXPECT_EQ(t.failed, 1u);
    EXPECT_EQ(t.updated, 1u);
    EXPECT_DOUBLE_EQ(t.first_pass_yield(), 0.5);  // 201's first pass is its update
    EXPECT_EQ(t.attempt, 1u);                      // 203's first line
    EXPECT_EQ(t.orders[""].rejected, 2u);
    EXPECT_EQ(t.orders[""].first_tried, 2u);
    EXPECT_EQ(t.figures().rejected, 2u);
    EXPECT_EQ(t.not_at_image(), std::vector<std::int64_t>{203});
}

TEST(StnTally, UnitsPerHourCountOnlyTheTimeTheStationRan) {
    const auto run = [](const char *event, const std::string &time) {
        return "{\"type\":\"run\",\"time\":\"2026-12-08T" + time + "Z\",\"event\":\"" + event +
               "\",\"station\":\"PC-7\",\"utc_offset\":\"+01:00\",\"version\":\"3.50\"}";
    };
    struct Case {
        const char *name;
        std::vector<std::vector<std::string>> files;
        std::uint64_t running_ms;
        double per_hour;
    };
    const Case cases[] = {
        {"two runs with a night between",
         {{run("open", "08:00:00.000"), unit("08:30:00.000", "1", "updated"),
           unit("09:00:00.000", "2", "updated"), run("stop", "10:00:00.000"),
           run("open", "20:00:00.000"), unit("20:10:00.000", "3", "updated"),
           run("stop", "21:00:00.000")}},
         3 * 3600000, 1.0},
        {"a run killed before its stop ends at its last line",
         {{run("open", "08:00:00.000"), unit("08:30:00.000", "1", "updated"),
           "{\"type\":\"start\",\"time\":\"2026-12-08T09:00:00.000Z\",\"id\":2}",
           run("open", "12:00:00.000"), unit("12:00:00.000", "2", "interrupted",
                                              ",\"recovered\":true"),
           unit("12:30:00.000", "3", "updated"), run("stop", "13:00:00.000")}},
         2 * 3600000, 1.5},
        {"lines of an older version before the first run line",
         {{unit("06:00:00.000", "1", "updated"), unit("07:00:00.000", "2", "updated"),
           run("open", "08:00:00.000"), unit("09:00:00.000", "3", "updated")}},
         2 * 3600000, 1.5},
        {"a run never spans two files",
         {{run("open", "08:00:00.000"), unit("08:30:00.000", "1", "updated")},
          {unit("12:00:00.000", "2", "updated"), unit("12:30:00.000", "3", "updated")}},
         3600000, 3.0},
        {"a stop line without an open one, and run lines that are not",
         {{unit("08:00:00.000", "1", "updated"), run("stop", "08:30:00.000"),
           run("stop", "09:30:00.000"), run("pause", "10:00:00.000"),
           unit("11:00:00.000", "2", "updated"), run("open", "bad"),
           unit("11:10:00.000", "3", "updated")}},
         // The implicit run ends at the first stop; a run line without a time
         // ends the run it falls in and begins none.
         30 * 60000, 6.0},
    };
    for (const Case &c : cases) {
        StnTally t;
        for (const auto &file : c.files) {
            for (const std::string &l : file) t.feed(l);
            t.end_file();
        }
        EXPECT_EQ(t.running_ms(), c.running_ms) << c.name;
        EXPECT_NEAR(t.units_per_hour(), c.per_hour, 1e-9) << c.name;
    }
}

TEST(StnTally, TheFastReadEqualsAFullParse) {
    const std::string u = "{\"type\":\"unit\",\"time\":\"2026-12-08T10:00:00.000Z\",\"id\":7,"
                          "\"index\":3,\"serial\":84600001,\"mcu_version\":288,"
                          "\"old_version\":\"3.41\",\"new_version\":\"3.62\",";
    const std::vector<std::string> lines = {
        u + "\"result\":\"updated\",\"detail\":0,\"ms\":2210,\"image_sha256\":\"ab\"}",
        u + "\"result\":\"failed\",\"detail\":57348,\"failure\":\"refused\","
            "\"message\":\"device 3: \\\"E004\\\" \\u00e9\\ud83d\\ude00 "
            "\\/\\b\\f\\n\\r\\t\",\"ms\":1}",
        u + "\"result\":\"updated\"}\r",
        " \xEF\xBB\xBF{\"type\":\"unit\",\"result\":\"current\"}",  // no mark after a blank
        "\xEF\xBB\xBF{\"type\":\"unit\",\"result\":\"current\"}",
        "{\"result\":\"interrupted\",\"recovered\":true,\"id\":3,\"type\":\"unit\"}",
        "{\"type\":\"unit\",\"result\":\"updated\",\"id\":1,\"id\":\"x\"}",  // the last counts
        "{\"type\":\"unit\",\"result\":\"updated\",\"id\":\"x\",\"id\":2}",
        "{\"type\":\"unit\",\"result\":\"failed\",\"serial\":-84600001,\"detail\":-0,\"ms\":-1}",
        "{\"type\":\"unit\",\"result\":\"failed\",\"serial\":9223372036854775808,"
        "\"id\":18446744073709551615,\"index\":18446744073709551616,\"detail\":1e3}",
        "{\"type\":\"unit\",\"result\":\"failed\",\"serial\":-9223372036854775808,\"ms\":1.5}",
        "{\"type\":\"unit\",\"result\":\"failed\",\"serial\":-9223372036854775809}",
        "{\"type\":\"unit\",\"result\":\"updated\",\"extra\":[1,{\"a\":null}],\"id\":4}",
        "{\"type\":\"unit\",\"result\":\"updated\",\"extra\":[1,}",
        "{\"type\":\"start\",\"time\":\"t\",\"id\":5}",
        "{\"type\":\"run\",\"time\":\"t\",\"event\":\"stop\"}",
        "{\"type\":\"run\",\"time\":\"t\",\"event\":\"lunch\"}",
        "{ \"type\" :\t\"unit\" , \"result\" : \"updated\" , \"recovered\" : false } \t",
        "{}", "[]", "", "{", "{\"type\":\"unit\"", "{\"type\":\"unit\",}", "{\"type\" \"unit\"}",
        "{\"type\":\"unit\",\"result\":\"updated\"}x", "{\"a\":01}", "{\"a\":1.}", "{\"a\":-}",
        "{\"a\":1e}", "{\"a\":tru}", "{\"a\":nul}", "{\"a\":\"\\x\"}", "{\"a\":\"\\u12\"}",
        "{\"a\":\"\\ud800\"}", "{\"a\":\"\\udc00\"}", "{\"a\":\"\\ud800\\u0041\"}",
        "{\"a\":\"\x01\"}", "{\"a\":\"\xC0\xAF\"}", "{\"a\":\"\xED\xA0\x80\"}",
        "{\"a\":\"\xF4\x90\x80\x80\"}", "{\"a\":\"\xE2\x82\"}", "{\"a\":\"\x7F\"}",
        "{\"a\":1}\r\r", std::string("{\"a\":1}\0", 8), "\xEF\xBB{}",
    };
    for (const std::string &l : lines) {
        EXPECT_TRUE(stn_read_report_line(l) == stn_read_report_line_json(l)) << l;
    }
    // The kinds the table reaches, so that it tests what it means to.
    EXPECT_EQ(stn_read_report_line(lines[1]).message,
              "device 3: \"E004\" \xC3\xA9\xF0\x9F\x98\x80 /\b\f\n\r\t");
    EXPECT_EQ(stn_read_report_line(lines[4]).kind, StnReportLine::kUnit);
    EXPECT_EQ(stn_read_report_line(lines[7]).id, 2u);
    EXPECT_EQ(stn_read_report_line(lines[8]).serial, -84600001);
    EXPECT_EQ(stn_read_report_line(lines[12]).id, 4u);
    EXPECT_TRUE(stn_read_report_line(lines[15]).stop);
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

TEST(StnTally, WorkOrdersStationsLineStopsAndAttempts) {
    // Two stations, two orders: serial 1 fails then passes on another
    // station, serial 2 passes at once, serial 3 was current, one unit
    // failed before its serial was read, and the line stopped once.
    const auto unit = [](const char *result, const char *serial, const char *order,
                         const char *station) {
        return std::string("{\"type\":\"unit\",\"time\":\"2026-12-09T08:00:00.000Z\",\"id\":1,") +
               "\"serial\":" + serial + ",\"result\":\"" + result + "\",\"detail\":" +
               (std::string(result) == "failed" ? "57348" : "0") + ",\"operator\":\"Zoë\"," +
               "\"order\":\"" + order + "\",\"station\":\"" + station + "\"}";
    };
    StnTally t;
    const struct {
        std::string line;
        std::uint64_t attempt;
    } lines[] = {
        {unit("failed", "1", "WO-1", "A"), 1},
        {unit("updated", "1", "WO-1", "B"), 2},
        {unit("updated", "2", "WO-2", "A"), 1},
        {unit("current", "3", "WO-2", "B"), 1},
        {unit("failed", "null", "WO-2", "B"), 0},
        {"{\"type\":\"halt\",\"time\":\"2026-12-09T08:01:00.000Z\",\"count\":5,\"index\":null}", 0},
        {"{\"type\":\"unit\",\"id\":9,\"serial\":4,\"result\":\"updated\"}", 1},  // an older line
    };
    for (const auto &l : lines) {
        t.feed(l.line);
        EXPECT_EQ(t.attempt, l.attempt) << l.line;
    }
    EXPECT_EQ(t.halts, 1u);
    EXPECT_EQ(stn_read_report_line(lines[0].line).operator_name, "Zoë");
    const auto figures = [](const StnTally::Group &g) {
        return std::to_string(g.units) + " " + std::to_string(g.updated) + " " +
               std::to_string(g.failed) + " " + std::to_string(g.first_passed) + "/" +
               std::to_string(g.first_tried);
    };
    // A serial's first pass belongs where its first unit line is.
    EXPECT_EQ(figures(t.orders.at("WO-1")), "2 1 1 0/1");
    EXPECT_EQ(figures(t.orders.at("WO-2")), "3 1 1 1/2");
    EXPECT_EQ(figures(t.orders.at("")), "1 1 0 1/1");
    EXPECT_EQ(figures(t.stations.at("A")), "2 1 1 1/2");
    EXPECT_EQ(figures(t.stations.at("B")), "3 1 1 0/1");
    EXPECT_DOUBLE_EQ(t.orders.at("WO-2").first_pass_yield(), 0.5);
}

namespace {

// Lines with whole times ("2026-12-08T10:00:00.000"); order null: none named.
std::string run_at(const char *event, const std::string &utc, const char *order = nullptr) {
    return "{\"type\":\"run\",\"time\":\"" + utc + "Z\",\"event\":\"" + event +
           "\",\"station\":\"PC-7\",\"utc_offset\":\"+01:00\",\"version\":\"3.50\"" +
           (order != nullptr ? std::string(",\"order\":\"") + order + "\"" : "") + "}";
}
// A clock line that says where the clock stood before it jumped.
std::string clock_at(const std::string &utc, const std::string &was) {
    std::string l = run_at("clock", utc);
    return l.insert(l.size() - 1, ",\"was\":\"" + was + "Z\"");
}
std::string unit_at(const std::string &utc, int serial, const char *order = "") {
    return "{\"type\":\"unit\",\"time\":\"" + utc + "Z\",\"id\":1,\"serial\":" +
           std::to_string(serial) + ",\"result\":\"updated\",\"order\":\"" + order + "\"}";
}
std::string halt_at(const std::string &utc, const char *order = nullptr) {
    return "{\"type\":\"halt\",\"time\":\"" + utc + "Z\",\"count\":5" +
           (order != nullptr ? std::string(",\"order\":\"") + order + "\"" : "") + "}";
}
constexpr std::int64_t kHour = 3600000;

}  // namespace

TEST(StnTally, ClockJumpsCutARunAndTimesThatCannotBeRightAreNotUsed) {
    struct Case {
        const char *name;
        std::vector<std::string> lines;
        std::uint64_t running_ms, bad_times;
    };
    const std::string d = "2026-12-08T";
    const Case cases[] = {
        {"booted with the clock in 2001, set right during the run",
         {run_at("open", "2001-01-01T08:00:00.000"), unit_at("2001-01-01T08:30:00.000", 1),
          run_at("clock", d + "10:00:00.000"), unit_at(d + "10:30:00.000", 2),
          run_at("stop", d + "11:00:00.000")},
         30 * 60000 + kHour, 0},
        {"the clock set back during a run, without a clock line",
         {run_at("open", d + "10:00:00.000"), unit_at(d + "10:30:00.000", 1),
          unit_at(d + "09:00:00.000", 2), unit_at(d + "09:30:00.000", 3),
          run_at("stop", d + "10:00:00.000")},
         30 * 60000 + kHour, 0},
        {"a line stamped after a jump forwards, before the station saw it",
         {run_at("open", d + "08:00:00.000"), unit_at(d + "08:00:04.000", 1),
          unit_at(d + "09:30:00.000", 2),
          clock_at(d + "09:30:00.010", d + "08:00:05.000"),
          run_at("stop", d + "10:00:00.010")},
         5000 + 30 * 60000, 0},
        {"a unit line edited to the year 9999",
         {run_at("open", d + "10:00:00.000"), unit_at("9999-12-08T10:05:00.000", 1),
          run_at("stop", d + "10:30:00.000")},
         30 * 60000, 1},
        {"before 2000, and more than a day after the reader's clock",
         {unit_at("1999-12-31T23:59:59.999", 1), unit_at(d + "10:00:00.000", 2),
          unit_at("2026-12-09T11:00:00.000", 3), unit_at("2026-12-09T12:00:00.001", 4)},
         25 * kHour, 2},
        {"a run line whose time cannot be right begins no run",
         {run_at("open", "1970-01-01T00:00:00.000"), unit_at(d + "10:00:00.000", 1),
          unit_at(d + "10:20:00.000", 2), run_at("clock", "2100-01-01T00:00:00.000"),
          unit_at(d + "11:00:00.000", 3), unit_at(d + "11:10:00.000", 4)},
         30 * 60000, 2},
    };
    for (const Case &c : cases) {
        StnTally t;
        t.set_now(1796731200000);  // 2026-12-08T12:00:00Z
        for (const std::string &l : c.lines) t.feed(l);
        t.end_file();
        EXPECT_EQ(t.running_ms(), c.running_ms) << c.name;
        EXPECT_EQ(t.bad_times, c.bad_times) << c.name;
        // A line whose time is not used still counts as a unit.
        EXPECT_EQ(t.units, static_cast<std::uint64_t>(std::count_if(
                               c.lines.begin(), c.lines.end(),
                               [](const std::string &l) { return l.find("unit") != std::string::npos; })))
            << c.name;
        // Nothing on the timeline outside the times believed: a few hours.
        EXPECT_LE(t.timeline.buckets(0).size(), 30u) << c.name;
    }
    // A reader whose own clock cannot be right judges no time as later.
    StnTally t;
    t.set_now(0);
    t.feed(unit_at("2090-01-01T00:00:00.000", 1));
    EXPECT_EQ(t.bad_times, 0u);
}

TEST(StnTally, AnOrderCountsTheRunningTimeAndLineStopsOfItsRuns) {
    struct Case {
        const char *name;
        std::vector<std::string> lines;
        const char *order;
        std::uint64_t units, running_ms, halts;
    };
    const std::string d = "2026-12-08T";
    // 08-12 WO-1, 12-16 WO-2 with a line stop, as the station writes them now.
    const std::vector<std::string> named = {
        run_at("open", d + "08:00:00.000", "WO-1"), unit_at(d + "09:00:00.000", 1, "WO-1"),
        run_at("stop", d + "12:00:00.000", "WO-1"), run_at("open", d + "12:00:00.000", "WO-2"),
        unit_at(d + "13:00:00.000", 2, "WO-2"),     halt_at(d + "13:01:00.000", "WO-2"),
        run_at("stop", d + "16:00:00.000", "WO-2")};
    // The same from before run and halt lines named their order.
    const std::vector<std::string> older = {
        run_at("open", d + "08:00:00.000"), unit_at(d + "09:00:00.000", 1, "WO-1"),
        run_at("stop", d + "12:00:00.000"), run_at("open", d + "12:00:00.000"),
        unit_at(d + "13:00:00.000", 2, "WO-2"), halt_at(d + "13:01:00.000"),
        run_at("stop", d + "16:00:00.000")};
    // Older still: no run lines at all.
    const std::vector<std::string> oldest = {
        unit_at(d + "08:00:00.000", 1, "WO-1"), unit_at(d + "09:00:00.000", 2, "WO-1"),
        unit_at(d + "09:30:00.000", 3, "WO-2"), unit_at(d + "11:30:00.000", 4, "WO-2")};
    // A run that names its order ("" for none) is that order's, whatever
    // its units say; a clock line goes on with the run's order (the time
    // before it ends at the last line before it).
    const std::vector<std::string> mixed = {
        run_at("open", d + "08:00:00.000", ""), unit_at(d + "09:00:00.000", 1, "WO-1"),
        halt_at(d + "09:01:00.000"), run_at("stop", d + "10:00:00.000", ""),
        run_at("open", d + "10:00:00.000", "WO-1"), unit_at(d + "10:40:00.000", 3, "WO-1"),
        run_at("clock", d + "11:00:00.000"),
        halt_at(d + "11:01:00.000"), run_at("stop", d + "11:30:00.000")};
    const Case cases[] = {
        {"named, WO-1", named, "WO-1", 1, 4 * kHour, 0},
        {"named, WO-2", named, "WO-2", 1, 4 * kHour, 1},
        {"named, another order", named, "WO-3", 0, 0, 0},
        {"older, WO-1", older, "WO-1", 1, 4 * kHour, 0},
        {"older, WO-2", older, "WO-2", 1, 4 * kHour, 1},
        {"oldest, WO-1", oldest, "WO-1", 2, kHour, 0},
        {"oldest, WO-2", oldest, "WO-2", 2, 2 * kHour, 0},
        {"mixed, none named", mixed, "", 0, 2 * kHour, 1},
        {"mixed, WO-1", mixed, "WO-1", 2, 70 * 60000, 1},
    };
    for (const Case &c : cases) {
        StnTally t;
        t.only_order(c.order);
        for (const std::string &l : c.lines) t.feed(l);
        t.end_file();
        EXPECT_EQ(t.units, c.units) << c.name;
        EXPECT_EQ(t.running_ms(), c.running_ms) << c.name;
        EXPECT_EQ(t.halts, c.halts) << c.name;
    }
    // Without an order, every run and every stop.
    StnTally all;
    for (const std::string &l : named) all.feed(l);
    EXPECT_EQ(all.running_ms(), 8 * kHour);
    EXPECT_EQ(all.halts, 1u);
}
