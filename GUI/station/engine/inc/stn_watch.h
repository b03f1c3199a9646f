// Deadlines of exchanges. A watchdog thread cancels (CancelIoEx) the file
// call of an exchange that has not ended within the deadline, and keeps
// cancelling it until it ends (a cancel can come just before the call
// starts). From then on every exchange of that watch fails at once, so a
// silent device costs its unit one deadline, not one per exchange.
//
// Threads: StnDeadlines' thread is its own; watch() from any thread. A
// StnWatch is installed on one worker (CLS_cmc_snd::cmc_watch_thread) and
// read by the watchdog under the deadlines' lock. Every watch holds its
// deadlines alive, so a worker that was let go may outlive the engine.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "cmc_snd.h"

class StnDeadlines;

class StnWatch : public CmcExchangeWatch {
public:
    explicit StnWatch(std::shared_ptr<StnDeadlines> owner);
    ~StnWatch() override;
    StnWatch(const StnWatch &) = delete;
    StnWatch &operator=(const StnWatch &) = delete;

    bool begin(HANDLE handle) override;  // false once expired
    void end() override;
    // An exchange of this watch missed its deadline.
    bool expired() const;
    // Its unit was let go: the exchange under way is cancelled and every
    // later one fails at once, so the worker writes nothing more.
    void cancel();
    unsigned timeout_ms() const;

private:
    friend class StnDeadlines;
    std::shared_ptr<StnDeadlines> owner_;
    // Under owner_->mu_.
    HANDLE handle_ = nullptr;
    bool active_ = false;
    bool expired_ = false;
    bool cancelled_ = false;
    std::chrono::steady_clock::time_point due_;
};

class StnDeadlines : public std::enable_shared_from_this<StnDeadlines> {
public:
    // Starts the watchdog; timeout_ms: the deadline of one exchange.
    static std::shared_ptr<StnDeadlines> start(unsigned timeout_ms);
    ~StnDeadlines();  // ends the watchdog thread
    StnDeadlines(const StnDeadlines &) = delete;
    StnDeadlines &operator=(const StnDeadlines &) = delete;

    unsigned timeout_ms() const { return timeout_ms_; }
    // A new watch for one unit's exchanges.
    std::shared_ptr<StnWatch> watch();

private:
    friend class StnWatch;
    explicit StnDeadlines(unsigned timeout_ms) : timeout_ms_(timeout_ms) {}
    void run();

    const unsigned timeout_ms_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<StnWatch *> watches_;  // under mu_
    bool stop_ = false;                // under mu_
    std::thread thread_;
};
