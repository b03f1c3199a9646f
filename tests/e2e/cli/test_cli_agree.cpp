// Report files and the database they were shipped to give the same
// figures: qvm_cli.exe under Wine ships three stations' reports to the test
// session's PostgreSQL (its table upgraded as pg-server.sh does), then
// `report --json` over the files and `report --database --json` must agree
// field by field (but for what only files or only the database know), the
// pages (--html) in every data-value, and the CSV in every row; with
// --station, --order and --from/--to too.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>

#include <nlohmann/json.hpp>

#include "cli_e2e_run.h"
#include "cli_pg.h"

using cli_e2e::Output;
using cli_e2e::quoted;

namespace {

// ---- The reports ----

std::string at(const std::string &hms) { return "2026-12-08T" + hms + ".000Z"; }

std::string run(const char *st, const std::string &time, const char *event, const char *offset,
                const char *order, const std::string &more = "") {
    return std::string("{\"type\":\"run\",\"time\":\"") + time + "\",\"event\":\"" + event +
           "\",\"station\":\"" + st + "\",\"utc_offset\":\"" + offset +
           "\",\"version\":\"3.50\",\"order\":\"" + order + "\"" + more + "}";
}
// serial < 0: none.
std::string unit(const char *st, const std::string &time, long long serial, const char *result,
                 const char *order, const std::string &more = "") {
    return std::string("{\"type\":\"unit\",\"time\":\"") + time + "\",\"id\":1,\"index\":0," +
           (serial < 0 ? std::string("\"serial\":null") : "\"serial\":" + std::to_string(serial)) +
           ",\"old_version\":\"3.40\",\"new_version\":\"3.50\",\"result\":\"" + result + "\"" +
           more + ",\"operator\":\"Ann\",\"order\":\"" + order + "\",\"station\":\"" + st + "\"}";
}
std::string failed(const char *st, const std::string &time, long long serial, const char *kind,
                   const char *order) {
    return unit(st, time, serial, "failed", order,
                std::string(",\"failure\":\"") + kind + "\",\"detail\":3");
}
std::string start(const char *st, const std::string &time, long long serial, const char *order) {
    return std::string("{\"type\":\"start\",\"time\":\"") + time +
           "\",\"id\":1,\"index\":0,\"serial\":" + std::to_string(serial) +
           ",\"operator\":\"Ann\",\"order\":\"" + order + "\",\"station\":\"" + st + "\"}";
}
std::string halt(const char *st, const std::string &time, const char *order) {
    return std::string("{\"type\":\"halt\",\"time\":\"") + time + "\",\"count\":5,\"station\":\"" +
           st + "\",\"order\":\"" + order + "\"}";
}

// Station A (UTC+1), killed at the end with a line half written; B
// (UTC-5), whose clock jumps; C, one unit with a time that cannot be.
// Serial 3000 fails at A after it passed at B; 2001 the other way round.
std::vector<std::string> report_a() {
    return {
        run("PC-A", at("08:00:00"), "open", "+01:00", "WO-1"),
        start("PC-A", at("08:04:59"), 1001, "WO-1"),
        unit("PC-A", at("08:05:00"), 1001, "updated", "WO-1"),
        failed("PC-A", at("08:06:00"), 1002, "refused", "WO-1"),
        // A failure named only by its detail code, as older stations wrote.
        unit("PC-A", at("08:07:00"), 1003, "failed", "WO-1", ",\"detail\":2"),
        unit("PC-A", at("08:08:00"), 1004, "current", "WO-1"),
        unit("PC-A", at("08:09:00"), 1005, "interrupted", "WO-1"),
        unit("PC-A", at("08:10:00"), 1006, "rejected", "WO-1", ",\"reason\":\"not released\""),
        failed("PC-A", at("08:11:00"), -1, "no_answer", "WO-1"),
        failed("PC-A", at("08:12:00"), 1007, "deadline", "WO-1"),
        failed("PC-A", at("08:13:00"), 1008, "unplugged", "WO-1"),
        failed("PC-A", at("08:14:00"), 1009, "unverified", "WO-1"),
        failed("PC-A", at("08:15:00"), 1010, "other", "WO-1"),
        halt("PC-A", at("08:16:00"), "WO-1"),
        run("PC-A", at("08:20:00"), "stop", "+01:00", "WO-1"),
        run("PC-A", at("08:50:00"), "open", "+01:00", "WO-2"),
        // Written at this start for the unit the last run left open.
        unit("PC-A", at("08:50:01"), 1005, "interrupted", "WO-1", ",\"recovered\":true"),
        start("PC-A", "1999-12-31T23:00:00.000Z", 2002, "WO-2"),
        failed("PC-A", at("09:45:00"), 3000, "refused", "WO-2"),
        unit("PC-A", at("09:50:00"), 2001, "updated", "WO-2"),
        unit("PC-A", at("09:55:00"), 2003, "updated", "WO-2"),
    };
}
std::vector<std::string> report_b() {
    return {
        run("PC-B", at("09:00:00"), "open", "-05:00", "WO-2"),
        unit("PC-B", at("09:30:00"), 3000, "updated", "WO-2"),
        failed("PC-B", at("09:31:00"), 2001, "refused", "WO-2"),
        unit("PC-B", at("09:40:00"), 4001, "updated", "WO-2"),
        run("PC-B", at("10:10:00"), "clock", "-05:00", "WO-2",
            ",\"was\":\"" + at("09:42:00") + "\""),
        unit("PC-B", at("10:12:00"), 4002, "updated", "WO-2"),
        run("PC-B", at("10:20:00"), "stop", "-05:00", "WO-2"),
    };
}
std::vector<std::string> report_c() {
    return {
        run("PC-C", at("11:00:00"), "open", "+01:00", "WO-3"),
        unit("PC-C", at("11:05:00"), 5001, "updated", "WO-3"),
        failed("PC-C", "2035-01-01T00:00:00.000Z", 5002, "refused", "WO-3"),
        run("PC-C", at("11:30:00"), "stop", "+01:00", "WO-3"),
    };
}

void write_report(const std::string &path, const std::vector<std::string> &lines,
                  const std::string &torn = "") {
    std::ofstream f(path, std::ios::binary);
    for (const std::string &l : lines) f << l << "\r\n";
    f << torn;
}

// ---- What the two ways say ----

// The fields of a report's JSON that only the files' reading has, or only
// the database's.
const char *const kSourceOnly[] = {"files", "skipped_lines", "database"};
// ... and the figures of a page that only files have (each file's chain).
const char *const kPageSourceOnly[] = {"files", "skipped_lines", "database", "intact", "lines"};

nlohmann::json report_json(const Output &o) {
    for (const std::string &l : o.out) {
        if (l.find("\"type\":\"report\"") == std::string::npos) continue;
        nlohmann::json j = nlohmann::json::parse(l, nullptr, false);
        if (j.is_discarded()) break;
        for (const char *k : kSourceOnly) j.erase(k);
        return j;
    }
    return nlohmann::json();
}

// A tag's attribute value ("" when it has none).
std::string attribute(const std::string &tag, const char *name) {
    const std::string key = std::string(" ") + name + "=\"";
    const std::size_t at = tag.find(key);
    if (at == std::string::npos) return "";
    const std::size_t from = at + key.size();
    return tag.substr(from, tag.find('"', from) - from);
}

// Every data-value of a page, by its group, name and figure.
std::multimap<std::string, std::string> page_values(const std::string &html) {
    std::multimap<std::string, std::string> out;
    for (std::size_t at = html.find("data-value=\""); at != std::string::npos;
         at = html.find("data-value=\"", at + 1)) {
        const std::size_t open = html.rfind('<', at);
        const std::string tag = html.substr(open, html.find('>', at) - open);
        const std::string figure = attribute(tag, "data-figure");
        if (std::find(std::begin(kPageSourceOnly), std::end(kPageSourceOnly), figure) !=
            std::end(kPageSourceOnly)) {
            continue;
        }
        out.emplace(attribute(tag, "data-group") + "/" + attribute(tag, "data-name") + "/" + figure,
                    attribute(tag, "data-value"));
    }
    return out;
}

// The CSV's rows without their attempt (the files number a serial's lines
// as read, the database by time), sorted.
std::vector<std::string> csv_rows(const Output &o) {
    std::vector<std::string> rows;
    for (std::string l : o.out) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        rows.push_back(l.substr(0, l.rfind(',')));
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

class CliAgree : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pg_.ready())
            << "no PostgreSQL server: run inside scripts/test-session.sh (QVM_PG_SOCKET)";
        ASSERT_EQ(pg_.psql("TRUNCATE qvm_report_line"), "");
        write_report(a_, report_a(), "{\"type\":\"unit\",\"time\":\"2026-12-08T10:");
        write_report(b_, report_b());
        write_report(c_, report_c());
        files_ = quoted(a_) + " " + quoted(b_) + " " + quoted(c_);
        const Output o = cli_e2e::run("ship " + files_ + " --database " + quoted(pg_.cs()));
        ASSERT_EQ(o.exit, 0u) << o.err;
    }
    void TearDown() override {
        for (const std::string &p : {a_, b_, c_, page_files_, page_db_}) DeleteFileA(p.c_str());
    }
    Output from_files(const std::string &options) {
        return cli_e2e::run("report " + options + " " + files_);
    }
    Output from_db(const std::string &options) {
        return cli_e2e::run("report --database " + quoted(pg_.cs()) + " " + options);
    }

    cli_e2e::Postgres pg_;
    const std::string a_ = cli_e2e::temp_path("agree-a.jsonl");
    const std::string b_ = cli_e2e::temp_path("agree-b.jsonl");
    const std::string c_ = cli_e2e::temp_path("agree-c.jsonl");
    const std::string page_files_ = cli_e2e::temp_path("agree-files.html");
    const std::string page_db_ = cli_e2e::temp_path("agree-db.html");
    std::string files_;
};

}  // namespace

TEST_F(CliAgree, FilesAndTheDatabaseGiveTheSameFigures) {
    struct Case {
        const char *name;
        std::string options;
    };
    const Case cases[] = {
        {"every line", ""},
        {"two stations", "--station PC-A --station PC-C"},
        {"one order", "--order WO-2"},
        {"a window", "--from 2026-12-08T08:12:00Z --to 2026-12-08T09:35:00Z"},
    };
    for (const Case &c : cases) {
        const Output files = from_files("--json " + c.options);
        const Output db = from_db("--json " + c.options);
        ASSERT_EQ(files.exit, 0u) << c.name << ": " << files.err;
        ASSERT_EQ(db.exit, 0u) << c.name << ": " << db.err;
        const nlohmann::json f = report_json(files), d = report_json(db);
        ASSERT_TRUE(f.is_object()) << c.name;
        ASSERT_TRUE(d.is_object()) << c.name;
        for (auto it = f.begin(); it != f.end(); ++it) {
            EXPECT_EQ(d.value(it.key(), nlohmann::json()), it.value())
                << c.name << ": " << it.key();
        }
        for (auto it = d.begin(); it != d.end(); ++it) {
            EXPECT_TRUE(f.contains(it.key())) << c.name << ": only the database has " << it.key();
        }
        EXPECT_NE(db.err.find(" rows read from the database"), std::string::npos) << db.err;
    }
}

TEST_F(CliAgree, FilesAndTheDatabaseGiveTheSamePageAndRows) {
    const Output files = from_files("--html " + quoted(page_files_));
    const Output db = from_db("--html " + quoted(page_db_));
    ASSERT_EQ(files.exit, 0u) << files.err;
    ASSERT_EQ(db.exit, 0u) << db.err;
    const auto f = page_values(cli_e2e::read_file(page_files_));
    const auto d = page_values(cli_e2e::read_file(page_db_));
    ASSERT_GT(f.size(), 20u) << "the page's figures";
    EXPECT_EQ(f, d);
    // Where the figures came from, the password left out.
    const std::string page = cli_e2e::read_file(page_db_);
    EXPECT_NE(page.find("Pwd=***"), std::string::npos);
    EXPECT_EQ(page.find("station-pw"), std::string::npos);

    const Output csv_files = from_files("--csv");
    const Output csv_db = from_db("--csv");
    ASSERT_EQ(csv_db.exit, 0u) << csv_db.err;
    EXPECT_EQ(csv_rows(csv_files), csv_rows(csv_db));
}
