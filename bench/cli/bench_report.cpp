// What a long report costs: qvm_cli station's time from its start to its
// first probe ("station: waiting for devices" comes right before it) and
// its peak memory, on an empty report and on one of 1,000,000 units
// (2,000,000 lines in the shape the station writes, made once and kept in
// the build folder beside this program); a plain ReadFile pass over the same
// file from the page cache; qvm_cli report --json over it, in lines per
// second; and the line manager's page of it (report --html, which checks
// each file's chain) against --json alone and against --json followed by
// --verify --json, with the page's size. The page is kept beside this
// program (report-1m.html) for bench_page_open.py, which times Chromium
// opening it. Also report --json of a three-line report whose unit line's
// time was edited to the year 9999 (its time and peak memory: the readers
// keep a capped timeline whatever the times). Runs alternate; medians.
// Prints figures and never fails (exit
// 1 only when it cannot measure). No device is plugged: the driver's
// devices are removed when it runs.
//
// BENCH_QVM_CLI=PATH measures another qvm_cli.exe (an older build, for a
// before and after); BENCH_ROUNDS=N sets the rounds (default 5).
#include <windows.h>

#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "bench_unit_result.h"
#include "devsim_ctl.h"
#include "qvm_e2e.h"
#include "stn_chain.h"
#include "stn_text.h"

namespace {

using bench_support::median;
using bench_support::now_ms;

constexpr std::uint64_t kUnits = 1000000;
constexpr std::uint64_t kUnitsPerShift = 4000;  // 8 hours at 500 an hour
constexpr std::int64_t kMsPerUnit = 7200;
constexpr DWORD kWaitMs = 600000;

// "YYYY-MM-DDTHH:MM:SS.mmmZ" of ms since 1970.
std::string iso(std::int64_t ms) {
    const std::int64_t days = ms / 86400000, in_day = ms % 86400000;
    // Civil date from days (proleptic Gregorian).
    const std::int64_t z = days + 719468, era = z / 146097, doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", y, m, d,
                  static_cast<int>(in_day / 3600000), static_cast<int>(in_day / 60000 % 60),
                  static_cast<int>(in_day / 1000 % 60), static_cast<int>(in_day % 1000));
    return buf;
}

bool write_all(HANDLE f, const std::string &bytes) {
    DWORD put = 0;
    return WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
           put == bytes.size();
}

// The report as the station writes it: a start and a unit line per unit (3
// in 100 are refused and pass at their second try), a run's stop and open
// lines every 8 hours, every line chained; the first run's open line is
// missing, as in a report that an earlier version began (so that such a
// version opens it too).
bool make_report(const std::string &path, std::uint64_t *lines) {
    const std::string tmp = path + ".tmp";
    HANDLE f = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    const std::string sha(64, 'c');
    const std::int64_t t0 = 1767592800000;  // 2026-01-05T06:00:00Z
    std::string out;
    std::string prev = kStnEmptySha256;
    *lines = 0;
    const auto add = [&](const std::string &body) {
        const std::string line = stn_chain_line(body, ++*lines, prev, nullptr);
        prev = stn_line_sha256(line);
        out += line + "\n";
    };
    bool ok = true;
    for (std::uint64_t i = 0; i < kUnits && ok; ++i) {
        const std::int64_t t = t0 + static_cast<std::int64_t>(i) * kMsPerUnit +
                               static_cast<std::int64_t>(i / kUnitsPerShift) * 16 * 3600000;
        if (i != 0 && i % kUnitsPerShift == 0) {
            add(stn_json_run("stop", iso(t - 16 * 3600000 - 1000), "LINE-3", "+01:00", "3.50", "WO-1"));
            add(stn_json_run("open", iso(t - 1000), "LINE-3", "+01:00", "3.50", "WO-1"));
        }
        // Serials of units 3..5 of each hundred are those of 0..2 again: a
        // refused unit taken a second time.
        const std::uint64_t in_100 = i % 100;
        const StnUnitResult r = bench_support::unit_result(
            i, i + 1,
            static_cast<std::int32_t>(84000000 + i - (in_100 >= 3 && in_100 < 6 ? 3 : 0)),
            0x129, 0x13E);
        add(stn_json_start(r.device, r.id, iso(t), sha));
        add(stn_json_report(r, iso(t + static_cast<std::int64_t>(r.ms)), sha));
        if (out.size() > (4u << 20)) {
            ok = write_all(f, out);
            out.clear();
        }
    }
    ok = ok && write_all(f, out);
    CloseHandle(f);
    return ok && MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::uint64_t file_size(const std::string &path) {
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &a)) return 0;
    return (static_cast<std::uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
}

// Cuts the file back to size (the station appends its run line).
void cut(const std::string &path, std::uint64_t size) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    SetFilePointerEx(f, at, nullptr, FILE_BEGIN);
    SetEndOfFile(f);
    CloseHandle(f);
}

// A plain pass over the file, 1 MiB at a time; ms, or -1.
double read_pass_ms(const std::string &path) {
    const double t0 = now_ms();
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (f == INVALID_HANDLE_VALUE) return -1;
    std::vector<char> buf(1 << 20);
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(f, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr) != 0) &&
           got != 0) {
    }
    CloseHandle(f);
    return ok ? now_ms() - t0 : -1;
}

struct Memory {
    double peak_private_mb = 0, peak_working_set_mb = 0;
    void take(HANDLE process) {
        PROCESS_MEMORY_COUNTERS pmc{};
        pmc.cb = sizeof pmc;
        if (!GetProcessMemoryInfo(process, &pmc, sizeof pmc)) return;
        const double mb = 1024.0 * 1024.0;
        if (pmc.PeakPagefileUsage / mb > peak_private_mb) {
            peak_private_mb = pmc.PeakPagefileUsage / mb;
        }
        if (pmc.PeakWorkingSetSize / mb > peak_working_set_mb) {
            peak_working_set_mb = pmc.PeakWorkingSetSize / mb;
        }
    }
};

// A started qvm_cli: its standard error through a pipe, its standard
// output into a file (out_path; none when empty).
class Child {
public:
    Child(const std::string &exe, const std::string &args, const std::string &out_path = "") {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE wr = nullptr;
        if (!CreatePipe(&rd_, &wr, &sa, 0)) return;
        SetHandleInformation(rd_, HANDLE_FLAG_INHERIT, 0);
        HANDLE nul =
            CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        &sa, OPEN_EXISTING, 0, nullptr);
        HANDLE out = out_path.empty()
                         ? nul
                         : CreateFileA(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa,
                                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = nul;
        si.hStdOutput = out;
        si.hStdError = wr;
        std::string line = "\"" + exe + "\" " + args;
        started_at = now_ms();
        if (!CreateProcessA(exe.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                            &pi_)) {
            pi_ = PROCESS_INFORMATION{};
        }
        CloseHandle(wr);
        if (out != nul && out != INVALID_HANDLE_VALUE) CloseHandle(out);
        CloseHandle(nul);
    }
    ~Child() {
        if (pi_.hProcess != nullptr) {
            TerminateProcess(pi_.hProcess, 99);
            WaitForSingleObject(pi_.hProcess, 10000);
            CloseHandle(pi_.hProcess);
            CloseHandle(pi_.hThread);
        }
        if (rd_ != nullptr) CloseHandle(rd_);
    }
    bool started() const { return pi_.hProcess != nullptr; }
    HANDLE process() const { return pi_.hProcess; }
    // Reads standard error until text appears in it (true) or it ends.
    bool read_until(const char *text, std::string *got) {
        char buf[4096];
        DWORD n = 0;
        while (ReadFile(rd_, buf, sizeof buf, &n, nullptr) && n != 0) {
            got->append(buf, n);
            if (got->find(text) != std::string::npos) return true;
        }
        return false;
    }
    double started_at = 0;

private:
    PROCESS_INFORMATION pi_{};
    HANDLE rd_ = nullptr;
};

struct StationRun {
    double first_probe_ms = -1;
    Memory memory;
};

// qvm_cli station on report, ended as soon as it waits for devices.
StationRun station(const std::string &exe, const std::string &report) {
    StationRun r;
    Child c(exe, "station --report \"" + report + "\"");
    std::string err;
    if (!c.started() || !c.read_until("station: waiting for devices", &err)) {
        std::fprintf(stderr, "bench_report: the station did not start: %s\n", err.c_str());
        return r;
    }
    r.first_probe_ms = now_ms() - c.started_at;
    r.memory.take(c.process());
    return r;
}

struct ReportRun {
    double ms = -1;
    Memory memory;
    std::string out;
};

// qvm_cli report with args (the options and the file), to its end; its
// memory looked at every 10 ms meanwhile (the peak counters only grow).
ReportRun report(const std::string &exe, const std::string &args, const std::string &out_path) {
    ReportRun r;
    Child c(exe, "report " + args, out_path);
    if (!c.started()) return r;
    const double t0 = c.started_at;
    while (WaitForSingleObject(c.process(), 10) == WAIT_TIMEOUT) {
        r.memory.take(c.process());
        if (now_ms() - t0 > kWaitMs) return r;
    }
    r.ms = now_ms() - t0;
    if (FILE *f = std::fopen(out_path.c_str(), "rb")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) r.out.append(buf, n);
        std::fclose(f);
    }
    DWORD code = 1;
    GetExitCodeProcess(c.process(), &code);
    if (code != 0) r.ms = -1;
    return r;
}

std::string folder_of_this_program() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p = path;
    return p.substr(0, p.find_last_of("\\/") + 1);
}

template <class T, class F>
std::vector<double> each(const std::vector<T> &runs, F f) {
    std::vector<double> out;
    for (const T &r : runs) out.push_back(f(r));
    return out;
}

}  // namespace

int main() {
    const char *other = std::getenv("BENCH_QVM_CLI");
    const std::string exe = other != nullptr && *other != '\0' ? std::string(other)
                                                               : qvm_e2e::windows_path(QVM_CLI_EXE);
    const char *rounds_env = std::getenv("BENCH_ROUNDS");
    const int rounds =
        rounds_env != nullptr && std::atoi(rounds_env) > 0 ? std::atoi(rounds_env) : 5;
    // No devices: the station's first probe finds none.
    devsim::Control ctl;
    if (ctl.open()) ctl.remove_all();

    const std::string dir = folder_of_this_program();
    // Chained, as stations write reports now; the unchained one of earlier
    // runs goes.
    const std::string big = dir + "report-1m-chained.jsonl";
    DeleteFileA((dir + "report-1m.jsonl").c_str());
    const std::string empty = dir + "report-empty.jsonl";
    const std::string answer = dir + "report-answer.json";
    const std::string page = dir + "report-1m.html";
    const std::string odd = dir + "report-9999.jsonl";
    {
        HANDLE f = CreateFileA(odd.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        const bool ok = f != INVALID_HANDLE_VALUE &&
                        write_all(f, stn_json_run("open", "2026-01-05T06:00:00.000Z", "LINE-3",
                                                  "+01:00", "3.50", "WO-1") +
                                         "\n{\"type\":\"start\",\"id\":1,\"time\":"
                                         "\"2026-01-05T06:00:01.000Z\"}\n{\"type\":\"unit\","
                                         "\"time\":\"9999-01-05T06:00:03.000Z\",\"id\":1,"
                                         "\"serial\":7,\"result\":\"updated\"}\n");
        if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
        if (!ok) {
            std::fprintf(stderr, "bench_report: cannot write %s\n", odd.c_str());
            return 1;
        }
    }
    const std::string quoted_big = "\"" + big + "\"";
    std::uint64_t lines = 2 * kUnits + 2 * (kUnits / kUnitsPerShift - 1);
    if (file_size(big) == 0) {
        std::printf("making %s (once)...\n", big.c_str());
        if (!make_report(big, &lines)) {
            std::fprintf(stderr, "bench_report: cannot write %s\n", big.c_str());
            return 1;
        }
    }
    const std::uint64_t size = file_size(big);
    read_pass_ms(big);  // into the page cache

    std::vector<StationRun> on_empty, on_big;
    std::vector<ReportRun> report_empty, report_big, verify_big, page_big, report_odd;
    std::vector<double> pass;
    for (int r = 0; r < rounds; ++r) {
        DeleteFileA(empty.c_str());
        on_empty.push_back(station(exe, empty));
        on_big.push_back(station(exe, big));
        cut(big, size);
        pass.push_back(read_pass_ms(big));
        DeleteFileA(empty.c_str());
        HANDLE f = CreateFileA(empty.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
        report_empty.push_back(report(exe, "--json \"" + empty + "\"", answer));
        report_big.push_back(report(exe, "--json " + quoted_big, answer));
        verify_big.push_back(report(exe, "--verify --json " + quoted_big, ""));
        page_big.push_back(report(exe, quoted_big + " --html \"" + page + "\"", ""));
        report_odd.push_back(report(exe, "--json \"" + odd + "\"", ""));
        if (on_empty.back().first_probe_ms < 0 || on_big.back().first_probe_ms < 0 ||
            pass.back() < 0 || report_empty.back().ms < 0 || report_big.back().ms < 0 ||
            verify_big.back().ms < 0 || page_big.back().ms < 0 || report_odd.back().ms < 0) {
            std::fprintf(stderr, "bench_report: a run failed\n");
            return 1;
        }
    }
    DeleteFileA(empty.c_str());
    DeleteFileA(answer.c_str());

    const auto probe = [](const StationRun &s) { return s.first_probe_ms; };
    const auto priv = [](const StationRun &s) { return s.memory.peak_private_mb; };
    const auto ws = [](const StationRun &s) { return s.memory.peak_working_set_mb; };
    const double te = median(each(on_empty, probe)), tb = median(each(on_big, probe));
    const double read = median(pass);
    const double pe = median(each(on_empty, priv)), pb = median(each(on_big, priv));
    const double we = median(each(on_empty, ws)), wb = median(each(on_big, ws));
    const double re = median(each(report_empty, [](const ReportRun &x) { return x.ms; }));
    const auto took = [](const ReportRun &x) { return x.ms; };
    const double rb = median(each(report_big, took));
    const double vb = median(each(verify_big, took));
    const double hb = median(each(page_big, took));
    // Each round's --json and --verify together, and the page's time over
    // that (the machine's noise differs from round to round).
    std::vector<double> both, ratios;
    std::string each_ratio;
    for (std::size_t i = 0; i < report_big.size(); ++i) {
        both.push_back(report_big[i].ms + verify_big[i].ms);
        ratios.push_back(page_big[i].ms / both.back());
        char buf[16];
        std::snprintf(buf, sizeof buf, " %.2f", ratios.back());
        each_ratio += buf;
    }
    const double jv = median(both);
    const double hp =
        median(each(page_big, [](const ReportRun &x) { return x.memory.peak_private_mb; }));
    const double rp =
        median(each(report_big, [](const ReportRun &x) { return x.memory.peak_private_mb; }));
    const double rw =
        median(each(report_big, [](const ReportRun &x) { return x.memory.peak_working_set_mb; }));

    std::printf(
        "qvm_cli %s\nreport of %llu units: %llu lines, %.1f MB (medians of %d alternating runs)\n",
        exe.c_str(), static_cast<unsigned long long>(kUnits),
        static_cast<unsigned long long>(lines), size / 1e6, rounds);
    std::printf("  station, start to first probe, empty report:   %9.1f ms\n", te);
    std::printf("  station, start to first probe, 1,000,000 units: %8.1f ms\n", tb);
    std::printf("  plain ReadFile pass over the file (1 MiB reads): %7.1f ms\n", read);
    std::printf("  (1,000,000 units - empty) / plain pass:         %9.2f  (goal <= 3)\n",
                (tb - te) / read);
    std::printf(
        "  station peak private bytes, empty / 1,000,000:  %6.1f / %.1f MB = %.2f  (goal <= 2)\n",
        pe, pb, pb / pe);
    std::printf("  station peak working set, empty / 1,000,000:    %6.1f / %.1f MB = %.2f\n", we,
                wb, wb / we);
    std::printf("  report --json, empty report:                    %9.1f ms\n", re);
    std::printf(
        "  report --json, 1,000,000 units:                 %9.1f ms, peak private %.1f MB, "
        "working set %.1f MB\n",
        rb, rp, rw);
    std::printf("  report --json lines per second (whole run):     %9.0f  (goal >= 500000)\n",
                lines / (rb / 1000.0));
    std::printf("  report --json lines per second (less an empty run): %5.0f\n",
                lines / ((rb - re) / 1000.0));
    std::printf("  report --verify --json, 1,000,000 units:        %9.1f ms\n", vb);
    std::printf("  report --json, then --verify --json:            %9.1f ms\n", jv);
    std::printf("  report --html (checks the chain too):           %9.1f ms, peak private %.1f MB\n",
                hb, hp);
    std::printf("  --html / --json:                                %9.2f\n", hb / rb);
    std::printf("  --html / (--json + --verify --json):            %9.2f  (goal <= 1.2)\n",
                hb / jv);
    std::printf("    median of each round's:                       %9.2f  (rounds:%s)\n",
                median(ratios), each_ratio.c_str());
    std::printf(
        "  report --json, 3 lines, a time in the year 9999: %7.1f ms, peak private %.1f MB\n",
        median(each(report_odd, took)),
        median(each(report_odd, [](const ReportRun &x) { return x.memory.peak_private_mb; })));
    const std::uint64_t page_size = file_size(page);
    std::printf("  the page: %llu bytes  (goal < 2 MB), kept as %s\n",
                static_cast<unsigned long long>(page_size), page.c_str());
    std::printf("  its answer: %s", report_big.back().out.c_str());
    return 0;
}
