// The real program's update and start-up, each against a baseline measured
// side by side in the same run:
// - update: qvm_updater.exe writes device 0 (3.41, no delay) through the
//   simulated-device driver, driven through its UI. Against it, a bare
//   WriteFile/ReadFile loop of the same exchanges (LED 2, begin, 64 blocks,
//   end, LED 1) on the same device. Both transfers are timed the same way,
//   from the device's side: a watcher thread polls the device's exchange
//   counter and notes when the transfer's first and last command arrive.
//   The program's user-visible time (OK of the confirmation to the
//   completion box) is printed too. Goal: transfer ratio at most 1.10.
// - start-up: process start to a visible main dialog, against a minimal
//   dialog program (one dialog of the same size, no code) started and
//   watched the same way. Goal: ratio at most 1.3.
// Needs the driver running and a display (scripts/run-benchmarks.sh).
//
// Threads: the main thread drives everything; the watcher thread only
// reads the device's state through its own control handle.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench_clock.h"
#include "test_frames.h"
#include "upd_support.h"

using namespace upd_e2e;

namespace {

// Transfers: the watcher sees each one with a granularity of about 1 ms,
// so ratios are taken over the sum of many (the phase of that granularity
// averages out) and medians are shown beside them.
constexpr int kRepetitions = 15;
// Process starts vary more: more of them.
constexpr int kStartRepetitions = 15;
// Exchanges of one transfer: LED 2, begin, 64 blocks, end, LED 1.
constexpr std::uint32_t kTransferExchanges = 4 + kBlocks;

using bench_support::median;
using bench_support::now_ms;

double sum(const std::vector<double> &v) {
    double s = 0;
    for (double x : v) s += x;
    return s;
}

std::string windows_path(std::string path) {
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// Watches device 0's exchange counter from its own thread (every
// millisecond) and notes when it first moves past `base` and when it
// reaches base + kTransferExchanges.
class Watcher {
public:
    explicit Watcher(std::uint32_t base)
        : base_(base), seen_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          thread_([this] { run(); }) {}
    ~Watcher() {
        finish();
        CloseHandle(seen_);
    }
    // Blocks (without adding any traffic of its own) until the last command
    // was seen; false after `ms`.
    bool wait(DWORD ms) { return WaitForSingleObject(seen_, ms) == WAIT_OBJECT_0; }
    // Stops watching; milliseconds from the first to the last command seen,
    // < 0 when the transfer was not seen whole.
    double finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return first_ < 0 || last_ < 0 ? -1 : last_ - first_;
    }

private:
    void run() {
        devsim::Control ctl;
        if (!ctl.open()) return;
        while (!stop_) {
            devsim_ioc_state st{};
            if (ctl.state(0, &st)) {
                const double t = now_ms();
                if (first_ < 0 && st.exchanges > base_) first_ = t;
                if (st.exchanges >= base_ + kTransferExchanges) {
                    last_ = t;
                    SetEvent(seen_);
                    return;
                }
            }
            Sleep(1);
        }
    }

    std::uint32_t base_;
    std::atomic<bool> stop_{false};
    double first_ = -1, last_ = -1;
    HANDLE seen_;
    std::thread thread_;
};

// The bare loop frames with the tests' own framing, not the program's.
std::vector<std::uint8_t> frame(std::uint16_t id, std::uint32_t p1, std::uint32_t p2,
                                const std::uint8_t *payload = nullptr, std::size_t n = 0) {
    return test_frames::make_frame(id, p1, p2, test_frames::Bytes(payload, payload + n));
}

// The transfer's exchanges, as the program sends them.
std::vector<std::vector<std::uint8_t>> transfer_messages(const std::vector<std::uint8_t> &window) {
    std::vector<std::vector<std::uint8_t>> m;
    m.push_back(frame(DEVSIM_CMD_LED_SET, 2, 0));
    m.push_back(frame(DEVSIM_CMD_BOOTDATA, 1, 0));
    for (std::size_t off = 0; off < window.size(); off += 256)
        m.push_back(frame(DEVSIM_CMD_BOOTDATA, 2, static_cast<std::uint32_t>(0x4000 + off),
                          window.data() + off, 256));
    m.push_back(frame(DEVSIM_CMD_BOOTDATA, 3, 0));
    m.push_back(frame(DEVSIM_CMD_LED_SET, 1, 0));
    return m;
}

bool bare_transfer(const std::vector<std::vector<std::uint8_t>> &msgs) {
    HANDLE h = CreateFileA("\\\\.\\R846_QVM2K_0", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    std::uint8_t answer[21];
    for (const auto &m : msgs) {
        DWORD n = 0;
        if (!WriteFile(h, m.data(), static_cast<DWORD>(m.size()), &n, nullptr) ||
            n != m.size() || !ReadFile(h, answer, 17, &n, nullptr) || n != 17 ||
            answer[8] != 0x55) {
            ok = false;
            break;
        }
    }
    CloseHandle(h);
    return ok;
}

// Start-up: process start to its first visible top-level window; the
// process is then closed and waited for. < 0 on failure.
double start_up(const std::string &exe, bool updater) {
    qvm_e2e::Program prog;
    const double t0 = now_ms();
    if (!prog.start(exe)) return -1;
    HWND wnd = nullptr;
    for (;;) {
        for (HWND w : prog.windows()) {
            if (IsWindowVisible(w)) wnd = w;
        }
        if (wnd != nullptr || now_ms() - t0 > 20000) break;
        Sleep(1);
    }
    const double t = now_ms() - t0;
    if (wnd == nullptr) return -1;
    if (updater) {
        qvm_e2e::click(wnd, IDCANCEL);  // Exit
    } else {
        PostMessageA(wnd, WM_CLOSE, 0, 0);
    }
    return prog.wait_exit() ? t : -1;
}

int fail(const char *what) {
    std::fprintf(stderr, "bench_update: %s\n", what);
    return 1;
}

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string updater = qvm_e2e::updater_path();
    const std::string minimal = windows_path(BENCH_MIN_DIALOG_EXE);

    // ---- start-up, interleaved so that drift affects both alike
    start_up(updater, true);  // warm-up: page cache, fonts
    start_up(minimal, false);
    std::vector<double> up_prog, up_min;
    for (int r = 0; r < kStartRepetitions; ++r) {
        const double p = start_up(updater, true);
        const double m = start_up(minimal, false);
        if (p < 0 || m < 0) return fail("a program did not show its window or did not end");
        up_prog.push_back(p);
        up_min.push_back(m);
    }

    // ---- update
    Devices dev;
    if (!dev.ready()) return fail("the simulated device driver does not answer");
    if (!dev.add(0, 341)) return fail("cannot plug in device 0");
    const std::vector<std::uint8_t> window = embedded_window();
    if (window.size() != 0x4000) return fail("no embedded window");
    const auto msgs = transfer_messages(window);

    qvm_e2e::Program prog;
    if (!prog.start()) return fail("qvm_updater.exe does not start");
    HWND main = prog.wait_main();
    if (main == nullptr) return fail("no main dialog");

    std::vector<double> dev_prog, dev_bare, bare_own, visible;
    for (int r = 0; r < kRepetitions + 1; ++r) {
        // The program's update.
        if (!dev.ctl().reset(0)) return fail("cannot reset device 0");
        qvm_e2e::click(main, kUpdate);
        HWND confirm = wait_box(prog);
        if (confirm == nullptr || box_text(confirm) != kConfirm) return fail("no confirmation");
        const std::uint32_t base = dev.state(0).exchanges;
        double t_prog, t_visible;
        {
            Watcher watch(base);
            const double t0 = now_ms();
            qvm_e2e::click(confirm, IDOK);
            // No window polling of ours while the transfer runs: it would
            // load the same Wine server that carries the device's traffic.
            if (!watch.wait(30000)) return fail("the transfer did not end");
            HWND done = nullptr;
            while ((done = wait_box(prog, 0)) == nullptr || done == confirm) {
                if (now_ms() - t0 > 30000) return fail("no completion box");
                Sleep(1);
            }
            t_visible = now_ms() - t0;
            if (box_text(done) != kCompleted) return fail("the update failed");
            t_prog = watch.finish();
            answer_box(done, IDOK);
        }
        // The program then asks the device for its new version and closes it.
        if (!qvm_e2e::wait_until([&] {
                devsim_ioc_state st = dev.state(0);
                return st.exchanges > base + kTransferExchanges && st.open_handles == 0 &&
                       prog.dialogs().empty();
            }))
            return fail("the program does not let go of the device");
        if (dev.flash(0) != window) return fail("the device does not hold the window");

        // The bare loop of the same exchanges on the same device.
        if (!dev.ctl().reset(0)) return fail("cannot reset device 0");
        double t_bare, t_own;
        {
            Watcher watch(dev.state(0).exchanges);
            const double t0 = now_ms();
            if (!bare_transfer(msgs)) return fail("the bare loop failed");
            t_own = now_ms() - t0;
            watch.wait(1000);
            t_bare = watch.finish();
        }
        if (dev.flash(0) != window) return fail("the bare loop did not write the window");
        if (t_prog < 0 || t_bare < 0) return fail("the watcher missed a transfer");
        if (r == 0) continue;  // warm-up
        dev_prog.push_back(t_prog);
        dev_bare.push_back(t_bare);
        bare_own.push_back(t_own);
        visible.push_back(t_visible);
    }
    qvm_e2e::click(main, IDCANCEL);
    prog.wait_exit();

    const double sp = median(up_prog), sm = median(up_min);
    const double tp = sum(dev_prog), tb = sum(dev_bare);
    std::printf("update, %u exchanges through the driver (%d transfers each):\n",
                kTransferExchanges, kRepetitions);
    std::printf("  qvm_updater.exe transfer, seen by the device: mean %8.2f ms, median %8.2f ms\n",
                tp / kRepetitions, median(dev_prog));
    std::printf("  bare WriteFile/ReadFile loop, seen the same:  mean %8.2f ms, median %8.2f ms"
                "  (own clock: median %.2f ms)\n",
                tb / kRepetitions, median(dev_bare), median(bare_own));
    std::printf("  ratio %.3f  (goal <= 1.10)\n", tb > 0 ? tp / tb : 0.0);
    std::printf("  user-visible: OK of the confirmation to the completion box, median %.2f ms"
                " (%.3f x the bare loop)\n",
                median(visible), tb > 0 ? median(visible) / (tb / kRepetitions) : 0.0);
    std::printf("start-up, process start to a visible dialog (median of %d):\n",
                kStartRepetitions);
    std::printf("  qvm_updater.exe main dialog:   %8.2f ms\n", sp);
    std::printf("  minimal dialog program:        %8.2f ms\n", sm);
    std::printf("  ratio %.3f  (goal <= 1.3)\n", sm > 0 ? sp / sm : 0.0);
    return 0;
}
