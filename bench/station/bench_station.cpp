// The station window against `qvm_cli station` on the same 8 simulated
// devices (2 ms per exchange), interleaved in one run: the wall time from
// Start (a click on the window's Start; the console program's start) until
// the report holds all 8 units, and the time from the first exchange any
// device sees to the same point (the station's own work, without process
// start). Goal: window / console at most 1.10. Then the window's start-up
// (process start to a visible window) against a minimal dialog program,
// started in turns: the median of the ratios of neighbouring starts (a
// shared machine's load drifts less within a pair than across the run)
// and the ratio of the medians. Goal: at most 1.3. Then Report... on the
// report of 1,000,000 units that bench_report makes (run before this one):
// the time from the press to the page written, and how long the window
// takes to answer a message meanwhile against when it is idle (it must
// never freeze), and how soon the window ends when closed meanwhile.
// Prints figures; never fails a build.
//
// Threads: the main thread only.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli_e2e_run.h"
#include "bench_clock.h"
#include "bench_devices.h"
#include "devsim_ctl.h"
#include "qvm_e2e.h"
#include "station_e2e.h"
#include "stw_resource.h"

namespace {

constexpr unsigned kDevices = 8;
constexpr std::uint32_t kDelayMs = 2;
constexpr int kRepetitions = 5;
constexpr int kStartRepetitions = 25;
constexpr int kPageRepetitions = 3;

using bench_support::median;
using bench_support::now_ms;

// Fresh devices 0..7 holding 3.40, each with the delay.
bool plug(devsim::Control &ctl) {
    return bench_support::plug_devices(ctl, kDevices, 340, kDelayMs);
}

std::uint32_t exchanges(devsim::Control &ctl) {
    std::uint32_t n = 0;
    for (unsigned i = 0; i < kDevices; ++i) {
        devsim_ioc_state st{};
        if (ctl.state(i, &st)) n += st.exchanges;
    }
    return n;
}

struct Times {
    double wall = -1;   // start to the last unit recorded
    double work = -1;   // first exchange to the last unit recorded
};

// Waits for the first exchange (polling every 5 ms) and then for all units
// (polling the report every 10 ms; the devices are left alone then, since
// every look loads the Wine server that carries their traffic).
Times watch(devsim::Control &ctl, const std::string &report, double t0) {
    Times t;
    double first = -1;
    const std::uint32_t base = exchanges(ctl);
    while (now_ms() - t0 < 60000) {
        if (first < 0) {
            if (exchanges(ctl) > base) first = now_ms();
            Sleep(5);
            continue;
        }
        std::size_t updated = 0;
        for (const std::string &l : station_e2e::unit_lines(report))
            updated += l.find("\"result\":\"updated\"") != std::string::npos;
        if (updated >= kDevices) {
            const double end = now_ms();
            t.wall = end - t0;
            t.work = first < 0 ? -1 : end - first;
            return t;
        }
        Sleep(10);
    }
    return t;
}

std::string fresh_report(const char *name) {
    const std::string p = cli_e2e::temp_path(name);
    DeleteFileA(p.c_str());
    return p;
}

Times window_run(devsim::Control &ctl) {
    const std::string report = fresh_report("bench-station-window.jsonl");
    station_e2e::Station st;
    if (!st.start("--report \"" + report + "\"")) return {};
    HWND main = st.wait_main();
    if (main == nullptr || !plug(ctl)) return {};
    const double t0 = now_ms();
    PostMessageA(main, WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(main, IDC_START)));
    const Times t = watch(ctl, report, t0);
    PostMessageA(main, WM_CLOSE, 0, 0);  // nothing runs: stops and closes
    st.wait_exit(20000);
    DeleteFileA(report.c_str());
    return t;
}

Times console_run(devsim::Control &ctl) {
    const std::string report = fresh_report("bench-station-cli.jsonl");
    if (!plug(ctl)) return {};
    const double t0 = now_ms();
    Times t;
    {
        cli_e2e::Cli cli("station --report \"" + report + "\"");
        if (!cli.started()) return {};
        t = watch(ctl, report, t0);
        cli.kill();
    }
    DeleteFileA(report.c_str());
    return t;
}

// Process start to its first visible top-level window; then closed.
double start_up(const std::string &exe, const std::string &args) {
    station_e2e::Station st;  // any program: its windows by process
    const double t0 = now_ms();
    if (!st.start_exe(exe, args)) return -1;
    HWND wnd = nullptr;
    while (wnd == nullptr && now_ms() - t0 < 20000) {
        const std::vector<HWND> w = st.dialogs();
        if (!w.empty()) wnd = w.front();
        else Sleep(1);
    }
    const double t = now_ms() - t0;
    if (wnd == nullptr) return -1;
    PostMessageA(wnd, WM_CLOSE, 0, 0);
    return st.wait_exit(20000) ? t : -1;
}

struct PageTimes {
    double made = -1;          // press to the window's word that the page is written
    double answer_median = -1, answer_max = -1;  // WM_NULL round trips meanwhile
    double idle_median = -1, idle_max = -1;      // the same before the press
    double page_kb = -1;
};

// One WM_NULL to the window and back, in ms; -1 when it did not answer
// within 10 s.
double answer_ms(HWND wnd) {
    const double t0 = now_ms();
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutA(wnd, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &r)) return -1;
    return now_ms() - t0;
}

// Report... on report (nothing opens .html files: the window ends with the
// box that names the page); the window asked every 20 ms meanwhile.
PageTimes page_run(const std::string &report, const std::string &page) {
    station_e2e::ScopedNoHtmlOpener no_browser;
    station_e2e::Station st;
    if (!no_browser.ok() || !st.start("--report \"" + report + "\"")) return {};
    HWND main = st.wait_main();
    if (main == nullptr) return {};
    PageTimes t;
    std::vector<double> idle, busy;
    for (int i = 0; i < 50; ++i) {
        idle.push_back(answer_ms(main));
        Sleep(20);
    }
    DeleteFileA(page.c_str());
    const double t0 = now_ms();
    PostMessageA(main, WM_COMMAND, MAKEWPARAM(IDC_REPORT_PAGE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(main, IDC_REPORT_PAGE)));
    HWND box = nullptr;
    while (box == nullptr && now_ms() - t0 < 600000) {
        box = st.wait_box("", 0);
        if (box != nullptr) break;
        busy.push_back(answer_ms(main));
        Sleep(20);
    }
    const double made = now_ms() - t0;
    const std::string said = box != nullptr ? station_e2e::box_text(box) : "";
    if (box != nullptr) station_e2e::answer(box, IDOK);
    PostMessageA(main, WM_CLOSE, 0, 0);
    st.wait_exit(20000);
    if (said.find("written to") == std::string::npos) {
        std::fprintf(stderr, "bench_station: Report... said: %s\n", said.c_str());
        return {};
    }
    if (std::count(idle.begin(), idle.end(), -1.0) + std::count(busy.begin(), busy.end(), -1.0))
        return {};
    t.made = made;
    t.idle_median = median(idle);
    t.idle_max = *std::max_element(idle.begin(), idle.end());
    if (!busy.empty()) {
        t.answer_median = median(busy);
        t.answer_max = *std::max_element(busy.begin(), busy.end());
    }
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (GetFileAttributesExA(page.c_str(), GetFileExInfoStandard, &a)) t.page_kb = a.nFileSizeLow / 1024.0;
    return t;
}

// Report... on report, and the window closed a second later: the time
// from the close to the process's end (the reading stops at its next
// chunk), or -1.
double close_while_making(const std::string &report) {
    station_e2e::ScopedNoHtmlOpener no_browser;
    station_e2e::Station st;
    if (!no_browser.ok() || !st.start("--report \"" + report + "\"")) return -1;
    HWND main = st.wait_main();
    if (main == nullptr) return -1;
    PostMessageA(main, WM_COMMAND, MAKEWPARAM(IDC_REPORT_PAGE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(main, IDC_REPORT_PAGE)));
    Sleep(1000);
    const double t0 = now_ms();
    PostMessageA(main, WM_CLOSE, 0, 0);
    return st.wait_exit(60000) ? now_ms() - t0 : -1;
}

// The Report... figures, or a line that says why there are none.
void page_figures() {
    const std::string report = qvm_e2e::windows_path(BENCH_BIG_REPORT);
    if (GetFileAttributesA(report.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::printf("Report...: no %s (bench_report makes it): skipped\n", report.c_str());
        return;
    }
    char dir[MAX_PATH] = {};
    GetTempPathA(sizeof dir, dir);
    const std::string page = std::string(dir) + "report-1m.html";
    std::vector<double> made, answer, longest, idle, idle_longest;
    double kb = -1;
    page_run(report, page);  // warm-up: the report into the page cache
    for (int r = 0; r < kPageRepetitions; ++r) {
        const PageTimes t = page_run(report, page);
        if (t.made < 0) {
            std::printf("Report...: no page was made\n");
            return;
        }
        made.push_back(t.made);
        if (t.answer_median >= 0) answer.push_back(t.answer_median);
        if (t.answer_max >= 0) longest.push_back(t.answer_max);
        idle.push_back(t.idle_median);
        idle_longest.push_back(t.idle_max);
        kb = t.page_kb;
    }
    DeleteFileA(page.c_str());
    std::vector<double> closes;
    for (int r = 0; r < kPageRepetitions; ++r) closes.push_back(close_while_making(report));
    std::printf("Report... on a report of 1,000,000 units (medians of %d runs):\n",
                kPageRepetitions);
    std::printf("  press to the page written:                  %8.1f ms\n", median(made));
    std::printf("  the page:                                   %8.1f KB\n", kb);
    std::printf("  window's answer meanwhile, median:          %8.2f ms  (idle %.2f ms)\n",
                median(answer), median(idle));
    std::printf("  window's answer meanwhile, longest:         %8.2f ms  (idle %.2f ms)\n",
                median(longest), median(idle_longest));
    std::printf("  closed 1 s after the press, close to exit:  %8.1f ms  (-1: did not end)\n",
                median(closes));
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    devsim::Control ctl;
    if (!ctl.open()) {
        std::fprintf(stderr, "bench_station: the simulated device driver does not answer\n");
        return 1;
    }
    std::vector<double> win_wall, win_work, cli_wall, cli_work;
    window_run(ctl);  // warm-up
    for (int r = 0; r < kRepetitions; ++r) {
        const Times w = window_run(ctl);
        const Times c = console_run(ctl);
        if (w.wall < 0 || c.wall < 0 || w.work < 0 || c.work < 0) {
            std::fprintf(stderr, "bench_station: a station run did not update all %u devices\n",
                         kDevices);
            return 1;
        }
        win_wall.push_back(w.wall);
        win_work.push_back(w.work);
        cli_wall.push_back(c.wall);
        cli_work.push_back(c.work);
    }
    ctl.remove_all();

    const std::string station = station_e2e::station_path();
    const std::string minimal = qvm_e2e::windows_path(BENCH_MIN_DIALOG_EXE);
    const std::string report = fresh_report("bench-station-start.jsonl");
    const std::string args = "--report \"" + report + "\"";
    start_up(station, args);
    start_up(minimal, "");
    std::vector<double> up_station, up_min, up_ratio;
    for (int r = 0; r < kStartRepetitions; ++r) {
        const double s = start_up(station, args), m = start_up(minimal, "");
        if (s < 0 || m < 0) {
            std::fprintf(stderr, "bench_station: a program did not show its window or end\n");
            return 1;
        }
        up_station.push_back(s);
        up_min.push_back(m);
        up_ratio.push_back(s / m);
    }

    const double ww = median(win_wall), cw = median(cli_wall);
    const double wk = median(win_work), ck = median(cli_work);
    std::printf("station, %u devices at %u ms per exchange (medians of %d, interleaved):\n",
                kDevices, kDelayMs, kRepetitions);
    std::printf("  qvm_station.exe, Start to all updated:      %8.1f ms\n", ww);
    std::printf("  qvm_cli station, start to all updated:      %8.1f ms\n", cw);
    std::printf("  ratio window / console:                     %8.3f  (goal <= 1.10)\n", ww / cw);
    std::printf("  first exchange to all updated, window:      %8.1f ms\n", wk);
    std::printf("  first exchange to all updated, console:     %8.1f ms\n", ck);
    std::printf("  ratio window / console:                     %8.3f  (goal <= 1.10)\n", wk / ck);
    const double su = median(up_station), mu = median(up_min);
    std::printf("start-up, process start to a visible window (%d starts each, in turns):\n",
                kStartRepetitions);
    std::printf("  qvm_station.exe, median:          %8.1f ms\n", su);
    std::printf("  minimal dialog program, median:   %8.1f ms\n", mu);
    std::printf("  median of neighbouring ratios:    %8.3f  (goal <= 1.3)\n", median(up_ratio));
    std::printf("  ratio of the medians:             %8.3f\n", su / mu);
    page_figures();
    return 0;
}
