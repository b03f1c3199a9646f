// The station engine. See stn_engine.h for the threads: the engine thread
// owns seats_, pool_, totals and the report's unit lines; workers write
// start lines through record_start under report_mu_; snapshot() reads
// only what publish() left under view_mu_ (and the running slots' atomics).
#include "stn_engine.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>

#include "cmc_tbl.h"
#include "stn_pool.h"

namespace {

using Clock = std::chrono::steady_clock;

// One device index the station knows of.
struct Seat {
    enum Kind { kQueued, kRunning, kDone, kBusy } kind = kQueued;
    std::uint64_t id = 0;          // the unit's report id (queued, running)
    StnUnitResult last;            // kDone: how its unit ended
    bool looking = false;          // kDone: a read of it is running
    StnTile tile;                  // kDone, kBusy, kQueued: what it shows
};

StnTileState state_of(StnOutcome o) {
    static const StnTileState kStates[] = {StnTileState::kUpdated, StnTileState::kCurrent,
                                           StnTileState::kFailed, StnTileState::kInterrupted};
    const auto i = static_cast<std::size_t>(o);
    return i < sizeof kStates / sizeof kStates[0] ? kStates[i] : StnTileState::kFailed;
}

StnTileState state_of_phase(int phase) {
    switch (phase) {
    case kStnPhaseChecking:
        return StnTileState::kChecking;
    case kStnPhaseWriting:
        return StnTileState::kWriting;
    case kStnPhaseVerifying:
    case kStnPhaseDone:
        return StnTileState::kVerifying;
    default:
        return StnTileState::kWaiting;
    }
}

StnTile finished_tile(const StnUnitResult &r) {
    StnTile t;
    t.index = r.device.index;
    t.state = state_of(r.outcome);
    t.identified = r.identified;
    t.serial = r.device.serial;
    t.old_version = r.device.firm_version;
    t.has_new = r.has_new;
    t.new_version = r.new_version;
    t.percent = r.outcome == StnOutcome::kUpdated ? 100 : 0;
    if (r.outcome == StnOutcome::kFailed) t.reason = r.what;
    return t;
}


}  // namespace

struct StnEngine::Impl {
    Impl(const StnConfig &c, StnReportStore *store, StnHost *h)
        : config(c),
          host(h),
          report(store),
          waker(std::make_shared<StnWaker>()),
          pool(c.image, c.force, c.parallel, c.timeout_ms != 0 ? c.timeout_ms : c.timeout_s * 1000u,
               waker) {}

    // ---- Engine thread ----
    const StnConfig config;
    StnHost *host;
    std::map<unsigned, Seat> seats_;
    StnTotals totals;
    StnTally tally;
    bool tally_changed = true;  // since the last publish
    std::vector<StnRecent> recent;
    std::uint64_t recorded = 0;
    bool stopping = false;
    bool ended = false;
    Clock::time_point opened_at = Clock::now();
    Clock::time_point next_probe = Clock::now();

    // ---- Report: unit lines from the engine thread, start lines from workers ----
    std::mutex report_mu;
    StnReport report;                 // under report_mu
    std::atomic<bool> report_failed{false};

    // ---- Requests, from any thread ----
    std::atomic<bool> stop_req{false};
    std::atomic<bool> abort_req{false};
    std::shared_ptr<StnWaker> waker;

    // ---- What snapshot() reads ----
    mutable std::mutex view_mu;
    struct ViewTile {
        StnTile tile;
        std::shared_ptr<StnSlot> slot;  // running: its live progress
    };
    std::vector<ViewTile> view_tiles;   // under view_mu
    StnSnapshot view;                   // under view_mu (tiles empty)

    StnPool pool;  // last: its workers end first

    bool record_start(const StnDevice &d, std::uint64_t id) {
        std::lock_guard<std::mutex> lock(report_mu);
        if (report_failed.load()) return false;
        const bool ok =
            report.write_line(stn_json_start(d, id, host_time(), config.image.sha256));
        if (!ok) report_failed.store(true);
        return ok;
    }

    // Called from workers too: the host's clock must be thread-safe.
    std::string host_time() { return host->utc_now(); }

    void record(StnUnitResult r, std::uint64_t id) {
        r.id = id;
        bool ok = false;
        std::string line;
        {
            std::lock_guard<std::mutex> lock(report_mu);
            if (!report_failed.load()) {
                line = stn_json_report(r, host_time(), config.image.sha256);
                ok = report.write_line(line);
                if (!ok) report_failed.store(true);
            }
        }
        if (ok) {
            totals.count(r.outcome);  // only once it is on the disk
            tally.feed(line);
            tally_changed = true;
            ++recorded;
            StnRecent rec;
            rec.time = host_time();
            rec.result = r;
            recent.insert(recent.begin(), rec);
            if (recent.size() > kStnRecentMax) recent.pop_back();
        } else {
            stop_for_the_report();
        }
        host->on_result(r, ok);
    }

    // The run's line at open and at the end (written once each).
    std::string run_line(const char *event) {
        return stn_json_run(event, host_time(), config.station, host->utc_offset(),
                            config.version);
    }
    bool run_stopped = false;
    void record_run_stop() {
        if (run_stopped) return;
        run_stopped = true;
        std::lock_guard<std::mutex> lock(report_mu);
        if (report_failed.load()) return;
        const std::string line = run_line("stop");
        if (report.write_line(line)) {
            tally.feed(line);
            tally_changed = true;
        }
    }

    // A report that cannot be written takes no further units (said once).
    void stop_for_the_report() {
        if (stopping) return;
        stopping = true;
        host->on_notice("cannot write the report; no new devices are taken");
    }

    void queue_unit(unsigned index) {
        Seat &s = seats_[index];
        s = Seat();
        s.kind = Seat::kQueued;
        {
            std::lock_guard<std::mutex> lock(report_mu);
            s.id = report.new_id();
        }
        s.tile.index = index;
        s.tile.state = StnTileState::kWaiting;
        const std::uint64_t id = s.id;
        pool.queue(index, [this, id](const StnDevice &d) { return record_start(d, id); });
    }

    // A finished unit's look came back: a new unit, the same, or gone.
    void looked(const StnSlot &slot) {
        auto it = seats_.find(slot.index);
        if (it == seats_.end() || it->second.kind != Seat::kDone) return;
        Seat &s = it->second;
        s.looking = false;
        const StnUnitResult &now = slot.result;
        if (!now.identified) {
            if (stn_device_probe(slot.index) == StnPresence::kAbsent) seats_.erase(it);
            return;  // present but silent: looked at again at the next probe
        }
        const StnUnitResult &was = s.last;
        bool changed = !was.identified || now.device.serial != was.device.serial;
        // A unit that ended at a version and no longer holds it was swapped
        // or written by someone else.
        const bool ended_at_version =
            was.outcome == StnOutcome::kUpdated || was.outcome == StnOutcome::kCurrent;
        if (ended_at_version && now.device.firm_version != was.new_version) changed = true;
        if (changed && !stopping) queue_unit(slot.index);
    }

    void collect() {
        for (const std::shared_ptr<StnSlot> &slot : pool.take_finished()) {
            if (slot->work == StnWork::kRead) {
                looked(*slot);
                continue;
            }
            auto it = seats_.find(slot->index);
            const std::uint64_t id = it != seats_.end() ? it->second.id : 0;
            record(slot->result, id);
            Seat &s = seats_[slot->index];
            s.kind = Seat::kDone;
            s.last = slot->result;
            s.looking = false;
            s.tile = finished_tile(slot->result);
        }
    }

    void probe() {
        for (unsigned index = 0; index <= kCmcMaxDevIndex; ++index) {
            auto it = seats_.find(index);
            if (it != seats_.end() &&
                (it->second.kind == Seat::kQueued || it->second.kind == Seat::kRunning)) {
                continue;
            }
            if (it != seats_.end() && it->second.looking) continue;
            const StnPresence p = stn_device_probe(index);
            if (it == seats_.end()) {
                if (p == StnPresence::kPresent) {
                    queue_unit(index);
                } else if (p == StnPresence::kBusy) {
                    Seat &s = seats_[index];
                    s.kind = Seat::kBusy;
                    s.tile.index = index;
                    s.tile.state = StnTileState::kBusy;
                }
                continue;
            }
            Seat &s = it->second;
            if (p == StnPresence::kAbsent) {
                seats_.erase(it);
            } else if (s.kind == Seat::kBusy && p == StnPresence::kPresent) {
                queue_unit(index);
            } else if (s.kind == Seat::kDone && p == StnPresence::kPresent) {
                s.looking = true;
                pool.read_now(index);
            }
            // A finished unit that another program holds keeps its tile.
        }
    }

    void mark_running() {
        for (const std::shared_ptr<StnSlot> &slot : pool.running()) {
            auto it = seats_.find(slot->index);
            if (it != seats_.end() && slot->work == StnWork::kUpdate) {
                it->second.kind = Seat::kRunning;
            }
        }
    }

    void abort_now() {
        for (const std::shared_ptr<StnSlot> &slot : pool.abandon()) {
            if (slot->work != StnWork::kUpdate) continue;
            auto it = seats_.find(slot->index);
            const std::uint64_t id = it != seats_.end() ? it->second.id : 0;
            const StnUnitResult r = stn_interrupted(slot->index, &slot->progress);
            record(r, id);
            Seat &s = seats_[slot->index];
            s.kind = Seat::kDone;
            s.last = r;
            s.tile = finished_tile(r);
        }
        ended = true;
    }

    bool updating() const {
        for (const std::shared_ptr<StnSlot> &slot : pool.running()) {
            if (slot->work == StnWork::kUpdate) return true;
        }
        return false;
    }

    void publish() {
        std::vector<ViewTile> tiles;
        std::map<unsigned, std::shared_ptr<StnSlot>> live;
        for (const std::shared_ptr<StnSlot> &slot : pool.running()) {
            if (slot->work == StnWork::kUpdate) live[slot->index] = slot;
        }
        for (const auto &entry : seats_) {
            ViewTile v;
            v.tile = entry.second.tile;
            v.tile.index = entry.first;
            auto it = live.find(entry.first);
            if (it != live.end()) v.slot = it->second;
            tiles.push_back(std::move(v));
        }
        std::lock_guard<std::mutex> lock(view_mu);
        view_tiles = std::move(tiles);
        view.totals = totals;
        if (tally_changed) view.tally = tally.figures();
        tally_changed = false;
        view.recent = recent;
        view.recorded = recorded;
        view.stopping = stopping;
        view.ended = ended;
        view.report_failed = report_failed.load();
    }
};

StnEngine::StnEngine(const StnConfig &config, StnReportStore *store, StnHost *host)
    : impl_(new Impl(config, store, host)) {}

StnEngine::~StnEngine() = default;

StnOpen StnEngine::open() {
    StnReportOpened opened;
    StnReportOpen r;
    {
        std::lock_guard<std::mutex> lock(impl_->report_mu);
        r = impl_->report.open(impl_->host->utc_now(), &opened, impl_->run_line("open"));
    }
    switch (r) {
    case StnReportOpen::kCannotRead:
        return StnOpen::kCannotRead;
    case StnReportOpen::kForeign:
        return StnOpen::kForeign;
    case StnReportOpen::kCannotRepair:
        return StnOpen::kCannotRepair;
    case StnReportOpen::kIdsExhausted:
        return StnOpen::kIdsExhausted;
    default:
        break;
    }
    // The counters cover this run: the whole report's would need memory
    // that grows with it.
    for (const std::string &l : opened.written) impl_->tally.feed(l);
    impl_->tally_changed = true;
    if (opened.torn_bytes != 0) {
        impl_->host->on_notice("report: a torn last line (" + std::to_string(opened.torn_bytes) +
                               " bytes) was set aside; it is not counted");
    }
    if (opened.recovered != 0) {
        impl_->host->on_notice("report: " + std::to_string(opened.recovered) +
                               " unit(s) cut short earlier recorded as interrupted");
    }
    {
        std::lock_guard<std::mutex> lock(impl_->view_mu);
        impl_->opened_at = Clock::now();
    }
    impl_->next_probe = Clock::now();
    impl_->publish();
    return StnOpen::kOk;
}

bool StnEngine::turn() {
    Impl &m = *impl_;
    if (m.ended) return false;
    const Clock::time_point now = Clock::now();
    if (!m.stopping && now < m.next_probe) m.waker->wait_until(m.next_probe);
    if (m.stopping) m.waker->wait_until(Clock::now() + std::chrono::milliseconds(m.config.poll_ms));

    if (m.abort_req.load()) {
        m.abort_now();
        m.record_run_stop();
        m.publish();
        m.host->on_turn();
        return false;
    }
    if (m.stop_req.load() && !m.stopping) {
        m.stopping = true;
        m.host->on_notice("station: stopping; running updates finish");
    }
    if (m.report_failed.load()) m.stop_for_the_report();
    m.collect();
    if (m.stopping) {
        for (unsigned index : m.pool.take_queued()) m.seats_.erase(index);
    } else if (Clock::now() >= m.next_probe) {
        m.probe();
        m.next_probe = Clock::now() + std::chrono::milliseconds(m.config.poll_ms);
    }
    m.pool.start_queued();
    m.mark_running();
    if (m.stopping && !m.updating()) {
        m.collect();
        m.ended = true;
        m.record_run_stop();
    }
    m.publish();
    m.host->on_turn();
    return !m.ended;
}

void StnEngine::request_stop() {
    impl_->stop_req.store(true);
    impl_->waker->wake();
}

void StnEngine::request_abort() {
    impl_->stop_req.store(true);
    impl_->abort_req.store(true);
    impl_->waker->wake();
}

void StnEngine::wake() { impl_->waker->wake(); }

StnSnapshot StnEngine::snapshot() const {
    const Impl &m = *impl_;
    std::lock_guard<std::mutex> lock(m.view_mu);
    StnSnapshot s = m.view;
    s.ms_running = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m.opened_at).count());
    for (const Impl::ViewTile &v : m.view_tiles) {
        StnTile t = v.tile;
        if (v.slot != nullptr) {
            const StnProgress &p = v.slot->progress;
            t.state = state_of_phase(p.phase.load());
            t.percent = std::max(0, std::min(100, p.percent.load()));
            if (p.identified.load(std::memory_order_acquire)) {
                t.identified = true;
                t.serial = p.serial.load();
                t.old_version = p.firm_version.load();
            }
        }
        s.tiles.push_back(std::move(t));
    }
    return s;
}
