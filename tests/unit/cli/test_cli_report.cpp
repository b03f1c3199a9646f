// The report: where its recorded lines end, the torn line set aside before
// it is cut, and every line flushed before it counts.
#include <gtest/gtest.h>

#include "stn_report.h"
#include "cli_test_store.h"

using cli_test::MemStore;

namespace {
const std::string kA = "{\"type\":\"unit\",\"index\":0}";
const std::string kB = "{\"type\":\"unit\",\"index\":1,\"result\":\"updated\"}";
}  // namespace

TEST(StnReport, RecordedLinesEndAtTheLastWholeObject) {
    struct Case {
        const char *what;
        std::string bytes;
        std::size_t keep;
    };
    const Case cases[] = {
        {"empty", "", 0},
        {"one line", kA + "\n", kA.size() + 1},
        {"two lines", kA + "\n" + kB + "\n", kA.size() + kB.size() + 2},
        {"CRLF", kA + "\r\n", kA.size() + 2},
        {"torn second line", kA + "\n" + kB.substr(0, 9), kA.size() + 1},
        {"whole object without its line end", kA + "\n" + kB, kA.size() + 1},
        {"torn first line", kB.substr(0, 20), 0},
        {"zeros before a line end", kA + "\n" + std::string(12, '\0') + "\n", kA.size() + 1},
        {"torn line after zeros", kA + "\n" + std::string(3, '\0') + "\n{\"ty", kA.size() + 1},
        {"a bad middle line is not ours to judge", "x\n" + kA + "\n", kA.size() + 3},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(stn_report_recorded_size(c.bytes), c.keep) << c.what;
    }
}

TEST(StnReport, TornLineIsSetAsideBeforeItIsCut) {
    MemStore store;
    store.bytes = kA + "\n" + kB.substr(0, 9);
    StnReport report(&store);
    StnReportOpened opened;
    ASSERT_EQ(report.open("t", &opened), StnReportOpen::kOk);
    EXPECT_EQ(opened.torn_bytes, 9u);
    EXPECT_EQ(store.aside, kB.substr(0, 9));
    EXPECT_EQ(store.bytes, kA + "\n");
    const std::vector<std::string> want = {"read", "aside", "truncate " + std::to_string(kA.size() + 1),
                                           "flush"};
    EXPECT_EQ(store.ops, want);

    // The next line starts on a line of its own, and its chain accounts
    // for the tail that was cut.
    store.ops.clear();
    ASSERT_TRUE(report.write_line(kB));
    StnCut cut;
    cut.bytes = 9;
    cut.sha256 = stn_line_sha256(kB.substr(0, 9));
    EXPECT_EQ(store.bytes, kA + "\n" + stn_chain_line(kB, 2, stn_line_sha256(kA), &cut) + "\n");
    EXPECT_EQ(store.ops, (std::vector<std::string>{"append", "flush"}));
}

TEST(StnReport, NothingIsCutOrCountedWhenTheStoreFails) {
    {
        MemStore store;  // clean: no writes at all
        store.bytes = kA + "\n";
        ASSERT_EQ(StnReport(&store).open("t"), StnReportOpen::kOk);
        EXPECT_EQ(store.ops, (std::vector<std::string>{"read"}));
    }
    {
        MemStore store;
        store.bytes = kA + "\n{";
        store.fail = "aside";
        EXPECT_EQ(StnReport(&store).open("t"), StnReportOpen::kCannotRepair);
        EXPECT_EQ(store.bytes, kA + "\n{");  // not cut without its copy
    }
    for (const char *op : {"append", "flush"}) {
        MemStore store;
        store.fail = op;
        EXPECT_FALSE(StnReport(&store).write_line(kA)) << op;
    }
}
