// The report's open, one pass a chunk at a time: where its recorded lines
// end, the torn line set aside before it is cut, the starts recovered and
// the highest id, whatever the chunks are; foreign files and used-up ids
// refused untouched; every line flushed before it counts.
#include <gtest/gtest.h>

#include "stn_report.h"
#include "cli_test_store.h"

using cli_test::MemStore;

namespace {
const std::string kA = "{\"type\":\"unit\",\"index\":0}";
const std::string kB = "{\"type\":\"unit\",\"index\":1,\"result\":\"updated\"}";

// Chunk sizes that put the chunk boundaries everywhere in short lines,
// and the store's whole size.
const std::size_t kChunks[] = {1, 2, 3, 5, 7, 16, 0};

std::string start(std::uint64_t id, const std::string &serial = "84600001") {
    return "{\"type\":\"start\",\"time\":\"2026-12-08T10:00:00.000Z\",\"id\":" +
           std::to_string(id) + ",\"index\":2,\"serial\":" + serial +
           ",\"mcu_version\":288,\"old_version\":\"3.41\",\"image_sha256\":\"ab\"}";
}

std::string unit(std::uint64_t id) {
    return "{\"type\":\"unit\",\"time\":\"2026-12-08T10:00:02.000Z\",\"id\":" + std::to_string(id) +
           ",\"index\":2,\"serial\":84600001,\"result\":\"updated\",\"detail\":0,\"ms\":2000}";
}

std::string recovered(std::uint64_t id, const std::string &serial = "84600001") {
    return "{\"type\":\"unit\",\"time\":\"now\",\"id\":" + std::to_string(id) +
           ",\"index\":2,\"serial\":" + serial +
           ",\"mcu_version\":288,\"old_version\":\"3.41\",\"new_version\":null,"
           "\"result\":\"interrupted\",\"detail\":0,\"recovered\":true,\"image_sha256\":\"ab\","
           "\"operator\":\"\",\"order\":\"\",\"station\":\"\"}";
}

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
        {"torn first line with its line end", kB.substr(0, 20) + "\n", 0},
        {"zeros before a line end", kA + "\n" + std::string(12, '\0') + "\n", kA.size() + 1},
        {"torn line after zeros", kA + "\n" + std::string(3, '\0') + "\n{\"ty", kA.size() + 1},
        {"a bad middle line is not ours to judge", kA + "\nx\n" + kA + "\n", 2 * kA.size() + 4},
        {"an empty last line", kA + "\n\n", kA.size() + 2},
        {"an editor's byte order mark", "\xEF\xBB\xBF" + kA + "\n", kA.size() + 4},
    };
    for (const Case &c : cases) {
        for (std::size_t chunk : kChunks) {
            SCOPED_TRACE(std::string(c.what) + ", chunk " + std::to_string(chunk));
            MemStore store;
            store.bytes = c.bytes;
            store.read_chunk = chunk;
            StnReportOpened opened;
            ASSERT_EQ(StnReport(&store).open("now", &opened), StnReportOpen::kOk);
            EXPECT_EQ(store.bytes, c.bytes.substr(0, c.keep));
            EXPECT_EQ(store.aside, c.bytes.substr(c.keep));
            EXPECT_EQ(opened.torn_bytes, c.bytes.size() - c.keep);
        }
    }
}

TEST(StnReport, LoneStartsAreRecoveredAfterTheRunLineAndIdsGoOnFromTheHighest) {
    struct Case {
        const char *what;
        std::vector<std::string> lines;
        std::string tail;                    // bytes after the last line end
        std::vector<std::string> added;      // what the open appends after the run line
        std::uint64_t highest;
    };
    const Case cases[] = {
        {"closed units", {start(1), unit(1), start(2), unit(2)}, "", {}, 2},
        {"two lone starts, recovered in id order",
         {start(4), start(2), unit(1), start(3), unit(3)}, "", {recovered(2), recovered(4)}, 4},
        {"a start written twice counts once, as its last line",
         {start(5, "1"), start(5, "2")}, "", {recovered(5, "2")}, 5},
        {"a torn start is not recovered", {start(1), unit(1)}, start(2).substr(0, 30), {}, 1},
        {"a start that is the torn last line", {start(1), unit(1)},
         start(2).substr(0, 40) + std::string(2, '\0') + "\n", {}, 1},
        {"fields in another order, CR LF, escapes",
         {"{\"id\":7,\"type\":\"start\",\"index\":2,\"serial\":84600001,\"mcu_version\":288,"
          "\"old_version\":\"3.41\",\"image_sha256\":\"ab\",\"time\":\"x\"}\r",
          "{\"type\":\"st\\u0061rt\",\"time\":\"\\u0032\",\"id\":8}",
          "{\"type\":\"unit\",\"result\":\"failed\",\"id\":8}", "{\"type\":\"unit\",\"id\":6}"},
         "",
         {recovered(7)},
         8},
        {"ids of other records and odd ids",
         {start(1), unit(1), "{\"type\":\"summary\",\"id\":40}",
          "{\"type\":\"start\",\"time\":\"t\",\"id\":-3}",
          "{\"type\":\"start\",\"time\":\"t\",\"id\":2.5}",
          "{\"type\":\"start\",\"time\":\"t\",\"id\":123456789012345678901234}"},
         "", {}, 40},
        {"the head's id is the line's when the line is not whole JSON",
         {start(1), "{\"type\":\"unit\",\"time\":\"t\",\"id\":1,garbage}", unit(9)}, "", {}, 9},
    };
    const std::string run = "{\"type\":\"run\",\"event\":\"open\"}";
    for (const Case &c : cases) {
        std::string bytes;
        for (const std::string &l : c.lines) bytes += l + "\n";
        bytes += c.tail;
        std::string want = bytes.substr(0, bytes.size() - c.tail.size()) + run + "\n";
        for (const std::string &l : c.added) want += l + "\n";
        for (std::size_t chunk : kChunks) {
            SCOPED_TRACE(std::string(c.what) + ", chunk " + std::to_string(chunk));
            MemStore store;
            store.bytes = bytes;
            store.read_chunk = chunk;
            StnReport report(&store);
            StnReportOpened opened;
            ASSERT_EQ(report.open("now", &opened, run), StnReportOpen::kOk);
            EXPECT_EQ(cli_test::unchained(store.bytes), want);
            EXPECT_EQ(opened.recovered, c.added.size());
            EXPECT_EQ(opened.highest_id, c.highest);
            EXPECT_EQ(opened.written.size(), c.added.size() + 1);
            EXPECT_EQ(report.new_id(), c.highest + 1);
        }
    }
}

TEST(StnReport, ForeignFilesAndUsedUpIdsAreRefusedUntouched) {
    const std::string near_top = std::to_string(kStnIdHighest);
    const std::string over_top = std::to_string(kStnIdHighest + 1);
    struct Case {
        std::string bytes;
        StnReportOpen result;
    };
    const Case cases[] = {
        {"name,serial\n1,2\n", StnReportOpen::kForeign},
        {"hello", StnReportOpen::kForeign},
        {"{\"a\":1}\n", StnReportOpen::kForeign},
        {"[1]\n" + kA + "\n", StnReportOpen::kForeign},
        // Begins as a torn line would, but a recorded line follows.
        {"{\"type\":\n" + kA + "\n", StnReportOpen::kForeign},
        {"{\"type\":\"summary\"}\n{\"ty", StnReportOpen::kForeign},
        {"\n" + kA + "\n", StnReportOpen::kForeign},
        {start(kStnIdHighest) + "\n" + unit(kStnIdHighest) + "\n", StnReportOpen::kOk},
        {start(1) + "\n" + unit(kStnIdHighest + 1) + "\n", StnReportOpen::kIdsExhausted},
        {start(1) + "\n{\"type\":\"unit\",\"id\":18446744073709551615}\n" + kA.substr(0, 5),
         StnReportOpen::kIdsExhausted},
        {"{\"type\":\"run\",\"event\":\"open\"}\n{\"type\":\"start\",\"time\":\"t\",\"id\":" +
             over_top + ",\"index\":0}\n",
         StnReportOpen::kIdsExhausted},
    };
    for (const Case &c : cases) {
        for (std::size_t chunk : {std::size_t(1), std::size_t(0)}) {
            SCOPED_TRACE(c.bytes + ", chunk " + std::to_string(chunk));
            MemStore store;
            store.bytes = c.bytes;
            store.read_chunk = chunk;
            StnReport report(&store);
            ASSERT_EQ(report.open("now"), c.result);
            if (c.result != StnReportOpen::kOk) {
                EXPECT_TRUE(store.ops.empty());
                EXPECT_EQ(store.bytes, c.bytes);
            } else {
                EXPECT_EQ(report.new_id(), kStnIdHighest + 1) << near_top;
            }
        }
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
    const std::string keep = std::to_string(kA.size() + 1);
    EXPECT_EQ(store.ops, (std::vector<std::string>{"aside " + keep, "truncate " + keep, "flush"}));

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
        EXPECT_TRUE(store.ops.empty());
    }
    {
        MemStore store;
        store.bytes = kA + "\n{";
        store.fail = "read";
        EXPECT_EQ(StnReport(&store).open("t"), StnReportOpen::kCannotRead);
        EXPECT_TRUE(store.ops.empty());
    }
    {
        MemStore store;
        store.bytes = kA + "\n{";
        store.fail = "aside";
        EXPECT_EQ(StnReport(&store).open("t"), StnReportOpen::kCannotRepair);
        EXPECT_EQ(store.bytes, kA + "\n{");  // not cut without its copy
    }
    {
        MemStore store;  // the run line cannot be written: the open fails
        store.fail = "append";
        EXPECT_EQ(StnReport(&store).open("t", nullptr, kA), StnReportOpen::kCannotRepair);
    }
    for (const char *op : {"append", "flush"}) {
        MemStore store;
        store.fail = op;
        EXPECT_FALSE(StnReport(&store).write_line(kA)) << op;
    }
}
