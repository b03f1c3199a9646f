// qvm_cli report: the tally of report files for people, as one JSON
// object and as CSV rows, and a file that cannot be read.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>

#include "cli_exit.h"
#include "cli_report_cmd.h"
#include "cli_test_store.h"
#include "stn_json.h"
#include "stn_page.h"
#include "test_json_field.h"

namespace {

class FakeIo : public CliIo {
public:
    std::map<std::string, std::string> files;
    std::vector<std::string> outs, errs;
    void out(const std::string &l) override { outs.push_back(l); }
    void err(const std::string &l) override { errs.push_back(l); }
    std::string utc_now() override { return "2026-12-08T12:00:00.000Z"; }
    std::shared_ptr<StnReportStore> open_report(const std::string &) override { return nullptr; }
    std::map<std::string, std::string> written;
    bool write_file(const std::string &path, const std::string &bytes) override {
        written[path] = bytes;
        return path.find("unwritable") == std::string::npos;
    }
    // Read in small chunks, so that lines straddle them.
    std::unique_ptr<StnByteSource> open_file(const std::string &path) override {
        const auto it = files.find(path);
        if (it == files.end()) return nullptr;
        std::unique_ptr<cli_test::MemStore> f(new cli_test::MemStore);
        f->bytes = it->second;
        f->read_chunk = 7;
        return f;
    }
};

// Two files: a shift that ends with a torn line, and its next start with a
// unit that failed before its serial was read.
FakeIo two_reports() {
    FakeIo io;
    io.files["a.jsonl"] =
        "{\"type\":\"start\",\"id\":1,\"time\":\"2026-12-08T10:00:00.000Z\",\"index\":0}\n"
        "{\"type\":\"unit\",\"time\":\"2026-12-08T10:00:00.000Z\",\"id\":1,\"index\":0,"
        "\"serial\":101,\"old_version\":\"3.40\",\"new_version\":\"3.62\",\"result\":\"updated\","
        "\"detail\":0,\"ms\":2210}\n"
        "{\"type\":\"unit\",\"time\":\"2026-12-08T10:30:00.000Z\",\"id\":2,\"index\":1,"
        "\"serial\":102,\"old_version\":\"3.40\",\"new_version\":null,\"result\":\"failed\","
        "\"failure\":\"refused\",\"detail\":57348,\"ms\":310,"
        "\"message\":\"device 1 (serial 102): block at 0x5400 refused, \\\"E004\\\"\"}\n"
        "{\"type\":\"unit\",\"ti";
    io.files["b.jsonl"] =
        "{\"type\":\"unit\",\"time\":\"2026-12-08T11:00:00.000Z\",\"id\":3,\"index\":2,"
        "\"serial\":103,\"old_version\":\"3.50\",\"new_version\":null,\"result\":\"interrupted\","
        "\"detail\":0,\"ms\":0,\"recovered\":true}\r\n"
        "{\"type\":\"unit\",\"time\":\"2026-12-08T11:05:00.000Z\",\"id\":4,\"index\":3,"
        "\"serial\":null,\"result\":\"failed\",\"failure\":\"no_answer\",\"detail\":4294967294,"
        "\"ms\":5000}\n";
    return io;
}

int run(FakeIo &io, std::vector<const char *> argv,
        int (*command)(const CliArgs &, CliIo &) = cli_report_command) {
    argv.insert(argv.begin(), "qvm_cli");
    CliArgs a;
    std::string e;
    EXPECT_TRUE(cli_parse_args(static_cast<int>(argv.size()), argv.data(), &a, &e)) << e;
    return command(a, io);
}

}  // namespace

TEST(CliReportCmd, CsvFieldsAreQuotedOnlyWhenTheyMustBe) {
    const std::pair<const char *, const char *> cases[] = {
        {"", ""},
        {"3.62", "3.62"},
        {"a b;c", "a b;c"},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"cr\r", "\"cr\r\""},
        {"\"", "\"\"\"\""},
        // What a spreadsheet would take for a formula shows as text.
        {"=1+2", "\"'=1+2\""},
        {"+1", "\"'+1\""},
        {"-3.5", "\"'-3.5\""},
        {"@SUM(A1)", "\"'@SUM(A1)\""},
        {"\tx", "\"'\tx\""},
        {"\r", "\"'\r\""},
        {"=\"a\",b", "\"'=\"\"a\"\",b\""},
        {"a=b-c", "a=b-c"},
    };
    for (const auto &c : cases) EXPECT_EQ(cli_csv_field(c.first), c.second) << c.first;
}

TEST(CliReportCmd, TextJsonAndCsv) {
    FakeIo text = two_reports();
    EXPECT_EQ(run(text, {"report", "a.jsonl", "b.jsonl"}), kCliExitOk);
    const std::vector<std::string> want = {
        "files                      2",
        "units                      4",
        "  updated                  1",
        "  current                  0",
        "  failed                   2",
        "  failed, serial unknown   1",
        "  interrupted              1 (1 recorded at a later start)",
        "first-pass yield           25.0 %",
        "units per hour             8.0",
        "time running               0 h 30 min",
        "failures by kind",
        "  refused by the device    1",
        "  no valid answer          1",
        "  deadline                 0",
        "  unplugged or powered off 0",
        "  not verified             0",
        "  other                    0",
        "line stops                 0",
        "by work order",
        "  (none)                   4 units, 1 updated, 2 failed, first-pass yield 25.0 %",
        "by station",
        "  (none)                   4 units, 1 updated, 2 failed, first-pass yield 25.0 %",
        "not at the image           102 103",
        "lines skipped              1",
    };
    EXPECT_EQ(text.outs, want);

    FakeIo json = two_reports();
    EXPECT_EQ(run(json, {"report", "a.jsonl", "b.jsonl", "--json"}), kCliExitOk);
    ASSERT_EQ(json.outs.size(), 1u);
    EXPECT_EQ(json.outs[0],
              "{\"type\":\"report\",\"units\":4,\"updated\":1,\"current\":0,\"failed\":2,"
              "\"interrupted\":1,\"unidentified_failed\":1,\"first_pass_yield\":0.2500,"
              "\"units_per_hour\":8.0,\"running_s\":1800,"
              "\"failures\":{\"refused\":1,\"no_answer\":1,\"deadline\":0,\"unplugged\":0,"
              "\"unverified\":0,\"other\":0},\"not_at_image\":[102,103],"
              "\"orders\":[{\"name\":\"\",\"units\":4,\"updated\":1,\"current\":0,\"failed\":2,"
              "\"interrupted\":1,\"first_pass_yield\":0.2500}],"
              "\"stations\":[{\"name\":\"\",\"units\":4,\"updated\":1,\"current\":0,\"failed\":2,"
              "\"interrupted\":1,\"first_pass_yield\":0.2500}],\"halts\":0,\"skipped_lines\":1,"
              "\"files\":2}");
    EXPECT_TRUE(stn_json_is_object(json.outs[0]));

    FakeIo csv = two_reports();
    EXPECT_EQ(run(csv, {"report", "--csv", "a.jsonl", "b.jsonl"}), kCliExitOk);
    const std::vector<std::string> rows = {
        "time,id,index,serial,old_version,new_version,result,failure,detail,ms,message,recovered,"
        "operator,order,station,attempt\r",
        "2026-12-08T10:00:00.000Z,1,0,101,3.40,3.62,updated,,0,2210,,false,,,,1\r",
        "2026-12-08T10:30:00.000Z,2,1,102,3.40,,failed,refused,57348,310,"
        "\"device 1 (serial 102): block at 0x5400 refused, \"\"E004\"\"\",false,,,,1\r",
        "2026-12-08T11:00:00.000Z,3,2,103,3.50,,interrupted,,0,0,,true,,,,1\r",
        "2026-12-08T11:05:00.000Z,4,3,,,,failed,no_answer,4294967294,5000,,false,,,,\r",
    };
    EXPECT_EQ(csv.outs, rows);
}

TEST(CliReportCmd, CsvKeepsNumbersAndShowsFormulasAsText) {
    FakeIo io;
    io.files["edited.jsonl"] =
        "{\"type\":\"unit\",\"time\":\"=NOW()\",\"id\":1,\"index\":0,\"serial\":-5,"
        "\"old_version\":\"-1\",\"new_version\":\"@x\",\"result\":\"failed\",\"detail\":7,"
        "\"ms\":1,\"message\":\"+cmd|' /C calc'!A0\"}\n";
    EXPECT_EQ(run(io, {"report", "--csv", "edited.jsonl"}), kCliExitOk);
    ASSERT_EQ(io.outs.size(), 2u);
    EXPECT_EQ(io.outs[1], "\"'=NOW()\",1,0,-5,\"'-1\",\"'@x\",failed,refused,7,1,"
                          "\"'+cmd|' /C calc'!A0\",false,,,,1\r");
}

TEST(CliReportCmd, AFileThatCannotBeReadIsAnErrorAndNothingElse) {
    FakeIo io = two_reports();
    EXPECT_EQ(run(io, {"report", "a.jsonl", "missing.jsonl", "--json"}), kCliExitUsage);
    ASSERT_EQ(io.outs.size(), 1u);
    EXPECT_NE(io.outs[0].find("\"type\":\"error\""), std::string::npos) << io.outs[0];
    EXPECT_NE(io.outs[0].find("missing.jsonl"), std::string::npos) << io.outs[0];
    ASSERT_FALSE(io.errs.empty());
}

TEST(CliReportCmd, VerifySaysPerFileWhetherItsChainHolds) {
    // A report as the station writes it, then copies: one with a byte
    // changed, one from before lines were chained.
    cli_test::MemStore written;
    StnReport report(&written);
    ASSERT_EQ(report.open("t"), StnReportOpen::kOk);
    for (int id = 1; id <= 3; ++id) {
        ASSERT_TRUE(report.write_line("{\"type\":\"unit\",\"time\":\"t\",\"id\":" +
                                      std::to_string(id) + ",\"result\":\"updated\"}"));
    }
    std::string changed = written.bytes;
    changed.replace(changed.find("updated"), 7, "UPDATED");
    FakeIo io;
    io.files["good.jsonl"] = written.bytes;
    io.files["edited.jsonl"] = changed;
    io.files["old.jsonl"] = "{\"type\":\"unit\",\"id\":1}\n";
    EXPECT_EQ(run(io, {"report", "--verify", "good.jsonl"}, cli_verify_command), kCliExitOk);
    EXPECT_EQ(io.outs.back(), "good.jsonl: chain intact: 3 lines");
    io.outs.clear();
    EXPECT_EQ(run(io, {"report", "--verify", "good.jsonl", "edited.jsonl", "old.jsonl", "--json"},
                  cli_verify_command),
              kCliExitChainBroken);
    ASSERT_EQ(io.outs.size(), 3u);
    EXPECT_NE(io.outs[0].find("\"intact\":true"), std::string::npos) << io.outs[0];
    EXPECT_NE(io.outs[1].find("\"verdict\":\"chain broken between lines 1 and 2 (id 2): line 1 "
                              "was changed"),
              std::string::npos)
        << io.outs[1];
    EXPECT_NE(io.outs[2].find("not chained"), std::string::npos) << io.outs[2];
    EXPECT_EQ(run(io, {"report", "--verify", "missing.jsonl"}, cli_verify_command), kCliExitUsage);
}

namespace {

// The page's rows of one group, and the JSON's array of that name, each
// as "name|units|updated|current|failed|interrupted|first_pass_yield".
std::set<std::string> page_rows(const std::string &page, const char *group) {
    std::set<std::string> out;
    const std::regex row(std::string("<tr data-group=\"") + group +
                         "\" data-name=\"([^\"]*)\">(.*?)</tr>");
    const std::regex cell("data-figure=\"(\\w+)\" data-value=\"([^\"]*)\"");
    for (std::sregex_iterator r(page.begin(), page.end(), row), end; r != end; ++r) {
        std::map<std::string, std::string> v;
        const std::string cells = (*r)[2];
        for (std::sregex_iterator c(cells.begin(), cells.end(), cell); c != end; ++c) {
            v[(*c)[1]] = (*c)[2];
        }
        out.insert((*r)[1].str() + "|" + v["units"] + "|" + v["updated"] + "|" + v["current"] +
                   "|" + v["failed"] + "|" + v["interrupted"] + "|" + v["first_pass_yield"]);
    }
    return out;
}

std::set<std::string> json_rows(const std::string &json, const char *group) {
    std::set<std::string> out;
    const std::size_t from = json.find(std::string("\"") + group + "\":[");
    const std::string array = json.substr(from, json.find(']', from) - from);
    const std::regex item("\\{\"name\":\"([^\"]*)\",\"units\":(\\d+),\"updated\":(\\d+),"
                          "\"current\":(\\d+),\"failed\":(\\d+),\"interrupted\":(\\d+),"
                          "\"first_pass_yield\":([^}]*)\\}");
    for (std::sregex_iterator i(array.begin(), array.end(), item), end; i != end; ++i) {
        std::string s = (*i)[1];
        for (int k = 2; k <= 7; ++k) s += "|" + (*i)[k].str();
        out.insert(s);
    }
    return out;
}

// The page's figures outside any row: name -> data-value.
std::map<std::string, std::string> page_scalars(std::string page) {
    page = std::regex_replace(page, std::regex("<tr data-group=[^]*?</tr>"), "");
    std::map<std::string, std::string> out;
    const std::regex fig("data-figure=\"(\\w+)\" data-value=\"([^\"]*)\"");
    for (std::sregex_iterator f(page.begin(), page.end(), fig), end; f != end; ++f) {
        out[(*f)[1]] = (*f)[2];
    }
    return out;
}

}  // namespace

TEST(CliReportCmd, ThePageCarriesTheJsonFiguresEachFilesChainAndEscapesNames) {
    // Two files of two stations (one name that is markup), one chained as
    // the station writes it, one with a byte changed after.
    cli_test::MemStore written;
    StnReport report(&written);
    ASSERT_EQ(report.open("t"), StnReportOpen::kOk);
    ASSERT_TRUE(report.write_line(
        "{\"type\":\"run\",\"time\":\"2026-12-08T21:00:00.000Z\",\"event\":\"open\","
        "\"station\":\"<b>\",\"utc_offset\":\"+02:00\",\"version\":\"3.50\"}"));
    for (int id = 1; id <= 3; ++id) {
        ASSERT_TRUE(report.write_line(
            "{\"type\":\"unit\",\"time\":\"2026-12-08T2" + std::to_string(id) +
            ":30:00.000Z\",\"id\":" + std::to_string(id) + ",\"serial\":" +
            std::to_string(200 + id) + ",\"result\":\"" + (id == 2 ? "failed" : "updated") +
            "\",\"failure\":\"deadline\",\"station\":\"<b>\",\"order\":\"WO & 1\"}"));
    }
    FakeIo io = two_reports();
    io.files["good.jsonl"] = written.bytes;
    std::string changed = written.bytes;
    changed.replace(changed.find("2026-12-08T22"), 4, "2025");
    io.files["edited.jsonl"] = changed;
    const std::vector<const char *> files = {"a.jsonl", "b.jsonl", "good.jsonl", "edited.jsonl"};
    std::vector<const char *> html = {"report"}, json = {"report", "--json"};
    html.insert(html.end(), files.begin(), files.end());
    json.insert(json.end(), files.begin(), files.end());
    html.insert(html.end(), {"--html", "page.html"});
    ASSERT_EQ(run(io, html), kCliExitOk);
    ASSERT_EQ(io.outs, (std::vector<std::string>{"report: the page is page.html"}));
    io.outs.clear();
    ASSERT_EQ(run(io, json), kCliExitOk);
    const std::string page = io.written["page.html"], line = io.outs.at(0);

    const std::map<std::string, std::string> scalars = page_scalars(page);
    for (const char *name : {"units", "updated", "current", "failed", "interrupted",
                             "unidentified_failed", "first_pass_yield", "units_per_hour",
                             "running_s", "halts", "skipped_lines", "files"}) {
        ASSERT_EQ(scalars.count(name), 1u) << name;
        EXPECT_EQ(scalars.at(name), test_support::field(line, name)) << name;
    }
    EXPECT_EQ(scalars.at("utc_offset"), "+02:00");
    EXPECT_EQ(scalars.at("not_at_image"), "3");  // 102, 103 and 202
    for (const char *group : {"orders", "stations"}) {
        EXPECT_EQ(page_rows(page, group).size(), json_rows(line, group).size()) << group;
    }
    // Names as the JSON has them, markup as text.
    EXPECT_EQ(page_rows(page, "orders"),
              (std::set<std::string>{"|4|1|0|2|1|0.2500", "WO &amp; 1|6|4|0|2|0|0.6667"}));
    EXPECT_EQ(json_rows(line, "orders"),
              (std::set<std::string>{"|4|1|0|2|1|0.2500", "WO & 1|6|4|0|2|0|0.6667"}));
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    EXPECT_NE(page.find("&lt;b&gt;"), std::string::npos);
    // Each file's chain, as --verify says it; none of the figures, nothing
    // fetched from elsewhere.
    for (const auto &c : {std::make_pair("good.jsonl", "true"), std::make_pair("edited.jsonl", "false"),
                          std::make_pair("a.jsonl", "false")}) {
        EXPECT_NE(page.find(std::string("data-name=\"") + c.first +
                            "\"><th scope=\"row\">" + c.first +
                            "</th><td class=\"" + (c.second[0] == 't' ? "ok" : "bad") +
                            "\" data-figure=\"intact\" data-value=\"" + c.second + "\""),
                  std::string::npos)
            << c.first;
    }
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("://"), std::string::npos);
    EXPECT_EQ(page.find(" src="), std::string::npos);

    // With --verify, a broken chain gives its code; a page that cannot be
    // written is an error.
    html.push_back("--verify");
    EXPECT_EQ(run(io, html), kCliExitChainBroken);
    EXPECT_EQ(run(io, {"report", "a.jsonl", "--html", "unwritable.html"}), kCliExitUsage);
}

TEST(CliReportCmd, ThePageOfAnEmptyReportAndOfALongHistory) {
    FakeIo io;
    io.files["empty.jsonl"] = "";
    ASSERT_EQ(run(io, {"report", "empty.jsonl", "--html", "empty.html"}), kCliExitOk);
    const std::map<std::string, std::string> none = page_scalars(io.written["empty.html"]);
    EXPECT_EQ(none.at("units"), "0");
    EXPECT_EQ(none.at("first_pass_yield"), "null");
    EXPECT_EQ(none.at("utc_offset"), "");
    EXPECT_EQ(io.written["empty.html"].find("data-group=\"timeline\""), std::string::npos);

    // 700 serials that never reached the image, and 300 work orders.
    std::string lines;
    for (int i = 0; i < 1000; ++i) {
        lines += "{\"type\":\"unit\",\"time\":\"2026-12-08T10:00:00.000Z\",\"serial\":" +
                 std::to_string(i) + ",\"result\":\"" + (i < 700 ? "failed" : "updated") +
                 "\",\"order\":\"WO-" + std::to_string(i % 300) + "\"}\n";
    }
    io.files["long.jsonl"] = lines;
    ASSERT_EQ(run(io, {"report", "long.jsonl", "--html", "page.html"}), kCliExitOk);
    const std::string page = io.written["page.html"];
    const auto count = [&page](const std::string &what) {
        std::size_t n = 0;
        for (std::size_t at = page.find(what); at != std::string::npos; at = page.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("<li data-value="), kStnPageSerials);
    EXPECT_NE(page.find("and 200 more"), std::string::npos);
    EXPECT_EQ(count("data-group=\"orders\""), 200u);
    EXPECT_NE(page.find("100 more</th><td class=\"num\">"), std::string::npos);
}
