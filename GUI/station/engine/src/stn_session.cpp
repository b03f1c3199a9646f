#include "stn_session.h"

#include <chrono>

void StnSessionEnd::done() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        done_ = true;
    }
    cv_.notify_all();
}

bool StnSessionEnd::is_done() const {
    std::lock_guard<std::mutex> lock(mu_);
    return done_;
}

bool StnSessionEnd::wait_done(unsigned ms) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; });
}

StnSessionEnd::Outcome StnSessionEnd::end(const std::function<void()> &stop,
                                          const std::function<void()> &abort,
                                          unsigned grace_ms, unsigned record_ms) {
    if (is_done()) return kFinished;
    if (stop) stop();
    if (wait_done(grace_ms)) return kFinished;
    if (abort) abort();
    return wait_done(record_ms) ? kCutShort : kLate;
}
