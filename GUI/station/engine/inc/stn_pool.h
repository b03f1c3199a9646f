// Workers: one thread per device being served, at most `cap` updates at
// once, each exchange within the deadline. Used by the station engine and
// by qvm_cli update.
//
// Threads: the pool is driven by one thread (the owner: queue, start,
// take_finished, abandon). A worker writes only its own slot (progress,
// then result, then done with release) and wakes the owner's waker. Every
// worker holds shared ownership of its slot, of the image copy, of the
// waker and of its watch, so a worker that was let go (abandon) touches
// nothing that dies before it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "stn_unit.h"
#include "stn_waker.h"
#include "stn_watch.h"

// The image, copied once, so that no worker depends on the caller's bytes.
struct StnImageCopy {
    explicit StnImageCopy(const StnImage &from);
    StnImageCopy(const StnImageCopy &) = delete;
    StnImageCopy &operator=(const StnImageCopy &) = delete;
    std::vector<unsigned char> bytes;
    SHEX_DATA edit{};  // over bytes
    StnImage image;    // image.edit == &edit (null when the source had none)
};

// What a worker does with its device.
enum class StnWork {
    kUpdate,  // stn_update_unit
    kRead,    // only stn_read_device (the station's look at a finished unit)
};

struct StnSlot {
    unsigned index = 0;
    StnWork work = StnWork::kUpdate;
    StnProgress progress;
    StnUnitResult result;  // the worker's; read after done
    std::atomic<bool> done{false};
    std::chrono::steady_clock::time_point started;
    // Runs on the worker before the first write (StnUnitJob::before_write).
    // Whatever it reaches must outlive a worker that is let go.
    std::function<bool(const StnDevice &, bool)> before_write;
    // The unit's check-in (StnUnitJob::check_in); the same rule.
    std::function<StnCheckInAnswer(const StnDevice &)> check_in;
    bool mes_down_allow = false;
    // Set by the worker before done: whether the MES was asked and answered
    // (kAnswered), asked and did not (kUnanswered), and why not.
    enum Mes { kNotAsked, kAnswered, kUnanswered };
    Mes mes = kNotAsked;
    std::string mes_why;
    // Who has the unit once its check-in is back: the worker to write it
    // (kClaimWrite), or the owner, who let it go unwritten (kClaimDropped).
    enum Claim : int { kClaimOpen, kClaimWrite, kClaimDropped };
    std::atomic<int> claim{kClaimOpen};
    // kRead whose read failed: whether the device name was gone then.
    bool absent = false;
    std::shared_ptr<StnWatch> watch;  // set when started; cancelled when let go
};

class StnPool {
public:
    // cap 0: no cap. timeout_ms: the deadline of one exchange.
    StnPool(const StnImage &image, bool force, unsigned cap, unsigned timeout_ms,
            std::shared_ptr<StnWaker> waker);
    // Waits for every worker still running (not for those let go).
    ~StnPool();
    StnPool(const StnPool &) = delete;
    StnPool &operator=(const StnPool &) = delete;

    // Queues an update of index (started by start_queued).
    void queue(unsigned index, std::function<bool(const StnDevice &, bool)> before_write = {},
               std::function<StnCheckInAnswer(const StnDevice &)> check_in = {},
               bool mes_down_allow = false);
    // Lets a running update whose check-in is with the MES go, unwritten
    // (its worker writes nothing to its device): true when it was let go.
    // A worker that already has its answer to write is kept.
    bool let_go_asking(const std::shared_ptr<StnSlot> &slot);
    // Starts a read of index now (not counted against the cap).
    void read_now(unsigned index);
    // The queued updates, taken out of the queue.
    std::vector<unsigned> take_queued();
    // Starts queued updates while fewer than the cap run. A unit that
    // cannot get a thread ends at once as failed, with a clear message.
    void start_queued();
    // Slots whose workers ended, joined.
    std::vector<std::shared_ptr<StnSlot>> take_finished();
    // Lets every worker that has not ended go (they own what they touch):
    // each one's exchange under way is cancelled and it writes nothing
    // more. Hands their slots back; the caller reads only their published
    // progress. Workers that had ended stay for take_finished, so a unit
    // whose result is known keeps it.
    std::vector<std::shared_ptr<StnSlot>> abandon();

    bool idle() const { return queued_.empty() && running_.empty(); }
    bool has_queued() const { return !queued_.empty(); }
    // Running slots, in start order.
    std::vector<std::shared_ptr<StnSlot>> running() const;
    bool busy(unsigned index) const;  // queued or running

private:
    struct Running {
        std::shared_ptr<StnSlot> slot;
        std::thread thread;
    };
    void start(std::shared_ptr<StnSlot> slot);

    std::shared_ptr<const StnImageCopy> image_;
    const bool force_;
    const std::size_t cap_;
    std::shared_ptr<StnDeadlines> deadlines_;
    std::shared_ptr<StnWaker> waker_;
    std::vector<std::shared_ptr<StnSlot>> queued_;
    std::vector<Running> running_;
};
