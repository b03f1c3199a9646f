// The station soak: qvm_cli station on eight simulated devices for
// thousands of units. A unit is a serial number: when its unit line is in
// the report the device is swapped for the next one by reconfiguring its
// index, or, when a fault pulled it out, plugged in again a moment later.
// Refusals, unplugs, power losses and hangs are armed on some units. First
// one long station run (its handles, threads and memory sampled at its
// start, middle and end, each time with every device finished), then a kill
// sweep: the station killed at random moments and started again on the
// same report.
//
// Prints figures: units plugged, report lines, units lost and doubled,
// false successes, Wine's own process deaths apart from real failures, and
// the resource table. Needs the driver running; replaces every configured
// device with its own.
//
//   soak_station [--units N] [--kills K] [--seed S]
//
// Exit 0: the figures show no fault; 3: they show one (lost, doubled, false
// success, real failure); 1: it could not run.
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cli_e2e_run.h"
#include "devsim_ctl.h"
#include "upd_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using cli_e2e::field;

constexpr unsigned kDevices = 8;
constexpr std::int32_t kFirstSerial = 90000001;
// Long enough for the station's probe (every 300 ms) to see the name gone.
constexpr std::chrono::milliseconds kAwayFor{1500};
// A unit with no line by then is counted as stalled and swapped.
constexpr std::chrono::seconds kStallAfter{40};
// A quiet station before a sample: every device finished and looked at.
constexpr DWORD kSettleMs = 2000;
// A station that ends no unit for this long is stuck: a real failure.
constexpr std::chrono::seconds kStuckAfter{120};

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// ---- The station's resources, read from outside the process ----

struct Usage {
    bool ok = false;
    DWORD handles = 0, threads = 0;
    std::uint64_t private_kib = 0, working_set_kib = 0;
};

// Handles of process pid, from the system's handle list: Wine's
// GetProcessHandleCount is a stub that answers 0.
bool handles_of(DWORD pid, DWORD *count) {
    using Query = LONG(WINAPI *)(ULONG, PVOID, ULONG, PULONG);
    static const Query query = reinterpret_cast<Query>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    // SYSTEM_HANDLE_INFORMATION (class 16): a count, then entries that
    // start with the owner's process id.
    struct Entry {
        USHORT pid, backtrace;
        UCHAR type, attributes;
        USHORT handle;
        PVOID object;
        ULONG access;
    };
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004);
    if (query == nullptr) return false;
    std::vector<char> buf(1 << 20);
    LONG st;
    ULONG got = 0;
    while ((st = query(kSystemHandleInformation, buf.data(), static_cast<ULONG>(buf.size()), &got)) ==
           kLengthMismatch) {
        buf.resize(std::max<std::size_t>(buf.size() * 2, got + 4096));
    }
    if (st != 0) return false;
    ULONG n = 0;
    std::memcpy(&n, buf.data(), sizeof(n));
    const std::size_t room = (buf.size() - sizeof(ULONG_PTR)) / sizeof(Entry);
    const Entry *e = reinterpret_cast<const Entry *>(buf.data() + sizeof(ULONG_PTR));
    *count = 0;
    for (ULONG i = 0; i < n && i < room; ++i) *count += e[i].pid == static_cast<USHORT>(pid);
    return true;
}

Usage usage_of(HANDLE process) {
    Usage u;
    const DWORD pid = GetProcessId(process);
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof(pmc);
    u.ok = handles_of(pid, &u.handles) && GetProcessMemoryInfo(process, &pmc, sizeof(pmc));
    // Private bytes are the commit (PagefileUsage); Wine counts the
    // process's anonymous memory and swap there.
    u.private_kib = pmc.PagefileUsage / 1024;
    u.working_set_kib = pmc.WorkingSetSize / 1024;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return Usage();
    THREADENTRY32 te{};
    te.dwSize = sizeof(te);
    for (BOOL more = Thread32First(snap, &te); more; more = Thread32Next(snap, &te)) {
        u.threads += te.th32OwnerProcessID == pid;
    }
    CloseHandle(snap);
    return u;
}

// ---- The report, read as it grows ----

// Whole lines appended since the last poll. A torn tail is not consumed, so
// a station that sets it aside on start cannot confuse the reader.
class ReportTail {
public:
    explicit ReportTail(std::string path) : path_(std::move(path)) {}
    // False when the file is now shorter than what was read (a recorded
    // line was taken back).
    bool poll(std::vector<std::string> *lines) {
        HANDLE f = CreateFileA(path_.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f == INVALID_HANDLE_VALUE) return true;  // not made yet
        LARGE_INTEGER size{};
        bool ok = GetFileSizeEx(f, &size) != 0;
        if (ok && static_cast<std::uint64_t>(size.QuadPart) < offset_) ok = false;
        std::string bytes;
        if (ok && static_cast<std::uint64_t>(size.QuadPart) > offset_) {
            LARGE_INTEGER at{};
            at.QuadPart = static_cast<LONGLONG>(offset_);
            SetFilePointerEx(f, at, nullptr, FILE_BEGIN);
            char buf[65536];
            DWORD got = 0;
            while (ReadFile(f, buf, sizeof(buf), &got, nullptr) && got > 0) bytes.append(buf, got);
        }
        CloseHandle(f);
        std::size_t from = 0;
        for (std::size_t nl; (nl = bytes.find('\n', from)) != std::string::npos; from = nl + 1) {
            lines->push_back(bytes.substr(from, nl - from));
        }
        offset_ += from;
        return ok;
    }

private:
    std::string path_;
    std::uint64_t offset_ = 0;
};

// ---- What the report says ----

std::uint64_t number(const std::string &text) {
    return text.empty() || text == "null" ? 0 : std::strtoull(text.c_str(), nullptr, 10);
}

std::string text_of(const std::string &raw) {
    return raw.size() >= 2 && raw.front() == '"' ? raw.substr(1, raw.size() - 2) : raw;
}

struct Line {
    bool unit = false, start = false;
    std::uint64_t id = 0;
    unsigned index = 0;
    std::int64_t serial = -1;  // -1: none
    std::string result, failure;
    bool recovered = false;
};

Line parse(const std::string &l) {
    Line r;
    const std::string type = text_of(field(l, "type"));
    r.unit = type == "unit";
    r.start = type == "start";
    r.id = number(field(l, "id"));
    r.index = static_cast<unsigned>(number(field(l, "index")));
    const std::string serial = field(l, "serial");
    if (!serial.empty() && serial != "null") r.serial = std::strtoll(serial.c_str(), nullptr, 10);
    r.result = text_of(field(l, "result"));
    r.failure = text_of(field(l, "failure"));
    r.recovered = field(l, "recovered") == "true";
    return r;
}

struct Ledger {
    std::uint64_t lines = 0, starts = 0, units = 0, recovered = 0, not_records = 0;
    std::map<std::string, std::uint64_t> by_result, by_failure;
    std::map<std::uint64_t, unsigned> start_of_id, units_of_id;
    std::map<std::int64_t, unsigned> units_of_serial, updated_of_serial;

    Line feed(const std::string &l) {
        ++lines;
        const Line r = parse(l);
        if (r.start) {
            ++starts;
            ++start_of_id[r.id];
        } else if (r.unit) {
            ++units;
            ++units_of_id[r.id];
            ++by_result[r.result];
            if (!r.failure.empty()) ++by_failure[r.failure];
            recovered += r.recovered;
            if (r.serial >= 0) {
                ++units_of_serial[r.serial];
                updated_of_serial[r.serial] += r.result == "updated";
            }
        } else {
            ++not_records;
        }
        return r;
    }
    std::uint64_t starts_without_unit() const {
        std::uint64_t n = 0;
        for (const auto &s : start_of_id) n += units_of_id.count(s.first) == 0;
        return n;
    }
    std::uint64_t ids_twice() const {
        std::uint64_t n = 0;
        for (const auto &u : units_of_id) n += u.second > 1;
        for (const auto &s : start_of_id) n += s.second > 1;
        return n;
    }
    std::uint64_t serials_written_twice() const {
        std::uint64_t n = 0;
        for (const auto &u : updated_of_serial) n += u.second > 1;
        return n;
    }
};

// ---- The soak ----

struct Options {
    unsigned units = 2000;
    unsigned kills = 50;
    unsigned seed = 1;
};

enum Fault { kNoFault, kRefusal, kUnplug, kPowerLoss, kHang, kFaultKinds };
const char *const kFaultNames[kFaultKinds] = {"none", "refusal", "unplug", "power loss", "hang"};

class Soak {
public:
    Soak(const Options &o, devsim::Control *ctl)
        : opt_(o), ctl_(ctl), rng_(o.seed), report_(cli_e2e::temp_path("soak.jsonl")),
          tail_(report_), window_(upd_e2e::embedded_window()) {}

    int run();

private:
    struct Slot {
        enum State { kWaiting, kAway, kHeld } state = kWaiting;
        std::int64_t serial = 0;
        bool awaiting = false;       // this plug has no unit line yet
        Clock::time_point since;     // plugged in at
        Clock::time_point back_at;   // kAway: plugged in again then
        std::string last_line;       // its last unit line
    };
    struct Sample {
        const char *when;
        std::uint64_t units;
        Usage u;
    };

    bool plug_new(unsigned index);
    void on_line(const std::string &text);
    void unit_ended(unsigned index, const Line &r);
    void tick();
    bool start_station();
    void kill_station();
    void check_station();
    void check_owner();
    bool quiesce(const char *when);
    void release();
    bool stuck();
    void print() const;
    bool faultless() const;

    const Options opt_;
    devsim::Control *ctl_;
    std::mt19937 rng_;
    const std::string report_;
    ReportTail tail_;
    const std::vector<std::uint8_t> window_;
    Ledger ledger_;
    Slot slots_[kDevices];
    std::unique_ptr<cli_e2e::Cli> station_;
    bool hold_ = false;  // finished units are not swapped (a sample is due)

    std::uint64_t plugged_ = 0, replugs_ = 0, plugs_unrecorded_ = 0, finals_ = 0;
    std::uint64_t faults_[kFaultKinds] = {};
    std::uint64_t false_successes_ = 0, stray_ = 0, stalls_ = 0, shrank_ = 0;
    std::uint64_t kills_ = 0, starts_ = 0, wine_deaths_ = 0, real_failures_ = 0;
    std::uint64_t owner_checks_ = 0, owner_refused_ = 0;
    std::vector<Sample> samples_;
    Usage kill_min_, kill_max_;
    unsigned kill_samples_ = 0;
    Clock::time_point began_ = Clock::now();
    Clock::time_point last_final_ = Clock::now();
    double seconds_ = 0;
};

bool Soak::plug_new(unsigned index) {
    Slot &s = slots_[index];
    s.serial = kFirstSerial + static_cast<std::int64_t>(plugged_);
    devsim::DeviceConfig c = devsim::default_config(index);
    c.serial_no = static_cast<std::int32_t>(s.serial);
    const unsigned kind = rng_() % 10;
    c.firm_version = kind == 0 ? 0xFFFFFFFFu : kind == 1 ? upd_e2e::kImageVersion : 340;
    ctl_->remove(index);
    if (!ctl_->add(index, c)) return false;
    ++plugged_;
    // Faults on units that are written: within the transfer (after the
    // version read, a look at a swapped-in unit, and LED 2).
    if (c.firm_version != upd_e2e::kImageVersion) {
        const unsigned r = rng_() % 1000;
        const Fault f = r < 40 ? kRefusal : r < 70 ? kUnplug : r < 100 ? kPowerLoss
                        : r < 105 ? kHang : kNoFault;
        static const std::uint32_t kinds[kFaultKinds] = {0, DEVSIM_FAULT_ERROR_ANSWER,
                                                         DEVSIM_FAULT_UNPLUG, DEVSIM_FAULT_POWER_LOSS,
                                                         DEVSIM_FAULT_HANG};
        if (f != kNoFault && ctl_->arm_fault(index, 3 + rng_() % 64, kinds[f], f == kRefusal ? 0xE004 : 0)) {
            ++faults_[f];
        }
    }
    s.state = Slot::kWaiting;
    s.awaiting = true;
    s.since = Clock::now();
    s.last_line.clear();
    return true;
}

void Soak::on_line(const std::string &text) {
    const Line r = ledger_.feed(text);
    if (!r.unit || r.index >= kDevices) return;
    Slot &s = slots_[r.index];
    if (r.serial < 0) {
        // Its version read failed: the station takes it again at once.
        s.awaiting = false;
        return;
    }
    if (r.serial != s.serial) {
        // Only a recovered line may name a unit that was already swapped out.
        if (!r.recovered && stray_++ < 5) std::printf("  a line for a unit swapped out: %s\n", text.c_str());
        return;
    }
    s.awaiting = false;
    s.last_line = text;
    if (s.state != Slot::kWaiting) return;
    if (r.result != "interrupted") {
        unit_ended(r.index, r);
        return;
    }
    // Cut short by a kill just as its fault took the device away: the
    // station cannot see it again until it is plugged in again.
    devsim_ioc_state st{};
    if (ctl_->state(r.index, &st) && st.plugged == 0) {
        s.state = Slot::kAway;
        s.back_at = Clock::now() + kAwayFor;
    }
}

void Soak::unit_ended(unsigned index, const Line &r) {
    Slot &s = slots_[index];
    ++finals_;
    last_final_ = Clock::now();
    if (r.result == "updated") {
        std::vector<std::uint8_t> flash;
        if (!ctl_->flash(index, &flash) || flash != window_) ++false_successes_;
    }
    devsim_ioc_state st{};
    ctl_->state(index, &st);
    if (st.plugged == 0) {
        // Pulled out or powered off by its fault: back in a moment.
        s.state = Slot::kAway;
        s.back_at = Clock::now() + kAwayFor;
    } else if (hold_) {
        s.state = Slot::kHeld;
    } else if (!plug_new(index)) {
        ++real_failures_;
        std::printf("  cannot plug a device in at index %u\n", index);
    }
}

void Soak::tick() {
    std::vector<std::string> lines;
    if (!tail_.poll(&lines)) ++shrank_;
    for (const std::string &l : lines) on_line(l);
    const Clock::time_point now = Clock::now();
    for (unsigned i = 0; i < kDevices; ++i) {
        Slot &s = slots_[i];
        if (s.state == Slot::kAway && now >= s.back_at) {
            if (ctl_->replug(i)) {
                ++replugs_;
                s.state = Slot::kWaiting;
                s.awaiting = true;
                s.since = now;
            }
        } else if (s.state == Slot::kWaiting && now - s.since > kStallAfter) {
            ++stalls_;
            plugs_unrecorded_ += s.awaiting;
            devsim_ioc_state st{};
            ctl_->state(i, &st);
            std::printf("  index %u: serial %lld has no final unit line after %lld s (plugged %u, "
                        "last line %s); swapped\n",
                        i, static_cast<long long>(s.serial),
                        static_cast<long long>(kStallAfter.count()), st.plugged,
                        s.last_line.empty() ? "none" : s.last_line.c_str());
            plug_new(i);
        }
    }
    check_station();
}

bool Soak::start_station() {
    station_.reset(new cli_e2e::Cli("station --report \"" + report_ + "\""));
    ++starts_;
    if (station_->started()) return true;
    ++real_failures_;
    std::printf("  the station did not start (error %lu)\n", GetLastError());
    return false;
}

void Soak::kill_station() {
    if (!station_) return;
    station_->kill();
    station_.reset();
    ++kills_;
}

// A station that ended by itself: one of Wine's own deaths when it left no
// output at all or the loader's message, otherwise a real failure.
void Soak::check_station() {
    if (!station_ || WaitForSingleObject(station_->process(), 0) != WAIT_OBJECT_0) return;
    cli_e2e::Output o;
    station_->wait(&o, 0);
    const bool silent = o.out.empty() && o.err.empty();
    if (silent || o.err.find("Inconsistency detected by ld.so") != std::string::npos) {
        ++wine_deaths_;
    } else {
        ++real_failures_;
        std::printf("  the station ended by itself, exit %lu: %s\n", o.exit,
                    o.err.substr(0, 300).c_str());
    }
    start_station();
}

// While the station runs, list must be refused at once.
void Soak::check_owner() {
    const cli_e2e::Output o = cli_e2e::run("list", 30000);
    if (!station_ || WaitForSingleObject(station_->process(), 0) == WAIT_OBJECT_0) return;
    ++owner_checks_;
    if (o.exit == 6 && o.err.find("a station runs on this machine") != std::string::npos) {
        ++owner_refused_;
    } else if (o.out.empty() && o.err.empty()) {
        ++wine_deaths_;
    } else {
        ++real_failures_;
        std::printf("  list beside a running station: exit %lu: %s\n", o.exit,
                    o.err.substr(0, 300).c_str());
    }
}

// No unit ended for kStuckAfter: counted, and the station started again.
bool Soak::stuck() {
    if (Clock::now() - last_final_ < kStuckAfter) return false;
    ++real_failures_;
    std::printf("  no unit ended for %lld s; the station is started again\n",
                static_cast<long long>(kStuckAfter.count()));
    kill_station();
    start_station();
    last_final_ = Clock::now();
    return true;
}

// Lets every unit finish, then samples the station once it is quiet.
bool Soak::quiesce(const char *when) {
    hold_ = true;
    const Clock::time_point t0 = Clock::now();
    for (;;) {
        tick();
        bool all = true;
        for (const Slot &s : slots_) all = all && s.state == Slot::kHeld;
        if (all) break;
        if (Clock::now() - t0 > std::chrono::seconds(90)) {
            ++real_failures_;
            std::printf("  %s: units still running after 90 s\n", when);
            return false;
        }
        Sleep(20);
    }
    for (DWORD waited = 0; waited < kSettleMs; waited += 20) {
        tick();
        Sleep(20);
    }
    if (station_) samples_.push_back(Sample{when, finals_, usage_of(station_->process())});
    return true;
}

void Soak::release() {
    hold_ = false;
    for (unsigned i = 0; i < kDevices; ++i) {
        if (slots_[i].state == Slot::kHeld) plug_new(i);
    }
}

int Soak::run() {
    if (window_.size() != 0x4000u) {
        std::fprintf(stderr, "soak_station: the embedded image cannot be built\n");
        return 1;
    }
    if (!ctl_->remove_all()) return 1;
    for (unsigned i = 0; i < kDevices; ++i) {
        ctl_->clear_faults(i);
        ctl_->set_delay(i, 0);
    }
    std::printf("station soak: %u devices, %u units, at least %u kills, seed %u\n", kDevices,
                opt_.units, opt_.kills, opt_.seed);
    if (!start_station()) return 1;
    for (unsigned i = 0; i < kDevices; ++i) {
        if (!plug_new(i)) return 1;
    }

    // One long run, sampled at its start, middle and end.
    const std::uint64_t long_run = opt_.units * 2 / 5;
    quiesce("start");
    release();
    std::uint64_t next_progress = 250;
    auto progress = [&] {
        if (plugged_ < next_progress) return;
        next_progress += 250;
        std::printf("  %llu units, %llu kills, %.0f s\n", static_cast<unsigned long long>(plugged_),
                    static_cast<unsigned long long>(kills_), seconds_since(began_));
        std::fflush(stdout);
    };
    for (const char *when : {"middle", "end of the long run"}) {
        const std::uint64_t until = std::string(when) == "middle" ? long_run / 2 : long_run;
        while (plugged_ < until) {
            tick();
            progress();
            stuck();
            Sleep(20);
        }
        quiesce(when);
        release();
    }

    // The kill sweep: each station run lives for a random number of units
    // and a little more, or is killed while it opens the report.
    while (plugged_ < opt_.units || kills_ < opt_.kills) {
        kill_station();
        if (!start_station()) break;
        const Clock::time_point born = Clock::now();
        const bool early = rng_() % 8 == 0;
        const std::uint64_t until = finals_ + 6 + rng_() % 25;
        const auto extra = std::chrono::milliseconds(rng_() % (early ? 500 : 400));
        bool checked = early;
        while (early ? Clock::now() - born < extra : finals_ < until) {
            tick();
            progress();
            if (stuck()) break;
            if (!checked && Clock::now() - born > std::chrono::seconds(1)) {
                check_owner();
                checked = true;
            }
            Sleep(20);
        }
        for (const Clock::time_point t = Clock::now(); !early && Clock::now() - t < extra;) {
            tick();
            Sleep(10);
        }
        if (station_) {
            const Usage u = usage_of(station_->process());
            if (u.ok) {
                if (kill_samples_++ == 0) kill_min_ = kill_max_ = u;
                kill_min_.handles = std::min(kill_min_.handles, u.handles);
                kill_max_.handles = std::max(kill_max_.handles, u.handles);
                kill_min_.threads = std::min(kill_min_.threads, u.threads);
                kill_max_.threads = std::max(kill_max_.threads, u.threads);
                kill_min_.private_kib = std::min(kill_min_.private_kib, u.private_kib);
                kill_max_.private_kib = std::max(kill_max_.private_kib, u.private_kib);
                kill_min_.working_set_kib = std::min(kill_min_.working_set_kib, u.working_set_kib);
                kill_max_.working_set_kib = std::max(kill_max_.working_set_kib, u.working_set_kib);
            }
        }
    }
    // The last run goes on until every unit has ended, and is sampled.
    quiesce("end of the soak");
    kill_station();
    tick();
    for (const Slot &s : slots_) plugs_unrecorded_ += s.awaiting;
    seconds_ = seconds_since(began_);
    ctl_->remove_all();
    print();
    DeleteFileA(report_.c_str());
    DeleteFileA((report_ + ".torn").c_str());
    return faultless() ? 0 : 3;
}

bool Soak::faultless() const {
    return ledger_.starts_without_unit() + plugs_unrecorded_ + ledger_.ids_twice() +
               ledger_.serials_written_twice() + false_successes_ + real_failures_ + shrank_ ==
           0;
}

void Soak::print() const {
    auto u64 = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
    std::printf("\nfigures:\n");
    std::printf("  units plugged (new serials)          %8llu\n", u64(plugged_));
    std::printf("  plugged in again after a fault       %8llu\n", u64(replugs_));
    std::printf("  faults armed                          ");
    for (int f = kRefusal; f < kFaultKinds; ++f) {
        std::printf(" %s %llu%s", kFaultNames[f], u64(faults_[f]), f + 1 < kFaultKinds ? "," : "\n");
    }
    std::printf("  report lines                         %8llu (start %llu, unit %llu, other %llu)\n",
                u64(ledger_.lines), u64(ledger_.starts), u64(ledger_.units),
                u64(ledger_.not_records));
    std::printf("  unit lines by result                  ");
    for (const auto &r : ledger_.by_result) std::printf(" %s %llu", r.first.c_str(), u64(r.second));
    std::printf(" (recovered %llu)\n", u64(ledger_.recovered));
    std::printf("  failures by kind                      ");
    for (const auto &r : ledger_.by_failure) std::printf(" %s %llu", r.first.c_str(), u64(r.second));
    std::printf("\n");
    std::printf("  units lost                           %8llu (starts without a unit line %llu, "
                "plugs without one %llu)\n",
                u64(ledger_.starts_without_unit() + plugs_unrecorded_),
                u64(ledger_.starts_without_unit()), u64(plugs_unrecorded_));
    std::printf("  units doubled                        %8llu (ids with two lines %llu, serials "
                "written twice %llu)\n",
                u64(ledger_.ids_twice() + ledger_.serials_written_twice()),
                u64(ledger_.ids_twice()), u64(ledger_.serials_written_twice()));
    std::printf("  false successes (updated, flash not the image) %llu\n", u64(false_successes_));
    std::printf("  lines for a unit already swapped out %8llu\n", u64(stray_));
    std::printf("  units stalled (no final line in %llds) %8llu\n",
                static_cast<long long>(kStallAfter.count()), u64(stalls_));
    std::printf("  report shrank under the reader       %8llu\n", u64(shrank_));
    std::printf("  station runs %llu, kills %llu\n", u64(starts_), u64(kills_));
    std::printf("  list beside the station: refused %llu of %llu\n", u64(owner_refused_),
                u64(owner_checks_));
    std::printf("  Wine process deaths (no output)      %8llu\n", u64(wine_deaths_));
    std::printf("  real failures                        %8llu\n", u64(real_failures_));
    std::printf("  elapsed %.0f s, %.2f units/s; 2000 units take about %.0f min\n", seconds_,
                static_cast<double>(plugged_) / seconds_,
                2000.0 / (static_cast<double>(plugged_) / seconds_) / 60.0);
    std::printf("\nqvm_cli station, every device finished (units: unit lines that ended a unit):\n");
    std::printf("  %-22s %7s %8s %8s %12s %16s\n", "", "units", "handles", "threads",
                "private KiB", "working set KiB");
    for (const Sample &s : samples_) {
        if (!s.u.ok) {
            std::printf("  %-22s %7llu  (not readable)\n", s.when, u64(s.units));
            continue;
        }
        std::printf("  %-22s %7llu %8lu %8lu %12llu %16llu\n", s.when, u64(s.units), s.u.handles,
                    s.u.threads, u64(s.u.private_kib), u64(s.u.working_set_kib));
    }
    // The long run is one process: its growth per 1000 units (start to end).
    if (samples_.size() >= 3 && samples_[0].u.ok && samples_[2].u.ok &&
        samples_[2].units > samples_[0].units) {
        const double k = 1000.0 / static_cast<double>(samples_[2].units - samples_[0].units);
        auto per = [&](double a, double b) { return (b - a) * k; };
        std::printf("  growth of the long run per 1000 units: handles %+.1f, threads %+.1f, "
                    "private %+.0f KiB, working set %+.0f KiB\n",
                    per(samples_[0].u.handles, samples_[2].u.handles),
                    per(samples_[0].u.threads, samples_[2].u.threads),
                    per(static_cast<double>(samples_[0].u.private_kib),
                        static_cast<double>(samples_[2].u.private_kib)),
                    per(static_cast<double>(samples_[0].u.working_set_kib),
                        static_cast<double>(samples_[2].u.working_set_kib)));
    }
    if (kill_samples_ != 0) {
        std::printf("  just before each of %u kills (units running): handles %lu..%lu, threads "
                    "%lu..%lu, private %llu..%llu KiB, working set %llu..%llu KiB\n",
                    kill_samples_, kill_min_.handles, kill_max_.handles, kill_min_.threads,
                    kill_max_.threads, u64(kill_min_.private_kib), u64(kill_max_.private_kib),
                    u64(kill_min_.working_set_kib), u64(kill_max_.working_set_kib));
    }
    std::printf("\nverdict: %s\n", faultless() ? "no unit lost or doubled, no real failure"
                                                 : "FAULTS (see above)");
}

bool parse_options(int argc, char **argv, Options *o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const unsigned v = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        if (std::strcmp(argv[i], "--units") == 0 && v >= 16) o->units = v;
        else if (std::strcmp(argv[i], "--kills") == 0) o->kills = v;
        else if (std::strcmp(argv[i], "--seed") == 0) o->seed = v;
        else return false;
    }
    return argc % 2 == 1;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse_options(argc, argv, &o)) {
        std::fprintf(stderr, "usage: soak_station [--units N (16 or more)] [--kills K] [--seed S]\n");
        return 1;
    }
    devsim::Control ctl;
    if (!ctl.open()) {
        std::fprintf(stderr, "soak_station: the simulated device driver is not running\n");
        return 1;
    }
    Soak soak(o, &ctl);
    return soak.run();
}
