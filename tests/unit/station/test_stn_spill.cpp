// The spill by the report's identity: kept, listed and retired in the
// machine's folder under the SHA-256 of the report's first line; added by
// the report's open whatever path it is opened by, once, and only to its own
// report; a line the report already holds (landed, or closed by a recovery
// in between) is not added again.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../cli/cli_test_store.h"
#include "stn_report.h"
#include "stn_spill.h"

namespace {

using cli_test::MemSpillFolder;
using cli_test::MemStore;

const std::string kRun = "{\"type\":\"run\",\"time\":\"2026-12-08T10:00:00.000Z\",\"event\":\"open\"}";
const std::string kStop = "{\"type\":\"run\",\"time\":\"2026-12-08T10:09:00.000Z\",\"event\":\"stop\"}";

std::string start(std::uint64_t id, int index) {
    return "{\"type\":\"start\",\"time\":\"2026-12-08T10:00:01.000Z\",\"id\":" +
           std::to_string(id) + ",\"index\":" + std::to_string(index) +
           ",\"serial\":" + std::to_string(84600000 + index) + "}";
}

std::string unit(std::uint64_t id, int index, const char *result = "updated") {
    return "{\"type\":\"unit\",\"time\":\"2026-12-08T10:00:02.000Z\",\"id\":" +
           std::to_string(id) + ",\"index\":" + std::to_string(index) +
           ",\"serial\":" + std::to_string(84600000 + index) + ",\"result\":\"" + result + "\"}";
}

std::vector<std::string> bodies(const std::string &bytes) {
    std::vector<std::string> out;
    std::istringstream in(cli_test::unchained(bytes));
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

std::size_t count(const std::vector<std::string> &lines, const std::string &part) {
    std::size_t n = 0;
    for (const std::string &l : lines) n += l.find(part) != std::string::npos;
    return n;
}

// A store on report bytes, opened by path, spilling into folder.
std::unique_ptr<MemStore> store_of(const std::string &bytes, const std::string &path,
                                   std::shared_ptr<MemSpillFolder> folder) {
    std::unique_ptr<MemStore> s(new MemStore);
    s->bytes = bytes;
    s->path = path;
    s->spill_folder = std::move(folder);
    return s;
}

// A run that opened a new report at path, wrote its lines, and had to keep
// the rest in the spill; the report's bytes.
std::string spilled_run(const std::string &path, const std::shared_ptr<MemSpillFolder> &folder,
                        const std::vector<std::string> &written,
                        const std::vector<std::string> &kept,
                        const std::string &run = kRun) {
    std::unique_ptr<MemStore> s = store_of("", path, folder);
    StnReport r(s.get());
    EXPECT_EQ(r.open("now", nullptr, run), StnReportOpen::kOk);
    EXPECT_EQ(s->report_id, stn_report_id(s->bytes));
    for (const std::string &l : written) EXPECT_TRUE(r.write_line(l));
    std::string bytes, where;
    for (const std::string &l : kept) bytes += l + "\n";
    EXPECT_TRUE(s->spill(bytes, &where));
    EXPECT_EQ(where, "spill/" + stn_spill_name(s->report_id));
    return s->bytes;
}

}  // namespace

TEST(StnSpill, KeptListedAndRetiredByTheReportsIdentity) {
    MemSpillFolder folder;
    const std::string a(64, 'a'), b(64, 'b');
    std::string where;
    EXPECT_FALSE(stn_spill_keep(&folder, "", "x.jsonl", unit(1, 0) + "\n", &where));
    EXPECT_FALSE(stn_spill_keep(&folder, a.substr(1) + "A", "x.jsonl", unit(1, 0) + "\n", &where));
    ASSERT_TRUE(stn_spill_keep(&folder, a, "Z:\\r.jsonl", unit(1, 0) + "\n", &where));
    // A later batch names the report by the path it was last opened by; a
    // torn last line is no line.
    ASSERT_TRUE(stn_spill_keep(&folder, a, "\\\\server\\r.jsonl", kStop + "\n{\"type\":\"un", &where));
    ASSERT_TRUE(stn_spill_keep(&folder, b, "C:\\other.jsonl", unit(7, 1) + "\n", &where));
    folder.files["notes.txt"] = "not a spill\n";

    std::string lines;
    ASSERT_TRUE(stn_spill_read(&folder, a, &lines));
    EXPECT_EQ(lines, unit(1, 0) + "\n" + kStop + "\n{\"type\":\"un\n");

    std::vector<StnSpillWaiting> waiting;
    ASSERT_TRUE(stn_spill_waiting(&folder, &waiting));
    ASSERT_EQ(waiting.size(), 2u);
    EXPECT_EQ(waiting[0].report_id, a);
    EXPECT_EQ(waiting[0].report, "\\\\server\\r.jsonl");
    EXPECT_EQ(waiting[0].lines, 2u);
    EXPECT_EQ(stn_spill_notice(waiting[0]),
              "report: 2 line(s) of \\\\server\\r.jsonl wait in spill/spill-" + a +
                  ".jsonl; they are added when that report is opened");
    EXPECT_EQ(waiting[1].report, "C:\\other.jsonl");

    ASSERT_TRUE(stn_spill_retire(&folder, a, "t1"));
    EXPECT_EQ(folder.files.count("spill-" + a + ".jsonl.t1.added"), 1u);
    ASSERT_TRUE(stn_spill_read(&folder, a, &lines));
    EXPECT_EQ(lines, "");
    EXPECT_TRUE(stn_spill_retire(&folder, a, "t2"));  // none waits: nothing to do
    ASSERT_TRUE(stn_spill_waiting(&folder, &waiting));
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0].report_id, b);
}

TEST(StnSpill, AddedOnceToItsOwnReportUnderAnyPath) {
    auto folder = std::make_shared<MemSpillFolder>();
    const std::string report =
        spilled_run("Z:\\line4\\r.jsonl", folder, {start(1, 0)}, {unit(1, 0), kStop});
    const std::string other = spilled_run("Z:\\line5\\r.jsonl", folder, {}, {unit(1, 3)},
                                          kRun.substr(0, kRun.size() - 1) + ",\"station\":\"5\"}");
    ASSERT_EQ(folder->files.size(), 2u);

    // The same report by another path: its own spill, once.
    std::unique_ptr<MemStore> s = store_of(report, "\\\\server\\line4\\r.jsonl", folder);
    StnReportOpened opened;
    ASSERT_EQ(StnReport(s.get()).open("now", &opened, kRun), StnReportOpen::kOk);
    EXPECT_EQ(opened.from_spill, 2u);
    EXPECT_EQ(opened.recovered, 0u);  // the spill's unit line closed its start
    std::vector<std::string> lines = bodies(s->bytes);
    EXPECT_EQ(count(lines, unit(1, 0)), 1u);
    EXPECT_EQ(count(lines, kStop), 1u);
    EXPECT_EQ(count(lines, unit(1, 3)), 0u);  // the other report's

    std::unique_ptr<MemStore> again = store_of(s->bytes, "Z:\\line4\\r.jsonl", folder);
    ASSERT_EQ(StnReport(again.get()).open("now", &opened, kRun), StnReportOpen::kOk);
    EXPECT_EQ(opened.from_spill, 0u);

    // The other report's spill still waits, under its own name.
    std::vector<StnSpillWaiting> waiting;
    ASSERT_TRUE(stn_spill_waiting(folder.get(), &waiting));
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0].report_id, stn_report_id(other));
    EXPECT_EQ(waiting[0].report, "Z:\\line5\\r.jsonl");
}

// Which of the spill's lines (unit 1 of device 0, then the run's stop) the
// open adds, by what the report holds: lines the spilling run wrote too
// (landed as it gave up, or others), and a recovery by an open that did not
// see the spill (by another machine).
TEST(StnSpill, ALineTheReportHoldsAlreadyIsNotAddedAgain) {
    const std::string other_stop = kStop.substr(0, kStop.size() - 1) + ",\"n\":2}";
    const struct {
        const char *what;
        std::vector<std::string> written;
        bool recovered_between;
        bool unit_added, stop_added;
    } cases[] = {
        {"nothing", {}, false, true, true},
        {"an open without the spill recovered the unit", {}, true, false, true},
        {"both landed as the station gave up", {unit(1, 0), kStop}, false, false, false},
        {"its id on another device's line", {unit(1, 5)}, false, true, true},
        {"another stop", {other_stop}, false, true, true},
    };
    const auto units_of_1 = [](const std::vector<std::string> &lines) {
        std::size_t n = 0;
        for (const std::string &l : lines) {
            n += l.rfind("{\"type\":\"unit\"", 0) == 0 &&
                 l.find("\"id\":1,\"index\":0,") != std::string::npos;
        }
        return n;
    };
    for (const auto &c : cases) {
        auto folder = std::make_shared<MemSpillFolder>();
        std::vector<std::string> written = {start(1, 0)};
        written.insert(written.end(), c.written.begin(), c.written.end());
        std::string report = spilled_run("r.jsonl", folder, written, {unit(1, 0), kStop});
        if (c.recovered_between) {
            std::unique_ptr<MemStore> elsewhere = store_of(report, "r.jsonl", nullptr);
            StnReportOpened opened;
            ASSERT_EQ(StnReport(elsewhere.get()).open("now", &opened), StnReportOpen::kOk);
            ASSERT_EQ(opened.recovered, 1u);
            report = elsewhere->bytes;
        }
        std::unique_ptr<MemStore> s = store_of(report, "r.jsonl", folder);
        StnReportOpened opened;
        ASSERT_EQ(StnReport(s.get()).open("now", &opened), StnReportOpen::kOk) << c.what;
        const std::vector<std::string> lines = bodies(s->bytes);
        EXPECT_EQ(units_of_1(lines), 1u) << c.what;
        EXPECT_EQ(count(lines, kStop), 1u) << c.what;
        EXPECT_EQ(opened.from_spill, unsigned(c.unit_added) + unsigned(c.stop_added)) << c.what;
        EXPECT_EQ(opened.recovered, 0u) << c.what;
        std::vector<StnSpillWaiting> waiting;
        ASSERT_TRUE(stn_spill_waiting(folder.get(), &waiting));
        EXPECT_TRUE(waiting.empty()) << c.what;
    }
}
