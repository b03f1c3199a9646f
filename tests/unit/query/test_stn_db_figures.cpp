// The line's figures computed by PostgreSQL (stn_db_figures over the
// columns upgrade-postgresql.sql fills) against the tally of the same
// lines read from files, field by field.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "stn_db_figures.h"
#include "stn_db_units.h"
#include "stn_sha256.h"
#include "stn_tally.h"
#include "stn_test_psql.h"
#include "stn_time.h"

namespace {

using stn_test::PsqlSql;

std::string sha(const std::string &s) {
    return stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(s.data()), s.size());
}

// A time of the test's day, "HH:MM:SS".
std::string at(const std::string &hms) { return "2026-12-01T" + hms + ".000Z"; }
std::int64_t ms(const std::string &hms) {
    std::int64_t v = 0;
    stn_utc_ms(at(hms), &v);
    return v;
}
const std::int64_t kNow = ms("00:00:00") + 9 * 24 * 3600000LL;

int g_id = 0;  // every line differs (its SHA-256 is the table's key)

// A unit line; serial "" leaves it out; more: members added at the end.
std::string unit(const std::string &time, const std::string &serial, const std::string &result,
                 const std::string &station, const std::string &order, const std::string &more = "") {
    return "{\"type\":\"unit\",\"time\":\"" + time + "\",\"id\":" + std::to_string(++g_id) +
           (serial.empty() ? "" : ",\"serial\":" + serial) + ",\"result\":\"" + result +
           "\",\"order\":\"" + order + "\",\"station\":\"" + station + "\"" + more + "}";
}
std::string run(const std::string &event, const std::string &time, const std::string &more = "") {
    return "{\"type\":\"run\",\"event\":\"" + event + "\",\"time\":\"" + time + "\",\"n\":" +
           std::to_string(++g_id) + more + "}";
}
std::string halt(const std::string &time, const std::string &more = "") {
    return "{\"type\":\"halt\",\"time\":\"" + time + "\",\"n\":" + std::to_string(++g_id) + more + "}";
}
std::string start(const std::string &time, const std::string &station, const std::string &order) {
    return "{\"type\":\"start\",\"time\":\"" + time + "\",\"id\":" + std::to_string(++g_id) +
           ",\"order\":\"" + order + "\",\"station\":\"" + station + "\"}";
}

// A report file: the station that delivered it, its lines. A line that
// begins with '!' goes to the database only (the files' reader reads it
// where PostgreSQL cannot).
struct Report {
    std::string station;
    std::vector<std::string> lines;
};

std::string member(const std::string &line, const std::string &name) {
    const std::string key = "\"" + name + "\":\"";
    const std::size_t a = line.find(key);
    if (a == std::string::npos) return "";
    const std::size_t b = line.find('"', a + key.size());
    return line.substr(a + key.size(), b - a - key.size());
}

std::string body(const std::string &l) { return l[0] == '!' ? l.substr(1) : l; }

// The reports' rows as the stations deliver them, the last report first.
std::string insert_sql(const std::vector<Report> &reports) {
    std::string sql;
    for (auto r = reports.rbegin(); r != reports.rend(); ++r) {
        const std::string rid = sha(body(r->lines.at(0)));
        std::int64_t seq = 0;
        for (const std::string &l : r->lines) {
            const std::string text = body(l);
            const std::string st = member(text, "station");
            sql += "INSERT INTO qvm_report_line (line_sha256, station, report_id, seq, line_type, "
                   "line_text) SELECT '" + sha(text) + "', " +
                   stn_test::sql_literal(st.empty() ? r->station : st) + ", '" + rid +
                   "', CAST('" + std::to_string(++seq) + "' AS BIGINT), " +
                   stn_test::sql_literal(member(text, "type")) + ", " +
                   stn_test::sql_literal(text) + " WHERE NOT EXISTS (SELECT 1 FROM "
                   "qvm_report_line WHERE line_sha256 = '" + sha(text) + "');\n";
        }
    }
    return sql;
}

// The tally of the files, as figures: the reports read in the order given.
StnFigures tally(const std::vector<Report> &reports, const StnFigureFilter &filter) {
    StnTally t;
    t.set_now(kNow);
    t.filter(filter);
    for (const Report &r : reports) {
        t.begin_file(sha(body(r.lines.at(0))));
        for (const std::string &l : r.lines) {
            if (l[0] == '!') {
                t.skip_line();
            } else {
                t.feed(l);
            }
        }
        t.end_file();
    }
    return t.summary();
}

std::string text(const StnGroupFigures &g) {
    std::ostringstream o;
    o << g.units << " u" << g.updated << " c" << g.current << " f" << g.failed << " i"
      << g.interrupted << " r" << g.rejected << " fp" << g.first_passed << "/" << g.first_tried;
    return o.str();
}
std::string text(const StnTimeline::Slot &s) {
    StnGroupFigures g;
    g.units = s.units;
    g.updated = s.updated;
    g.current = s.current;
    g.failed = s.failed;
    g.interrupted = s.interrupted;
    g.rejected = s.rejected;
    g.first_tried = s.first_tried;
    g.first_passed = s.first_passed;
    return text(g) + " run" + std::to_string(s.running_ms);
}

// Every figure (but skipped_lines, which files alone have), one per line.
std::string text(const StnFigures &f) {
    std::ostringstream o;
    o << "units " << f.units << " updated " << f.updated << " current " << f.current << " failed "
      << f.failed << " interrupted " << f.interrupted << " rejected " << f.rejected << "\n"
      << "recovered " << f.recovered << " unidentified " << f.unidentified_failed
      << " first " << f.first_passed << "/" << f.first_tried << "\nfailures";
    for (std::uint64_t n : f.failures) o << " " << n;
    o << "\nrunning " << f.running_ms << " halts " << f.halts << " bad " << f.bad_times << "\n";
    for (const auto &g : f.stations) o << "station " << g.first << ": " << text(g.second) << "\n";
    for (const auto &g : f.orders) o << "order " << g.first << ": " << text(g.second) << "\n";
    for (const auto &b : f.timeline.buckets(0)) o << b.label << ": " << text(b.slot) << "\n";
    o << "left out: " << text(f.timeline.left_out) << "\noffsets";
    for (const auto &z : f.utc_offsets) o << " " << z;
    o << "\nnot at the image";
    for (std::int64_t s : f.not_at_image) o << " " << s;
    return o.str();
}

class DbFigures : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(stn_test::PgServer::get().socket().empty()) << stn_test::PgServer::get().why();
        const std::string name = "qvm_query_" + std::to_string(getpid());
        PsqlSql admin("postgres");
        std::string out, why;
        ASSERT_TRUE(admin.exec("DROP DATABASE IF EXISTS " + name + ";\nCREATE DATABASE " + name +
                                   " ENCODING 'UTF8';\n",
                               &out, &why))
            << why;
        db_ = std::make_unique<PsqlSql>(name);
        const std::string dist = std::string(QVM_SOURCE_DIR) + "/dist/sql/";
        ASSERT_TRUE(db_->exec("\\i " + dist + "schema-postgresql.sql\n\\i " + dist +
                                  "upgrade-postgresql.sql\n",
                              &out, &why))
            << why;
        name_ = name;
    }
    void TearDown() override {
        std::string out, why;
        if (!name_.empty()) PsqlSql("postgres").exec("DROP DATABASE IF EXISTS " + name_ + ";\n", &out, &why);
    }
    // The reports put in the table (it is emptied first).
    void put(const std::vector<Report> &reports) {
        std::string out, why;
        ASSERT_TRUE(db_->exec("TRUNCATE qvm_report_line;\n" + insert_sql(reports), &out, &why))
            << why;
    }
    StnFigures figures(const StnFigureFilter &filter, StnDbFiguresInfo *info = nullptr) {
        StnFigures f;
        std::string why;
        EXPECT_TRUE(stn_db_figures(db_.get(), filter, kNow, &f, info, &why)) << why;
        return f;
    }

    std::unique_ptr<PsqlSql> db_;
    std::string name_;
};

StnFigureFilter only_order(const std::string &o) {
    StnFigureFilter f;
    f.by_order = true;
    f.order = o;
    return f;
}
StnFigureFilter window(std::int64_t from, std::int64_t to) {
    StnFigureFilter f;
    f.from_ms = from;
    f.to_ms = to;
    return f;
}
StnFigureFilter only_stations(std::vector<std::string> s) {
    StnFigureFilter f;
    f.stations = std::move(s);
    return f;
}

// Where the files' rules and the database's agree: the same figures.
TEST_F(DbFigures, TheSameFiguresAsTheTallyOfTheFiles) {
    const std::string off1 = ",\"utc_offset\":\"+01:00\"", off2 = ",\"utc_offset\":\"+02:00\"";
    struct Case {
        const char *name;
        std::vector<Report> reports;  // in the order the tally reads them
        StnFigureFilter filter;
    };
    const std::vector<Case> cases = {
        {"every result and kind, recovered, unidentified, rejected, times not right",
         {{"S1",
           {run("open", at("08:00:00"), off1 + ",\"order\":\"WO-1\""),
            start(at("08:00:01"), "S1", "WO-1"),
            unit(at("08:00:10"), "1", "updated", "S1", "WO-1"),
            unit(at("08:01:00"), "2", "failed", "S1", "WO-1", ",\"failure\":\"no_answer\""),
            unit(at("08:02:00"), "3", "failed", "S1", "WO-1", ",\"detail\":4294967291"),
            unit(at("08:03:00"), "4", "failed", "S1", "WO-1", ",\"detail\":5"),
            unit(at("08:03:30"), "4", "failed", "S1", "WO-1", ",\"failure\":\"bogus\""),
            unit(at("08:04:00"), "", "failed", "S1", "WO-1", ",\"failure\":\"unplugged\""),
            unit(at("08:05:00"), "5", "current", "S1", "WO-1"),
            unit(at("08:06:00"), "6", "rejected", "S1", "WO-1"),
            unit(at("08:07:00"), "6", "updated", "S1", "WO-2"),
            unit(at("08:08:00"), "7", "interrupted", "S1", "WO-2"),
            halt(at("08:09:00")),
            unit("1999-12-31T23:00:00.000Z", "9", "updated", "S1", "WO-2"),
            unit("2027-06-01T00:00:00Z", "10", "failed", "S1", "WO-2", ",\"failure\":\"refused\""),
            unit("yesterday", "11", "updated", "S1", "WO-2"),
            run("stop", at("08:20:00")),
            run("open", at("09:29:00"), off2),
            unit(at("09:30:00"), "7", "interrupted", "S1", "WO-2", ",\"recovered\":true"),
            unit(at("09:31:00"), "8", "updated", "S1", "WO-2"),
            "!" + unit(at("09:32:00"), "12", "failed", "S1", "WO-2", ",\"message\":\"\\u0000\"")}}},
         {}},
        {"a serial that fails at one station and passes at another later",
         {{"B",
           {run("open", at("10:00:30")), unit(at("10:01:00"), "20", "failed", "B", "WO-1"),
            run("stop", at("10:07:00"))}},
          {"A",
           {run("open", at("10:00:00")), unit(at("10:05:00"), "20", "updated", "A", "WO-1"),
            run("stop", at("10:10:00"))}}},
         {}},
        {"clock jumps, steps back, killed runs, lines outside runs",
         {{"S1",
           {run("open", at("10:00:00"), off1), unit(at("10:05:00"), "40", "updated", "S1", "W"),
            unit(at("12:00:00"), "41", "updated", "S1", "W"),
            run("clock", at("12:01:00"), off1 + ",\"was\":\"" + at("10:06:00") + "\""),
            unit(at("12:03:00"), "42", "updated", "S1", "W"),
            unit(at("11:00:00"), "43", "updated", "S1", "W"),
            unit(at("11:05:00"), "44", "failed", "S1", "W")}},
          {"S1",
           {start(at("13:00:00"), "S1", "W"), unit(at("13:01:00"), "45", "updated", "S1", "W"),
            unit(at("13:10:00"), "46", "updated", "S1", "W"), run("stop", at("13:20:00")),
            run("stop", at("13:40:00")), unit(at("13:50:00"), "47", "updated", "S1", "W"),
            run("open", "not a time"), unit(at("14:00:00"), "48", "updated", "S1", "W"),
            unit(at("14:30:00"), "49", "updated", "S1", "W"),
            run("clock", at("14:40:00"), ",\"was\":\"" + at("14:45:00") + "\""),
            unit(at("14:50:00"), "50", "updated", "S1", "W"), run("stop", at("15:00:00"))}}},
         {}},
        {"one order: its runs and line stops",
         {{"S1",
           {run("open", at("10:00:00"), ",\"order\":\"WO-1\""),
            unit(at("10:01:00"), "50", "updated", "S1", "WO-1"), halt(at("10:02:00")),
            run("stop", at("10:05:00"))}},
          {"S1",
           {run("open", at("11:00:00")), halt(at("11:01:00")),
            unit(at("11:02:00"), "51", "updated", "S1", "WO-2"), run("stop", at("11:03:00"))}},
          {"S1",
           {run("open", at("12:00:00")), halt(at("12:01:00")),
            unit(at("12:02:00"), "52", "failed", "S1", "WO-1"), run("stop", at("12:04:00"))}},
          {"S1",
           {run("open", at("13:00:00"), ",\"order\":\"WO-2\""),
            unit(at("13:01:00"), "53", "updated", "S1", "WO-1"),
            halt(at("13:02:00"), ",\"order\":\"WO-1\""), run("stop", at("13:03:00"))}},
          {"S1",
           {run("open", at("14:00:00")), unit(at("14:01:00"), "54", "updated", "S1", "WO-1"),
            run("clock", at("14:02:00"), ",\"order\":\"WO-2\""),
            unit(at("14:03:00"), "55", "updated", "S1", "WO-1"), halt(at("14:04:00")),
            run("stop", at("14:05:00"))}}},
         only_order("WO-1")},
        {"some stations",
         // Run lines name their station, as the station writes them (a
         // line before any that does is its file's "" but the sender's).
         {{"S1",
           {run("open", at("10:00:00"), off1 + ",\"station\":\"S1\""),
            unit(at("10:01:00"), "60", "updated", "S1", "")}},
          {"S2",
           {run("open", at("09:00:00"), off2 + ",\"station\":\"S2\""),
            unit(at("09:01:00"), "60", "failed", "S2", "")}},
          {"S3", {start(at("10:30:00"), "S3", ""), unit(at("10:31:00"), "61", "failed", "S3", "")}}},
         only_stations({"S1", "S3"})},
        {"a window, and a tie in time across reports",
         {{"S1",
           {run("open", at("10:00:00")), unit(at("10:10:00"), "1", "updated", "S1", ""),
            halt(at("10:12:00")), unit(at("10:20:00"), "2", "failed", "S1", ""),
            unit(at("10:40:00"), "3", "updated", "S1", ""),
            unit(at("10:50:00"), "2", "updated", "S1", ""), run("stop", at("10:55:00"))}},
          {"X", {unit(at("10:30:00"), "30", "failed", "X", "")}},
          {"Y", {unit(at("10:30:00"), "30", "updated", "Y", "")}}},
         window(ms("10:15:00"), ms("10:45:00"))},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        put(c.reports);
        const std::string want = text(tally(c.reports, c.filter));
        EXPECT_EQ(text(figures(c.filter)), want);
    }
}

// The rows handed back grow with the groups, not with the units.
TEST_F(DbFigures, RowsDoNotGrowWithUnits) {
    std::vector<std::uint64_t> rows;
    for (int n : {100, 10000}) {
        Report r{"S1", {run("open", at("10:00:00"), ",\"utc_offset\":\"+01:00\"")}};
        for (int i = 0; i < n; ++i) {
            const std::string time = stn_utc_text(ms("10:00:01") + i * (800000LL / n));
            r.lines.push_back(i % 10 == 0 ? unit(time, "999", "failed", "S1", "WO-1",
                                                 ",\"failure\":\"deadline\"")
                                          : unit(time, std::to_string(1000 + i), "updated", "S1",
                                                 "WO-1"));
        }
        r.lines.push_back(run("stop", at("10:14:00")));
        put({r});
        StnDbFiguresInfo info;
        const StnFigures f = figures({}, &info);
        ASSERT_EQ(f.units, static_cast<std::uint64_t>(n));
        EXPECT_EQ(info.stations, std::vector<std::string>{"S1"});
        std::printf("%d units: %llu rows in %llu queries\n", n,
                    static_cast<unsigned long long>(info.rows),
                    static_cast<unsigned long long>(info.queries));
        rows.push_back(info.rows);
    }
    EXPECT_EQ(rows[0], rows[1]);
}

}  // namespace

// The unit lines for the CSV (stn_db_units): in first-pass order across
// reports (a line without a believed time last), each numbered among its
// serial's, its station the row's when the line names none.
TEST_F(DbFigures, UnitLinesComeInFirstPassOrderNumberedBySerial) {
    const std::string no_station = "{\"type\":\"unit\",\"time\":\"" + at("09:30:00") +
                                   "\",\"id\":900,\"result\":\"failed\",\"order\":\"W\"}";
    put({{"A", {run("open", at("08:59:00")), unit(at("10:00:00"), "7", "failed", "A", "W"),
                unit(at("09:00:00"), "8", "updated", "A", "W"), no_station,
                unit("2040-01-01T00:00:00.000Z", "7", "updated", "A", "W")}},
         {"B", {unit(at("09:10:00"), "7", "updated", "B", "W"),
                unit(at("08:00:00"), "7", "rejected", "B", "W")}}});
    struct Case {
        const char *name;
        StnFigureFilter filter;
        std::vector<std::string> want;  // time station attempt
    };
    StnFigureFilter window;
    window.from_ms = ms("09:00:00");
    window.to_ms = ms("10:00:00");
    const Case cases[] = {
        {"every line", StnFigureFilter{},
         {at("08:00:00") + " B 1", at("09:00:00") + " A 1", at("09:10:00") + " B 2",
          at("09:30:00") + " A 0", at("10:00:00") + " A 3", "2040-01-01T00:00:00.000Z A 4"}},
        {"one station", only_stations({"A"}),
         {at("09:00:00") + " A 1", at("09:30:00") + " A 0", at("10:00:00") + " A 1",
          "2040-01-01T00:00:00.000Z A 2"}},
        {"a window", window,
         {at("09:00:00") + " A 1", at("09:10:00") + " B 1", at("09:30:00") + " A 0"}},
    };
    for (const Case &c : cases) {
        std::vector<std::string> got;
        std::uint64_t rows = 0;
        std::string why;
        ASSERT_TRUE(stn_db_units(
            db_.get(), c.filter, kNow,
            [&](const StnReportLine &l, std::uint64_t attempt) {
                got.push_back(l.time + " " + l.station + " " + std::to_string(attempt));
            },
            &rows, &why))
            << c.name << ": " << why;
        EXPECT_EQ(got, c.want) << c.name;
        EXPECT_EQ(rows, c.want.size()) << c.name;
    }
}
