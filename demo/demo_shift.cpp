#include "demo_shift.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <queue>
#include <random>

#include "stn_halt.h"
#include "stn_text.h"
#include "stn_time.h"

DemoFileStore::DemoFileStore(const std::string &path) : file_(std::fopen(path.c_str(), "a+b")) {}

DemoFileStore::~DemoFileStore() {
    if (file_ != nullptr) std::fclose(file_);
}

bool DemoFileStore::read(std::uint64_t offset, char *buf, std::size_t n, std::size_t *got) {
    *got = 0;
    if (file_ == nullptr || std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return false;
    *got = std::fread(buf, 1, n, file_);
    return !std::ferror(file_);
}

bool DemoFileStore::append(const std::string &bytes) {
    return file_ != nullptr && std::fseek(file_, 0, SEEK_END) == 0 &&
           std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
}

bool DemoFileStore::flush() { return file_ != nullptr && std::fflush(file_) == 0; }

namespace {

constexpr std::int64_t kSecond = 1000, kMinute = 60 * kSecond, kHour = 60 * kMinute;
constexpr std::uint32_t kImageVersion = 362;  // 3.62
constexpr std::uint32_t kNoFirm = 0xFFFFFFFFu;
constexpr unsigned kSlots = 4;      // device indexes of a station's fixture
constexpr unsigned kHaltAfter = 5;  // the station's --halt-after
// The embedded image's SHA-256, as the stations record it.
const char kImageSha256[] = "6f1c0b8e2a9d47c35e80f4a1d2b7c6e9a3f5d8c1b4e7a0d3f6c9b2e5a8d1c4f7";
const char kProgramVersion[] = "3.50";
const char kUtcOffset[] = "+01:00";

// 2026-12-08 local (+01:00) at hh:mm, as UTC ms.
std::int64_t local(int hh, int mm) {
    StnUtcTime t;
    t.year = 2026;
    t.month = 12;
    t.day = 8;
    return stn_utc_epoch_ms(t) + (hh - 1) * kHour + mm * kMinute;
}

std::string utc_text(std::int64_t ms) { return stn_utc_text(ms); }

// std::mt19937's output is the same everywhere; the distributions are not.
class Dice {
public:
    explicit Dice(std::uint32_t seed) : g_(seed) {}
    std::int64_t between(std::int64_t lo, std::int64_t hi) {
        return lo + static_cast<std::int64_t>(g_() % static_cast<std::uint32_t>(hi - lo + 1));
    }
    bool per_mille(unsigned n) { return g_() % 1000 < n; }

private:
    std::mt19937 g_;
};

struct Run {
    std::string order;
    std::int64_t from, to;  // the operator opens and stops the station
};

struct Plan {
    std::string station, operator_name;
    std::uint32_t seed;
    std::int32_t serial_block;  // this station's serials: order's base + block
    std::vector<Run> runs;
    // A fixture slot that stops answering from then on, until the line
    // stops itself and it is repaired.
    std::int64_t dead_slot_at = -1;
    unsigned dead_slot = 0;
    // The station's power is cut (the first moment after this when exactly
    // one unit is being written); it is started again minutes later.
    std::int64_t power_cut_at = -1;
};

std::int32_t serial_base(const std::string &order) {
    if (order == "WO-24817") return 84610000;
    if (order == "WO-24818") return 84620000;
    return 84630000;
}

// A unit waiting at the station's rework place to be tried again.
struct Rework {
    std::string order;
    std::int32_t serial;
    std::uint32_t firm;
    std::int64_t ready;
};

class Station {
public:
    Station(const Plan &plan, DemoFileStore *store)
        : plan_(plan), store_(store), dice_(plan.seed), rule_(kHaltAfter) {}

    bool write_shift() {
        for (const Run &run : plan_.runs) {
            std::int64_t t = run.from;
            // A run ends early when the line stops itself or the power
            // goes; the station is started again within the run's time.
            while (t < run.to) {
                const std::int64_t again = one_run(run, t);
                if (!ok_) return false;
                if (again < 0) break;
                t = again;
            }
        }
        return ok_;
    }

private:
    enum Kind { kRead, kEnd };
    struct Event {
        std::int64_t at;
        std::uint64_t seq;
        Kind kind;
        unsigned slot;
        bool operator>(const Event &o) const { return at != o.at ? at > o.at : seq > o.seq; }
    };
    struct Seat {
        bool busy = false;
        StnUnitResult r;
    };
    using Queue = std::priority_queue<Event, std::vector<Event>, std::greater<Event>>;

    void write(const std::string &line) {
        if (ok_ && !report_->write_line(line)) ok_ = false;
    }
    std::string run_line(const char *event, std::int64_t at) const {
        return stn_json_run(event, utc_text(at), plan_.station, kUtcOffset, kProgramVersion,
                            order_);
    }
    void at(Queue &q, std::int64_t when, Kind kind, unsigned slot) {
        q.push(Event{when, ++seq_, kind, slot});
    }
    unsigned busy() const {
        unsigned n = 0;
        for (const Seat &s : seats_) n += s.busy ? 1 : 0;
        return n;
    }

    // One run of the station from `from` (open line) to its stop line.
    // Returns when the station is started again within run, or -1.
    std::int64_t one_run(const Run &run, std::int64_t from) {
        order_ = run.order;
        who_ = StnWho{plan_.operator_name, run.order, plan_.station};
        // A new writer over the same file, as the program starts: it finds
        // the starts a power cut left open and records them interrupted.
        report_.reset(new StnReport(store_));
        if (report_->open(utc_text(from), nullptr, run_line("open", from)) != StnReportOpen::kOk) {
            ok_ = false;
            return -1;
        }
        rule_.reset();
        for (Seat &s : seats_) s = Seat();
        Queue q;
        for (unsigned i = 0; i < kSlots; ++i) {
            at(q, from + dice_.between(20, 60) * kSecond + i * dice_.between(15, 40) * kSecond,
               kRead, i);
        }
        bool stopping = false, halted = false;
        std::int64_t last = from;
        while (!q.empty() && ok_) {
            const Event e = q.top();
            q.pop();
            // The power goes while one unit is being written: no stop line,
            // and its start waits for the next open.
            if (plan_.power_cut_at >= 0 && e.at >= plan_.power_cut_at && e.kind == kRead &&
                busy() == 1) {
                plan_.power_cut_at = -1;
                for (Seat &s : seats_) {
                    if (s.busy) rework(s.r, e.at + 3 * kMinute);
                }
                return e.at + dice_.between(4, 7) * kMinute;
            }
            if (e.kind == kRead) {
                if (stopping || e.at >= run.to) continue;
                last = e.at;
                read_unit(q, e.at, e.slot);
                continue;
            }
            last = e.at;
            Seat &seat = seats_[e.slot];
            seat.busy = false;
            write(stn_json_report(seat.r, utc_text(e.at), kImageSha256, who_));
            StnHalt halt;
            if (!halted && rule_.feed(seat.r, &halt)) {
                write(stn_json_halt(halt, utc_text(e.at), order_));
                halted = stopping = true;
                plan_.dead_slot_at = -1;  // repaired before the next start
            }
            // The operator swaps the unit, labels and boxes it.
            at(q, e.at + dice_.between(170, 290) * kSecond, kRead, e.slot);
        }
        // Stop pressed at the run's end (or the line stopped itself): the
        // station ends once its units have.
        const std::int64_t stop = (halted ? last : std::max(last, run.to)) + dice_.between(1, 4) * kSecond;
        write(run_line("stop", stop));
        if (halted) return stop + dice_.between(9, 16) * kMinute;  // the fixture repaired
        return -1;
    }

    void rework(const StnUnitResult &r, std::int64_t ready) {
        pending_.push_back(Rework{order_, r.device.serial, r.device.firm_version, ready});
    }

    // A unit is put on the fixture and read: current ones are left alone,
    // due ones get their start line and are written.
    void read_unit(Queue &q, std::int64_t now, unsigned slot) {
        StnUnitResult r;
        r.device.index = slot;
        r.device.mcu_version = 0x0846;
        r.device.boot_version = 0x0102;
        r.identified = true;
        bool retry = false;
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (it->order == order_ && it->ready <= now) {
                r.device.serial = it->serial;
                r.device.firm_version = it->firm;
                pending_.erase(it);
                retry = true;
                break;
            }
        }
        if (!retry) {
            r.device.serial = serial_base(order_) + plan_.serial_block + ++serials_[order_];
            // Most come from stock at 3.41 or 3.50, some blank, a few
            // already at the image.
            const std::int64_t roll = dice_.between(0, 999);
            r.device.firm_version = roll < 30    ? kImageVersion
                                    : roll < 600 ? 341
                                    : roll < 850 ? 350
                                                 : kNoFirm;
        }
        r.id = report_->new_id();
        if (r.device.firm_version == kImageVersion) {
            r.outcome = StnOutcome::kCurrent;
            r.has_new = true;
            r.new_version = kImageVersion;
            r.ms = static_cast<std::uint64_t>(dice_.between(240, 480));
        } else {
            write(stn_json_start(r.device, r.id, utc_text(now), kImageSha256, who_));
            write_unit(&r, now, slot, retry);
        }
        seats_[slot].busy = true;
        seats_[slot].r = r;
        at(q, now + static_cast<std::int64_t>(r.ms), kEnd, slot);
    }

    // How the write goes: mostly well; a first try fails about one in
    // twenty, of every kind; a dead slot fails every unit at its deadline.
    void write_unit(StnUnitResult *r, std::int64_t now, unsigned slot, bool retry) {
        const std::int64_t full = dice_.between(38000, 47000);
        r->has_new = false;
        const bool dead = plan_.dead_slot_at >= 0 && now >= plan_.dead_slot_at &&
                          slot == plan_.dead_slot;
        if (!dead && !dice_.per_mille(retry ? 80 : 45)) {
            r->outcome = StnOutcome::kUpdated;
            r->has_new = true;
            r->new_version = kImageVersion;
            r->ms = static_cast<std::uint64_t>(full);
            return;
        }
        // Where it broke: a block of the image's window, 0x4000..0x7F00.
        const std::int64_t block = dead ? 0 : dice_.between(0, 63);
        char where[32];
        std::snprintf(where, sizeof where, "block at 0x%04X", static_cast<unsigned>(0x4000 + block * 0x100));
        r->ms = static_cast<std::uint64_t>(1200 + full * block / 64);
        r->outcome = StnOutcome::kFailed;
        const std::int64_t kind = dead ? 450 : dice_.between(0, 999);
        char what[128];
        std::int64_t retry_after = dice_.between(12, 45) * kMinute;
        if (kind < 300) {
            const unsigned code = dice_.per_mille(700) ? 0xE004 : 0xE011;
            std::snprintf(what, sizeof what, "%s refused by the device (error 0x%04X)", where, code);
            r->failure = StnFailure::kRefused;
            r->detail = code;
        } else if (kind < 420) {
            std::snprintf(what, sizeof what,
                          "%s got no valid answer from the device (a transfer or framing failure)",
                          where);
            r->failure = StnFailure::kNoAnswer;
            r->detail = 0xFFFFFFFEu;
        } else if (kind < 600) {
            std::snprintf(what, sizeof what, "%s got no answer within 5 s", dead ? "begin" : where);
            r->failure = StnFailure::kDeadline;
            r->detail = kStnDetailDeadline;
            r->ms += 5000;  // the stations' default --timeout
        } else if (kind < 830) {
            // Knocked out of its socket: back on the fixture at once.
            std::snprintf(what, sizeof what,
                          "%s got no valid answer from the device (unplugged or powered off)", where);
            r->failure = StnFailure::kUnplugged;
            r->detail = 0xFFFFFFFEu;
            retry_after = dice_.between(1, 4) * kMinute;
        } else {
            std::snprintf(what, sizeof what, "the device reports %s after the update, not %s",
                          stn_version_text(r->device.firm_version).c_str(),
                          stn_version_text(kImageVersion).c_str());
            r->failure = StnFailure::kUnverified;
            r->detail = kStnDetailUnverified;
            r->has_new = true;
            r->new_version = r->device.firm_version;
            r->ms = static_cast<std::uint64_t>(full);
        }
        r->what = what;
        // Most go to rework and come back; a few go to repair for good.
        if (!dice_.per_mille(120)) rework(*r, now + static_cast<std::int64_t>(r->ms) + retry_after);
    }

    Plan plan_;
    DemoFileStore *store_;
    Dice dice_;
    StnHaltRule rule_;
    std::unique_ptr<StnReport> report_;
    std::string order_;
    StnWho who_;
    Seat seats_[kSlots];
    std::deque<Rework> pending_;
    std::map<std::string, std::int32_t> serials_;
    std::uint64_t seq_ = 0;
    bool ok_ = true;
};

std::vector<Plan> shift_plans() {
    std::vector<Plan> plans(3);
    plans[0] = Plan{"QVM-ST01", "A. Keller", 20261208u, 0, {}};
    plans[0].runs = {{"WO-24817", local(6, 2), local(9, 30)}, {"WO-24818", local(10, 1), local(13, 56)}};
    plans[1] = Plan{"QVM-ST02", "M. Novak", 20261209u, 1000, {}};
    plans[1].runs = {{"WO-24817", local(6, 4), local(9, 31)}, {"WO-24818", local(9, 59), local(13, 58)}};
    plans[1].dead_slot_at = local(11, 5);
    plans[1].dead_slot = 2;
    plans[2] = Plan{"QVM-ST03", "S. Brandt", 20261210u, 2000, {}};
    plans[2].runs = {{"WO-24817", local(6, 7), local(9, 29)},
                     {"WO-24819", local(10, 3), local(12, 0)},
                     {"WO-24818", local(12, 5), local(13, 55)}};
    plans[2].power_cut_at = local(12, 40);
    return plans;
}

}  // namespace

bool demo_write_shift(const std::string &folder, std::vector<std::string> *paths,
                      std::string *error) {
    paths->clear();
    for (const Plan &plan : shift_plans()) {
        const std::string path = folder + "/shift-" + plan.station + ".jsonl";
        std::remove(path.c_str());
        DemoFileStore store(path);
        if (!store.is_open() || !Station(plan, &store).write_shift()) {
            *error = "cannot write " + path;
            return false;
        }
        paths->push_back(path);
    }
    return true;
}
