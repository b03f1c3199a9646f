// Device names probed off the owner's thread. See stn_prober.h; every field
// of Shared is under its mu.
#include "stn_prober.h"

#include <condition_variable>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "stn_pool.h"

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

struct StnProber::Shared {
    std::mutex mu;
    std::condition_variable cv;
    std::shared_ptr<StnWaker> waker;
    std::chrono::milliseconds stall;

    std::vector<unsigned> indices;  // the round
    std::size_t next = 0;           // the next name of the round
    std::vector<std::pair<unsigned, StnPresence>> results;
    bool running = false;
    bool ended = false;             // a round ended and was not taken yet
    std::uint64_t scanner = 0;      // the current scanner's number
    bool scanner_live = false;      // the current scanner has not ended
    bool in_call = false;           // the current scanner is in the driver
    unsigned call_index = 0;
    Clock::time_point call_since;
    std::set<unsigned> stalled;
    bool stop = false;

    // Under mu: starts scanner number `scanner` from `next`; false when no
    // thread could be started.
    bool spawn(const std::shared_ptr<Shared> &self) {
        scanner_live = true;
        try {
            std::thread([self, n = scanner] { self->scan(n); }).detach();
            return true;
        } catch (const std::system_error &) {
            scanner_live = false;
            return false;
        }
    }

    void scan(std::uint64_t me) {
        std::unique_lock<std::mutex> lock(mu);
        while (!stop && scanner == me && next < indices.size()) {
            const unsigned index = indices[next++];
            if (stalled.count(index) != 0) continue;
            in_call = true;
            call_index = index;
            call_since = Clock::now();
            lock.unlock();
            const StnPresence p = stn_device_probe(index);
            lock.lock();
            if (scanner != me) {
                // Left behind: the name may be probed again from now on.
                stalled.erase(index);
                return;
            }
            in_call = false;
            results.emplace_back(index, p);
        }
        if (scanner != me) return;
        scanner_live = false;
        cv.notify_all();
        if (stop) return;
        running = false;
        ended = true;
        waker->wake();
    }
};

StnProber::StnProber(std::shared_ptr<StnWaker> waker, unsigned stall_ms)
    : shared_(std::make_shared<Shared>()) {
    shared_->waker = std::move(waker);
    shared_->stall = std::chrono::milliseconds(stall_ms);
}

StnProber::~StnProber() {
    Shared &s = *shared_;
    std::unique_lock<std::mutex> lock(s.mu);
    s.stop = true;
    // A scanner between two names ends at once; one in the driver is given
    // the stall limit, then left there.
    s.cv.wait_for(lock, s.stall, [&s] { return !s.scanner_live; });
}

void StnProber::start(const std::vector<unsigned> &indices) {
    Shared &s = *shared_;
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.running || s.stop) return;
    s.indices = indices;
    s.next = 0;
    s.results.clear();
    s.ended = false;
    s.running = true;
    ++s.scanner;
    if (!s.spawn(shared_)) {
        // No thread now: an empty round; the next one tries again.
        s.running = false;
        s.ended = true;
    }
}

void StnProber::poll() {
    Shared &s = *shared_;
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.running || !s.in_call || Clock::now() - s.call_since < s.stall) return;
    s.stalled.insert(s.call_index);
    s.in_call = false;
    ++s.scanner;
    if (!s.spawn(shared_)) {
        s.running = false;
        s.ended = true;
    }
}

bool StnProber::running() const {
    std::lock_guard<std::mutex> lock(shared_->mu);
    return shared_->running;
}

bool StnProber::take(std::vector<std::pair<unsigned, StnPresence>> *out) {
    Shared &s = *shared_;
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.ended) return false;
    s.ended = false;
    *out = std::move(s.results);
    s.results.clear();
    return true;
}

std::vector<unsigned> StnProber::stalled() const {
    std::lock_guard<std::mutex> lock(shared_->mu);
    return std::vector<unsigned>(shared_->stalled.begin(), shared_->stalled.end());
}
