// The engine's waker: workers, the report's writer and the prober wake the
// one thread that waits on it. Any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// Wakes a waiting owner from any thread; a wake that comes before the wait
// is not lost.
class StnWaker {
public:
    void wake();
    // Waits until woken or until `until`; clears the wake.
    void wait_until(std::chrono::steady_clock::time_point until);

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool woken_ = false;  // under mu_
};
