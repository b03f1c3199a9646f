// Waiting in delivery's tests: bounded, so a fault fails the test instead
// of hanging it.
#pragma once

#include <chrono>
#include <thread>

#include "stn_deliver.h"

namespace stn_test {

// Polls pred until it holds (true) or 10 s have passed (false).
template <typename P>
bool eventually(P pred) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline bool up_to_date(StnDelivery &d) {
    return d.status().state == StnDeliverState::kUpToDate;
}

}  // namespace stn_test
