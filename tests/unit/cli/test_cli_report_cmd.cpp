// qvm_cli report: the tally of report files for people, as one JSON
// object and as CSV rows, and a file that cannot be read.
#include <gtest/gtest.h>

#include <map>

#include "cli_exit.h"
#include "cli_report_cmd.h"
#include "cli_test_store.h"
#include "stn_json.h"

namespace {

class FakeIo : public CliIo {
public:
    std::map<std::string, std::string> files;
    std::vector<std::string> outs, errs;
    void out(const std::string &l) override { outs.push_back(l); }
    void err(const std::string &l) override { errs.push_back(l); }
    std::string utc_now() override { return "2026-12-08T12:00:00.000Z"; }
    std::shared_ptr<StnReportStore> open_report(const std::string &) override { return nullptr; }
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

int run(FakeIo &io, std::vector<const char *> argv) {
    argv.insert(argv.begin(), "qvm_cli");
    CliArgs a;
    std::string e;
    EXPECT_TRUE(cli_parse_args(static_cast<int>(argv.size()), argv.data(), &a, &e)) << e;
    return cli_report_command(a, io);
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
              "\"unverified\":0,\"other\":0},\"not_at_image\":[102,103],\"skipped_lines\":1,"
              "\"files\":2}");
    EXPECT_TRUE(stn_json_is_object(json.outs[0]));

    FakeIo csv = two_reports();
    EXPECT_EQ(run(csv, {"report", "--csv", "a.jsonl", "b.jsonl"}), kCliExitOk);
    const std::vector<std::string> rows = {
        "time,id,index,serial,old_version,new_version,result,failure,detail,ms,message,recovered\r",
        "2026-12-08T10:00:00.000Z,1,0,101,3.40,3.62,updated,,0,2210,,false\r",
        "2026-12-08T10:30:00.000Z,2,1,102,3.40,,failed,refused,57348,310,"
        "\"device 1 (serial 102): block at 0x5400 refused, \"\"E004\"\"\",false\r",
        "2026-12-08T11:00:00.000Z,3,2,103,3.50,,interrupted,,0,0,,true\r",
        "2026-12-08T11:05:00.000Z,4,3,,,,failed,no_answer,4294967294,5000,,false\r",
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
                          "\"'+cmd|' /C calc'!A0\",false\r");
}

TEST(CliReportCmd, AFileThatCannotBeReadIsAnErrorAndNothingElse) {
    FakeIo io = two_reports();
    EXPECT_EQ(run(io, {"report", "a.jsonl", "missing.jsonl", "--json"}), kCliExitUsage);
    ASSERT_EQ(io.outs.size(), 1u);
    EXPECT_NE(io.outs[0].find("\"type\":\"error\""), std::string::npos) << io.outs[0];
    EXPECT_NE(io.outs[0].find("missing.jsonl"), std::string::npos) << io.outs[0];
    ASSERT_FALSE(io.errs.empty());
}
