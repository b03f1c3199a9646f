// The commands. See cli_run.h for the threads: the main thread here owns
// every Slot's bookkeeping; a worker writes its Slot's progress and result
// and then sets done (release); the main thread joins it after seeing done.
#include "cli_run.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "stn_json.h"
#include "cli_exit.h"
#include "cli_report_cmd.h"
#include "stn_text.h"
#include "cmc_tbl.h"

void CliIo::sleep_ms(unsigned ms) { Sleep(ms); }

namespace {

constexpr unsigned kTickMs = 50;

// One device being updated by its own worker.
struct Slot {
    unsigned index = 0;
    StnProgress progress;
    StnUnitResult result;         // the worker's, read after done
    std::atomic<bool> done{false};
    std::thread worker;
    int json_step = -1;           // main thread: last progress line, in tens of percent
};

// Starts queued devices while fewer than `cap` run; hands back those whose
// workers ended.
class Pool {
public:
    Pool(const StnImage &image, bool force, unsigned cap)
        : image_(image), force_(force), cap_(cap == 0 ? 256 : cap) {}
    ~Pool() {
        for (auto &s : running_) {
            if (s->worker.joinable()) s->worker.join();
        }
    }
    Pool(const Pool &) = delete;
    Pool &operator=(const Pool &) = delete;

    void queue(unsigned index) { queued_.push_back(index); }
    std::vector<unsigned> take_queued() {
        std::vector<unsigned> q;
        q.swap(queued_);
        return q;
    }
    bool idle() const { return queued_.empty() && running_.empty(); }
    const std::vector<std::unique_ptr<Slot>> &running() const { return running_; }

    void start_queued() {
        while (!queued_.empty() && running_.size() < cap_) {
            auto slot = std::make_unique<Slot>();
            slot->index = queued_.front();
            queued_.erase(queued_.begin());
            Slot *s = slot.get();
            s->worker = std::thread([this, s] {
                s->result = stn_update_unit(s->index, image_, force_, &s->progress);
                s->done.store(true, std::memory_order_release);
            });
            running_.push_back(std::move(slot));
        }
    }

    std::vector<std::unique_ptr<Slot>> take_finished() {
        std::vector<std::unique_ptr<Slot>> out;
        for (auto it = running_.begin(); it != running_.end();) {
            if ((*it)->done.load(std::memory_order_acquire)) {
                (*it)->worker.join();
                out.push_back(std::move(*it));
                it = running_.erase(it);
            } else {
                ++it;
            }
        }
        return out;
    }

    // Second Ctrl+C: the workers are left to the process's end. Their
    // slots stay alive (they may still write them); the caller reads only
    // what was published (progress).
    std::vector<Slot *> abandon() {
        static std::vector<std::unique_ptr<Slot>> *kept = new std::vector<std::unique_ptr<Slot>>;
        std::vector<Slot *> out;
        for (auto &s : running_) {
            s->worker.detach();
            out.push_back(s.get());
            kept->push_back(std::move(s));
        }
        running_.clear();
        return out;
    }

private:
    const StnImage &image_;
    const bool force_;
    const std::size_t cap_;
    std::vector<unsigned> queued_;
    std::vector<std::unique_ptr<Slot>> running_;
};

// A unit that was stopped before its end, as far as it is known.
StnUnitResult interrupted(unsigned index, const StnProgress *p) {
    StnUnitResult r;
    r.device.index = index;
    r.outcome = StnOutcome::kInterrupted;
    if (p != nullptr && p->identified.load(std::memory_order_acquire)) {
        r.identified = true;
        r.device.serial = p->serial.load();
        r.device.firm_version = p->firm_version.load();
        r.device.mcu_version = p->mcu_version.load();
    }
    return r;
}

const char *phase_name(int phase) {
    switch (phase) {
    case kStnPhaseChecking:
        return "checking";
    case kStnPhaseWriting:
        return "writing";
    case kStnPhaseVerifying:
        return "verifying";
    case kStnPhaseDone:
        return "done";
    default:
        return "waiting";
    }
}

std::string live_line(const Slot &s) {
    const int pct = std::max(0, std::min(100, s.progress.percent.load()));
    std::string serial = s.progress.identified.load(std::memory_order_acquire)
                             ? std::to_string(s.progress.serial.load())
                             : std::string("?");
    char buf[160];
    const int filled = pct / 5;
    std::snprintf(buf, sizeof(buf), "device %-3u serial %-10s %-9s [%-20s] %3d%%", s.index,
                  serial.c_str(), phase_name(s.progress.phase.load()),
                  std::string(static_cast<std::size_t>(filled), '#').c_str(), pct);
    return buf;
}

// What the user learns of one running device: JSON progress at every tenth.
void progress_lines(Slot &s, bool json, CliIo &io) {
    if (!json) return;
    const int phase = s.progress.phase.load();
    if (phase != kStnPhaseWriting && phase != kStnPhaseVerifying) return;
    const int step = s.progress.percent.load() / 10;
    if (step <= s.json_step) return;
    s.json_step = step;
    StnJson j("progress");
    j.num("index", s.index);
    if (s.progress.identified.load(std::memory_order_acquire)) j.num("serial", s.progress.serial.load());
    io.out(j.num("percent", step * 10).line());
}

void report_result(const StnUnitResult &r, bool json, CliIo &io) {
    if (json) {
        io.out(stn_json_result(r));
        if (r.outcome == StnOutcome::kFailed) io.err(stn_result_text(r));
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

void draw_live(const Pool &pool, const std::string &footer, CliIo &io) {
    if (!io.live_ok()) return;
    std::vector<std::string> lines;
    for (const auto &s : pool.running()) lines.push_back(live_line(*s));
    if (!footer.empty()) lines.push_back(footer);
    io.live(lines);
}

int run_list(const CliArgs &args, CliIo &io) {
    unsigned found = 0;
    unsigned unread = 0;
    for (unsigned index = 0; index <= kCmcMaxDevIndex; ++index) {
        if (!stn_device_present(index)) continue;
        ++found;
        StnDevice d;
        std::string why;
        if (!stn_read_device(index, &d, &why)) {
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

int run_update(const CliArgs &args, const CliProgram &prog, CliIo &io) {
    if (!prog.image_ok) {
        return fail_run("the embedded image is unusable", kCliExitNoImage, args.json, io);
    }
    std::vector<unsigned> chosen;
    if (!args.devices.empty()) {
        for (unsigned index : args.devices) {
            if (!stn_device_present(index)) {
                return fail_run("device " + std::to_string(index) + " is not there",
                                kCliExitNoDevice, args.json, io);
            }
        }
        chosen = args.devices;
    } else {
        for (unsigned index = 0; index <= kCmcMaxDevIndex; ++index) {
            if (!stn_device_present(index)) continue;
            chosen.push_back(index);
            if (!args.all) break;
        }
        if (chosen.empty()) return fail_run("no device found", kCliExitNoDevice, args.json, io);
    }

    Pool pool(prog.image, args.force, args.parallel);
    for (unsigned index : chosen) pool.queue(index);
    StnTotals totals;
    bool stopped = false;
    while (!pool.idle()) {
        if (io.abort_requested()) {
            for (Slot *s : pool.abandon()) {
                const StnUnitResult r = interrupted(s->index, &s->progress);
                report_result(r, args.json, io);
                totals.count(r.outcome);
            }
            stopped = true;
        }
        if (!stopped && io.stop_requested()) stopped = true;
        if (stopped) {
            for (unsigned index : pool.take_queued()) {
                const StnUnitResult r = interrupted(index, nullptr);
                report_result(r, args.json, io);
                totals.count(r.outcome);
            }
        }
        pool.start_queued();
        for (auto &s : pool.take_finished()) {
            report_result(s->result, args.json, io);
            totals.count(s->result.outcome);
        }
        for (auto &s : pool.running()) progress_lines(*s, args.json, io);
        draw_live(pool, "", io);
        if (!pool.idle()) io.sleep_ms(kTickMs);
    }
    draw_live(pool, "", io);
    const int code = stopped ? kCliExitInterrupted : cli_exit_code(totals);
    finish_summary(totals, code, args.json, io);
    return code;
}

int run_station(const CliArgs &args, const CliProgram &prog, CliIo &io) {
    if (!prog.image_ok) {
        return fail_run("the embedded image is unusable", kCliExitNoImage, args.json, io);
    }
    StnReportStore *store = io.open_report(args.report);
    if (store == nullptr) {
        return fail_run("cannot open the report " + args.report, kCliExitUsage, args.json, io);
    }
    StnReport report(store);
    std::uint64_t torn = 0;
    if (!report.open(&torn)) {
        return fail_run("cannot read or repair the report " + args.report, kCliExitUsage,
                        args.json, io);
    }
    if (torn != 0) {
        io.err("report: a torn last line (" + std::to_string(torn) +
               " bytes) was set aside; it is not counted");
    }
    io.err("station: waiting for devices; Ctrl+C stops taking new ones");

    enum State : unsigned char { kAbsent, kBusy, kDone };
    State state[kCmcMaxDevIndex + 1] = {};
    Pool pool(prog.image, args.force, args.parallel);
    StnTotals totals;
    bool stopping = false;
    bool report_ok = true;
    unsigned since_poll = prog.poll_ms;

    auto record = [&](const StnUnitResult &r) {
        report_result(r, args.json, io);
        if (!report_ok) return;
        if (report.write_line(stn_json_report(r, io.utc_now(), prog.image.sha256))) {
            totals.count(r.outcome);  // only once it is on the disk
        } else {
            report_ok = false;
            stopping = true;
            io.err("qvm_cli: cannot write the report " + args.report +
                   "; no new devices are taken");
        }
    };

    draw_live(pool, stn_totals_text(totals), io);
    for (;;) {
        if (io.abort_requested()) {
            for (Slot *s : pool.abandon()) record(interrupted(s->index, &s->progress));
            break;
        }
        if (io.stop_requested() && !stopping) {
            stopping = true;
            io.err("station: stopping; running updates finish");
        }
        if (stopping) {
            for (unsigned index : pool.take_queued()) state[index] = kAbsent;
            if (pool.idle()) break;
        }
        if (!stopping && since_poll >= prog.poll_ms) {
            since_poll = 0;
            for (unsigned index = 0; index <= kCmcMaxDevIndex; ++index) {
                if (state[index] == kBusy) continue;
                const bool present = stn_device_present(index);
                if (state[index] == kDone && !present) state[index] = kAbsent;
                if (state[index] == kAbsent && present) {
                    state[index] = kBusy;
                    pool.queue(index);
                }
            }
        }
        pool.start_queued();
        for (auto &s : pool.take_finished()) {
            record(s->result);
            state[s->index] = kDone;
        }
        for (auto &s : pool.running()) progress_lines(*s, args.json, io);
        draw_live(pool, stn_totals_text(totals), io);
        io.sleep_ms(kTickMs);
        since_poll += kTickMs;
    }
    const int code = report_ok ? kCliExitInterrupted : kCliExitFailed;
    finish_summary(totals, code, args.json, io);
    return code;
}

}  // namespace

int cli_run(const CliArgs &args, const CliProgram &prog, CliIo &io) {
    switch (args.command) {
    case CliCommand::kList:
        return run_list(args, io);
    case CliCommand::kInfo:
        return run_info(args, prog, io);
    case CliCommand::kUpdate:
        return run_update(args, prog, io);
    case CliCommand::kStation:
        return run_station(args, prog, io);
    case CliCommand::kReport:
        return cli_report_command(args, io);
    case CliCommand::kVersion:
        io.out(std::string("qvm_cli ") + prog.version_text);
        return kCliExitOk;
    default:
        io.out(cli_usage());
        return kCliExitOk;
    }
}
