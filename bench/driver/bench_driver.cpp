// Exchanges through the simulated-device driver: the round trip of one
// command, and a whole update's exchanges sent by the program's own device
// layer against a bare WriteFile/ReadFile loop of the same messages, side
// by side in one run; the same bare loop on NUL shows the host's floor;
// and devices side by side: the same exchanges, with a delay per exchange,
// on 8 devices at once (a thread and handle each) against one alone.
// Needs the driver running (scripts/devsim-install.sh); it replaces every
// configured device with its own.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "bench_clock.h"
#include "cmc.h"
#include "cmc_snd.h"
#include "devsim_ctl.h"
#include "test_frames.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kRepetitions = 7;
constexpr int kRoundTrips = 300;

using bench_support::median;
using bench_support::now_us;

// The bare loop frames with the tests' own framing, not the program's.
Bytes frame(std::uint16_t id, std::uint32_t p1, std::uint32_t p2, const Bytes &payload = {}) {
    return test_frames::make_frame(id, p1, p2, payload);
}

struct Message {
    Bytes bytes;
    DWORD answer;  // bytes the program reads for its answer
};

// What one update sends: version, LED busy, begin, 64 blocks, end, LED
// done, version again.
std::vector<Message> update_messages(const Bytes &image) {
    std::vector<Message> m;
    m.push_back({frame(0x8006, 0, 0), 37});
    m.push_back({frame(0x8009, 2, 0), 17});
    m.push_back({frame(0x0001, 1, 0), 17});
    for (std::uint32_t off = 0; off < image.size(); off += 256)
        m.push_back({frame(0x0001, 2, 0x4000 + off,
                           Bytes(image.begin() + off, image.begin() + off + 256)),
                     17});
    m.push_back({frame(0x0001, 3, 0), 17});
    m.push_back({frame(0x8009, 1, 0), 17});
    m.push_back({frame(0x8006, 0, 0), 37});
    return m;
}

// With expect_answers, every write must be taken whole and every read
// return an accepted answer; without (NUL), only the calls must succeed.
bool bare_loop(HANDLE h, const std::vector<Message> &msgs, bool expect_answers) {
    std::uint8_t answer[64];
    for (const Message &m : msgs) {
        DWORD n = 0;
        if (!WriteFile(h, m.bytes.data(), static_cast<DWORD>(m.bytes.size()), &n, nullptr) ||
            n != m.bytes.size())
            return false;
        if (!ReadFile(h, answer, m.answer + 4, &n, nullptr)) return false;
        if (expect_answers && (n != m.answer || answer[8] != 0x55)) return false;
    }
    return true;
}

bool program_update(SCMC_OPENTBL *dev, Bytes &image) {
    SQVM_CMD_VER info;
    unsigned long boot = 0;
    if (CLS_cmc::cmc_cmd_ver_get(dev, &info, &boot) != kCmcOk) return false;
    if (CLS_cmc::cmc_cmd_led_set(dev, kCmcLedBusy) != kCmcOk) return false;
    if (CLS_cmc::cmc_cmd_bootdata_set(dev, kCmcBootBegin, nullptr, 0, 0) != kCmcOk) return false;
    const unsigned long blocks = CLS_cmc::cmc_get_blockmax(static_cast<unsigned long>(image.size()),
                                                           0x4000, kCmcBlockSize);
    for (unsigned long n = 0; n < blocks; ++n) {
        unsigned long addr = 0;
        unsigned char *block = CLS_cmc::cmc_get_data(
            image.data(), static_cast<unsigned long>(image.size()), 0x4000, &addr, kCmcBlockSize, n);
        if (block == nullptr) return false;
        unsigned short rc = CLS_cmc::cmc_cmd_bootdata_set(dev, kCmcBootBlock, block, kCmcBlockSize, addr);
        LocalFree(block);
        if (rc != kCmcOk) return false;
    }
    if (CLS_cmc::cmc_cmd_bootdata_set(dev, kCmcBootEnd, nullptr, 0, 0) != kCmcOk) return false;
    if (CLS_cmc::cmc_cmd_led_set(dev, kCmcLedDone) != kCmcOk) return false;
    return CLS_cmc::cmc_cmd_ver_get(dev, &info, &boot) == kCmcOk;
}

// Runs fn kRepetitions times; median wall time in microseconds, or a
// negative value when any run failed.
double measure(const std::function<bool()> &fn) {
    std::vector<double> t;
    for (int r = 0; r < kRepetitions; ++r) {
        double t0 = now_us();
        if (!fn()) return -1;
        t.push_back(now_us() - t0);
    }
    return median(t);
}

constexpr unsigned kSideBySide = 8;
constexpr std::uint32_t kDelayMs = 2;

// Wall time of the bare loop on devices 0..n-1 at once, each on its own
// thread and handle; negative when any failed.
double side_by_side(unsigned n, const std::vector<Message> &msgs) {
    std::vector<HANDLE> handles(n, INVALID_HANDLE_VALUE);
    bool ok = true;
    for (unsigned i = 0; i < n; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "\\\\.\\R846_QVM2K_%u", i);
        handles[i] = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        ok = ok && handles[i] != INVALID_HANDLE_VALUE;
    }
    std::vector<char> done(n, 0);
    const double t0 = now_us();
    if (ok) {
        std::vector<std::thread> threads;
        for (unsigned i = 0; i < n; ++i)
            threads.emplace_back([&, i] { done[i] = bare_loop(handles[i], msgs, true) ? 1 : 0; });
        for (std::thread &t : threads) t.join();
    }
    const double t = now_us() - t0;
    for (unsigned i = 0; i < n; ++i) {
        ok = ok && done[i] != 0;
        if (handles[i] != INVALID_HANDLE_VALUE) CloseHandle(handles[i]);
    }
    return ok ? t : -1;
}

// 8 devices against one, interleaved so that drift affects both alike.
bool report_side_by_side(devsim::Control &ctl, const std::vector<Message> &msgs) {
    for (unsigned i = 1; i < kSideBySide; ++i)
        if (!ctl.add(i, devsim::default_config(i))) return false;
    for (unsigned i = 0; i < kSideBySide; ++i)
        if (!ctl.set_delay(i, kDelayMs)) return false;
    std::vector<double> one, many;
    for (int r = 0; r < 3; ++r) {
        one.push_back(side_by_side(1, msgs));
        many.push_back(side_by_side(kSideBySide, msgs));
        if (one.back() < 0 || many.back() < 0) return false;
    }
    const double a = median(one), b = median(many);
    std::printf("side by side, %zu exchanges per device, %lu ms per exchange:\n", msgs.size(),
                static_cast<unsigned long>(kDelayMs));
    std::printf("  1 device alone:                               %8.2f ms\n", a / 1000);
    std::printf("  %u devices at once (a thread each):            %8.2f ms\n", kSideBySide,
                b / 1000);
    std::printf("  ratio %u devices / 1 device:                   %8.2f  (one at a time: %u)\n",
                kSideBySide, b / a, kSideBySide);
    return true;
}

}  // namespace

int main() {
    devsim::Control ctl;
    if (!ctl.open()) {
        std::fprintf(stderr, "bench_driver: driver not running (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    ctl.remove_all();
    devsim::DeviceConfig cfg;
    if (!ctl.add(0, cfg)) {
        std::fprintf(stderr, "bench_driver: cannot add a device\n");
        return 1;
    }
    Bytes image(0x4000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 31);
    const std::vector<Message> msgs = update_messages(image);

    SCMC_OPENTBL *tbl = nullptr;
    if (CLS_cmc_snd::cmc_devtbl_edit(&tbl, 1, 1) != 1) {
        std::fprintf(stderr, "bench_driver: cannot open the device\n");
        return 1;
    }
    HANDLE dev = tbl[0].open_hdl;
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);

    // Warm-up: the first requests pay for paging in the driver's pages.
    bare_loop(dev, msgs, true);

    const std::vector<Message> one = {msgs.front()};
    const double round_trip = measure([&] {
        for (int i = 0; i < kRoundTrips; ++i)
            if (!bare_loop(dev, one, true)) return false;
        return true;
    }) / kRoundTrips;

    // Interleaved, so that drift in the host affects both sides alike.
    std::vector<double> prog, bare, floor;
    for (int r = 0; r < kRepetitions; ++r) {
        double t0 = now_us();
        if (!program_update(&tbl[0], image)) {
            std::fprintf(stderr, "bench_driver: the program's update failed\n");
            return 1;
        }
        double t1 = now_us();
        if (!bare_loop(dev, msgs, true)) {
            std::fprintf(stderr, "bench_driver: the bare loop failed\n");
            return 1;
        }
        double t2 = now_us();
        if (nul != INVALID_HANDLE_VALUE && !bare_loop(nul, msgs, false)) {
            CloseHandle(nul);
            nul = INVALID_HANDLE_VALUE;  // no floor on this host
        }
        double t3 = now_us();
        prog.push_back(t1 - t0);
        bare.push_back(t2 - t1);
        floor.push_back(t3 - t2);
    }
    CLS_cmc_snd::cmc_devtbl_free(tbl, 1);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);

    const double p = median(prog), b = median(bare), f = median(floor);
    std::printf("driver round trip, version get (17 -> 37 bytes): %.1f us  (median of %d x %d)\n",
                round_trip, kRepetitions, kRoundTrips);
    std::printf("update, %zu exchanges, program's device layer:   %8.2f ms  (%.1f us/exchange)\n",
                msgs.size(), p / 1000, p / static_cast<double>(msgs.size()));
    std::printf("update, %zu exchanges, bare WriteFile/ReadFile:  %8.2f ms  (%.1f us/exchange)\n",
                msgs.size(), b / 1000, b / static_cast<double>(msgs.size()));
    std::printf("ratio program layer / bare loop:                %8.2f\n", p / b);
    if (nul != INVALID_HANDLE_VALUE) {
        std::printf("same bare loop on NUL (no driver; Wine answers):  %8.2f ms\n", f / 1000);
        std::printf("ratio driver / NUL:                             %8.1f\n", b / f);
    }
    if (!report_side_by_side(ctl, msgs)) {
        std::fprintf(stderr, "bench_driver: the side-by-side run failed\n");
        ctl.remove_all();
        return 1;
    }
    ctl.remove_all();
    return 0;
}
