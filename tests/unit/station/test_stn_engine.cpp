// The station engine: every unit it starts writing ends in exactly one true
// unit line whatever write the report dies at (kept in the spill, added at
// the next open); a report that fails holds its lines and takes no unit
// until it comes back; an append or a driver call that hangs holds neither
// the probe nor a forced stop; a forced stop keeps known results and lets
// no worker write after its line; a swapped unit is a new unit and a
// finished one is never taken again; a busy device is taken once free; a
// foreign report is not touched. With an MES: a rejected unit gets only its
// line and is taken again only after a replug; an unanswered one waits
// unwritten (or is written and marked); a slow check-in holds no other
// unit, the probe or a stop.
//
// Threads: the engine on the test thread (its host too); its workers reach
// the devices, which are thread-safe.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include <windows.h>

#include <nlohmann/json.hpp>

#include "../cli/cli_test_store.h"
#include "devsim_inproc.h"
#include "posix_dev.h"
#include "stn_engine.h"
#include "stn_test_image.h"
#include "stn_sha256.h"
#include "stn_time.h"

namespace {

using Json = nlohmann::json;

// Results as the engine hands them over; the report's bytes are read only
// after the run (workers write start lines into the store meanwhile). Its
// wall clock starts at 08:00:00 and goes with the steady one in whole
// seconds (so that a quick open is at 08:00:00.000), moved by jump_ms.
class Host : public StnHost {
public:
    std::atomic<std::int64_t> jump_ms{0};
    // Runs in utc_now when the engine thread (the one that made the host) reads the clock.
    std::function<void()> on_engine_clock;
    std::function<void()> on_each_turn;
    unsigned turns = 0;
    std::vector<StnUnitResult> results;
    std::vector<std::string> notices;
    void on_notice(const std::string &text) override { notices.push_back(text); }
    void on_result(const StnUnitResult &r, bool recorded) override {
        if (recorded) results.push_back(r);
    }
    std::string utc_now() override {
        if (std::this_thread::get_id() == engine_ && on_engine_clock) on_engine_clock();
        const std::int64_t ran = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - born_)
                                     .count();
        const StnUtcTime t = stn_utc_time_of(kEight + ran / 1000 * 1000 + jump_ms.load());
        char buf[64];
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.year, t.month,
                      t.day, t.hour, t.minute, t.second, t.ms);
        return buf;
    }
    bool may_take = true;
    bool may_take_units() override { return may_take; }
    std::string utc_offset() override { return "+01:00"; }
    void on_turn() override {
        ++turns;
        if (on_each_turn) on_each_turn();
    }

private:
    static constexpr std::int64_t kEight = 1796803200000;  // 2026-12-09T08:00:00Z
    const std::chrono::steady_clock::time_point born_ = std::chrono::steady_clock::now();
    const std::thread::id engine_ = std::this_thread::get_id();
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

// A store whose appends fail while down is set, leaving half of the line
// behind (a torn write), and block while held is set.
class FlakyStore : public cli_test::MemStore {
public:
    std::atomic<bool> down{false};
    std::mutex gate_mu;
    std::condition_variable gate_cv;
    bool held = false;          // under gate_mu
    unsigned held_appends = 0;  // under gate_mu: appends waiting at the gate
    void hold(bool on) {
        std::lock_guard<std::mutex> lock(gate_mu);
        held = on;
        gate_cv.notify_all();
    }
    bool wait_held_append(unsigned timeout_ms) {
        std::unique_lock<std::mutex> lock(gate_mu);
        return gate_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [this] { return held_appends > 0; });
    }
    bool append(const std::string &b) override {
        {
            std::unique_lock<std::mutex> lock(gate_mu);
            ++held_appends;
            gate_cv.notify_all();
            gate_cv.wait(lock, [this] { return !held; });
            --held_appends;
        }
        if (down.load()) {
            MemStore::append(b.substr(0, b.size() / 2));
            return false;
        }
        return MemStore::append(b);
    }
    bool flush() override { return !down.load() && MemStore::flush(); }
};

// A store whose flush after the append of a start line fails once: the
// line is whole in the file, but not known to be on the disk.
class StartFlushFailsOnce : public cli_test::MemStore {
public:
    bool append(const std::string &b) override {
        std::lock_guard<std::recursive_mutex> lock(mu);
        after_start_ = b.find("\"type\":\"start\"") != std::string::npos;
        return MemStore::append(b);
    }
    bool flush() override {
        std::lock_guard<std::recursive_mutex> lock(mu);
        if (after_start_ && !failed_) {
            failed_ = true;
            return false;
        }
        return MemStore::flush();
    }

private:
    bool after_start_ = false;
    bool failed_ = false;
};

bool every_line_is_an_object(const std::string &bytes) {
    std::istringstream in(bytes);
    for (std::string l; std::getline(in, l);) {
        if (!Json::parse(l, nullptr, false).is_object()) return false;
    }
    return !bytes.empty() && bytes.back() == '\n';
}

bool said(const std::vector<std::string> &notices, const char *words) {
    for (const std::string &n : notices) {
        if (n.find(words) != std::string::npos) return true;
    }
    return false;
}

// Waits until no device handle is open (let-go workers have ended). A
// thread released from a stalled open has no handle yet, and the layer
// calls the device after the call returns: give it time to get out first.
bool handles_closed(unsigned timeout_ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (qvm_posix::open_device_handles() != 0) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Waits until at most n device handles are open, then gives the worker
// that closed one the moment it needs to hand its result over.
bool worker_ended(int n, unsigned timeout_ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (qvm_posix::open_device_handles() > n) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return true;
}

bool finished(const StnSnapshot &s, std::size_t tiles) {
    if (s.tiles.size() != tiles) return false;
    for (const StnTile &t : s.tiles) {
        if (t.state != StnTileState::kUpdated && t.state != StnTileState::kCurrent &&
            t.state != StnTileState::kFailed && t.state != StnTileState::kInterrupted) {
            return false;
        }
    }
    return true;
}

// The MES's stand-in: answers by serial (allowed unless set), and keeps
// the check-ins of a held serial until released or their deadline.
class ScriptedMes : public StnCheckIn {
public:
    StnCheckInAnswer check_in(const StnCheckInRequest &r, unsigned deadline_ms) override {
        std::unique_lock<std::mutex> lock(mu_);
        asked_.push_back(r);
        cv_.notify_all();
        const bool answered =
            cv_.wait_for(lock, std::chrono::milliseconds(deadline_ms),
                         [&] { return held_.count(r.serial) == 0; });
        ++returned_;
        if (!answered) return StnCheckInAnswer{StnCheckInVerdict::kNoAnswer, "no answer in time"};
        const auto it = answers_.find(r.serial);
        return it != answers_.end() ? it->second : StnCheckInAnswer{StnCheckInVerdict::kAllowed, ""};
    }
    void set(std::int32_t serial, StnCheckInVerdict v, const std::string &reason = "") {
        std::lock_guard<std::mutex> lock(mu_);
        answers_[serial] = StnCheckInAnswer{v, reason};
    }
    void hold(std::int32_t serial, bool on) {
        std::lock_guard<std::mutex> lock(mu_);
        if (on) {
            held_.insert(serial);
        } else {
            held_.erase(serial);
        }
        cv_.notify_all();
    }
    std::vector<StnCheckInRequest> asked() {
        std::lock_guard<std::mutex> lock(mu_);
        return asked_;
    }
    std::size_t returned() {
        std::lock_guard<std::mutex> lock(mu_);
        return returned_;
    }
    std::size_t times_asked(std::int32_t serial) {
        std::lock_guard<std::mutex> lock(mu_);
        return static_cast<std::size_t>(
            std::count_if(asked_.begin(), asked_.end(),
                          [&](const StnCheckInRequest &r) { return r.serial == serial; }));
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::map<std::int32_t, StnCheckInAnswer> answers_;
    std::set<std::int32_t> held_;
    std::vector<StnCheckInRequest> asked_;
    std::size_t returned_ = 0;
};

const StnTile *tile_of(const StnSnapshot &s, unsigned index) {
    for (const StnTile &t : s.tiles) {
        if (t.index == index) return &t;
    }
    return nullptr;
}

class StnEngineTest : public stn_test::DeviceTest {
protected:
    StnConfig cfg() const {
        StnConfig c;
        c.image = img.image;
        c.poll_ms = 20;
        c.timeout_ms = 300;
        c.retry_ms = 20;
        c.end_wait_ms = 100;
        c.who.station = "PC-7";
        c.version = "3.50";
        return c;
    }
    // cfg() with an MES that answers serial as given (*mes: that MES).
    StnConfig mes_cfg(std::int32_t serial, StnCheckInVerdict verdict, const std::string &reason,
                      std::shared_ptr<ScriptedMes> *mes = nullptr) const {
        auto m = std::make_shared<ScriptedMes>();
        m->set(serial, verdict, reason);
        StnConfig c = cfg();
        c.check_in = m;
        if (mes != nullptr) *mes = m;
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
                run(first, host, [&] { return finished(first.snapshot(), 3); });
            }
        }
        // The next start, on what reached the disk and the spill, with
        // every device back.
        cli_test::MemStore again;
        again.bytes = store.bytes;
        again.spilled = store.spilled;
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
        // Every unit's result was known: none had to be recovered.
        for (const Json &u : lines_of(again.bytes, "unit")) {
            EXPECT_FALSE(u.value("recovered", false)) << u.dump();
        }
        EXPECT_TRUE(again.spilled.empty());
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
    // A unit ends (updated, failed or current) and stays plugged in for
    // many probes: one line. Then another unit takes its place faster than
    // a probe (same index, never seen absent): a new line, whether the
    // version tells them apart or only the serial does.
    constexpr std::int32_t kOther = 84609999;
    const struct {
        std::uint32_t firm;       // the first unit's
        bool refuses;             // the first unit refuses a block
        const char *first;        // its result
        std::uint32_t then_firm;  // the replacement's
        const char *second;       // its result
    } cases[] = {
        {0x129, false, "updated", 0x129, "updated"},
        {0x129, true, "failed", stn_test::kImageVersion, "current"},
        {stn_test::kImageVersion, false, "current", stn_test::kImageVersion, "current"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.first) + " then " + c.second);
        devs.clear();
        devsim::InProcDevice &d = add(0, c.firm);
        if (c.refuses) {
            ASSERT_TRUE(d.arm_fault(3 + 10, DEVSIM_FAULT_ERROR_ANSWER, 0xE004));
        }
        cli_test::MemStore store;
        Host host;
        StnEngine e(cfg(), &store, &host);
        ASSERT_EQ(e.open(), StnOpen::kOk);
        int stage = 0;
        unsigned settled = 0, waited = 0;
        run(e, host, [&] {
            const std::size_t units = host.results.size();
            if (stage == 0 && units >= 1 && ++settled > 20) {
                EXPECT_EQ(units, 1u) << "a finished unit was taken again";
                const devsim_config other = stn_test::config(c.then_firm, kOther);
                d.reset(&other);
                stage = 1;
                settled = 0;
            }
            // A replacement not seen within 400 turns is not seen at all.
            return stage == 1 && (units >= 2 ? ++settled > 25 : ++waited > 400);
        });
        const auto units = lines_of(store.bytes, "unit");
        ASSERT_EQ(units.size(), 2u);
        EXPECT_EQ(units[0].value("serial", 0), 84600001);
        EXPECT_EQ(units[0].value("result", ""), c.first);
        EXPECT_EQ(units[1].value("serial", 0), kOther);
        EXPECT_EQ(units[1].value("result", ""), c.second);
        const std::size_t written = std::string(c.first) == "current" ? 0u : 1u;
        EXPECT_EQ(lines_of(store.bytes, "start").size(),
                  written + (std::string(c.second) == "updated" ? 1u : 0u));
        if (std::string(c.second) == "updated") {
            EXPECT_EQ(d.flash(), img.window());
        }
        EXPECT_EQ(e.snapshot().tiles.size(), 1u);
    }
}

TEST_F(StnEngineTest, AStartWithoutItsUnitIsClosedByARecoveredLine) {
    cli_test::MemStore store;
    store.bytes =
        "{\"type\":\"start\",\"time\":\"2026-12-09T07:00:00.000Z\",\"id\":1,\"index\":0,"
        "\"serial\":84600001,\"mcu_version\":258,\"old_version\":\"3.41\","
        "\"image_sha256\":\"ab\"}\n"
        "{\"type\":\"unit\",\"time\":\"2026-12-09T07:00:02.000Z\",\"id\":1,\"index\":0,"
        "\"serial\":84600001,\"result\":\"updated\"}\n"
        "{\"type\":\"start\",\"time\":\"2026-12-09T07:00:05.000Z\",\"id\":7,\"index\":3,"
        "\"serial\":84600004,\"mcu_version\":259,\"old_version\":\"No firm\","
        "\"image_sha256\":\"cd\",\"operator\":\"Zoë Ng\",\"order\":\"WO-17\","
        "\"station\":\"Prüfstand 2\"}\n";
    Host host;
    StnEngine e(cfg(), &store, &host);
    ASSERT_EQ(e.open(), StnOpen::kOk);
    auto units = lines_of(store.bytes, "unit");
    ASSERT_EQ(units.size(), 2u);
    // Every field: the start's own (who made it too), the time of this
    // open, what says that it was recovered, and its place in the chain.
    EXPECT_EQ(units[1].value("seq", 0), 5);  // after the run's open line
    units[1].erase("seq");
    units[1].erase("prev");
    EXPECT_EQ(units[1], Json::parse(R"({"type":"unit","time":"2026-12-09T08:00:00.000Z","id":7,
        "index":3,"serial":84600004,"mcu_version":259,"old_version":"No firm","new_version":null,
        "result":"interrupted","detail":0,"recovered":true,"image_sha256":"cd",
        "operator":"Zoë Ng","order":"WO-17","station":"Prüfstand 2"})"))
        << units[1].dump();
    EXPECT_EQ(e.snapshot().tally.interrupted, 1u);
}

TEST_F(StnEngineTest, ABusyDeviceIsShownBusyAndTakenOnceFree) {
    test_support::Handle other = hold(add(0, 0x129), 0);
    ASSERT_TRUE(other.ok());
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
            other.reset();
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

TEST_F(StnEngineTest, AReportThatFailsKeepsItsLinesTakesNoUnitAndCatchesUpInOrder) {
    devsim::InProcDevice &d0 = add(0, 0x129);
    devsim::InProcDevice &d1 = add(1, 0x129);
    // Both units stay midway until the report is down.
    ASSERT_TRUE(d0.arm_fault(1 + 1 + 1 + 5, DEVSIM_FAULT_DELAY, 60000));
    ASSERT_TRUE(d1.arm_fault(1 + 1 + 1 + 5, DEVSIM_FAULT_DELAY, 60000));
    FlakyStore store;
    Host host;
    StnEngine e(cfg(), &store, &host);
    ASSERT_EQ(e.open(), StnOpen::kOk);
    int stage = 0;
    unsigned turns_down = 0;
    bool held_while_down = false;
    run(e, host, [&] {
        const StnSnapshot s = e.snapshot();
        if (stage == 0 && d0.wait_held(1, 0) && d1.wait_held(1, 0)) {
            store.down = true;
            d0.release_delays();
            d1.release_delays();
            stage = 1;
        } else if (stage == 1 && finished(s, 2) && s.report_failed) {
            add(2, 0x129);  // plugged in while the report is down
            stage = 2;
        } else if (stage == 2 && ++turns_down > 30) {
            // Many probes later: device 2 untouched, the results kept.
            held_while_down = devs[2]->exchanges() == 0 && s.report_waiting == 2 &&
                              s.recorded == 0 && s.stopping;
            store.down = false;
            stage = 3;
        }
        return stage == 3 && host.results.size() == 3;
    });
    EXPECT_TRUE(held_while_down);
    EXPECT_TRUE(said(host.notices, "cannot write the report"));
    EXPECT_TRUE(said(host.notices, "written again"));
    const std::string bytes = store.copy();
    EXPECT_TRUE(every_line_is_an_object(bytes)) << bytes;  // torn writes were cut back
    std::vector<std::string> order;
    std::istringstream in(bytes);
    for (std::string l; std::getline(in, l);) {
        const Json j = Json::parse(l);
        if (j.value("type", "") == "run") continue;
        order.push_back(j.value("type", "") + " " + std::to_string(j.value("index", 9)) + " " +
                        j.value("result", ""));
    }
    ASSERT_EQ(order.size(), 6u) << bytes;
    std::sort(order.begin(), order.begin() + 2);
    std::sort(order.begin() + 2, order.begin() + 4);
    EXPECT_EQ(order, (std::vector<std::string>{"start 0 ", "start 1 ", "unit 0 updated",
                                               "unit 1 updated", "start 2 ", "unit 2 updated"}));
}

TEST_F(StnEngineTest, AHangingAppendHoldsNeitherTheProbeNorAForcedStop) {
    devsim::InProcDevice &d0 = add(0, 0x129);
    FlakyStore store;
    Host host;
    StnEngine *e = new StnEngine(cfg(), &store, &host);
    ASSERT_EQ(e->open(), StnOpen::kOk);
    store.hold(true);  // the share stops answering before the first unit's line
    bool probed_on = false;
    run(*e, host, [&] {
        if (!store.wait_held_append(0)) return false;
        if (devs.size() == 1) add(1, 0x129);
        const StnSnapshot s = e->snapshot();
        probed_on = s.tiles.size() == 2;
        if (probed_on) e->request_abort();
        return false;
    });
    EXPECT_TRUE(probed_on);
    const StnSnapshot s = e->snapshot();
    EXPECT_TRUE(s.ended);
    delete e;
    // Both units are kept in the spill, as interrupted.
    const std::vector<Json> kept = lines_of(store.spilled, "unit");
    ASSERT_EQ(kept.size(), 2u);
    for (const Json &u : kept) EXPECT_EQ(u.value("result", ""), "interrupted") << u.dump();
    // The share answers again: the start that hung lands, and the worker
    // that waited for it writes nothing: its unit is recorded.
    store.hold(false);
    EXPECT_TRUE(handles_closed(5000));
    EXPECT_EQ(d0.blocks_received(), 0u);
    EXPECT_EQ(devs[1]->blocks_received(), 0u);
    // The next open adds the kept lines: every start has its one unit line.
    cli_test::MemStore again;
    again.bytes = store.copy();
    again.spilled = store.spilled;
    Host host2;
    StnEngine second(cfg(), &again, &host2);
    ASSERT_EQ(second.open(), StnOpen::kOk);
    EXPECT_TRUE(again.spill_retired);
    std::map<std::uint64_t, int> units_of;
    for (const Json &u : lines_of(again.bytes, "unit")) ++units_of[u.value("id", 0ull)];
    for (const Json &st : lines_of(again.bytes, "start")) EXPECT_EQ(units_of[st.value("id", 0ull)], 1);
    for (const auto &u : units_of) EXPECT_EQ(u.second, 1) << "unit id " << u.first;
}

TEST_F(StnEngineTest, AForcedStopKeepsKnownResultsAndNoLetGoWorkerWritesAfterItsLine) {
    // Device 0 never answers its version read; device 1 is updated and
    // ends just before the stop lands, before the engine collects it.
    devsim::InProcDevice &d0 = add(0, 0x129);
    ASSERT_TRUE(d0.arm_fault(0, DEVSIM_FAULT_HANG, 0));
    devsim::InProcDevice &d1 = add(1, 0x129);
    ASSERT_TRUE(d1.arm_fault(10, DEVSIM_FAULT_DELAY, 200));  // slow enough to be seen midway
    cli_test::MemStore store;
    Host host;
    StnConfig c = cfg();
    c.timeout_ms = 60000;  // no deadline ends device 0's read
    auto *e = new StnEngine(c, &store, &host);
    ASSERT_EQ(e->open(), StnOpen::kOk);
    run(*e, host, [&] {
        // Midway through device 1's blocks: its worker ends (version read
        // back) while the engine thread is held here.
        if (d1.exchanges() < 10 || !d0.wait_held(1, 0)) return false;
        const std::uint32_t all = 1 + 1 + 1 + 64 + 1 + 1 + 1;
        if (!d1.wait_exchanges(all, 5000)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        e->request_abort();
        return false;
    });
    delete e;  // device 0's worker is still held in its read
    EXPECT_TRUE(handles_closed(5000));
    EXPECT_EQ(d0.blocks_received(), 0u);
    EXPECT_EQ(d0.commits(), 0u);
    const std::string bytes = store.copy();
    std::map<unsigned, std::string> result_of;
    for (const Json &u : lines_of(bytes, "unit")) result_of[u.value("index", 9u)] = u.value("result", "");
    EXPECT_EQ(result_of, (std::map<unsigned, std::string>{{0, "interrupted"}, {1, "updated"}}));
    // Device 0's unit has no start line (it never got to its first write),
    // and nothing follows the station's last lines.
    for (const Json &st : lines_of(bytes, "start")) EXPECT_EQ(st.value("index", 9u), 1u);
}

TEST_F(StnEngineTest, ADriverCallThatStallsHoldsUpNeitherOtherDevicesNorAForcedStop) {
    for (const bool in_close : {false, true}) {
        SCOPED_TRACE(in_close ? "the close stalls" : "the open stalls");
        devs.clear();
        devsim::InProcDevice &d0 = add(0, 0x129);
        devsim::InProcDevice &d1 = add(1, 0x129);
        if (in_close) {
            d0.stall_closes(true);
        } else {
            d0.stall_opens(true);
        }
        cli_test::MemStore store;
        Host host;
        auto *e = new StnEngine(cfg(), &store, &host);
        ASSERT_EQ(e->open(), StnOpen::kOk);
        run(*e, host, [&] {
            if (host.results.size() == 1 && d0.wait_held(1, 0)) e->request_abort();
            return false;
        });
        EXPECT_EQ(d1.flash(), img.window());
        EXPECT_TRUE(e->snapshot().ended);
        delete e;
        d0.stall_opens(false);
        d0.stall_closes(false);
        EXPECT_TRUE(handles_closed(5000));
        EXPECT_EQ(d0.blocks_received(), 0u);
    }
}

TEST_F(StnEngineTest, AHostThatHoldsUnitsBackHoldsNewAndSwappedUnitsUntilItLetsGo) {
    devsim::InProcDevice &d = add(0, 0x129);
    cli_test::MemStore store;
    Host host;
    host.may_take = false;
    StnEngine e(cfg(), &store, &host);
    ASSERT_EQ(e.open(), StnOpen::kOk);
    bool swapped = false;
    host.on_each_turn = [&] {
        if (host.turns == 20) {
            EXPECT_TRUE(lines_of(store.copy(), "start").empty()) << "a unit was taken while held back";
            host.may_take = true;
        }
        if (host.results.size() == 1 && !swapped) {
            // Swapped for a new serial: held back again until let go.
            swapped = true;
            host.may_take = false;
            const devsim_config other = stn_test::config(0x129, 84600077);
            d.reset(&other);
        }
        if (swapped && host.turns == 60) {
            EXPECT_EQ(host.results.size(), 1u) << "a swapped unit was taken while held back";
            host.may_take = true;
        }
        if (host.results.size() == 2 || host.turns > 3000) e.request_stop();
    };
    while (e.turn()) {
    }
    ASSERT_EQ(host.results.size(), 2u);
    EXPECT_GE(host.turns, 60u);
    EXPECT_EQ(host.results[1].device.serial, 84600077);
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

TEST_F(StnEngineTest, AUnitPluggedInWhileTheReportFailsIsTakenOnceItCanBeWrittenAgain) {
    // One device: its start is refused and nothing else waits for the
    // report, so only the retry's timer can find the report back.
    FlakyStore store;
    Host host;
    StnEngine e(cfg(), &store, &host);
    ASSERT_EQ(e.open(), StnOpen::kOk);
    store.down = true;
    devsim::InProcDevice &d = add(0, 0x129);
    bool untouched_while_down = false;
    unsigned turns_down = 0, turns_up = 0;
    run(e, host, [&] {
        if (turns_down <= 30) {
            if (e.snapshot().report_failed && ++turns_down > 30) {
                untouched_while_down = d.blocks_received() == 0 && host.results.empty();
                store.down = false;
            }
            return false;
        }
        return host.results.size() == 1 || ++turns_up > 1000;
    });
    EXPECT_TRUE(untouched_while_down);
    ASSERT_EQ(host.results.size(), 1u);
    EXPECT_EQ(host.results[0].outcome, StnOutcome::kUpdated);
    EXPECT_EQ(d.flash(), img.window());
    EXPECT_TRUE(said(host.notices, "written again"));
    const std::string bytes = store.copy();
    EXPECT_TRUE(every_line_is_an_object(bytes)) << bytes;
    const std::vector<Json> starts = lines_of(bytes, "start"), units = lines_of(bytes, "unit");
    ASSERT_EQ(starts.size(), 1u);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].value("id", 0), starts[0].value("id", 1));
}

TEST_F(StnEngineTest, AStartThatLandedButWasRefusedIsCutOffBeforeTheStationGoesOn) {
    // The start line's flush fails: the unit is refused. A kill as soon as
    // the station knows leaves a file without that start, so the next run
    // records no interrupted unit: the unit gets its one true line there.
    devsim::InProcDevice &d = add(0, 0x129);
    StartFlushFailsOnce store;
    std::string at_refusal;
    {
        Host host;
        StnConfig c = cfg();
        c.retry_ms = 60000;  // no retry cuts it meanwhile
        StnEngine e(c, &store, &host);
        ASSERT_EQ(e.open(), StnOpen::kOk);
        run(e, host, [&] {
            if (!at_refusal.empty() || !e.snapshot().report_failed) return false;
            at_refusal = store.copy();
            return true;
        });
    }
    ASSERT_FALSE(at_refusal.empty());
    EXPECT_EQ(d.blocks_received(), 0u);
    EXPECT_TRUE(lines_of(at_refusal, "start").empty()) << at_refusal;
    cli_test::MemStore again;
    again.bytes = at_refusal;
    d.replug();
    {
        Host host;
        StnEngine second(cfg(), &again, &host);
        ASSERT_EQ(second.open(), StnOpen::kOk);
        run(second, host, [&] { return host.results.size() == 1; });
    }
    const std::vector<Json> units = lines_of(again.bytes, "unit");
    ASSERT_EQ(units.size(), 1u) << again.bytes;
    EXPECT_EQ(units[0].value("result", ""), "updated");
    EXPECT_FALSE(units[0].value("recovered", false));
    EXPECT_EQ(d.flash(), img.window());
}

TEST_F(StnEngineTest, AForcedStopKeepsTheResultOfAWorkerThatEndsWhileTheOthersAreLetGo) {
    // Both units wait before their last exchange. Device 0 ends just before
    // a forced stop; while the stop records it (the engine thread reads the
    // clock for its line), device 1 ends too: after the stop collected the
    // ended workers, before it lets the rest go.
    devsim::InProcDevice &d0 = add(0, 0x129);
    devsim::InProcDevice &d1 = add(1, 0x129);
    const std::uint32_t all = 1 + 1 + 1 + 64 + 1 + 1 + 1;
    ASSERT_TRUE(d0.arm_fault(all - 1, DEVSIM_FAULT_DELAY, 60000));
    ASSERT_TRUE(d1.arm_fault(all - 1, DEVSIM_FAULT_DELAY, 60000));
    cli_test::MemStore store;
    Host host;
    StnConfig c = cfg();
    c.timeout_ms = 60000;  // no deadline ends the waits
    StnEngine e(c, &store, &host);
    ASSERT_EQ(e.open(), StnOpen::kOk);
    bool ended_between = false;
    run(e, host, [&] {
        if (host.on_engine_clock || !d0.wait_held(1, 0) || !d1.wait_held(1, 0)) return false;
        d0.release_delays();
        EXPECT_TRUE(worker_ended(1, 5000));
        e.request_abort();
        host.on_engine_clock = [&] {
            if (ended_between) return;
            ended_between = true;
            d1.release_delays();
            EXPECT_TRUE(worker_ended(0, 5000));
        };
        return false;
    });
    EXPECT_TRUE(ended_between);
    std::map<unsigned, std::string> result_of;
    for (const Json &u : lines_of(store.copy(), "unit")) {
        result_of[u.value("index", 9u)] = u.value("result", "");
    }
    EXPECT_EQ(result_of, (std::map<unsigned, std::string>{{0, "updated"}, {1, "updated"}}));
}

TEST_F(StnEngineTest, AClockThatJumpsIsNotedByARunLineAndASmallStepIsNot) {
    cli_test::MemStore store;
    Host host;
    StnConfig c = cfg();
    c.who.order = "WO-17";
    StnEngine e(c, &store, &host);
    ASSERT_EQ(e.open(), StnOpen::kOk);
    // An idle station: steps of the wall clock, five turns apart.
    const std::int64_t steps[] = {3600000, 2000, -7200000};
    run(e, host, [&] {
        const unsigned step = host.turns / 5;
        if (host.turns % 5 == 0 && step >= 1 && step <= 3) host.jump_ms += steps[step - 1];
        return host.turns > 25;
    });
    const std::vector<Json> runs = lines_of(store.copy(), "run");
    std::vector<std::string> events;
    for (const Json &r : runs) events.push_back(r.value("event", ""));
    ASSERT_EQ(events, (std::vector<std::string>{"open", "clock", "clock", "stop"}));
    // The clock lines carry the clock as it reads after the jump.
    EXPECT_EQ(runs[1].value("time", "").substr(0, 14), "2026-12-09T09:");
    EXPECT_EQ(runs[2].value("time", "").substr(0, 14), "2026-12-09T07:");
    // And where it stood before it: readers end the run's time there.
    EXPECT_EQ(runs[1].value("was", "").substr(0, 14), "2026-12-09T08:");
    EXPECT_EQ(runs[2].value("was", "").substr(0, 14), "2026-12-09T09:");
    for (const Json &r : runs) {
        EXPECT_EQ(r.value("station", ""), "PC-7");
        EXPECT_EQ(r.value("utc_offset", ""), "+01:00");
        EXPECT_EQ(r.value("version", ""), "3.50");
        EXPECT_EQ(r.value("order", ""), "WO-17");
    }
    EXPECT_TRUE(said(host.notices, "clock jumped"));
}

TEST_F(StnEngineTest, ARejectedUnitGetsOnlyItsLineAndIsTakenAgainOnlyAfterAReplug) {
    devsim::InProcDevice &d = add(0, 0x129);
    std::shared_ptr<ScriptedMes> mes;
    StnConfig c = mes_cfg(84600001, StnCheckInVerdict::kRejected, "on hold (QA)", &mes);
    cli_test::MemStore store;
    Host host;
    c.who.operator_name = "Ana";
    c.who.order = "WO-5";
    StnEngine e(c, &store, &host);
    ASSERT_EQ(e.open(), StnOpen::kOk);
    int stage = 0;
    unsigned settled = 0;
    run(e, host, [&] {
        const StnSnapshot s = e.snapshot();
        const StnTile *t = tile_of(s, 0);
        if (stage == 0 && host.results.size() == 1 && ++settled > 20) {
            // Plugged in through many probes: neither asked nor written again.
            EXPECT_EQ(mes->times_asked(84600001), 1u);
            EXPECT_EQ(d.blocks_received(), 0u);
            EXPECT_TRUE(t != nullptr && t->state == StnTileState::kRejected &&
                        t->reason == "on hold (QA)");
            EXPECT_EQ(s.tally.rejected, 1u);
            EXPECT_EQ(s.tally.failed, 0u);
            EXPECT_EQ(s.totals.rejected, 1u);
            mes->set(84600001, StnCheckInVerdict::kAllowed);
            d.unplug();
            stage = 1;
        }
        if (stage == 1 && t == nullptr) {
            d.plug();
            stage = 2;
        }
        return stage == 2 && host.results.size() == 2;
    });
    ASSERT_EQ(stage, 2);
    const auto units = lines_of(store.bytes, "unit");
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].value("result", ""), "rejected");
    EXPECT_EQ(units[0].value("reason", ""), "on hold (QA)");
    EXPECT_EQ(units[0].value("serial", 0), 84600001);
    EXPECT_EQ(units[1].value("result", ""), "updated");
    // Only the written unit has a start line.
    const auto starts = lines_of(store.bytes, "start");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].value("id", 0), units[1].value("id", 0));
    EXPECT_EQ(d.flash(), img.window());
    // What the MES was told.
    const std::vector<StnCheckInRequest> asked = mes->asked();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].serial, 84600001);
    EXPECT_EQ(asked[0].index, 0u);
    EXPECT_EQ(asked[0].station, "PC-7");
    EXPECT_EQ(asked[0].operator_name, "Ana");
    EXPECT_EQ(asked[0].order, "WO-5");
    EXPECT_EQ(asked[0].unit_version, 0x129u);
    EXPECT_EQ(asked[0].image_version, stn_test::kImageVersion);
    EXPECT_EQ(asked[0].image_sha256,
              stn_sha256_hex(img.image.edit->data, img.image.edit->len));
    StnUtcTime when;
    EXPECT_TRUE(stn_parse_utc(asked[0].time, &when)) << asked[0].time;
}

TEST_F(StnEngineTest, AnMesThatDoesNotAnswerHoldsTheUnitUnwrittenOrLetsItBeWrittenMarked) {
    for (const bool allow : {false, true}) {
        SCOPED_TRACE(allow ? "--mes-down allow" : "the unit waits");
        devs.clear();
        devsim::InProcDevice &d = add(0, 0x129);
        std::shared_ptr<ScriptedMes> mes;
        StnConfig c = mes_cfg(84600001, StnCheckInVerdict::kNoAnswer, "status 500", &mes);
        cli_test::MemStore store;
        Host host;
        c.mes_down_allow = allow;
        c.mes_retry_ms = 30;
        StnEngine e(c, &store, &host);
        ASSERT_EQ(e.open(), StnOpen::kOk);
        bool answered = false;
        run(e, host, [&] {
            const StnSnapshot s = e.snapshot();
            const StnTile *t = tile_of(s, 0);
            if (!answered && !allow && mes->times_asked(84600001) >= 3 && t != nullptr &&
                t->state == StnTileState::kMesWaiting) {
                // Asked again and again, never written, shown waiting.
                EXPECT_TRUE(s.mes.down);
                EXPECT_EQ(s.mes.since.substr(0, 11), "2026-12-09T");
                EXPECT_EQ(s.mes.waiting, 1u);
                EXPECT_EQ(s.mes.why, "status 500");
                EXPECT_EQ(d.blocks_received(), 0u);
                EXPECT_TRUE(host.results.empty());
                EXPECT_TRUE(said(host.notices, "MES: not answering since"));
                mes->set(84600001, StnCheckInVerdict::kAllowed);
                answered = true;
            }
            if (allow && host.results.size() == 1) {
                EXPECT_TRUE(s.mes.down);
                EXPECT_EQ(s.mes.waiting, 0u);
                return true;
            }
            return answered && host.results.size() == 1;
        });
        ASSERT_EQ(host.results.size(), 1u);
        EXPECT_EQ(d.flash(), img.window());
        const auto units = lines_of(store.bytes, "unit");
        const auto starts = lines_of(store.bytes, "start");
        ASSERT_EQ(units.size(), 1u);
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(units[0].value("result", ""), "updated");
        EXPECT_EQ(units[0].value("mes", ""), allow ? "unchecked" : "");
        EXPECT_EQ(starts[0].value("mes", ""), allow ? "unchecked" : "");
        // The waiting unit kept its id through the asks.
        EXPECT_EQ(units[0].value("id", 0), 1);
        if (!allow) {
            EXPECT_TRUE(said(host.notices, "MES: answering again"));
            EXPECT_FALSE(e.snapshot().mes.down);
        }
    }
}

TEST_F(StnEngineTest, ASlowCheckInHoldsNoOtherUnitNorTheProbeNorAStop) {
    // Device 0's check-in is held past everything the test does; device 1
    // is written meanwhile, device 2 plugged in later is seen and written,
    // and then a stop ends the station at once: device 0 waits with no
    // line and gets no block after its answer comes.
    devsim::InProcDevice &d0 = add(0, 0x129);
    devsim::InProcDevice &d1 = add(1, 0x129);
    auto mes = std::make_shared<ScriptedMes>();
    mes->hold(84600001, true);
    cli_test::MemStore store;
    Host host;
    StnConfig c = cfg();
    c.check_in = mes;
    c.timeout_ms = 60000;
    c.parallel = 2;
    devsim::InProcDevice *d2 = nullptr;
    {
        StnEngine e(c, &store, &host);
        ASSERT_EQ(e.open(), StnOpen::kOk);
        bool seen_asking = false;
        run(e, host, [&] {
            if (d2 == nullptr && host.results.size() == 1) d2 = &add(2, 0x129);
            if (host.results.size() == 2 && !seen_asking) {
                const StnSnapshot s = e.snapshot();
                const StnTile *t = tile_of(s, 0);
                seen_asking = t != nullptr && t->state == StnTileState::kAsking;
                return true;
            }
            return host.results.size() == 2;
        });
        EXPECT_TRUE(seen_asking);
        // Ended with device 0's check-in still out.
        EXPECT_EQ(mes->returned(), mes->asked().size() - 1);
        EXPECT_TRUE(e.snapshot().ended);
        EXPECT_EQ(mes->times_asked(84600001), 1u);
    }
    ASSERT_NE(d2, nullptr);
    EXPECT_EQ(d1.flash(), img.window());
    EXPECT_EQ(d2->flash(), img.window());
    mes->hold(84600001, false);
    EXPECT_TRUE(handles_closed(5000));
    EXPECT_EQ(d0.blocks_received(), 0u);
    const auto units = lines_of(store.bytes, "unit");
    ASSERT_EQ(units.size(), 2u);
    for (const Json &u : units) EXPECT_NE(u.value("serial", 0), 84600001);
    EXPECT_EQ(lines_of(store.bytes, "start").size(), 2u);
}

TEST_F(StnEngineTest, AStopEndsAUnitThatWaitsForTheMesWithNoLine) {
    devsim::InProcDevice &d = add(0, 0x129);
    StnConfig c = mes_cfg(84600001, StnCheckInVerdict::kNoAnswer, "no connection");
    c.mes_retry_ms = 60000;
    cli_test::MemStore store;
    Host host;
    StnEngine e(c, &store, &host);
    ASSERT_EQ(e.open(), StnOpen::kOk);
    run(e, host, [&] {
        const StnSnapshot s = e.snapshot();
        const StnTile *t = tile_of(s, 0);
        return t != nullptr && t->state == StnTileState::kMesWaiting;
    });
    EXPECT_TRUE(e.snapshot().ended);
    EXPECT_TRUE(lines_of(store.bytes, "unit").empty());
    EXPECT_TRUE(lines_of(store.bytes, "start").empty());
    EXPECT_EQ(d.blocks_received(), 0u);
}
