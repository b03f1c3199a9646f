// The command line: what each accepted form means, and every usage error.
#include <gtest/gtest.h>

#include <vector>

#include "cli_args.h"

namespace {

bool parse(std::vector<const char *> argv, CliArgs *args, std::string *error) {
    argv.insert(argv.begin(), "qvm_cli");
    return cli_parse_args(static_cast<int>(argv.size()), argv.data(), args, error);
}

}  // namespace

TEST(CliArgs, AcceptedForms) {
    CliArgs a;
    std::string e;
    ASSERT_TRUE(parse({"update", "--device", "3", "0", "3", "--force", "--parallel", "2", "--json"},
                      &a, &e)) << e;
    EXPECT_EQ(a.command, CliCommand::kUpdate);
    EXPECT_EQ(a.devices, (std::vector<unsigned>{3, 0}));  // order kept, repeats dropped
    EXPECT_TRUE(a.force);
    EXPECT_TRUE(a.json);
    EXPECT_EQ(a.parallel, 2u);
    EXPECT_FALSE(a.all);

    ASSERT_TRUE(parse({"update"}, &a, &e));
    EXPECT_TRUE(a.devices.empty());
    EXPECT_FALSE(a.all);
    EXPECT_EQ(a.parallel, 0u);

    ASSERT_TRUE(parse({"station", "--report", "r.jsonl", "--parallel", "256"}, &a, &e));
    EXPECT_EQ(a.command, CliCommand::kStation);
    EXPECT_EQ(a.report, "r.jsonl");
    EXPECT_EQ(a.parallel, 256u);

    ASSERT_TRUE(parse({"list", "--json"}, &a, &e));
    EXPECT_EQ(a.command, CliCommand::kList);
    ASSERT_TRUE(parse({"update", "--all", "--help"}, &a, &e));
    EXPECT_EQ(a.command, CliCommand::kHelp);
    ASSERT_TRUE(parse({"--help"}, &a, &e));
    EXPECT_EQ(a.command, CliCommand::kHelp);
}

TEST(CliArgs, UsageErrors) {
    const std::vector<std::vector<const char *>> bad = {
        {},
        {"flash"},
        {"update", "--device"},
        {"update", "--device", "256"},
        {"update", "--device", "3x"},
        {"update", "--device", ""},
        {"update", "--device", "99999999999999999999"},
        {"update", "--all", "--device", "1"},
        {"update", "--parallel"},
        {"update", "--parallel", "0"},
        {"update", "--parallel", "-1"},
        {"update", "--report", "f"},
        {"update", "extra"},
        {"list", "--force"},
        {"list", "--all"},
        {"info", "--device", "1"},
        {"station"},
        {"station", "--report"},
        {"station", "--report", ""},
        {"station", "--report", "f", "--all"},
        {"station", "--report", "f", "--device", "1"},
    };
    for (const auto &argv : bad) {
        CliArgs a;
        std::string e;
        std::string shown;
        for (const char *s : argv) shown += std::string(s) + " ";
        EXPECT_FALSE(parse(argv, &a, &e)) << shown;
        EXPECT_FALSE(e.empty()) << shown;
    }
}
