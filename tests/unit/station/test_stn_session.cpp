// The end of a session against the real engine: a unit that finishes
// within the grace keeps its true result; one held past it is recorded
// interrupted before end() returns; a run that never ends does not hold
// the caller for good.
//
// Threads: the engine on a thread of the test's (its turns, then done());
// end() on the test thread, as the console handler or the dialog calls it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "../cli/cli_test_store.h"
#include "posix_dev.h"
#include "stn_engine.h"
#include "stn_session.h"
#include "stn_test_image.h"

namespace {

class Host : public StnHost {
public:
    std::string utc_now() override { return "2026-12-09T08:00:00.000Z"; }
};

// The results of the report's unit lines, in order.
std::vector<std::string> unit_results(const std::string &bytes) {
    std::vector<std::string> out;
    std::istringstream in(bytes);
    for (std::string l; std::getline(in, l);) {
        const nlohmann::json j = nlohmann::json::parse(l, nullptr, false);
        if (j.is_object() && j.value("type", "") == "unit") out.push_back(j.value("result", ""));
    }
    return out;
}

// A station on its own thread that says done() once it has ended.
class SessionTest : public stn_test::DeviceTest {
protected:
    void start() {
        StnConfig c;
        c.image = img.image;
        c.poll_ms = 20;
        c.timeout_ms = 60000;
        engine.reset(new StnEngine(c, &store, &host));
        ASSERT_EQ(engine->open(), StnOpen::kOk);
        thread = std::thread([this] {
            while (engine->turn()) {
            }
            session.done();
        });
    }
    void TearDown() override {
        if (thread.joinable()) thread.join();
        engine.reset();
        // A worker that was let go may still hold its device for a moment.
        for (auto &d : devs) d->release_delays();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (qvm_posix::open_device_handles() != 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        stn_test::DeviceTest::TearDown();
    }
    std::function<void()> stop() {
        return [this] {
            ++stops;
            engine->request_stop();
        };
    }
    std::function<void()> abort() {
        return [this] {
            ++aborts;
            engine->request_abort();
        };
    }

    stn_test::Image img;
    cli_test::MemStore store;
    Host host;
    std::unique_ptr<StnEngine> engine;
    StnSessionEnd session;
    std::thread thread;
    std::atomic<int> stops{0}, aborts{0};
};

}  // namespace

TEST_F(SessionTest, AUnitThatFinishesWithinTheGraceKeepsItsResult) {
    devsim::InProcDevice &d = add(0, 300);
    start();
    ASSERT_TRUE(d.wait_exchanges(1 + 1 + 1 + 3, 20000));  // writing
    EXPECT_EQ(session.end(stop(), abort(), 20000, 20000), StnSessionEnd::kFinished);
    EXPECT_EQ(stops.load(), 1);
    EXPECT_EQ(aborts.load(), 0);
    EXPECT_EQ(unit_results(store.copy()), std::vector<std::string>{"updated"});
    EXPECT_EQ(d.flash(), img.window());
}

TEST_F(SessionTest, AUnitHeldPastTheGraceIsRecordedInterruptedBeforeEndReturns) {
    devsim::InProcDevice &d = add(0, 300);
    ASSERT_TRUE(d.arm_fault(1 + 1 + 1 + 5, DEVSIM_FAULT_DELAY, 60000));
    start();
    ASSERT_TRUE(d.wait_exchanges(1 + 1 + 1 + 6, 20000));  // held in its sixth block
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(session.end(stop(), abort(), 300, 20000), StnSessionEnd::kCutShort);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(300));
    EXPECT_EQ(stops.load(), 1);
    EXPECT_EQ(aborts.load(), 1);
    // On the disk as end() returns, not later.
    EXPECT_EQ(unit_results(store.copy()), std::vector<std::string>{"interrupted"});
}

TEST(StationSession, ARunThatNeverEndsDoesNotHoldTheCallerForGood) {
    StnSessionEnd never;
    int stops = 0, aborts = 0;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(never.end([&] { ++stops; }, [&] { ++aborts; }, 50, 100), StnSessionEnd::kLate);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(150));
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(aborts, 1);

    // One that has already ended is left alone.
    StnSessionEnd ended;
    ended.done();
    EXPECT_EQ(ended.end([&] { ++stops; }, [&] { ++aborts; }, 50, 100), StnSessionEnd::kFinished);
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(aborts, 1);
    EXPECT_TRUE(ended.is_done());
    EXPECT_FALSE(never.is_done());
}
