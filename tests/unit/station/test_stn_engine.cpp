// The station engine: every unit it starts writing ends in exactly one unit
// line whatever write the report dies at; a swapped unit is a new unit and
// a finished one is never taken again; a busy device is taken once free; a
// foreign report is not touched.
//
// Threads: the engine on the test thread (its host too); its workers reach
// the devices, which are thread-safe.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include <windows.h>

#include <nlohmann/json.hpp>

#include "../cli/cli_test_store.h"
#include "devsim_inproc.h"
#include "posix_dev.h"
#include "stn_engine.h"
#include "stn_test_image.h"

namespace {

using Json = nlohmann::json;

// Results as the engine hands them over; the report's bytes are read only
// after the run (workers write start lines into the store meanwhile).
class Host : public StnHost {
public:
    std::function<void()> on_each_turn;
    unsigned turns = 0;
    std::vector<StnUnitResult> results;
    void on_result(const StnUnitResult &r, bool recorded) override {
        if (recorded) results.push_back(r);
    }
    std::string utc_now() override { return "2026-12-09T08:00:00.000Z"; }
    std::string utc_offset() override { return "+01:00"; }
    void on_turn() override {
        ++turns;
        if (on_each_turn) on_each_turn();
    }
};

// A store whose disk goes away at its n-th append: that append and every
// later operation fail, and what the disk held stays.
class DyingStore : public cli_test::MemStore {
public:
    unsigned die_at = 0;  // 0: never
    unsigned appends = 0;
    bool dead = false;
    bool append(const std::string &b) override {
        if (dead || (die_at != 0 && ++appends >= die_at)) {
            dead = true;
            return false;
        }
        return MemStore::append(b);
    }
    bool flush() override { return !dead && MemStore::flush(); }
};

std::vector<Json> lines_of(const std::string &bytes, const char *type) {
    std::vector<Json> out;
    std::istringstream in(bytes);
    for (std::string l; std::getline(in, l);) {
        Json j = Json::parse(l, nullptr, false);
        if (j.is_object() && j.value("type", "") == type) out.push_back(j);
    }
    return out;
}

class StnEngineTest : public stn_test::DeviceTest {
protected:
    StnConfig cfg() const {
        StnConfig c;
        c.image = img.image;
        c.poll_ms = 20;
        c.timeout_ms = 300;
        c.station = "PC-7";
        c.version = "3.50";
        return c;
    }
    // Runs the engine until until() holds (or a safety limit), then stops it.
    void run(StnEngine &e, Host &h, const std::function<bool()> &until) {
        h.on_each_turn = [&] {
            if (until() || h.turns > 3000) e.request_stop();
        };
        while (e.turn()) {
        }
    }
    stn_test::Image img;
};

}  // namespace

TEST_F(StnEngineTest, EveryStartedUnitEndsInOneUnitLineWhateverWriteTheReportDiesAt) {
    // A short run: device 0 fails midway, device 1 is updated, device 2 is
    // current. Lines when nothing dies: the run's open line, 2 starts, 3
    // units and the run's stop line. A report that dies at the first write
    // is not opened.
    const unsigned kWrites = 7;
    for (unsigned n = 1; n <= kWrites + 1; ++n) {
        SCOPED_TRACE("the report dies at write " + std::to_string(n));
        devs.clear();
        add(0, 0x129);
        add(1, 0x129);
        add(2, stn_test::kImageVersion);
        ASSERT_TRUE(devs[0]->arm_fault(3 + 10, DEVSIM_FAULT_ERROR_ANSWER, 0xE004));
        DyingStore store;
        store.die_at = n;
        {
            Host host;
            StnEngine first(cfg(), &store, &host);
            if (n == 1) {
                ASSERT_EQ(first.open(), StnOpen::kCannotRepair);
            } else {
                ASSERT_EQ(first.open(), StnOpen::kOk);
                run(first, host, [&] { return host.results.size() == 3; });
            }
        }
        // The next start, on what reached the disk, with every device back.
        cli_test::MemStore again;
        again.bytes = store.bytes;
        for (auto &d : devs) d->replug();
        {
            Host host;
            StnEngine second(cfg(), &again, &host);
            ASSERT_EQ(second.open(), StnOpen::kOk);
            run(second, host, [&] {
                for (auto &d : devs) {
                    if (d->firm_version() != stn_test::kImageVersion) return false;
                }
                return true;
            });
        }
        std::map<std::uint64_t, int> units_of;
        for (const Json &u : lines_of(again.bytes, "unit")) ++units_of[u.value("id", 0ull)];
        for (const Json &s : lines_of(again.bytes, "start")) {
            EXPECT_EQ(units_of[s.value("id", 0ull)], 1) << s.dump();
        }
        for (const auto &u : units_of) EXPECT_EQ(u.second, 1) << "unit id " << u.first;
        for (const Json &u : lines_of(again.bytes, "unit")) {
            if (u.value("recovered", false)) {
                EXPECT_EQ(u.value("result", ""), "interrupted");
            }
        }
        // Each open that could write begins a run; the run that was not
        // cut short ends with its stop line.
        const std::vector<Json> runs = lines_of(again.bytes, "run");
        ASSERT_FALSE(runs.empty());
        EXPECT_EQ(std::count_if(runs.begin(), runs.end(),
                                [](const Json &r) { return r.value("event", "") == "open"; }),
                  n == 1 ? 1 : 2);
        EXPECT_EQ(runs.back().value("event", ""), "stop");
        EXPECT_EQ(runs.back().value("station", ""), "PC-7");
        EXPECT_EQ(runs.back().value("utc_offset", ""), "+01:00");
        EXPECT_EQ(runs.back().value("version", ""), "3.50");
        EXPECT_EQ(devs[0]->flash(), img.window());
        EXPECT_EQ(devs[1]->flash(), img.window());
        EXPECT_EQ(devs[2]->blocks_received(), 0u);  // current: never written
    }
}

TEST_F(StnEngineTest, ASwappedUnitIsNewAndAFinishedOneIsNeverTakenAgain) {
    devsim::InProcDevice &d = add(0, 0x129);
    cli_test::MemStore store;
    Host host;
    StnEngine e(cfg(), &store, &host);
    ASSERT_EQ(e.open(), StnOpen::kOk);
    int stage = 0;
    unsigned settled = 0;
    run(e, host, [&] {
        const std::size_t units = host.results.size();
        if (stage == 0 && units == 1 && ++settled > 20) {
            // Many probes later: still one line. Now another unit takes its
            // place faster than a probe: same index, never seen absent.
            const devsim_config other = stn_test::config(0x129, 84609999);
            d.reset(&other);
            stage = 1;
        }
        return stage == 1 && units == 2 && ++settled > 45;
    });
    const auto units = lines_of(store.bytes, "unit");
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].value("serial", 0), 84600001);
    EXPECT_EQ(units[1].value("serial", 0), 84609999);
    EXPECT_EQ(units[1].value("result", ""), "updated");
    EXPECT_EQ(d.flash(), img.window());
    EXPECT_EQ(e.snapshot().tiles.size(), 1u);
}

TEST_F(StnEngineTest, ABusyDeviceIsShownBusyAndTakenOnceFree) {
    devsim::InProcDevice &d = add(0, 0x129);
    d.set_exclusive(true);
    HANDLE other = CreateFileA("\\\\.\\R846_QVM2K_0", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    cli_test::MemStore store;
    Host host;
    StnEngine e(cfg(), &store, &host);
    ASSERT_EQ(e.open(), StnOpen::kOk);
    bool seen_busy = false;
    run(e, host, [&] {
        const StnSnapshot s = e.snapshot();
        if (!seen_busy && s.tiles.size() == 1 && s.tiles[0].state == StnTileState::kBusy) {
            seen_busy = true;
            EXPECT_TRUE(host.results.empty());  // busy is not a failure
            CloseHandle(other);
        }
        return host.results.size() == 1;
    });
    EXPECT_TRUE(seen_busy);
    const auto units = lines_of(store.bytes, "unit");
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].value("result", ""), "updated");
}

TEST_F(StnEngineTest, AForeignFileIsRefusedUntouched) {
    for (const char *bytes : {"name,serial\n1,2\n", "hello", "{\"a\":1}\n"}) {
        cli_test::MemStore store;
        store.bytes = bytes;
        Host host;
        StnEngine e(cfg(), &store, &host);
        EXPECT_EQ(e.open(), StnOpen::kForeign) << bytes;
        EXPECT_TRUE(store.ops.empty());
        EXPECT_EQ(store.bytes, bytes);
    }
}

TEST_F(StnEngineTest, TheCountersCoverThisRunFromItsOpenLine) {
    cli_test::MemStore store;
    store.bytes =
        "{\"type\":\"unit\",\"time\":\"2026-12-08T10:00:00.000Z\",\"id\":1,\"serial\":5,"
        "\"result\":\"updated\"}\n"
        "{\"type\":\"unit\",\"time\":\"2026-12-08T10:05:00.000Z\",\"id\":2,\"serial\":6,"
        "\"result\":\"failed\"}\n"
        "{\"type\":\"start\",\"time\":\"2026-12-08T10:06:00.000Z\",\"id\":3,\"serial\":7}\n";
    Host host;
    StnEngine e(cfg(), &store, &host);
    ASSERT_EQ(e.open(), StnOpen::kOk);
    const StnTallyFigures f = e.snapshot().tally;
    EXPECT_EQ(f.units, 1u);  // the unit recovered at this open, not the earlier ones
    EXPECT_EQ(f.interrupted, 1u);
    EXPECT_EQ(f.updated + f.failed, 0u);
    const std::vector<Json> runs = lines_of(store.bytes, "run");
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].value("event", ""), "open");
    // The run's line comes before the units it recovered.
    EXPECT_LT(store.bytes.find("\"type\":\"run\""), store.bytes.find("\"recovered\":true"));
}
