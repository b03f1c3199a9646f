// StnSql over ODBC (stn_sql_odbc) against the test session's PostgreSQL:
// texts through parameters and back, NULL and empty, a value longer than
// one piece, many rows, a failing query's words, and a database that
// cannot be reached, never with the password in a message.
#include <gtest/gtest.h>

#include <cstdlib>

#include "stn_sql_odbc_win.h"

namespace {

std::string env(const char *name) {
    const char *v = std::getenv(name);
    return v == nullptr ? std::string() : std::string(v);
}

using Rows = std::vector<std::vector<StnSqlValue>>;

class SqlOdbc : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(socket_.empty())
            << "no PostgreSQL server: run inside scripts/test-session.sh (QVM_PG_SOCKET)";
    }
    std::string cs(const std::string &server, const char *pwd = "admin-pw") const {
        return "Driver={PostgreSQL Unicode};Server=" + server +
               ";Port=5432;Database=qvm_factory;Uid=qvm_admin;Pwd=" + pwd + ";";
    }
    std::unique_ptr<StnSql> open(std::string *why) {
        bool unreachable = true;
        std::unique_ptr<StnSql> db = stn_sql_odbc(cs(socket_), 10, 60, &unreachable, why);
        EXPECT_FALSE(unreachable);
        return db;
    }
    // Runs sql; its rows, or the failure's words in *why.
    bool run(StnSql *db, const std::string &sql, const std::vector<std::string> &params,
             Rows *rows, std::string *why) {
        rows->clear();
        return db->query(sql, params, [&](const std::vector<StnSqlValue> &r) { rows->push_back(r); },
                         why);
    }
    const std::string socket_ = env("QVM_PG_SOCKET");
};

}  // namespace

TEST_F(SqlOdbc, TextsGoInAsParametersAndComeBackWhole) {
    std::string why;
    std::unique_ptr<StnSql> db = open(&why);
    ASSERT_NE(db, nullptr) << why;
    const std::string quote = "O'Brien \"Linie\"; --";
    const std::string wide = "Pr\xC3\xBC" "fstand \xE2\x80\x94 \xE6\xB8\xAC\xE8\xA9\xA6 \xF0\x9F\x94\xA7";
    std::string lng;
    for (int i = 0; i < 3000; ++i) lng += "ab\xE2\x82\xAC";  // 9000 characters
    Rows rows;
    ASSERT_TRUE(run(db.get(),
                    "SELECT CAST(? AS TEXT), CAST(? AS TEXT), NULL, '', CAST(? AS TEXT), "
                    "CAST(? AS TEXT) || '|'",
                    {quote, wide, lng, ""}, &rows, &why))
        << why;
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].size(), 6u);
    const std::vector<StnSqlValue> &r = rows[0];
    EXPECT_EQ(r[0].text, quote);
    EXPECT_EQ(r[1].text, wide);
    EXPECT_TRUE(r[2].null);
    EXPECT_FALSE(r[3].null);
    EXPECT_EQ(r[3].text, "");
    EXPECT_FALSE(r[4].null);
    EXPECT_TRUE(r[4].text == lng) << "the long value: " << r[4].text.size() << " bytes of "
                                  << lng.size();
    EXPECT_EQ(r[5].text, "|") << "an empty parameter is an empty text, not NULL";
    for (int c = 0; c < 6; ++c) {
        EXPECT_EQ(r[c].null, c == 2) << "column " << c;
    }
}

TEST_F(SqlOdbc, ManyRowsComeOneByOneAndAStatementWithoutRowsRuns) {
    std::string why;
    std::unique_ptr<StnSql> db = open(&why);
    ASSERT_NE(db, nullptr) << why;
    Rows rows;
    ASSERT_TRUE(run(db.get(), "CREATE TEMPORARY TABLE odbc_rows (n bigint)", {}, &rows, &why)) << why;
    EXPECT_TRUE(rows.empty());
    std::size_t n = 0;
    long long sum = 0;
    ASSERT_TRUE(db->query("SELECT g, 'row ' || g FROM generate_series(1, CAST(? AS INT)) AS g "
                          "ORDER BY g",
                          {"50000"},
                          [&](const std::vector<StnSqlValue> &r) {
                              ++n;
                              sum += std::atoll(r[0].text.c_str());
                              if (r[1].text != "row " + r[0].text) ADD_FAILURE() << r[1].text;
                          },
                          &why))
        << why;
    EXPECT_EQ(n, 50000u);
    EXPECT_EQ(sum, 50000LL * 50001 / 2);
}

TEST_F(SqlOdbc, AFailingQuerySaysWhyWithItsState) {
    std::string why;
    std::unique_ptr<StnSql> db = open(&why);
    ASSERT_NE(db, nullptr) << why;
    Rows rows;
    EXPECT_FALSE(run(db.get(), "SELECT n FROM no_such_table WHERE n = ?", {"1"}, &rows, &why));
    EXPECT_NE(why.find("no_such_table"), std::string::npos) << why;
    EXPECT_NE(why.find("[42P01]"), std::string::npos) << why;
    // The connection stays usable.
    ASSERT_TRUE(run(db.get(), "SELECT 1", {}, &rows, &why)) << why;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0].text, "1");
}

TEST_F(SqlOdbc, ADatabaseThatCannotBeReachedIsToldFromAFailureAndHidesThePassword) {
    struct Case {
        const char *name;
        std::string cs;
        const char *secret;
    };
    const Case cases[] = {
        // A socket folder where no server listens.
        {"no server", cs("/tmp/qvm-no-server-here", "s3cret-pw"), "s3cret-pw"},
        {"wrong password", cs(socket_, "wr0ng-pw"), "wr0ng-pw"},
    };
    for (const Case &c : cases) {
        bool unreachable = false;
        std::string why;
        std::unique_ptr<StnSql> db = stn_sql_odbc(c.cs, 5, 5, &unreachable, &why);
        EXPECT_EQ(db, nullptr) << c.name;
        EXPECT_TRUE(unreachable) << c.name;
        EXPECT_EQ(why.rfind("cannot connect: ", 0), 0u) << c.name << ": " << why;
        EXPECT_NE(why.find(" ["), std::string::npos) << c.name << ": the state: " << why;
        EXPECT_EQ(why.find(c.secret), std::string::npos) << c.name << ": " << why;
    }
}

TEST(SqlOdbcConnection, APostgreSqlDriverFetchesThroughACursorUnlessToldOtherwise) {
    const struct {
        const char *given, *used;
    } cases[] = {
        {"Driver={PostgreSQL Unicode};Server=db;Pwd=x;",
         "Driver={PostgreSQL Unicode};Server=db;Pwd=x;UseDeclareFetch=1;"},
        {"DRIVER={PostgreSQL ANSI(x64)};Server=db", "DRIVER={PostgreSQL ANSI(x64)};Server=db;UseDeclareFetch=1;"},
        {"Driver={PostgreSQL Unicode};usedeclarefetch=0;", "Driver={PostgreSQL Unicode};usedeclarefetch=0;"},
        {"Driver={ODBC Driver 18 for SQL Server};Server=db;Database=postgresql;",
         "Driver={ODBC Driver 18 for SQL Server};Server=db;Database=postgresql;"},
        {"DSN=factory;", "DSN=factory;"},
    };
    for (const auto &c : cases) EXPECT_EQ(stn_sql_odbc_connection(c.given), c.used) << c.given;
}
