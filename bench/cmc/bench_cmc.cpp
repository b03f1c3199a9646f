// A whole update (check thread, version get, update thread, LED 2, begin,
// 64 blocks, end, LED 1) against an in-process zero-latency simulated
// device, beside a bare loop that writes the same prebuilt messages to the
// same device and reads each answer. Prints both, their ratio (goal: at
// most 1.2) and the exchanges per second.
#include <benchmark/benchmark.h>
#include <windows.h>
#include <process.h>

#include <time.h>

#include <condition_variable>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cmc.h"
#include "cmc_snd.h"
#include "devsim_inproc.h"
#include "pcmc.h"
#include "bench_summary.h"
#include "posix_dev.h"

namespace {

constexpr unsigned kBlocks = 64;
constexpr unsigned kExchanges = 1 + 1 + 1 + kBlocks + 1 + 1;  // V L2 B1 B2.. B3 L1

struct Image {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kBlocks * 256);
    SHEX_HEX hex{};
    Image() {
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 13);
        hex.edit.data = bytes.data();
        hex.edit.len = static_cast<std::uint32_t>(bytes.size());
        hex.edit.start_addr = 0x4000;
        hex.edit.end_addr = 0x4000 + hex.edit.len - 1;
    }
};

// One controller life: the callbacks keep it after the check, start the
// update and report its end; the caller waits until its threads are gone.
struct Life {
    std::mutex m;
    std::condition_variable cv;
    bool checked = false, finished = false;
    unsigned long result = 0;
    CLS_pcmc *cmc = nullptr;

    static unsigned short on_chkret(unsigned short code, unsigned long, void *cmc, void *obj) {
        auto *l = static_cast<Life *>(obj);
        std::lock_guard<std::mutex> g(l->m);
        l->checked = true;
        l->cmc = code == 0 ? static_cast<CLS_pcmc *>(cmc) : nullptr;
        l->cv.notify_all();
        return code == 0 ? 1 : 2;
    }
    static void on_progress(unsigned long, unsigned long, void *) {}
    static void on_finish(unsigned long result, unsigned long, void *obj) {
        auto *l = static_cast<Life *>(obj);
        std::lock_guard<std::mutex> g(l->m);
        l->finished = true;
        l->result = result;
        l->cv.notify_all();
    }
};

// CPU time of the whole process (every thread), in microseconds: unlike
// wall time it does not count waiting for a loaded machine's scheduler.
double process_cpu_us() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

void set_cpu(benchmark::State &state, double start_us) {
    if (state.iterations() == 0) return;
    state.counters["proc_cpu_us"] = (process_cpu_us() - start_us) / static_cast<double>(state.iterations());
}

void wait_threads_gone() {
    while (qvm_posix::running_threads() != 0) std::this_thread::yield();
}

void BM_WholeUpdate(benchmark::State &state) {
    devsim::InProcDevice dev(0);
    Image img;
    const double cpu0 = process_cpu_us();
    for (auto _ : state) {
        Life life;
        new CLS_pcmc(&img.hex, 0x0000016A, Life::on_chkret, &life, 1, 1, 1);
        {
            std::unique_lock<std::mutex> g(life.m);
            life.cv.wait(g, [&] { return life.checked; });
        }
        if (life.cmc == nullptr) {
            state.SkipWithError("check failed");
            break;
        }
        life.cmc->pcmc_start(Life::on_progress, Life::on_finish, &life);
        {
            std::unique_lock<std::mutex> g(life.m);
            life.cv.wait(g, [&] { return life.finished; });
        }
        wait_threads_gone();  // the controller is destroyed at the thread's end
        if (life.result != 1) {
            state.SkipWithError("update failed");
            break;
        }
        dev.reset();  // the same firmware again, so the check passes
    }
    set_cpu(state, cpu0);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kExchanges);
}

void BM_BareLoop(benchmark::State &state) {
    devsim::InProcDevice dev(0);
    Image img;
    // The same messages, built once.
    std::vector<std::vector<unsigned char>> msgs;
    auto add = [&](unsigned short id, unsigned long p1, unsigned long p2, unsigned long n,
                   unsigned char *data) {
        unsigned long len = 0;
        unsigned char *m = CLS_cmc_snd::cmc_send_msg_create(id, p1, p2, n, data, &len);
        msgs.emplace_back(m, m + len);
        LocalFree(m);
    };
    add(0x8006, 0, 0, 0, nullptr);
    add(0x8009, 2, 0, 0, nullptr);
    add(0x0001, 1, 0, 0, nullptr);
    for (unsigned b = 0; b < kBlocks; ++b) add(0x0001, 2, 0x4000 + 256 * b, 256, &img.bytes[256 * b]);
    add(0x0001, 3, 0, 0, nullptr);
    add(0x8009, 1, 0, 0, nullptr);
    unsigned char rsp[64];
    const double cpu0 = process_cpu_us();
    for (auto _ : state) {
        HANDLE h = CreateFileA("\\\\.\\R846_QVM2K_0", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        for (const auto &m : msgs) {
            DWORD n = 0;
            WriteFile(h, m.data(), static_cast<DWORD>(m.size()), &n, nullptr);
            ReadFile(h, rsp, m[2] == 0x06 ? 37 : 17, &n, nullptr);
            benchmark::DoNotOptimize(rsp);
        }
        CloseHandle(h);
        dev.reset();
    }
    set_cpu(state, cpu0);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kExchanges);
}

// The same exchanges through the command layer on one thread: what an
// update costs apart from its two worker threads and their hand-overs.
void BM_CommandLayer(benchmark::State &state) {
    devsim::InProcDevice dev(0);
    Image img;
    const SHEX_DATA &d = img.hex.edit;
    const double cpu0 = process_cpu_us();
    for (auto _ : state) {
        SCMC_OPENTBL *tbl = nullptr;
        const unsigned long n = CLS_cmc_snd::cmc_devtbl_edit(&tbl, 1, 1);
        SQVM_CMD_VER ver;
        unsigned short r = n == 1 ? CLS_cmc::cmc_cmd_ver_get(tbl, &ver, nullptr) : 2;
        CLS_cmc::cmc_cmd_led_set(tbl, 2);
        r |= CLS_cmc::cmc_cmd_bootdata_set(tbl, 1, nullptr, 0, 0);
        const unsigned long blocks = CLS_cmc::cmc_get_blockmax(d.len, d.start_addr, 256);
        for (unsigned long b = 0; b < blocks && r == 0; ++b) {
            unsigned long addr = 0;
            unsigned char *blk = CLS_cmc::cmc_get_data(d.data, d.len, d.start_addr, &addr, 256, b);
            r |= CLS_cmc::cmc_cmd_bootdata_set(tbl, 2, blk, 256, addr);
            LocalFree(blk);
        }
        r |= CLS_cmc::cmc_cmd_bootdata_set(tbl, 3, nullptr, 0, 0);
        CLS_cmc::cmc_cmd_led_set(tbl, 1);
        CLS_cmc_snd::cmc_devtbl_free(tbl, n);
        if (r != 0) {
            state.SkipWithError("exchange failed");
            break;
        }
        dev.reset();
    }
    set_cpu(state, cpu0);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kExchanges);
}

// The platform's floor for a worker: start an empty thread, wait for its end.
void empty_body(void *) { _endthread(); }
void BM_ThreadStart(benchmark::State &state) {
    const double cpu0 = process_cpu_us();
    for (auto _ : state) {
        if (_beginthread(empty_body, 0, nullptr) == static_cast<std::uintptr_t>(-1)) {
            state.SkipWithError("no thread");
            break;
        }
        wait_threads_gone();
    }
    set_cpu(state, cpu0);
}

BENCHMARK(BM_ThreadStart)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_BareLoop)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_CommandLayer)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_WholeUpdate)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    bench_support::Summary summary;
    bench_support::run_side_by_side(argc, argv, summary);
    const bench_support::Figure bare = summary.figure("BM_BareLoop"),
                                upd = summary.figure("BM_WholeUpdate"),
                                cmd = summary.figure("BM_CommandLayer"),
                                thr = summary.figure("BM_ThreadStart");
    if (bare.runs == 0 || upd.runs == 0) return 0;  // a filter left one out
    // Wall time as reported (us); CPU time of all threads from proc_cpu_us.
    const char *cpu = "proc_cpu_us";
    std::cout << std::fixed << std::setprecision(2) << "\n"
              << kExchanges << " exchanges per update; wall time, and CPU time of all threads\n"
              << "bare loop:     " << bare.mean_real() << " us (cpu " << bare.mean(cpu) << " us), "
              << kExchanges / bare.mean_real() * 1e6 << " exchanges/s\n"
              << "whole update:  " << upd.mean_real() << " us (cpu " << upd.mean(cpu) << " us), "
              << kExchanges / upd.mean_real() * 1e6 << " exchanges/s\n"
              << "command layer: " << cmd.mean_real() << " us (cpu " << cmd.mean(cpu)
              << " us), no worker threads\n"
              << "bare thread start: " << thr.mean_real() << " us (cpu " << thr.mean(cpu)
              << " us)\n"
              << std::setprecision(3)
              << "ratio whole update / bare loop: " << upd.mean_real() / bare.mean_real()
              << " wall, " << upd.mean(cpu) / bare.mean(cpu) << " cpu (goal: at most 1.2)\n"
              << "ratio command layer / bare loop: " << cmd.mean_real() / bare.mean_real()
              << " wall, " << cmd.mean(cpu) / bare.mean(cpu) << " cpu\n";
    return 0;
}
