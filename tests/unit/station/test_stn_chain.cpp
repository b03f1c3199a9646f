// The chain of a report: written by the report's writer through a torn
// tail, a recovery and the spill, and checked line by line; every kind of
// edit is named at the line where it shows.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "../cli/cli_test_store.h"
#include "stn_chain.h"
#include "stn_report.h"

namespace {

std::vector<std::string> split(const std::string &bytes) {
    std::vector<std::string> out;
    std::istringstream in(bytes);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

std::string verdict(const std::vector<std::string> &lines) {
    StnChainCheck check;
    for (const std::string &l : lines) check.feed(l);
    return check.verdict();
}

std::string unit(int id) {
    return "{\"type\":\"unit\",\"time\":\"t\",\"id\":" + std::to_string(id) +
           ",\"result\":\"updated\"}";
}

// A report written as the station writes one: two units, a crash that
// leaves a start without its unit and a torn tail, an open that recovers
// them and adds a kept line from the spill, then one more unit.
std::vector<std::string> written_report() {
    cli_test::MemStore store;
    {
        StnReport r(&store);
        EXPECT_EQ(r.open("t"), StnReportOpen::kOk);
        EXPECT_TRUE(r.write_line(unit(1)));
        EXPECT_TRUE(r.write_line(unit(2)));
        EXPECT_TRUE(r.write_line("{\"type\":\"start\",\"time\":\"t\",\"id\":3,\"index\":0}"));
    }
    store.bytes += "{\"type\":\"unit\",\"ti";  // torn
    store.spilled = unit(4) + "\n";
    StnReport again(&store);
    StnReportOpened opened;
    EXPECT_EQ(again.open("t", &opened), StnReportOpen::kOk);
    EXPECT_EQ(opened.recovered, 1u);
    EXPECT_EQ(opened.from_spill, 1u);
    EXPECT_TRUE(again.write_line(unit(5)));
    return split(store.bytes);
}

const std::string kOneCut =
    "; 1 torn tail was set aside (FILE.torn holds the bytes; their length and SHA-256 are in "
    "the line after)";

}  // namespace

TEST(StnChain, TheWriterChainsEveryLineThroughATornTailARecoveryAndTheSpill) {
    const std::vector<std::string> lines = written_report();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(verdict(lines), "chain intact: 6 lines" + kOneCut);
    // The line after the cut says what was cut.
    EXPECT_NE(lines[3].find(",\"cut\":{\"bytes\":18,\"sha256\":\"" +
                            stn_line_sha256("{\"type\":\"unit\",\"ti") + "\"}"),
              std::string::npos)
        << lines[3];
    EXPECT_EQ(stn_chain_body(lines[0]), unit(1));
    // A copy that adds CRs keeps the chain.
    std::vector<std::string> crlf = lines;
    for (std::string &l : crlf) l += "\r";
    EXPECT_EQ(verdict(crlf), "chain intact: 6 lines" + kOneCut);
}

TEST(StnChain, EachEditIsNamedWhereItShows) {
    using Lines = std::vector<std::string>;
    const Lines good = written_report();
    const auto changed = [](std::string *l, const char *to) {
        l->replace(l->find("updated"), 7, to);
    };
    const struct {
        const char *what;
        std::function<void(Lines &)> edit;
        const char *verdict;
    } cases[] = {
        {"a changed byte", [&](Lines &l) { changed(&l[1], "UPDATED"); },
         "chain broken between lines 2 and 3 (id 3): line 2 was changed, or lines were removed "
         "or inserted there"},
        {"a removed line", [](Lines &l) { l.erase(l.begin() + 2); },
         "chain broken between lines 2 and 3 (id 4): its seq is 4, not 3: lines were removed "
         "there, or a later line was moved there"},
        {"an inserted line", [](Lines &l) { l.insert(l.begin() + 3, unit(7)); },
         "not chained: line 4 carries no chain after chained lines (added by hand?)"},
        {"a copied line", [](Lines &l) { l.insert(l.begin() + 4, l[1]); },
         "chain broken between lines 4 and 5 (id 2): its seq is 2, not 5: lines were inserted "
         "there, or an earlier line was moved there"},
        {"two lines swapped", [](Lines &l) { std::swap(l[2], l[3]); },
         "chain broken between lines 2 and 3 (id 4): its seq is 4, not 3: lines were removed "
         "there, or a later line was moved there"},
        {"the first line changed", [&](Lines &l) { changed(&l[0], "failed!"); },
         "chain broken between lines 1 and 2 (id 2): line 1 was changed, or lines were removed "
         "or inserted there"},
        {"a line without the chain at the end", [](Lines &l) { l.push_back(unit(9)); },
         "not chained: line 7 carries no chain after chained lines (added by hand?)"},
        {"no chained line", [](Lines &l) { l = {unit(1), unit(2)}; },
         "not chained: no line carries the chain"},
        {"lines cut off the end leave the rest intact", [](Lines &l) { l.pop_back(); },
         "chain intact: 5 lines; 1 torn tail was set aside (FILE.torn holds the bytes; their "
         "length and SHA-256 are in the line after)"},
    };
    for (const auto &c : cases) {
        Lines l = good;
        c.edit(l);
        EXPECT_EQ(verdict(l), c.verdict) << c.what;
    }
}

TEST(StnChain, AReportFromBeforeTheChainContinuesWithChainedLines) {
    cli_test::MemStore store;
    store.bytes = unit(1) + "\n" + unit(2) + "\n";
    StnReport r(&store);
    ASSERT_EQ(r.open("t"), StnReportOpen::kOk);
    ASSERT_TRUE(r.write_line(unit(3)));
    EXPECT_EQ(verdict(split(store.bytes)),
              "chain intact: 3 lines (the first 2 written before lines were chained)");
}

// A power cut can leave a last line of zeros before its line feed: the next
// open sets a last line that is no JSON object aside, so the check does not
// call it a break; anywhere else it is one. A cut is checked for its form.
TEST(StnChain, ATornLastLineIsNoBreakAndACutMustHaveItsForm) {
    using Lines = std::vector<std::string>;
    const Lines good = written_report();
    const std::string zeros(40, '\0');
    const std::string cut_break =
        "chain broken between lines 3 and 4 (id 4): line 4's cut is not as the station "
        "writes one (changed?)";
    const auto cut_edit = [](const char *from, const char *to) {
        return [from, to](Lines &l) {
            const std::size_t at = l[3].find(from);
            ASSERT_NE(at, std::string::npos) << from;
            l[3].replace(at, std::strlen(from), to);
        };
    };
    const struct {
        const char *what;
        std::function<void(Lines &)> edit;
        std::string verdict;
        bool intact, torn;
    } cases[] = {
        {"zeros at the end", [&](Lines &l) { l.push_back(zeros); },
         "chain intact: 6 lines" + kOneCut +
             "; the last line (40 bytes) is torn, no JSON object: the next open sets it aside",
         true, true},
        {"half a line at the end", [](Lines &l) { l.push_back("{\"type\":\"unit\",\"ti\r"); },
         "chain intact: 6 lines" + kOneCut +
             "; the last line (18 bytes) is torn, no JSON object: the next open sets it aside",
         true, true},
        {"zeros before a line", [&](Lines &l) { l.insert(l.begin() + 5, zeros); },
         "not chained: line 6 carries no chain after chained lines (added by hand?)", false,
         false},
        {"an empty last line is kept by the open, so it breaks",
         [](Lines &l) { l.push_back(""); },
         "not chained: line 7 carries no chain after chained lines (added by hand?)", false,
         false},
        {"a cut of no bytes", cut_edit("\"bytes\":18", "\"bytes\":0"), cut_break, false, false},
        {"a cut's length not a number", cut_edit("\"bytes\":18", "\"bytes\":\"18\""), cut_break,
         false, false},
        {"a cut's hash unclosed", cut_edit("\"}}", "}}"), cut_break, false, false},
        {"a cut with more", cut_edit("\"}}", "\",\"by\":\"me\"}}"), cut_break, false, false},
    };
    for (const auto &c : cases) {
        Lines l = good;
        c.edit(l);
        StnChainCheck check;
        for (const std::string &line : l) check.feed(line);
        EXPECT_EQ(check.verdict(), c.verdict) << c.what;
        EXPECT_EQ(check.intact(), c.intact) << c.what;
        EXPECT_EQ(check.torn_tail(), c.torn) << c.what;
    }

    // The open agrees: it sets the zeros aside, and the line after names them.
    cli_test::MemStore store;
    for (const std::string &line : good) store.bytes += line + "\n";
    store.bytes += zeros + "\n";
    StnReport r(&store);
    ASSERT_EQ(r.open("t"), StnReportOpen::kOk);
    ASSERT_TRUE(r.write_line(unit(6)));
    StnChainCheck check;
    for (const std::string &line : split(store.bytes)) check.feed(line);
    EXPECT_TRUE(check.intact()) << check.verdict();
    EXPECT_EQ(check.lines(), 7u);
    EXPECT_EQ(check.cuts(), 2u);
    EXPECT_FALSE(check.torn_tail());
}
