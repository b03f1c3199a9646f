// The station window's command line.
#include <gtest/gtest.h>

#include <tuple>

#include "stw_args.h"

TEST(StationArgs, OptionsAndErrors) {
    StwArgs a;
    std::string error;
    ASSERT_TRUE(stw_parse_args({}, &a, &error));
    EXPECT_EQ(a.report, "");
    EXPECT_EQ(a.timeout_s, 5u);
    EXPECT_EQ(a.parallel, 0u);
    EXPECT_EQ(a.halt_after, 5u);  // the window stops the line by default
    EXPECT_FALSE(a.require_operator || a.require_order);
    ASSERT_TRUE(stw_parse_args({"--parallel", "4", "--report", "C:\\Prüfstand 2\\r.jsonl",
                                "--timeout", "600"},
                               &a, &error));
    EXPECT_EQ(a.report, "C:\\Prüfstand 2\\r.jsonl");
    EXPECT_EQ(a.timeout_s, 600u);
    EXPECT_EQ(a.parallel, 4u);
    // The table both programs read: "--name=value" too.
    ASSERT_TRUE(stw_parse_args({"--timeout=7", "--report=r.jsonl"}, &a, &error)) << error;
    EXPECT_EQ(a.timeout_s, 7u);
    EXPECT_EQ(a.report, "r.jsonl");
    EXPECT_FALSE(a.database_given);
    ASSERT_TRUE(stw_parse_args({"--database-required", "--database", "DSN=line;PWD=x"}, &a, &error));
    EXPECT_TRUE(a.database_required);
    EXPECT_TRUE(a.database_given);
    EXPECT_EQ(a.database, "DSN=line;PWD=x");
    EXPECT_FALSE(a.mes_given);
    ASSERT_TRUE(stw_parse_args({"--mes", "http://mes/api", "--mes-header", "X-A: 1",
                                "--mes-header", "X-B: 2", "--mes-down=allow"},
                               &a, &error))
        << error;
    EXPECT_EQ(std::tie(a.mes_given, a.mes.url, a.mes.headers, a.mes_down_allow),
              std::make_tuple(true, "http://mes/api",
                              std::vector<std::string>{"X-A: 1", "X-B: 2"}, true));

    // The fields, the station's name and the halt.
    ASSERT_TRUE(stw_parse_args({"--operator", "Ana Müller", "--order=WO-7", "--station-name",
                                "Bench 2", "--require-order", "--require-operator",
                                "--halt-after", "0"},
                               &a, &error))
        << error;
    EXPECT_EQ(a.operator_name, "Ana Müller");
    EXPECT_EQ(a.order, "WO-7");
    EXPECT_EQ(a.station_name, "Bench 2");
    EXPECT_TRUE(a.require_operator && a.require_order);
    EXPECT_EQ(a.halt_after, 0u);

    const struct {
        std::vector<std::string> args;
        const char *error;
    } bad[] = {
        {{"--report"}, "--report needs a value"},
        {{"--report", ""}, "--report needs a file name"},
        {{"--timeout", "0"}, "--timeout wants whole seconds from 1 to 600, not \"0\""},
        {{"--timeout", "601"}, "--timeout wants whole seconds from 1 to 600, not \"601\""},
        {{"--parallel", "-1"}, "--parallel wants a number from 1 to 256, not \"-1\""},
        {{"--parallel", "99999999999"},
         "--parallel wants a number from 1 to 256, not \"99999999999\""},
        {{"--timeout", "5", "--timeout", "6"}, "--timeout is given twice"},
        {{"--force"}, "unknown argument \"--force\""},
        {{"report.jsonl"}, "unknown argument \"report.jsonl\""},
        // a value never starts with "--"
        {{"--report", "--timeout", "5"}, "--report needs a value"},
        {{"--operator", std::string(65, 'x')},
         "--operator needs printable text of 1 to 64 characters"},
        {{"--order", "WO\n7"}, "--order needs printable text of 1 to 64 characters"},
        {{"--station-name", ""}, "--station-name needs printable text of 1 to 64 characters"},
        {{"--halt-after", "1001"}, "--halt-after wants a number from 0 to 1000, not \"1001\""},
        {{"--require-operator=1"}, "--require-operator takes no value"},
        {{"--database", ""}, "--database needs an ODBC connection string"},
        // An unquoted connection string: its pieces (a password among them) unshown.
        {{"--database", "Driver={PostgreSQL", "Unicode};Server=/run/pg;UID=station;PWD=s3cret"},
         "unexpected argument after --database (not shown: it may hold a password); quote the "
         "connection string"},
        {{"DSN=line;PWD=s3cret"}, "unknown argument \"DSN=line;PWD=***\""},
        {{"--mes", "mes:80"}, "the MES's URL must start with http:// or https://: mes:80"},
        {{"--mes-header", "Authorization:", "Bearer s3cret"},
         "unexpected argument after --mes-header (not shown: it may hold a secret); quote its "
         "value"},
        {{"--mes-down", "later"}, "--mes-down needs wait or allow"},
    };
    for (const auto &b : bad) {
        StwArgs kept;
        kept.parallel = 9;
        EXPECT_FALSE(stw_parse_args(b.args, &kept, &error));
        EXPECT_EQ(error, b.error);
        EXPECT_EQ(kept.parallel, 9u);  // untouched on an error
    }
}
