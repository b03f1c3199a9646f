// qvm_cli.exe side by side: `update --all` on 8 devices against the same
// update of one device alone, each device with a delay per exchange; and one
// device's update time as qvm_cli reports it against a bare WriteFile/
// ReadFile loop of the same exchanges with the same delay. Interleaved runs,
// medians; prints figures and never fails. Needs the driver running; it
// replaces every configured device with its own.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli_e2e_run.h"
#include "bench_clock.h"
#include "bench_devices.h"
#include "devsim_ctl.h"
#include "test_frames.h"

namespace {

constexpr unsigned kDevices = 8;
constexpr std::uint32_t kDelayMs = 2;
constexpr int kRepetitions = 5;

using bench_support::median;
using bench_support::now_ms;

// Fresh devices 0..n-1 holding 3.40, each with the delay.
bool plug(devsim::Control &ctl, unsigned n) {
    return bench_support::plug_devices(ctl, n, 340, kDelayMs);
}

// The largest "ms" of the result lines (the slowest unit), or -1.
double slowest_unit_ms(const cli_e2e::Output &o) {
    double worst = -1;
    for (const std::string &l : o.out) {
        if (l.find("\"type\":\"result\"") == std::string::npos) continue;
        if (l.find("\"result\":\"updated\"") == std::string::npos) return -1;
        const std::size_t at = l.find("\"ms\":");
        if (at != std::string::npos) worst = std::max(worst, std::stod(l.substr(at + 5)));
    }
    return worst;
}

// The exchanges qvm_cli makes for one update: version, LED 2, begin, 64
// blocks, end, LED 1, version.
std::vector<test_frames::Bytes> update_exchanges() {
    std::vector<test_frames::Bytes> m;
    m.push_back(test_frames::make_frame(0x8006, 0, 0));
    m.push_back(test_frames::make_frame(0x8009, 2, 0));
    m.push_back(test_frames::make_frame(0x0001, 1, 0));
    for (std::uint32_t a = 0x4000; a < 0x8000; a += 0x100) {
        m.push_back(test_frames::make_frame(0x0001, 2, a, test_frames::Bytes(256, 0x5A)));
    }
    m.push_back(test_frames::make_frame(0x0001, 3, 0));
    m.push_back(test_frames::make_frame(0x8009, 1, 0));
    m.push_back(test_frames::make_frame(0x8006, 0, 0));
    return m;
}

// The same exchanges by hand on device 0; ms, or -1.
double bare_loop_ms(const std::vector<test_frames::Bytes> &msgs) {
    const double t0 = now_ms();
    HANDLE h = CreateFileA("\\\\.\\R846_QVM2K_0", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    bool ok = true;
    for (const auto &m : msgs) {
        DWORD put = 0, got = 0;
        std::uint8_t rsp[64];
        ok = ok && WriteFile(h, m.data(), static_cast<DWORD>(m.size()), &put, nullptr) &&
             ReadFile(h, rsp, sizeof(rsp), &got, nullptr) && got >= 17 && rsp[8] == 0x55;
    }
    CloseHandle(h);
    return ok ? now_ms() - t0 : -1;
}

}  // namespace

int main() {
    devsim::Control ctl;
    if (!ctl.open()) {
        std::fprintf(stderr, "bench_cli: driver not running\n");
        return 1;
    }
    const auto msgs = update_exchanges();
    std::vector<double> one, many, unit, unit8, bare;
    for (int r = 0; r < kRepetitions; ++r) {
        if (!plug(ctl, 1)) return 1;
        double t0 = now_ms();
        cli_e2e::Output o = cli_e2e::run("update --all --json");
        one.push_back(now_ms() - t0);
        unit.push_back(slowest_unit_ms(o));
        if (o.exit != 0 || unit.back() < 0) {
            std::fprintf(stderr, "bench_cli: the one-device update failed (exit %lu)\n", o.exit);
            return 1;
        }

        if (!plug(ctl, kDevices)) return 1;
        t0 = now_ms();
        o = cli_e2e::run("update --all --json");
        many.push_back(now_ms() - t0);
        unit8.push_back(slowest_unit_ms(o));
        if (o.exit != 0 || unit8.back() < 0) {
            std::fprintf(stderr, "bench_cli: the %u-device update failed (exit %lu)\n", kDevices,
                         o.exit);
            return 1;
        }

        if (!plug(ctl, 1)) return 1;
        bare.push_back(bare_loop_ms(msgs));
        if (bare.back() < 0) {
            std::fprintf(stderr, "bench_cli: the bare loop failed\n");
            return 1;
        }
    }
    ctl.remove_all();
    const double a = median(one), b = median(many), u = median(unit), l = median(bare);
    std::printf("qvm_cli update --all, %zu exchanges per device, %u ms per exchange "
                "(medians of %d, interleaved):\n",
                msgs.size(), kDelayMs, kRepetitions);
    std::printf("  1 device, whole run:                 %8.1f ms\n", a);
    std::printf("  %u devices, whole run:                %8.1f ms\n", kDevices, b);
    std::printf("  ratio %u devices / 1 device:          %8.2f  (goal <= 1.25)\n", kDevices, b / a);
    std::printf("  slowest of %u devices' updates:       %8.1f ms (one alone %.1f ms)\n", kDevices,
                median(unit8), u);
    std::printf("  1 device, its update as reported:    %8.1f ms\n", u);
    std::printf("  same exchanges, bare WriteFile/ReadFile: %5.1f ms\n", l);
    std::printf("  ratio update / bare loop:            %8.2f  (goal <= 1.10)\n", u / l);
    return 0;
}
