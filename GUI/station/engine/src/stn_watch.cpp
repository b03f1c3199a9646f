#include "stn_watch.h"

#include <algorithm>

namespace {

// How often an overdue call is cancelled again until it has ended.
constexpr std::chrono::milliseconds kRecancel{50};

}  // namespace

StnWatch::StnWatch(std::shared_ptr<StnDeadlines> owner) : owner_(std::move(owner)) {
    std::lock_guard<std::mutex> lock(owner_->mu_);
    owner_->watches_.push_back(this);
}

StnWatch::~StnWatch() {
    std::lock_guard<std::mutex> lock(owner_->mu_);
    auto &w = owner_->watches_;
    w.erase(std::remove(w.begin(), w.end(), this), w.end());
}

bool StnWatch::begin(HANDLE handle) {
    std::lock_guard<std::mutex> lock(owner_->mu_);
    if (expired_ || cancelled_) return false;
    handle_ = handle;
    active_ = true;
    due_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(owner_->timeout_ms_);
    owner_->cv_.notify_all();
    return true;
}

void StnWatch::end() {
    std::lock_guard<std::mutex> lock(owner_->mu_);
    active_ = false;
    handle_ = nullptr;
}

bool StnWatch::expired() const {
    std::lock_guard<std::mutex> lock(owner_->mu_);
    return expired_;
}

void StnWatch::cancel() {
    std::lock_guard<std::mutex> lock(owner_->mu_);
    cancelled_ = true;
    // The watchdog cancels the call under way until it ends (a cancel can
    // come just before the call starts).
    due_ = std::chrono::steady_clock::now();
    owner_->cv_.notify_all();
}

unsigned StnWatch::timeout_ms() const { return owner_->timeout_ms(); }

std::shared_ptr<StnDeadlines> StnDeadlines::start(unsigned timeout_ms) {
    std::shared_ptr<StnDeadlines> d(new StnDeadlines(timeout_ms));
    // The thread holds no reference: the last owner's release ends it.
    StnDeadlines *raw = d.get();
    d->thread_ = std::thread([raw] { raw->run(); });
    return d;
}

StnDeadlines::~StnDeadlines() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::shared_ptr<StnWatch> StnDeadlines::watch() {
    return std::make_shared<StnWatch>(shared_from_this());
}

void StnDeadlines::run() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_) {
        const auto now = std::chrono::steady_clock::now();
        auto next = std::chrono::steady_clock::time_point::max();
        for (StnWatch *w : watches_) {
            if (!w->active_) continue;
            if (now >= w->due_) {
                if (!w->cancelled_) w->expired_ = true;
                CancelIoEx(w->handle_, nullptr);
                w->due_ = now + kRecancel;
            }
            next = std::min(next, w->due_);
        }
        if (next == std::chrono::steady_clock::time_point::max()) {
            cv_.wait(lock);
        } else {
            cv_.wait_until(lock, next);
        }
    }
}
