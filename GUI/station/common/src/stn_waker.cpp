#include "stn_waker.h"

void StnWaker::wake() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        woken_ = true;
    }
    cv_.notify_all();
}

void StnWaker::wait_until(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_until(lock, until, [this] { return woken_; });
    woken_ = false;
}
