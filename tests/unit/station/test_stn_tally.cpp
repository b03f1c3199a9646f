// The tally of a station report: counts by result, first-pass yield, units
// per hour, the serials not at the image, failures by kind (named, or from
// the detail code of older lines) and the lines it skips.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "stn_reading.h"
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
        // Serial 1 passed first (12:00) and failed last (12:30).
        {"times out of order, without milliseconds, and not times",
         {unit("12:30:00.000", "1", "failed"), unit("12:00:00", "1", "updated"),
          unit("12:15:00.000", "2", "updated"), unit("bad", "3", "updated"),
          unit("25:00:00.000", "4", "updated")},
         5, 4, 0, 1, 0, 0, 0, 0, 1.0, 20.0, {1}},
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
    const StnFigures f = t.summary();
    EXPECT_EQ(f.orders.at("").rejected, 2u);
    EXPECT_EQ(f.orders.at("").first_tried, 2u);
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
    const StnFigures f = t.summary();
    const auto figures = [](const StnGroupFigures &g) {
        return std::to_string(g.units) + " " + std::to_string(g.updated) + " " +
               std::to_string(g.failed) + " " + std::to_string(g.first_passed) + "/" +
               std::to_string(g.first_tried);
    };
    // A serial's first pass belongs where its first unit line is; the
    // older line without a station is its report's (A, the first named).
    EXPECT_EQ(figures(f.orders.at("WO-1")), "2 1 1 0/1");
    EXPECT_EQ(figures(f.orders.at("WO-2")), "3 1 1 1/2");
    EXPECT_EQ(figures(f.orders.at("")), "1 1 0 1/1");
    EXPECT_EQ(figures(f.stations.at("A")), "3 2 1 2/3");
    EXPECT_EQ(figures(f.stations.at("B")), "3 1 1 0/1");
    EXPECT_EQ(f.stations.count(""), 0u);
    EXPECT_DOUBLE_EQ(f.orders.at("WO-2").first_pass_yield(), 0.5);
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
        EXPECT_LE(t.summary().timeline.buckets(0).size(), 30u) << c.name;
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

namespace {

// A unit line of a station at a whole UTC time ("" time: none).
std::string unit_of(const char *station, const std::string &utc, int serial, const char *result,
                    const char *order = "WO-1") {
    return "{\"type\":\"unit\"" + (utc.empty() ? std::string() : ",\"time\":\"" + utc + "Z\"") +
           ",\"id\":1,\"serial\":" + std::to_string(serial) + ",\"result\":\"" + result +
           "\",\"order\":\"" + order + "\"" +
           (*station != '\0' ? std::string(",\"station\":\"") + station + "\"" : "") + "}";
}
std::string run_of(const char *station, const char *event, const std::string &utc,
                   const char *offset = "+01:00") {
    return "{\"type\":\"run\",\"time\":\"" + utc + "Z\",\"event\":\"" + event +
           "\",\"station\":\"" + station + "\",\"utc_offset\":\"" + offset + "\"}";
}

struct Report {
    std::string id;  // its identity (the SHA-256 of its first line, as read)
    std::vector<std::string> lines;
};

StnFigures read_all(const std::vector<Report> &reports, const StnFigureFilter &filter = {}) {
    StnTally t;
    t.filter(filter);
    for (const Report &r : reports) {
        t.begin_file(r.id);
        for (const std::string &l : r.lines) t.feed(l);
        t.end_file();
    }
    return t.summary();
}

// What a test compares of two figures: yield, groups, the serials not at
// the image, the zone(s), the first passes over time.
std::string said(const StnFigures &f) {
    std::string out = std::to_string(f.first_passed) + "/" + std::to_string(f.first_tried);
    for (const auto &g : f.stations) {
        out += " " + g.first + ":" + std::to_string(g.second.first_passed) + "/" +
               std::to_string(g.second.first_tried);
    }
    out += " not at image:";
    for (std::int64_t s : f.not_at_image) out += " " + std::to_string(s);
    out += " zones:";
    for (const std::string &z : f.utc_offsets) out += " " + z;
    out += " by hour:";
    for (const auto &b : f.timeline.buckets(0)) {
        out += " " + b.label.substr(11) + "=" + std::to_string(b.slot.first_passed) + "/" +
               std::to_string(b.slot.first_tried);
    }
    return out;
}

}  // namespace

TEST(StnTally, FirstPassLastLineAndZoneAreByTimeWhateverTheFileOrder) {
    const std::string d = "2026-12-08T";
    struct Case {
        const char *name;
        std::vector<Report> reports;
        std::string figures;
    };
    const Case cases[] = {
        {"fails at B at 10:00 after passing at A at 09:00; A's run is the later",
         {{"aa", {run_of("A", "open", d + "08:30:00", "+02:00"),
                  unit_of("A", d + "09:00:00", 1, "updated")}},
          {"bb", {run_of("B", "open", d + "08:00:00", "-05:00"),
                  unit_of("B", d + "10:00:00", 1, "failed"),
                  unit_of("B", d + "10:05:00", 2, "current")}}},
         "1/1 A:1/1 B:0/0 not at image: 1 zones: -05:00 +02:00 by hour: 08:00=0/0 09:00=1/1 "
         "10:00=0/0"},
        {"the same time: the report whose identity is less",
         {{"b7", {unit_of("B", d + "10:00:00", 1, "failed")}},
          {"a9", {unit_of("A", d + "10:00:00", 1, "updated")}}},
         "1/1 A:1/1 B:0/0 not at image: 1 zones: by hour: 10:00=1/1"},
        {"the same time in one report: the line before",
         {{"cc", {unit_of("A", d + "10:00:00", 1, "failed"),
                  unit_of("A", d + "10:00:00", 1, "updated")}},
          {"dd", {unit_of("B", d + "09:00:00", 2, "rejected")}}},
         "0/1 A:0/1 B:0/0 not at image: zones: by hour: 09:00=0/0 10:00=0/1"},
        {"a line without a time after every timed one; a rejection is no pass",
         {{"ee", {unit_of("A", "", 1, "updated"), unit_of("A", d + "11:00:00", 1, "rejected")}},
          {"ff", {unit_of("B", d + "10:00:00", 1, "failed")}}},
         "0/1 A:0/0 B:0/1 not at image: zones: by hour: 10:00=0/1 11:00=0/0"},
    };
    for (const Case &c : cases) {
        const StnFigures forward = read_all(c.reports);
        EXPECT_EQ(said(forward), c.figures) << c.name;
        const StnFigures backward = read_all({c.reports.rbegin(), c.reports.rend()});
        EXPECT_EQ(said(backward), c.figures) << c.name << " (read backwards)";
    }
}

TEST(StnTally, StationsAndAWindowChooseTheLinesThatCount) {
    const std::string d = "2026-12-08T";
    const std::string halt = "{\"type\":\"halt\",\"time\":\"" + d + "09:10:00Z\",\"count\":5}";
    // A ran 08-10 (its unit and line stop name no station: A's report's),
    // B 08-11, both with a line stop; C's report was killed at 12:00.
    const std::vector<Report> line = {
        {"a", {run_of("A", "open", d + "08:00:00"), unit_of("", d + "09:00:00", 1, "updated"), halt,
               run_of("A", "stop", d + "10:00:00")}},
        {"b", {run_of("B", "open", d + "08:00:00"), unit_of("B", d + "08:30:00", 2, "failed"),
               unit_of("B", d + "09:45:00", 3, "updated"), halt,
               run_of("B", "stop", d + "11:00:00")}},
        {"c", {run_of("C", "open", d + "08:00:00"), unit_of("C", d + "08:15:00", 4, "updated"),
               unit_of("C", d + "12:00:00", 5, "updated")}},
    };
    constexpr std::int64_t k8 = 1796716800000;  // 2026-12-08T08:00:00Z
    constexpr std::int64_t kMin = 60000;
    struct Case {
        const char *name;
        std::vector<std::string> stations;
        std::int64_t from, to;
        std::uint64_t units, running_min, halts;
    };
    const Case cases[] = {
        {"every line", {}, INT64_MIN, INT64_MAX, 5, 2 * 60 + 3 * 60 + 4 * 60, 2},
        {"A", {"A"}, INT64_MIN, INT64_MAX, 1, 120, 1},
        {"B and C", {"C", "B"}, INT64_MIN, INT64_MAX, 4, 180 + 240, 1},
        {"a station no line names", {"D"}, INT64_MIN, INT64_MAX, 0, 0, 0},
        // 09:00 to 09:30: A's unit and both line stops; half an hour of
        // each run (C's stretched to its 12:00 unit, outside).
        {"09:00 to 09:30", {}, k8 + 60 * kMin, k8 + 90 * kMin, 1, 3 * 30, 2},
        {"from 10:30", {}, k8 + 150 * kMin, INT64_MAX, 1, 30 + 90, 0},
        {"B before 08:45", {"B"}, INT64_MIN, k8 + 45 * kMin, 1, 45, 0},
    };
    for (const Case &c : cases) {
        StnFigureFilter filter;
        filter.stations = c.stations;
        filter.from_ms = c.from;
        filter.to_ms = c.to;
        const StnFigures f = read_all(line, filter);
        EXPECT_EQ(f.units, c.units) << c.name;
        EXPECT_EQ(f.running_ms, c.running_min * kMin) << c.name;
        EXPECT_EQ(f.halts, c.halts) << c.name;
        // The timeline holds the same time and units, clipped alike.
        std::uint64_t ms = 0, units = 0;
        for (const auto &b : f.timeline.buckets(0)) {
            ms += b.slot.running_ms;
            units += b.slot.units;
        }
        EXPECT_EQ(ms, f.running_ms) << c.name;
        EXPECT_EQ(units, f.units) << c.name;
    }
}

TEST(StnTally, TheReportsIdentityIsTheHashOfItsFirstLine) {
    // Serial 1 at the same time in two reports: the one whose first line
    // hashes less holds its first pass, whichever is read first.
    // sha256("x") = 2d71..., sha256("y") = a1fc...: "x" is first.
    const std::string u = "2026-12-08T10:00:00Z";
    const std::string failed = "x\r\n" + unit_of("A", u, 1, "failed") + "\n";
    const std::string passed = "y\n" + unit_of("B", u, 1, "updated") + "\n";
    for (const auto &order : {std::make_pair(&failed, &passed), std::make_pair(&passed, &failed)}) {
        StnReading reading(StnReading::Options{});
        for (const std::string *bytes : {order.first, order.second}) {
            StnMemorySource source(*bytes);
            ASSERT_TRUE(reading.read(&source, nullptr));
        }
        const StnFigures f = reading.tally.summary();
        EXPECT_EQ(f.stations.at("A").first_tried, 1u);
        EXPECT_EQ(f.first_passed, 0u);
        EXPECT_EQ(f.skipped_lines, 2u);
    }
}
