// The report's writer on its own: lines land in the order they were handed
// over, whoever handed them over.
//
// Threads: the test thread hands unit lines over; a thread of the test's
// hands a start line over as a worker does; the writer appends.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "../cli/cli_test_store.h"
#include "stn_journal.h"
#include "stn_pool.h"

namespace {

// Holds every flush that comes while it is shut, and says when one is held.
class Gate {
public:
    void shut(bool on) {
        std::lock_guard<std::mutex> lock(mu_);
        shut_ = on;
        cv_.notify_all();
    }
    void pass() {
        std::unique_lock<std::mutex> lock(mu_);
        ++held_;
        cv_.notify_all();
        cv_.wait(lock, [this] { return !shut_; });
        --held_;
    }
    bool wait_held(unsigned timeout_ms) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                            [this] { return held_ > 0; });
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool shut_ = false;
    unsigned held_ = 0;
};

std::string line(const char *type, int id) {
    return "{\"type\":\"" + std::string(type) + "\",\"time\":\"2026-12-09T08:00:00.000Z\",\"id\":" +
           std::to_string(id) + "}";
}

}  // namespace

TEST(StnJournal, AStartLandsAfterTheUnitLinesHandedOverBeforeIt) {
    // The first unit line is held in the store while two more unit lines
    // and then a unit's start are handed over.
    cli_test::MemStore store;
    StnReport report(&store);
    auto flushed = std::make_shared<StnFlushed>();
    report.publish_to(flushed);
    ASSERT_EQ(report.open("2026-12-09T08:00:00.000Z"), StnReportOpen::kOk);
    Gate gate;
    store.on_flush = [&gate] { gate.pass(); };
    gate.shut(true);
    std::shared_ptr<StnJournal> j = StnJournal::start(
        std::shared_ptr<StnReportStore>(&store, [](StnReportStore *) {}), report,
        std::make_shared<StnWaker>(), 60000);
    j->append(line("unit", 1), 11);
    ASSERT_TRUE(gate.wait_held(5000));
    j->append(line("unit", 2), 12);
    j->append(line("unit", 3), 13);
    std::promise<void> handed;
    bool started = false;
    std::thread worker([&] {
        started = j->append_start(4, [&] {
            handed.set_value();
            return line("start", 4);
        });
    });
    handed.get_future().wait();
    gate.shut(false);
    worker.join();
    EXPECT_TRUE(started);
    EXPECT_TRUE(j->close(5000).empty());
    EXPECT_EQ(j->take_written(), (std::vector<std::uint64_t>{11, 12, 13}));
    std::vector<std::string> order;
    std::istringstream in(store.copy());
    for (std::string l; std::getline(in, l);) {
        const nlohmann::json o = nlohmann::json::parse(l);
        order.push_back(o.value("type", "") + " " + std::to_string(o.value("id", 0)));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"unit 1", "unit 2", "unit 3", "start 4"}));
    std::uint64_t size = 0;
    ASSERT_TRUE(flushed->get(&size));
    EXPECT_EQ(size, store.copy().size());
}
