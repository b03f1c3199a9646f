// qvm_cli report --database over a stand-in database: which connection
// string is used, the exit code of each way it fails (and its words without
// the password), the figures written from the database with its
// description, and the CSV's rows as they stream.
#include <gtest/gtest.h>

#include "cli_exit.h"
#include "cli_report_db.h"

namespace {

// Answers every query with rows (or fails it); the rows of the unit lines'
// query when it asks for line texts.
class FakeSql : public StnSql {
public:
    bool fail = false;
    std::vector<std::vector<StnSqlValue>> unit_rows;
    bool query(const std::string &sql, const std::vector<std::string> &,
               const std::function<void(const std::vector<StnSqlValue> &)> &row,
               std::string *why) override {
        if (fail) {
            *why = "column l.line_kind does not exist (Pwd=sekret) [42703]";
            return false;
        }
        if (sql.find("line_text") != std::string::npos) {
            for (const auto &r : unit_rows) row(r);
        }
        return true;
    }
};

class DbIo : public CliIo {
public:
    enum Way { kAnswers, kUnreachable, kNoOdbc, kQueryFails };
    Way way = kAnswers;
    std::string default_cs, opened;
    std::vector<std::vector<StnSqlValue>> unit_rows;
    std::vector<std::string> outs, errs;
    void out(const std::string &l) override { outs.push_back(l); }
    void err(const std::string &l) override { errs.push_back(l); }
    std::string utc_now() override { return "2026-12-08T12:00:00.000Z"; }
    std::shared_ptr<StnReportStore> open_report(const std::string &) override { return nullptr; }
    std::string default_database() override { return default_cs; }
    std::unique_ptr<StnSql> open_sql(const std::string &cs, unsigned, std::string *why,
                                     bool *unreachable) override {
        opened = cs;
        *unreachable = way == kUnreachable;
        if (way == kUnreachable) *why = "cannot connect: no server for Pwd=sekret [08001]";
        if (way == kNoOdbc) *why = "ODBC (odbc32.dll) cannot be loaded";
        if (way == kUnreachable || way == kNoOdbc) return nullptr;
        std::unique_ptr<FakeSql> db(new FakeSql);
        db->fail = way == kQueryFails;
        db->unit_rows = unit_rows;
        return db;
    }
    std::string all_err() const {
        std::string s;
        for (const std::string &e : errs) s += e + "\n";
        return s;
    }
};

int run(DbIo &io, std::vector<const char *> argv) {
    argv.insert(argv.begin(), "qvm_cli");
    CliArgs a;
    std::string e;
    EXPECT_TRUE(cli_parse_args(static_cast<int>(argv.size()), argv.data(), &a, &e)) << e;
    return cli_report_database(a, io);
}

const char kCs[] = "Driver={PostgreSQL Unicode};Server=db;Uid=u;Pwd=sekret;";

}  // namespace

TEST(CliReportDb, EachWayTheDatabaseFailsHasItsExitCodeAndHidesThePassword) {
    const struct {
        const char *name;
        DbIo::Way way;
        int code;
        const char *says;
    } cases[] = {
        {"unreachable", DbIo::kUnreachable, kCliExitFailed, "report: cannot connect: "},
        {"no ODBC", DbIo::kNoOdbc, kCliExitUsage, "ODBC (odbc32.dll) cannot be loaded"},
        {"a query fails", DbIo::kQueryFails, kCliExitUsage, "the database's query failed: "},
    };
    for (const auto &c : cases) {
        for (const char *format : {"--json", "--csv"}) {
            DbIo io;
            io.way = c.way;
            EXPECT_EQ(run(io, {"report", "--database", kCs, format}), c.code)
                << c.name << " " << format;
            EXPECT_NE(io.all_err().find(c.says), std::string::npos) << c.name << ": " << io.all_err();
            EXPECT_EQ(io.all_err().find("sekret"), std::string::npos) << c.name << ": " << io.all_err();
            for (const std::string &l : io.outs) {
                EXPECT_EQ(l.find("sekret"), std::string::npos) << c.name << ": " << l;
            }
        }
    }
}

TEST(CliReportDb, TheConnectionIsGivenOrTheMachinesAndFiguresNameIt) {
    DbIo io;
    io.default_cs = "Driver={x};Pwd=machine-pw;";
    ASSERT_EQ(run(io, {"report", "--database", kCs, "--json"}), kCliExitOk) << io.all_err();
    EXPECT_EQ(io.opened, kCs);
    ASSERT_EQ(io.outs.size(), 1u);
    EXPECT_NE(io.outs[0].find("\"database\":\"Driver={PostgreSQL Unicode};Server=db;Uid=u;Pwd=***;\""),
              std::string::npos)
        << io.outs[0];
    EXPECT_NE(io.outs[0].find("\"units\":0"), std::string::npos) << io.outs[0];
    EXPECT_EQ(io.outs[0].find("\"files\""), std::string::npos) << io.outs[0];
    EXPECT_NE(io.all_err().find("report: 0 rows read from the database"), std::string::npos)
        << io.all_err();
}

TEST(CliReportDb, CsvRowsStreamFromTheDatabaseWithTheirAttempts) {
    DbIo io;
    io.unit_rows = {
        {{false, "{\"type\":\"unit\",\"time\":\"2026-12-08T10:00:00.000Z\",\"id\":1,"
                 "\"serial\":7,\"result\":\"updated\",\"order\":\"WO-1\"}"},
         {false, "PC-2"},
         {false, "2"}},
    };
    ASSERT_EQ(run(io, {"report", "--database", kCs, "--csv"}), kCliExitOk) << io.all_err();
    ASSERT_EQ(io.outs.size(), 2u);
    EXPECT_EQ(io.outs[0].rfind("time,id,index,serial,", 0), 0u) << io.outs[0];
    EXPECT_EQ(io.outs[1],
              "2026-12-08T10:00:00.000Z,1,,7,,,updated,,0,0,,false,,WO-1,PC-2,2\r");
    EXPECT_NE(io.all_err().find("report: 1 row read from the database"), std::string::npos)
        << io.all_err();
}
