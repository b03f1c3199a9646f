// Probes device names off its owner's thread, so that a driver that stalls
// in an open or a close (drivers do, when a device misbehaves during
// enumeration) never holds up the station. A round opens and closes each
// name asked for, one after another, on a thread of its own. When one name
// takes longer than the stall limit, poll() leaves that thread behind in
// the driver and goes on with the next name on a new thread; the stalled
// name is skipped by later rounds until its call returns.
//
// Threads: one owner calls every member. Scanner threads are detached and
// share the state with the prober, so one left in the driver may outlive
// it; the destructor waits up to the stall limit for the current scanner.
#pragma once

#include <chrono>
#include <memory>
#include <utility>
#include <vector>

#include "stn_unit.h"

class StnWaker;

class StnProber {
public:
    // waker: woken when a round ends. stall_ms: how long one name may take.
    StnProber(std::shared_ptr<StnWaker> waker, unsigned stall_ms);
    ~StnProber();
    StnProber(const StnProber &) = delete;
    StnProber &operator=(const StnProber &) = delete;

    // Starts a round over indices (in that order) unless one is running.
    void start(const std::vector<unsigned> &indices);
    // Leaves a scanner that stalled behind and goes on without it; call it
    // at every turn while a round runs.
    void poll();
    bool running() const;
    // The presence of each name of the round that ended (a stalled name is
    // missing). False when no round ended since the last take.
    bool take(std::vector<std::pair<unsigned, StnPresence>> *out);
    // Names whose probe stalled and has not returned yet.
    std::vector<unsigned> stalled() const;

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};
