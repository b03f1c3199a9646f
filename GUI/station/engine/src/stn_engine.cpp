// The station engine. See stn_engine.h for the threads: the engine thread
// owns everything in Impl but the requests and the view; workers hand
// their start lines to the journal; snapshot() reads only what publish()
// left under view_mu (and the running slots' atomics).
#include "stn_engine.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>

#include "cmc_tbl.h"
#include "stn_journal.h"
#include "stn_json.h"
#include "stn_pool.h"
#include "stn_prober.h"
#include "stn_sha256.h"
#include "stn_time.h"

namespace {

using Clock = std::chrono::steady_clock;

// How far the wall clock may part from the steady one between two turns
// before the report says that it jumped (a clock set by hand, a time
// server's step, a sleep the steady clock did not count).
constexpr std::int64_t kClockJumpMs = 5000;

// One device index the station knows of.
struct Seat {
    // kMesWait: not written, the MES did not answer; queued again at retry_at.
    enum Kind { kQueued, kRunning, kDone, kBusy, kMesWait } kind = kQueued;
    std::uint64_t id = 0;          // the unit's report id (queued, running, waiting)
    std::chrono::steady_clock::time_point retry_at;  // kMesWait
    StnUnitResult last;            // kDone: how its unit ended
    bool looking = false;          // kDone: a read of it is running
    StnTile tile;                  // kDone, kBusy, kQueued: what it shows
};

StnTile finished_tile(const StnUnitResult &r) {
    StnTile t;
    t.index = r.device.index;
    t.state = stn_state_of_outcome(r.outcome);
    t.identified = r.identified;
    t.serial = r.device.serial;
    t.old_version = r.device.firm_version;
    t.has_new = r.has_new;
    t.new_version = r.new_version;
    t.percent = r.outcome == StnOutcome::kUpdated ? 100 : 0;
    if (r.outcome == StnOutcome::kFailed || r.outcome == StnOutcome::kRejected) t.reason = r.what;
    return t;
}

std::string utc_now_text() {
    return stn_utc_text(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count());
}


}  // namespace

struct StnEngine::Impl {
    Impl(const StnConfig &c, std::shared_ptr<StnReportStore> s, StnHost *h)
        : config(c),
          host(h),
          store(std::move(s)),
          report(store.get()),
          waker(std::make_shared<StnWaker>()),
          prober(waker, deadline_ms()),
          pool(c.image, c.force, c.parallel, deadline_ms(), waker) {
        report.publish_to(c.flushed);
        if (c.check_in != nullptr && c.image.edit != nullptr && c.image.edit->data != nullptr) {
            image_sha256 = stn_sha256_hex(c.image.edit->data, c.image.edit->len);
        }
    }

    unsigned deadline_ms() const {
        return config.timeout_ms != 0 ? config.timeout_ms : config.timeout_s * 1000u;
    }

    // ---- Engine thread ----
    const StnConfig config;
    StnHost *host;
    const std::shared_ptr<StnReportStore> store;
    StnReport report;                  // open() only; then the journal's
    std::shared_ptr<StnJournal> journal;
    std::map<unsigned, Seat> seats_;
    std::uint64_t last_id = 0;
    // Unit lines handed to the journal, by tag, until they land.
    struct Unlanded {
        StnUnitResult result;
        std::string line;
    };
    std::map<std::uint64_t, Unlanded> unlanded;
    std::uint64_t next_tag = 0;
    StnTotals totals;
    StnTally tally;
    bool tally_changed = true;  // since the last publish
    std::vector<StnRecent> recent;
    std::uint64_t recorded = 0;
    bool stopping = false;
    bool held_for_report = false;  // the report fails: no new units
    StnHaltRule halt_rule{config.halt_after};
    bool halted = false;
    StnHalt halt;
    bool ended = false;
    bool finished = false;         // finish() ran
    std::uint64_t spilled = 0;
    std::string spill_path;
    std::string image_sha256;      // of the image's bytes, for check-ins
    StnMesState mes;               // waiting: counted at publish
    Clock::time_point opened_at = Clock::now();
    Clock::time_point next_probe = Clock::now();
    // The wall clock at the last turn, and the steady clock then.
    bool clock_known = false;
    std::int64_t clock_wall_ms = 0;
    Clock::time_point clock_steady;

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

    StnProber prober;
    StnPool pool;  // last: its workers end first

    // Hands r's unit line to the report's writer; it counts once it lands.
    void record(StnUnitResult r, std::uint64_t id) {
        r.id = id;
        const std::uint64_t tag = ++next_tag;
        Unlanded u{r, stn_json_report(r, host->utc_now(), config.image.sha256, config.who)};
        journal->append(u.line, tag);
        unlanded[tag] = std::move(u);
    }

    // Counts the unit lines that are on the disk now.
    void landed() {
        for (std::uint64_t tag : journal->take_written()) {
            auto it = unlanded.find(tag);
            if (it == unlanded.end()) continue;
            const StnUnitResult r = it->second.result;
            tally.feed(it->second.line);
            unlanded.erase(it);
            totals.count(r.outcome);
            tally_changed = true;
            ++recorded;
            StnRecent rec;
            rec.time = host->utc_now();
            rec.result = r;
            recent.insert(recent.begin(), rec);
            if (recent.size() > kStnRecentMax) recent.pop_back();
            host->on_result(r, true);
        }
    }

    // Says when the report stops and starts taking lines again.
    void watch_report() {
        const StnJournal::State st = journal->state();
        if (st.failing && !held_for_report) {
            held_for_report = true;
            host->on_notice("cannot write the report; its lines are kept and written again every " +
                            std::to_string((config.retry_ms + 999) / 1000) +
                            " s; no new devices are taken meanwhile");
        } else if (!st.failing && held_for_report) {
            held_for_report = false;
            host->on_notice("report: written again; every kept line is in it" +
                            std::string(stopping ? "" : "; new devices are taken again"));
        }
    }

    // The run's lines: at open, at the end, when the clock jumped.
    std::string run_line(const char *event, const std::string &time,
                         const std::string &was = std::string()) {
        return stn_json_run(event, time, config.who.station, host->utc_offset(), config.version,
                            config.who.order, was);
    }
    std::string run_line(const char *event) { return run_line(event, host->utc_now()); }

    // An idle station writes nothing for hours, so a jump of the wall
    // clock shows in no line's time: it is told by a run line of its own,
    // where readers end the run's running time. Each turn is measured
    // against the last, so a slow drift never counts.
    void watch_clock() {
        const std::string time = host->utc_now();
        std::int64_t wall = 0;
        if (!stn_utc_ms(time, &wall)) return;
        const Clock::time_point now = Clock::now();
        if (clock_known) {
            const std::int64_t steady =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - clock_steady).count();
            const std::int64_t parted = wall - clock_wall_ms - steady;
            if (parted > kClockJumpMs || parted < -kClockJumpMs) {
                // Where the clock would stand had it not jumped: lines
                // stamped since the jump are read against it.
                const std::string line =
                    run_line("clock", time, stn_utc_text(clock_wall_ms + steady));
                journal->append(line, 0);
                tally.feed(line);
                tally_changed = true;
                host->on_notice("station: the computer's clock jumped by " +
                                std::to_string(parted / 1000) + " s; the report notes it");
            }
        }
        clock_known = true;
        clock_wall_ms = wall;
        clock_steady = now;
    }

    // id: a waiting unit's, kept; 0: a new one.
    void queue_unit(unsigned index, std::uint64_t id_kept = 0) {
        Seat &s = seats_[index];
        s = Seat();
        s.kind = Seat::kQueued;
        s.id = id_kept != 0 ? id_kept : ++last_id;
        s.tile.index = index;
        s.tile.state = StnTileState::kWaiting;
        // The worker may outlive the engine (a forced stop): it holds the
        // journal, and reaches the host only through make_line, which the
        // journal runs only while it is open.
        std::shared_ptr<StnJournal> j = journal;
        StnHost *h = host;
        const std::string sha = config.image.sha256;
        const StnWho who = config.who;
        const std::uint64_t id = s.id;
        auto start = [j, h, sha, who, id](const StnDevice &d, bool unchecked) {
            return j->append_start(
                id, [&] { return stn_json_start(d, id, h->utc_now(), sha, who, unchecked); });
        };
        if (config.check_in == nullptr) {
            pool.queue(index, start);
            return;
        }
        // Asked on the worker, which may outlive the engine: it holds what it asks.
        // The device's serial and version, and the time, are the worker's to fill in.
        const StnCheckInRequest ask{/*serial*/ 0, index, who.station, who.operator_name,
                                    who.order, /*unit_version*/ 0, config.image.version,
                                    image_sha256, /*time*/ std::string()};
        std::shared_ptr<StnCheckIn> mes = config.check_in;
        const unsigned deadline = deadline_ms();
        pool.queue(
            index, start,
            [mes, ask, deadline](const StnDevice &d) {
                StnCheckInRequest r = ask;
                r.serial = d.serial;
                r.unit_version = d.firm_version;
                r.time = utc_now_text();
                return mes->check_in(r, deadline);
            },
            config.mes_down_allow);
    }

    // Whether the MES answered the check-in a worker made.
    void heard_mes(const StnSlot &slot) {
        if (slot.mes == StnSlot::kAnswered && mes.down) {
            mes.down = false;
            mes.since.clear();
            mes.why.clear();
            mes.waiting = waiting_units();
            host->on_mes(mes);
        } else if (slot.mes == StnSlot::kUnanswered) {
            mes.why = stn_printable_clip(slot.mes_why, 300);
            if (!mes.down) {
                mes.down = true;
                mes.since = host->utc_now();
                // This unit waits from now on (unless written anyway).
                mes.waiting = waiting_units() + (config.mes_down_allow ? 0 : 1);
                host->on_mes(mes);
            }
        }
    }

    std::uint64_t waiting_units() const {
        std::uint64_t n = 0;
        for (const auto &e : seats_) n += e.second.kind == Seat::kMesWait ? 1 : 0;
        return n;
    }

    // The MES did not answer: the unit waits, unwritten, off the workers.
    void wait_for_mes(const StnSlot &slot) {
        Seat &s = seats_[slot.index];
        s.kind = Seat::kMesWait;
        s.retry_at = Clock::now() + std::chrono::milliseconds(config.mes_retry_ms);
        s.tile = StnTile();
        s.tile.index = slot.index;
        s.tile.state = StnTileState::kMesWaiting;
        s.tile.identified = slot.result.identified;
        s.tile.serial = slot.result.device.serial;
        s.tile.old_version = slot.result.device.firm_version;
        s.tile.reason = stn_printable_clip(slot.mes_why, 300);
    }

    // Waiting units whose time came are asked again.
    void retry_waiting() {
        const Clock::time_point now = Clock::now();
        for (auto &e : seats_) {
            if (e.second.kind == Seat::kMesWait && e.second.retry_at <= now) {
                queue_unit(e.first, e.second.id);
            }
        }
    }

    // A stop ends waiting units, and units whose check-in is still with the
    // MES, with no line: nothing was written to them.
    void drop_unwritten() {
        for (auto it = seats_.begin(); it != seats_.end();) {
            if (it->second.kind == Seat::kMesWait) {
                it = seats_.erase(it);
            } else {
                ++it;
            }
        }
        for (const std::shared_ptr<StnSlot> &slot : pool.running()) {
            if (slot->work == StnWork::kUpdate && pool.let_go_asking(slot)) {
                seats_.erase(slot->index);
            }
        }
    }

    // The host may hold new units back too (a database that must be up).
    bool takes_units() const {
        return !stopping && !held_for_report && host->may_take_units();
    }

    // A unit's end against the line's run of failures.
    void judge(const StnUnitResult &r) {
        if (halted || !halt_rule.feed(r, &halt)) return;
        halted = true;
        stopping = true;
        journal->append(stn_json_halt(halt, host->utc_now(), config.who.order), 0);
        host->on_halt(halt);
    }

    // A finished unit's look came back: a new unit, the same, or gone.
    void looked(const StnSlot &slot) {
        auto it = seats_.find(slot.index);
        if (it == seats_.end() || it->second.kind != Seat::kDone) return;
        Seat &s = it->second;
        s.looking = false;
        const StnUnitResult &now = slot.result;
        if (!now.identified) {
            if (slot.absent) seats_.erase(it);
            return;  // present but silent: looked at again at the next probe
        }
        const StnUnitResult &was = s.last;
        bool changed = !was.identified || now.device.serial != was.device.serial;
        // A unit that ended at a version and no longer holds it was swapped
        // or written by someone else.
        const bool ended_at_version =
            was.outcome == StnOutcome::kUpdated || was.outcome == StnOutcome::kCurrent;
        if (ended_at_version && now.device.firm_version != was.new_version) changed = true;
        if (changed && takes_units()) queue_unit(slot.index);
    }

    void finished_unit(const StnSlot &slot, const StnUnitResult &r) {
        auto it = seats_.find(slot.index);
        record(r, it != seats_.end() ? it->second.id : 0);
        Seat &s = seats_[slot.index];
        s.kind = Seat::kDone;
        s.last = r;
        s.looking = false;
        s.tile = finished_tile(r);
    }

    void collect() {
        for (const std::shared_ptr<StnSlot> &slot : pool.take_finished()) {
            if (slot->work == StnWork::kRead) {
                looked(*slot);
                continue;
            }
            heard_mes(*slot);
            if (slot->result.detail == kStnDetailMesWaiting) {
                wait_for_mes(*slot);
            } else if (slot->result.detail == kStnDetailNotRecorded) {
                // Never begun: its start could not be recorded, so nothing
                // was written. Taken afresh once the report takes lines.
                seats_.erase(slot->index);
            } else {
                finished_unit(*slot, slot->result);
                judge(slot->result);
            }
        }
    }

    // Starts a round over the names not in use, or applies the one that ended.
    void probe() {
        std::vector<std::pair<unsigned, StnPresence>> round;
        if (prober.take(&round)) {
            for (const auto &seen : round) apply(seen.first, seen.second);
            next_probe = Clock::now() + std::chrono::milliseconds(config.poll_ms);
            return;
        }
        if (prober.running() || Clock::now() < next_probe) return;
        std::vector<unsigned> names;
        for (unsigned index = 0; index <= kCmcMaxDevIndex; ++index) {
            auto it = seats_.find(index);
            if (it != seats_.end() &&
                (it->second.kind == Seat::kQueued || it->second.kind == Seat::kRunning ||
                 it->second.looking)) {
                continue;
            }
            names.push_back(index);
        }
        prober.start(names);
    }

    void apply(unsigned index, StnPresence p) {
        auto it = seats_.find(index);
        if (it == seats_.end()) {
            if (p == StnPresence::kPresent) {
                queue_unit(index);
            } else if (p == StnPresence::kBusy) {
                Seat &s = seats_[index];
                s.kind = Seat::kBusy;
                s.tile.index = index;
                s.tile.state = StnTileState::kBusy;
            }
            return;
        }
        Seat &s = it->second;
        // Taken or looked at since the round began.
        if (s.kind == Seat::kQueued || s.kind == Seat::kRunning || s.looking) return;
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

    void mark_running() {
        for (const std::shared_ptr<StnSlot> &slot : pool.running()) {
            auto it = seats_.find(slot->index);
            if (it != seats_.end() && slot->work == StnWork::kUpdate) {
                it->second.kind = Seat::kRunning;
            }
        }
    }

    // Units not yet started are dropped: nothing was sent to them.
    void drop_queued() {
        for (unsigned index : pool.take_queued()) seats_.erase(index);
    }

    void abort_now() {
        // Units that ended keep their results; the rest are let go first,
        // so that none writes to its device after its line. No look that
        // ends queues a unit now.
        stopping = true;
        collect();
        drop_queued();
        drop_unwritten();
        const std::vector<std::shared_ptr<StnSlot>> let_go = pool.abandon();
        // A worker that ended since the collect was not let go: its result
        // is known too.
        collect();
        for (const std::shared_ptr<StnSlot> &slot : let_go) {
            if (slot->work != StnWork::kUpdate) continue;
            auto it = seats_.find(slot->index);
            if (it != seats_.end()) journal->give_up(it->second.id);
            finished_unit(*slot, stn_interrupted(slot->index, &slot->progress));
        }
        ended = true;
    }

    // The end: every line in the report, or kept in the spill.
    void finish() {
        if (finished || journal == nullptr) return;
        finished = true;
        // A jump since the last turn is noted before the run's last lines.
        watch_clock();
        // The run's end, after its last unit line (kept like any line).
        const std::string stop = run_line("stop");
        journal->append(stop, 0);
        tally.feed(stop);
        tally_changed = true;
        const std::vector<StnJournal::Unwritten> left = journal->close(config.end_wait_ms);
        landed();
        if (left.empty()) return;
        std::string bytes;
        for (const StnJournal::Unwritten &u : left) bytes += u.line + "\n";
        std::string where;
        const bool kept = store->spill(bytes, &where);
        for (const StnJournal::Unwritten &u : left) {
            auto it = unlanded.find(u.tag);
            if (it == unlanded.end()) continue;
            totals.count(it->second.result.outcome);
            host->on_result(it->second.result, false);
            unlanded.erase(it);
        }
        spilled = left.size();
        if (kept) {
            spill_path = where;
            host->on_notice("report: " + std::to_string(left.size()) +
                            " line(s) could not be written to the report; kept in " + where +
                            "; the next start with this report adds them to it");
        } else {
            host->on_notice("report: " + std::to_string(left.size()) +
                            " line(s) could be written neither to the report nor to a file of "
                            "their own; they follow:");
            for (const StnJournal::Unwritten &u : left) host->on_notice(u.line);
        }
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
        const StnJournal::State st =
            journal != nullptr ? journal->state() : StnJournal::State();
        std::lock_guard<std::mutex> lock(view_mu);
        view_tiles = std::move(tiles);
        view.totals = totals;
        if (tally_changed) view.tally = tally.figures();
        tally_changed = false;
        view.recent = recent;
        view.recorded = recorded;
        view.stopping = stopping || held_for_report;
        view.ended = ended;
        view.report_failed = st.failing;
        view.report_waiting = finished ? 0 : st.waiting;
        view.spilled = spilled;
        view.spill_path = spill_path;
        view.halted = halted;
        view.halt = halt;
        view.mes = mes;
        view.mes.waiting = waiting_units();
    }
};

StnEngine::StnEngine(const StnConfig &config, std::shared_ptr<StnReportStore> store,
                     StnHost *host)
    : impl_(new Impl(config, std::move(store), host)) {}

StnEngine::StnEngine(const StnConfig &config, StnReportStore *store, StnHost *host)
    : StnEngine(config, std::shared_ptr<StnReportStore>(store, [](StnReportStore *) {}), host) {}

StnEngine::~StnEngine() {
    // Units not yet collected are recovered at the next open; what was
    // handed over lands or is kept.
    impl_->finish();
}

StnOpen StnEngine::open() {
    Impl &m = *impl_;
    StnReportOpened opened;
    switch (m.report.open(m.host->utc_now(), &opened, m.run_line("open"))) {
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
    m.last_id = m.report.last_id();
    // The counters cover this run: the whole report's would need memory
    // that grows with it.
    for (const std::string &l : opened.written) m.tally.feed(l);
    m.tally_changed = true;
    if (opened.torn_bytes != 0) {
        m.host->on_notice("report: a torn last line (" + std::to_string(opened.torn_bytes) +
                          " bytes) was set aside; it is not counted");
    }
    if (opened.from_spill != 0) {
        m.host->on_notice("report: " + std::to_string(opened.from_spill) +
                          " line(s) that an earlier run could not write were added to it");
    }
    if (opened.recovered != 0) {
        m.host->on_notice("report: " + std::to_string(opened.recovered) +
                          " unit(s) cut short earlier recorded as interrupted");
    }
    m.journal = StnJournal::start(m.store, m.report, m.waker, m.config.retry_ms);
    {
        std::lock_guard<std::mutex> lock(m.view_mu);
        m.opened_at = Clock::now();
    }
    m.next_probe = Clock::now();
    m.watch_clock();
    m.publish();
    return StnOpen::kOk;
}

bool StnEngine::turn() {
    Impl &m = *impl_;
    if (m.ended || m.journal == nullptr) return false;
    const Clock::time_point now = Clock::now();
    // A running round wakes the engine when it ends.
    const bool round_due = m.takes_units() && !m.prober.running();
    const Clock::time_point due =
        round_due ? m.next_probe : now + std::chrono::milliseconds(m.config.poll_ms);
    if (now < due) m.waker->wait_until(due);

    // Before any line of this turn: a forced stop's lines come after it.
    m.watch_clock();
    if (m.abort_req.load()) {
        m.abort_now();
        m.finish();
        m.publish();
        m.host->on_turn();
        return false;
    }
    if (m.stop_req.load() && !m.stopping) {
        m.stopping = true;
        m.host->on_notice("station: stopping; running updates finish");
    }
    m.collect();
    m.landed();
    m.watch_report();
    m.prober.poll();
    if (m.takes_units()) {
        m.probe();
    } else {
        // Nothing was sent to queued units; names seen meanwhile are probed
        // again once units are taken.
        m.drop_queued();
        std::vector<std::pair<unsigned, StnPresence>> ignored;
        m.prober.take(&ignored);
    }
    if (m.stopping) {
        m.drop_unwritten();
    } else if (m.takes_units()) {
        m.retry_waiting();
    }
    m.pool.start_queued();
    m.mark_running();
    if (m.stopping && !m.updating()) {
        m.collect();
        m.ended = true;
        m.finish();
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
            t.state = stn_state_of_phase(p.phase.load());
            t.percent = stn_percent(p.percent.load());
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

std::string stn_mes_text(const StnMesState &m) {
    if (!m.down) return "MES: answering again";
    std::string s = "MES: not answering since " + m.since;
    if (!m.why.empty()) s += " (" + m.why + ")";
    if (m.waiting != 0) s += "; " + std::to_string(m.waiting) + " unit(s) wait unwritten";
    return s;
}
