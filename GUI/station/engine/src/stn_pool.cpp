#include "stn_pool.h"

#include <algorithm>
#include <system_error>

#include "cmc_code.h"

StnImageCopy::StnImageCopy(const StnImage &from) : image(from) {
    image.edit = nullptr;
    if (from.edit == nullptr) return;
    edit = *from.edit;
    if (from.edit->data != nullptr) {
        bytes.assign(from.edit->data, from.edit->data + from.edit->len);
        edit.data = bytes.empty() ? nullptr : bytes.data();
    }
    image.edit = &edit;
}

StnPool::StnPool(const StnImage &image, bool force, unsigned cap, unsigned timeout_ms,
                 std::shared_ptr<StnWaker> waker)
    : image_(std::make_shared<const StnImageCopy>(image)),
      force_(force),
      cap_(cap == 0 ? 256 : cap),
      deadlines_(StnDeadlines::start(timeout_ms)),
      waker_(std::move(waker)) {}

StnPool::~StnPool() {
    for (Running &r : running_) {
        if (r.thread.joinable()) r.thread.join();
    }
}

void StnPool::queue(unsigned index, std::function<bool(const StnDevice &, bool)> before_write,
                    std::function<StnCheckInAnswer(const StnDevice &)> check_in,
                    bool mes_down_allow) {
    auto slot = std::make_shared<StnSlot>();
    slot->index = index;
    slot->before_write = std::move(before_write);
    slot->check_in = std::move(check_in);
    slot->mes_down_allow = mes_down_allow;
    queued_.push_back(std::move(slot));
}

bool StnPool::let_go_asking(const std::shared_ptr<StnSlot> &slot) {
    if (slot->progress.phase.load() != kStnPhaseAsking) return false;
    int open = StnSlot::kClaimOpen;
    if (!slot->claim.compare_exchange_strong(open, StnSlot::kClaimDropped)) return false;
    for (auto it = running_.begin(); it != running_.end(); ++it) {
        if (it->slot != slot) continue;
        if (it->thread.joinable()) it->thread.detach();
        running_.erase(it);
        break;
    }
    return true;
}

void StnPool::read_now(unsigned index) {
    auto slot = std::make_shared<StnSlot>();
    slot->index = index;
    slot->work = StnWork::kRead;
    start(std::move(slot));
}

std::vector<unsigned> StnPool::take_queued() {
    std::vector<unsigned> out;
    for (const auto &s : queued_) out.push_back(s->index);
    queued_.clear();
    return out;
}

void StnPool::start_queued() {
    auto updating = [this] {
        return static_cast<std::size_t>(
            std::count_if(running_.begin(), running_.end(),
                          [](const Running &r) { return r.slot->work == StnWork::kUpdate; }));
    };
    while (!queued_.empty() && updating() < cap_) {
        std::shared_ptr<StnSlot> slot = queued_.front();
        queued_.erase(queued_.begin());
        start(std::move(slot));
    }
}

void StnPool::start(std::shared_ptr<StnSlot> slot) {
    slot->started = std::chrono::steady_clock::now();
    std::shared_ptr<StnWatch> watch = deadlines_->watch();
    slot->watch = watch;
    std::shared_ptr<const StnImageCopy> image = image_;
    std::shared_ptr<StnWaker> waker = waker_;
    const bool force = force_;
    Running r;
    r.slot = slot;
    try {
        r.thread = std::thread([slot, watch, image, waker, force] {
            if (slot->work == StnWork::kRead) {
                StnUnitResult res;
                std::string why;
                res.device.index = slot->index;
                res.identified = stn_read_device(slot->index, &res.device, &why, watch.get(),
                                                 &res.failure);
                res.what = why;
                if (!res.identified) slot->absent = stn_device_probe(slot->index) == StnPresence::kAbsent;
                slot->result = res;
            } else {
                StnUnitJob job;
                job.index = slot->index;
                job.image = &image->image;
                job.force = force;
                job.progress = &slot->progress;
                job.watch = watch.get();
                job.before_write = slot->before_write;
                job.mes_down_allow = slot->mes_down_allow;
                if (slot->check_in) {
                    StnSlot *sp = slot.get();
                    job.check_in = [sp](const StnDevice &d) {
                        StnCheckInAnswer a = sp->check_in(d);
                        sp->mes = a.verdict == StnCheckInVerdict::kNoAnswer ? StnSlot::kUnanswered
                                                                            : StnSlot::kAnswered;
                        if (a.verdict == StnCheckInVerdict::kNoAnswer) sp->mes_why = a.reason;
                        return a;
                    };
                }
                job.may_write = [sp = slot.get()] {
                    int open = StnSlot::kClaimOpen;
                    return sp->claim.compare_exchange_strong(open, StnSlot::kClaimWrite);
                };
                slot->result = stn_update_unit(job);
            }
            slot->done.store(true, std::memory_order_release);
            waker->wake();
        });
    } catch (const std::system_error &) {
        StnUnitResult &res = slot->result;
        res.device.index = slot->index;
        res.outcome = StnOutcome::kFailed;
        res.what = "no worker thread could be started for it (out of resources)";
        res.failure = StnFailure::kOther;
        res.detail = static_cast<std::uint32_t>(kCmcDetailNoThread);
        slot->done.store(true, std::memory_order_release);
    }
    running_.push_back(std::move(r));
}

std::vector<std::shared_ptr<StnSlot>> StnPool::take_finished() {
    std::vector<std::shared_ptr<StnSlot>> out;
    for (auto it = running_.begin(); it != running_.end();) {
        if (it->slot->done.load(std::memory_order_acquire)) {
            if (it->thread.joinable()) it->thread.join();
            out.push_back(it->slot);
            it = running_.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

std::vector<std::shared_ptr<StnSlot>> StnPool::abandon() {
    std::vector<std::shared_ptr<StnSlot>> out;
    for (auto it = running_.begin(); it != running_.end();) {
        if (it->slot->done.load(std::memory_order_acquire)) {
            ++it;
            continue;
        }
        if (it->slot->watch != nullptr) it->slot->watch->cancel();
        if (it->thread.joinable()) it->thread.detach();
        out.push_back(it->slot);
        it = running_.erase(it);
    }
    return out;
}

std::vector<std::shared_ptr<StnSlot>> StnPool::running() const {
    std::vector<std::shared_ptr<StnSlot>> out;
    for (const Running &r : running_) out.push_back(r.slot);
    return out;
}

bool StnPool::busy(unsigned index) const {
    for (const auto &s : queued_) {
        if (s->index == index) return true;
    }
    for (const Running &r : running_) {
        if (r.slot->index == index) return true;
    }
    return false;
}
