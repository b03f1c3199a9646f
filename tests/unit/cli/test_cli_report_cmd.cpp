// qvm_cli report: the tally of report files for people, as one JSON
// object and as CSV rows, and a file that cannot be read.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "cli_exit.h"
#include "cli_report_cmd.h"
#include "cli_test_store.h"
#include "stn_json.h"
#include "stn_page.h"

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
        "\"ms\":5000}\n"
        "{\"type\":\"unit\",\"time\":\"2026-12-08T11:05:00.000Z\",\"id\":5,\"index\":4,"
        "\"serial\":104,\"old_version\":\"3.40\",\"new_version\":null,\"result\":\"rejected\","
        "\"detail\":0,\"reason\":\"on hold\",\"message\":\"rejected by the MES: on hold\","
        "\"ms\":3}\n";
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
        "units                      5",
        "  updated                  1",
        "  current                  0",
        "  failed                   2",
        "  failed, serial unknown   1",
        "  interrupted              1 (1 recorded at a later start)",
        "  rejected by the MES      1",
        "first-pass yield           25.0 %",
        "units per hour             10.0",
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
        "  (none)                   5 units, 1 updated, 2 failed, first-pass yield 25.0 %",
        "by station",
        "  (none)                   5 units, 1 updated, 2 failed, first-pass yield 25.0 %",
        "not at the image           102 103",
        "lines skipped              1",
        "times not used             0",
    };
    EXPECT_EQ(text.outs, want);

    FakeIo json = two_reports();
    EXPECT_EQ(run(json, {"report", "a.jsonl", "b.jsonl", "--json"}), kCliExitOk);
    ASSERT_EQ(json.outs.size(), 1u);
    EXPECT_EQ(json.outs[0],
              "{\"type\":\"report\",\"units\":5,\"updated\":1,\"current\":0,\"failed\":2,"
              "\"interrupted\":1,\"rejected\":1,\"unidentified_failed\":1,"
              "\"first_pass_yield\":0.2500,\"units_per_hour\":10.0,\"running_s\":1800,"
              "\"failures\":{\"refused\":1,\"no_answer\":1,\"deadline\":0,\"unplugged\":0,"
              "\"unverified\":0,\"other\":0},\"not_at_image\":[102,103],"
              "\"orders\":[{\"name\":\"\",\"units\":5,\"updated\":1,\"current\":0,\"failed\":2,"
              "\"interrupted\":1,\"rejected\":1,\"first_pass_yield\":0.2500}],"
              "\"stations\":[{\"name\":\"\",\"units\":5,\"updated\":1,\"current\":0,"
              "\"failed\":2,\"interrupted\":1,\"rejected\":1,\"first_pass_yield\":0.2500}],"
              "\"halts\":0,\"skipped_lines\":1,"
              "\"bad_times\":0,\"files\":2}");
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
        "2026-12-08T11:05:00.000Z,5,4,104,3.40,,rejected,,0,3,rejected by the MES: on hold,false,"
        ",,,\r",
    };
    EXPECT_EQ(csv.outs, rows);
}

TEST(CliReportCmd, ATimeThatCannotBeRightIsNamedAndNotUsed) {
    // Three lines, the unit's time edited to the year 9999.
    FakeIo io;
    io.files["odd.jsonl"] =
        "{\"type\":\"run\",\"time\":\"2026-12-08T10:00:00.000Z\",\"event\":\"open\"}\n"
        "{\"type\":\"start\",\"id\":1,\"time\":\"2026-12-08T10:30:00.000Z\"}\n"
        "{\"type\":\"unit\",\"time\":\"9999-12-08T10:31:00.000Z\",\"id\":1,\"serial\":5,"
        "\"result\":\"updated\"}\n";
    EXPECT_EQ(run(io, {"report", "odd.jsonl"}), kCliExitOk);
    ASSERT_GE(io.outs.size(), 2u);
    EXPECT_EQ(io.outs.back(), "times not used             1 line with a time that cannot be "
                              "right (before 2000 or after tomorrow)");
    EXPECT_NE(std::find(io.outs.begin(), io.outs.end(), "time running               0 h 30 min"),
              io.outs.end());
    io.outs.clear();
    EXPECT_EQ(run(io, {"report", "odd.jsonl", "--json", "--html", "odd.html"}), kCliExitOk);
    ASSERT_EQ(io.outs.size(), 1u);
    EXPECT_NE(io.outs[0].find("\"units\":1,"), std::string::npos);
    EXPECT_NE(io.outs[0].find("\"running_s\":1800,"), std::string::npos);
    EXPECT_NE(io.outs[0].find("\"bad_times\":1,"), std::string::npos);
    EXPECT_NE(io.written["odd.html"].find("data-figure=\"bad_times\" data-value=\"1\""),
              std::string::npos);
    EXPECT_NE(io.written["odd.html"].find("2026-12-08 10:00"), std::string::npos);
    EXPECT_EQ(io.written["odd.html"].find("9999"), std::string::npos);
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

// The page's figures against --json are checked in a real browser
// (tests/e2e/page); here, what the command does around it.
TEST(CliReportCmd, ThePageItsExitCodesAndItsCaps) {
    // A report as the station writes it, and a copy with a byte changed.
    cli_test::MemStore written;
    StnReport report(&written);
    ASSERT_EQ(report.open("t"), StnReportOpen::kOk);
    ASSERT_TRUE(report.write_line("{\"type\":\"unit\",\"time\":\"2026-12-08T21:30:00.000Z\","
                                  "\"id\":1,\"serial\":7,\"result\":\"updated\"}"));
    ASSERT_TRUE(report.write_line("{\"type\":\"unit\",\"time\":\"2026-12-08T21:40:00.000Z\","
                                  "\"id\":2,\"serial\":8,\"result\":\"updated\"}"));
    FakeIo io;
    io.files["good.jsonl"] = written.bytes;
    std::string changed = written.bytes;
    changed.replace(changed.find("21:30"), 5, "21:31");
    io.files["edited.jsonl"] = changed;
    // The page is written and named; a chain that breaks gives exit 8 only
    // with --verify; a page that cannot be written is an error.
    EXPECT_EQ(run(io, {"report", "good.jsonl", "edited.jsonl", "--html", "page.html"}),
              kCliExitOk);
    EXPECT_EQ(io.outs, (std::vector<std::string>{"report: the page is page.html"}));
    EXPECT_NE(io.written["page.html"].find("data-name=\"edited.jsonl\""), std::string::npos);
    EXPECT_EQ(run(io, {"report", "good.jsonl", "edited.jsonl", "--html", "p.html", "--verify"}),
              kCliExitChainBroken);
    EXPECT_EQ(run(io, {"report", "good.jsonl", "--html", "p.html", "--verify"}), kCliExitOk);
    EXPECT_EQ(run(io, {"report", "good.jsonl", "--html", "unwritable.html"}), kCliExitUsage);

    // A long history stays small: 700 serials that never reached the image
    // (500 listed), 300 work orders (200 rows and one for the rest).
    std::string lines;
    for (int i = 0; i < 1000; ++i) {
        lines += "{\"type\":\"unit\",\"time\":\"2026-12-08T10:00:00.000Z\",\"serial\":" +
                 std::to_string(i) + ",\"result\":\"" + (i < 700 ? "failed" : "updated") +
                 "\",\"order\":\"WO-" + std::to_string(i % 300) + "\"}\n";
    }
    io.files["long.jsonl"] = lines;
    ASSERT_EQ(run(io, {"report", "long.jsonl", "--html", "long.html"}), kCliExitOk);
    const std::string page = io.written["long.html"];
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

TEST(CliReportCmd, APageWithoutATallyIsThePageOfAnEmptyOne) {
    // No tally is read as an empty one, the files' part too.
    StnPageFile file;
    file.name = "none.jsonl";
    StnPageInput without;
    without.files = {file};
    without.generated_utc = "2026-12-08T21:30:00.000Z";
    StnFigures empty;
    StnPageInput with = without;
    with.figures = &empty;
    const std::string page = stn_report_page(without);
    EXPECT_EQ(page, stn_report_page(with));
    EXPECT_NE(page.find("data-name=\"none.jsonl\""), std::string::npos);
}

TEST(CliReportCmd, TheWindowChoosesTheLinesAndIsSaid) {
    // 10:15 to 11:01: serial 102's failure and 103's interruption.
    FakeIo window = two_reports();
    EXPECT_EQ(run(window, {"report", "a.jsonl", "b.jsonl", "--json", "--from",
                           "2026-12-08T10:15:00Z", "--to", "2026-12-08T11:01:00Z"}),
              kCliExitOk);
    ASSERT_EQ(window.outs.size(), 1u);
    for (const char *part : {"\"units\":2,\"updated\":0,\"current\":0,\"failed\":1,\"interrupted\":1,",
                             "\"files\":2,\"from\":\"2026-12-08T10:15:00.000Z\","
                             "\"to\":\"2026-12-08T11:01:00.000Z\"}"}) {
        EXPECT_NE(window.outs[0].find(part), std::string::npos) << part << "\n" << window.outs[0];
    }
}

TEST(CliReportCmd, FiguresFromTheDatabaseAreWrittenWithoutTheFilesPart) {
    CliArgs args;
    args.json = true;
    StnFigures figures;
    figures.units = 3;
    figures.skipped_lines = 0;
    CliReportSource source;
    source.database = "DSN=line;PWD=***";
    FakeIo io;
    EXPECT_EQ(cli_report_write(args, io, figures, source), kCliExitOk);
    ASSERT_EQ(io.outs.size(), 1u);
    EXPECT_NE(io.outs[0].find("\"units\":3,"), std::string::npos);
    EXPECT_NE(io.outs[0].find("\"bad_times\":0,\"database\":\"DSN=line;PWD=***\"}"),
              std::string::npos)
        << io.outs[0];
    EXPECT_EQ(io.outs[0].find("\"files\""), std::string::npos);
    EXPECT_EQ(io.outs[0].find("\"skipped_lines\""), std::string::npos);
}

TEST(CliReportCmd, ThePageSaysWhereItsFiguresCameFrom) {
    const std::int64_t day = 1796688000000;  // 2026-12-08T00:00:00Z
    StnFigures zoned;
    zoned.utc_offsets = {"+01:00"};
    struct Case {
        const char *name;
        StnPageInput in;
        std::string source;  // the paragraph's inside
    };
    StnPageInput files;
    files.files.resize(2);
    StnPageInput one = files;
    one.files.resize(1);
    one.stations = {"B2"};
    StnPageInput db;
    db.database = "DSN=line <3";
    StnPageInput named = db;
    named.stations = {"A", "B"};
    named.from_ms = day;
    named.to_ms = day + 24 * 3600000;
    named.figures = &zoned;
    const Case cases[] = {
        {"files", files, "From 2 report files."},
        {"one file of one station", one,
         "From 1 report file, station <span data-figure=\"stations\" data-value=\"B2\">B2</span>."},
        {"the database, every station", db,
         "From the database <span class=\"source\" data-figure=\"database\" "
         "data-value=\"DSN=line &lt;3\">DSN=line &lt;3</span>, every station."},
        {"two stations and a day, in the stations' time", named,
         "From the database <span class=\"source\" data-figure=\"database\" "
         "data-value=\"DSN=line &lt;3\">DSN=line &lt;3</span>, stations <span "
         "data-figure=\"stations\" data-value=\"A, B\">A, B</span>, lines from <span "
         "data-figure=\"from\" data-value=\"2026-12-08T00:00:00.000Z\">2026-12-08 01:00</span> "
         "before <span data-figure=\"to\" data-value=\"2026-12-09T00:00:00.000Z\">2026-12-09 "
         "01:00</span>."},
    };
    for (const Case &c : cases) {
        const std::string page = stn_report_page(c.in);
        const std::string open = "<p class=\"meta\" id=\"source\">";
        const std::size_t at = page.find(open);
        ASSERT_NE(at, std::string::npos) << c.name;
        const std::size_t from = at + open.size();
        EXPECT_EQ(page.substr(from, page.find("</p>", from) - from), c.source) << c.name;
        // The files' part only for files.
        EXPECT_EQ(page.find("id=\"files\"") != std::string::npos, c.in.database.empty()) << c.name;
    }
}
