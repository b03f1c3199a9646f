// The commands. See cli_run.h for the threads: update drives a StnPool,
// station a StnEngine, both from the main thread, which sleeps on their
// waker between events.
#include "cli_run.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>

#include "cli_db.h"
#include "cli_exit.h"
#include "cli_report_cmd.h"
#include "cli_report_db.h"
#include "cmc_tbl.h"
#include "stn_engine.h"
#include "stn_json.h"
#include "stn_mes.h"
#include "stn_pool.h"
#include "stn_prober.h"
#include "stn_text.h"
#include "stn_watch.h"

namespace {

using Clock = std::chrono::steady_clock;

// How often a live view or JSON progress is refreshed while units run.
constexpr std::chrono::milliseconds kViewRefresh{100};

unsigned timeout_ms(const CliArgs &args, const CliProgram &prog) {
    return prog.timeout_ms != 0 ? prog.timeout_ms : args.timeout_s * 1000u;
}

// A running unit as the console shows it: the station's tile, or (update)
// one made from its worker's progress.
StnTile running_of(unsigned index, const StnProgress &p) {
    StnTile t;
    t.index = index;
    t.state = stn_state_of_phase(p.phase.load());
    t.percent = p.percent.load();
    t.identified = p.identified.load(std::memory_order_acquire);
    if (t.identified) t.serial = p.serial.load();
    return t;
}

std::string live_line(const StnTile &r) {
    const int pct = stn_percent(r.percent);
    const std::string serial = r.identified ? std::to_string(r.serial) : std::string("?");
    char buf[160];
    const int filled = pct / 5;
    std::snprintf(buf, sizeof(buf), "device %-3u serial %-10s %-9s [%-20s] %3d%%", r.index,
                  serial.c_str(), stn_state_word(r.state),
                  std::string(static_cast<std::size_t>(filled), '#').c_str(), pct);
    return buf;
}

// JSON progress at every tenth of each running device's transfer.
class ProgressLines {
public:
    void show(const StnTile &r, bool json, CliIo &io) {
        if (!json) return;
        if (r.state != StnTileState::kWriting && r.state != StnTileState::kVerifying) return;
        const int step = r.percent / 10;
        auto it = last_.find(r.index);
        if (it != last_.end() && step <= it->second) return;
        last_[r.index] = step;
        StnJson j("progress");
        j.num("index", r.index);
        if (r.identified) j.num("serial", r.serial);
        io.out(j.num("percent", step * 10).line());
    }
    void forget(unsigned index) { last_.erase(index); }

private:
    std::map<unsigned, int> last_;
};

// Who, for which order, on which station: as given, the computer's name
// for the station by default.
StnWho who_of(const CliArgs &args, const CliProgram &prog) {
    StnWho who = args.who;
    if (who.station.empty()) who.station = prog.station_name;
    return who;
}

void report_result(const StnUnitResult &r, const StnWho &who, bool json, CliIo &io) {
    if (json) {
        io.out(stn_json_result(r, who));
        if (r.outcome == StnOutcome::kFailed || r.outcome == StnOutcome::kRejected) {
            io.err(stn_result_text(r));
        }
    } else {
        io.out(stn_result_text(r));
    }
}

int fail_run(const std::string &message, int code, bool json, CliIo &io) {
    if (json) io.out(cli_json_error(message, code));
    io.err("qvm_cli: " + message);
    return code;
}

void finish_summary(const StnTotals &t, int code, bool json, CliIo &io) {
    if (json) {
        io.out(cli_json_summary(t, code));
        io.err(stn_totals_text(t));
    } else {
        io.out(stn_totals_text(t));
    }
}


int run_list(const CliArgs &args, const CliProgram &prog, CliIo &io) {
    std::shared_ptr<StnDeadlines> deadlines = StnDeadlines::start(timeout_ms(args, prog));
    unsigned found = 0;
    unsigned unread = 0;
    for (unsigned index = 0; index <= kCmcMaxDevIndex; ++index) {
        const StnPresence presence = stn_device_probe(index);
        if (presence == StnPresence::kAbsent) continue;
        ++found;
        StnDevice d;
        std::string why = "busy: another program holds it";
        std::shared_ptr<StnWatch> watch = deadlines->watch();
        if (presence == StnPresence::kBusy || !stn_read_device(index, &d, &why, watch.get())) {
            const std::string msg = "device " + std::to_string(index) + ": " + why;
            if (args.json) {
                io.out(StnJson("error").num("index", index).str("message", msg).line());
            }
            io.err(msg);
            ++unread;
            continue;
        }
        if (args.json) {
            io.out(stn_json_device(d));
        } else {
            char mcu[16];
            std::snprintf(mcu, sizeof(mcu), "0x%04X", d.mcu_version);
            io.out("device " + std::to_string(index) + "  serial " + std::to_string(d.serial) +
                   "  firmware " + stn_version_text(d.firm_version) + "  MCU " + mcu);
        }
    }
    if (found == 0) return fail_run("no device found", kCliExitNoDevice, args.json, io);
    return unread == 0 ? kCliExitOk : kCliExitFailed;
}

int run_info(const CliArgs &args, const CliProgram &prog, CliIo &io) {
    if (!prog.image_ok) {
        return fail_run("the embedded image is unusable", kCliExitNoImage, args.json, io);
    }
    const std::string image = stn_version_text(prog.image.version);
    if (args.json) {
        io.out(StnJson("info")
                   .str("program_version", prog.version_text)
                   .str("image_version", image)
                   .str("image_window", "0x4000..0x7FFF")
                   .str("image_sha256", prog.image.sha256)
                   .line());
    } else {
        io.out(std::string("qvm_cli ") + prog.version_text);
        io.out("image version " + image);
        io.out("image window 0x4000..0x7FFF SHA-256 " + prog.image.sha256);
    }
    return kCliExitOk;
}

void draw_live(const std::vector<std::shared_ptr<StnSlot>> &running, const std::string &footer,
               CliIo &io) {
    if (!io.live_ok()) return;
    std::vector<std::string> lines;
    for (const auto &s : running) {
        if (s->work == StnWork::kUpdate) {
            lines.push_back(live_line(running_of(s->index, s->progress)));
        }
    }
    if (!footer.empty()) lines.push_back(footer);
    io.live(lines);
}

// Whether the main loop must look again soon, not only on events.
bool wants_refresh(const CliArgs &args, CliIo &io) { return args.json || io.live_ok(); }

// The presence of the names update may take (--device, or all), probed off
// this thread so that a name whose open stalls in its driver holds up
// neither the others nor a forced stop (that name is then not present).
// False when a forced stop came first.
bool scan_names(const CliArgs &args, const CliProgram &prog, const std::shared_ptr<StnWaker> &waker,
                CliIo &io, std::vector<std::pair<unsigned, StnPresence>> *seen) {
    std::vector<unsigned> names = args.devices;
    if (names.empty()) {
        for (unsigned index = 0; index <= kCmcMaxDevIndex; ++index) names.push_back(index);
    }
    StnProber prober(waker, timeout_ms(args, prog));
    prober.start(names);
    std::vector<std::pair<unsigned, StnPresence>> got;
    while (!prober.take(&got)) {
        if (io.abort_requested()) return false;
        prober.poll();
        waker->wait_until(Clock::now() + std::chrono::milliseconds(50));
    }
    // A stalled name has no entry: it counts as not there.
    seen->clear();
    for (unsigned index : names) {
        StnPresence p = StnPresence::kAbsent;
        for (const auto &g : got) {
            if (g.first == index) p = g.second;
        }
        seen->emplace_back(index, p);
    }
    return true;
}

// The devices update writes: each --device, which must all be there and
// free, or the first present (every one with --all). False: why not.
bool choose_devices(const CliArgs &args, const std::vector<std::pair<unsigned, StnPresence>> &seen,
                    std::vector<unsigned> *chosen, std::string *why) {
    if (!args.devices.empty()) {
        for (const auto &s : seen) {
            if (s.second != StnPresence::kPresent) {
                *why = "device " + std::to_string(s.first) +
                       (s.second == StnPresence::kBusy ? " is busy: another program holds it"
                                                       : " is not there");
                return false;
            }
        }
        *chosen = args.devices;
        return true;
    }
    int busy = -1;  // the first device found busy
    for (const auto &s : seen) {
        if (s.second == StnPresence::kBusy && busy < 0) busy = static_cast<int>(s.first);
        if (s.second != StnPresence::kPresent) continue;
        chosen->push_back(s.first);
        if (!args.all) break;
    }
    if (!chosen->empty()) return true;
    *why = busy < 0 ? std::string("no device found")
                    : "no device found free (device " + std::to_string(busy) +
                          " is busy: another program holds it)";
    return false;
}

// A forced stop: the units that ended keep their results, the running
// ones are let go and recorded interrupted.
void cut_short(StnPool &pool, const StnWho &who, const CliArgs &args, CliIo &io,
               StnTotals *totals) {
    for (const auto &s : pool.take_finished()) {
        report_result(s->result, who, args.json, io);
        totals->count(s->result.outcome);
    }
    for (const auto &s : pool.abandon()) {
        const StnUnitResult r = stn_interrupted(s->index, &s->progress);
        report_result(r, who, args.json, io);
        totals->count(r.outcome);
    }
}

int run_update(const CliArgs &args, const CliProgram &prog, CliIo &io) {
    if (!prog.image_ok) {
        return fail_run("the embedded image is unusable", kCliExitNoImage, args.json, io);
    }
    for (const std::string &n : io.waiting_spills()) io.err(n);
    const StnWho who = who_of(args, prog);
    auto waker = std::make_shared<StnWaker>();
    io.set_waker([waker] { waker->wake(); });
    std::vector<std::pair<unsigned, StnPresence>> seen;
    if (!scan_names(args, prog, waker, io, &seen)) {
        io.set_waker(nullptr);
        StnTotals none;
        finish_summary(none, kCliExitInterrupted, args.json, io);
        return kCliExitInterrupted;
    }
    std::vector<unsigned> chosen;
    std::string why;
    if (!choose_devices(args, seen, &chosen, &why)) {
        io.set_waker(nullptr);
        return fail_run(why, kCliExitNoDevice, args.json, io);
    }

    StnPool pool(prog.image, args.force, args.parallel, timeout_ms(args, prog), waker);
    for (unsigned index : chosen) pool.queue(index);
    StnTotals totals;
    ProgressLines progress;
    bool stopped = false;
    while (!pool.idle()) {
        if (io.abort_requested()) {
            cut_short(pool, who, args, io, &totals);
            stopped = true;
        }
        if (!stopped && io.stop_requested()) stopped = true;
        if (stopped) {
            for (unsigned index : pool.take_queued()) {
                const StnUnitResult r = stn_interrupted(index, nullptr);
                report_result(r, who, args.json, io);
                totals.count(r.outcome);
            }
        }
        pool.start_queued();
        for (const auto &s : pool.take_finished()) {
            report_result(s->result, who, args.json, io);
            totals.count(s->result.outcome);
            progress.forget(s->index);
        }
        const auto running = pool.running();
        for (const auto &s : running) {
            progress.show(running_of(s->index, s->progress), args.json, io);
        }
        draw_live(running, "", io);
        io.tick();
        if (pool.idle()) break;
        const auto now = Clock::now();
        waker->wait_until(wants_refresh(args, io) ? now + kViewRefresh : now + std::chrono::hours(1));
    }
    io.set_waker(nullptr);
    draw_live({}, "", io);
    const int code = stopped ? kCliExitInterrupted : cli_exit_code(totals);
    finish_summary(totals, code, args.json, io);
    return code;
}

// The station's shell: results, notices and a halt to the console.
class StationHost : public StnHost {
public:
    StationHost(const CliArgs &args, const StnWho &who, CliIo &io)
        : args_(args), who_(who), io_(io) {}
    std::string utc_now() override { return io_.utc_now(); }
    std::string utc_offset() override { return io_.utc_offset(); }
    void on_result(const StnUnitResult &r, bool recorded) override {
        (void)recorded;
        report_result(r, who_, args_.json, io_);
        progress.forget(r.device.index);
    }
    void on_notice(const std::string &text) override { io_.err(text); }
    // As a result is shown: the event on standard output with --json (the
    // report's halt line without its chain), the words for people.
    void on_halt(const StnHalt &h) override {
        const std::string words = stn_halt_text(h, "start the station again");
        if (args_.json) {
            io_.out(stn_json_halt(h, io_.utc_now(), who_.order));
            io_.err(words);
        } else {
            io_.out(words);
        }
    }
    // The MES stops or starts answering: the words for people, and with
    // --json the event on standard output.
    void on_mes(const StnMesState &m) override {
        io_.err(stn_mes_text(m));
        if (!args_.json) return;
        StnJson j("mes");
        j.str("time", io_.utc_now()).str("event", m.down ? "down" : "up");
        if (m.down) {
            j.str("since", m.since).num("waiting", static_cast<std::int64_t>(m.waiting));
            j.str("why", m.why);
        }
        io_.out(j.line());
    }
    void on_turn() override {
        delivery.wake();
        mes.wake();
    }
    bool may_take_units() override { return delivery.may_take_units(); }
    ProgressLines progress;
    // What the engine has flushed of the report: both deliveries read no further.
    std::shared_ptr<StnFlushed> flushed = std::make_shared<StnFlushed>();
    CliDelivery delivery{"database", flushed};  // to the factory's database, when there is one
    CliDelivery mes{"mes", flushed};            // the MES's check-outs, when there is one

private:
    const CliArgs &args_;
    const StnWho who_;
    CliIo &io_;
};

// After a turn: the units being written, the database, the live lines.
void show_turn(const StnSnapshot &snap, StationHost *host, const CliArgs &args, CliIo &io) {
    std::vector<std::string> lines;
    for (const StnTile &t : snap.tiles) {
        if (t.state == StnTileState::kWriting || t.state == StnTileState::kVerifying) {
            host->progress.show(t, args.json, io);
            lines.push_back(live_line(t));
        }
    }
    host->delivery.show(args, io);
    host->mes.show(args, io);
    if (io.live_ok()) {
        if (snap.mes.down) lines.push_back(stn_mes_text(snap.mes));
        lines.push_back(stn_totals_text(snap.totals));
        io.live(lines);
    }
}

// The factory's MES, when one is configured (*mes; its URL empty when
// none): its check-in client in config. false: it cannot be used; *why.
bool take_mes(const CliArgs &args, CliIo &io, StnConfig *config, StnMesConfig *mes,
              std::string *why) {
    *mes = args.mes;
    if (!args.mes_given) mes->url = io.default_mes();
    if (mes->url.empty()) return true;
    std::unique_ptr<StnHttp> http;
    if (stn_mes_config_ok(*mes, why)) http = io.open_http(mes->url, why);
    if (http == nullptr) {
        *why = "mes: " + stn_mes_redact_in(*why, *mes) +
               (args.mes_given ? "" : " (the registry value Mes)");
        return false;
    }
    config->check_in = std::make_shared<StnMesClient>(std::move(http), *mes);
    config->mes_down_allow = args.mes_down_allow;
    io.err("mes: checking units in at " + stn_mes_shown(*mes) +
           (args.mes_down_allow ? "; written anyway while it does not answer" : ""));
    return true;
}

int run_station(const CliArgs &args, const CliProgram &prog, CliIo &io) {
    if (!prog.image_ok) {
        return fail_run("the embedded image is unusable", kCliExitNoImage, args.json, io);
    }
    std::shared_ptr<StnReportStore> store = io.open_report(args.report);
    if (store == nullptr) {
        return fail_run("cannot open the report " + args.report, kCliExitUsage, args.json, io);
    }
    StnConfig config;
    config.image = prog.image;
    config.parallel = args.parallel;
    config.force = args.force;
    config.poll_ms = prog.poll_ms;
    config.timeout_s = args.timeout_s;
    config.timeout_ms = prog.timeout_ms;
    config.halt_after = args.halt_after;
    config.who = who_of(args, prog);
    config.version = prog.version_text;
    StnMesConfig mes;
    std::string why;
    if (!take_mes(args, io, &config, &mes, &why)) {
        return fail_run(why, kCliExitUsage, args.json, io);
    }
    StationHost host(args, config.who, io);
    config.flushed = host.flushed;
    StnEngine engine(config, store, &host);
    const StnOpen opened = engine.open();
    if (opened != StnOpen::kOk) {
        return fail_run(args.report + " " + stn_open_text(opened), kCliExitUsage, args.json, io);
    }
    // Its own spill was added by the open; others wait for their reports.
    for (const std::string &n : io.waiting_spills()) io.err(n);
    if (!host.delivery.start(args, io)) return kCliExitUsage;
    if (!mes.url.empty()) host.mes.start_mes(args, mes, io);
    io.err("station: waiting for devices; Ctrl+C stops taking new ones");
    io.set_waker([&engine] { engine.wake(); });

    bool stop_sent = false;
    for (;;) {
        if (io.abort_requested()) engine.request_abort();
        if (io.stop_requested() && !stop_sent) {
            stop_sent = true;
            engine.request_stop();
        }
        if (!engine.turn()) break;
        show_turn(engine.snapshot(), &host, args, io);
        io.tick();
    }
    io.set_waker(nullptr);
    cli_finish_deliveries({&host.delivery, &host.mes}, io.abort_requested(), args, io);
    const StnSnapshot snap = engine.snapshot();
    const int code = cli_station_exit_code(snap.spilled != 0, snap.halted);
    finish_summary(snap.totals, code, args.json, io);
    return code;
}

}  // namespace

int cli_run(const CliArgs &args, const CliProgram &prog, CliIo &io) {
    switch (args.command) {
    case CliCommand::kList:
        return run_list(args, prog, io);
    case CliCommand::kInfo:
        return run_info(args, prog, io);
    case CliCommand::kUpdate:
        return run_update(args, prog, io);
    case CliCommand::kStation:
        return run_station(args, prog, io);
    case CliCommand::kReport:
        if (args.database_given && !args.verify) return cli_report_database(args, io);
        // With --html, the page shows the chains (and --verify gives its code).
        if (args.verify && args.html.empty()) {
            // The chain first; with a database, also its copy there.
            const int chain = cli_verify_command(args, io);
            if (chain == kCliExitUsage || !args.database_given) return chain;
            const int copy = cli_verify_db_command(args, io);
            return chain != kCliExitOk ? chain : copy;
        }
        return cli_report_command(args, io);
    case CliCommand::kShip:
        return cli_ship_command(args, io);
    case CliCommand::kVersion:
        io.out(args.json ? StnJson("version").str("program_version", prog.version_text).line()
                         : std::string("qvm_cli ") + prog.version_text);
        return kCliExitOk;
    default:
        io.out(args.json ? StnJson("help").str("text", cli_usage()).line() : cli_usage());
        return kCliExitOk;
    }
}
