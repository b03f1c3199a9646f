// prom_read assembles the whole image span (0x4000..0xFFFFFF, 16,760,832
// bytes) before it cuts the 16 KiB device window. This measures it beside a
// bare LocalAlloc + fill + LocalFree of the same size, in one run, and
// prints both, their ratio and the peak resident memory of each.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <windows.h>

#include <malloc.h>

#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "bench_summary.h"
#include "prom.h"

namespace {

constexpr std::size_t kSpan = 0x1000000 - 0x4000;  // 16,760,832

// Peak resident set since the last reset, in KiB. Linux resets the mark
// through clear_refs; where that is not possible the process peak is used.
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }
// A "Key: value kB" line of /proc/self/status, in KiB; -1 when absent.
long status_kib(const std::string &field) {
    std::ifstream in("/proc/self/status");
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == field && in >> value) return value;
        in.ignore(1 << 12, '\n');
    }
    return -1;
}
long peak_kib() {
    const long hwm = status_kib("VmHWM:");
    if (hwm >= 0) return hwm;
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}
long rss_kib() {
    const long rss = status_kib("VmRSS:");
    return rss < 0 ? 0 : rss;
}

// Gives freed heap back first, so that each benchmark's peak is its own.
long start_measure() {
    malloc_trim(0);
    const long base = rss_kib();
    reset_peak();
    return base;
}

void record_peak(benchmark::State &state, long base_kib) {
    state.counters["peak_rss_KiB"] = static_cast<double>(peak_kib());
    state.counters["peak_over_base_KiB"] = static_cast<double>(peak_kib() - base_kib);
}

void BM_BareAllocFillFree(benchmark::State &state) {
    const long base = start_measure();
    for (auto _ : state) {
        void *p = LocalAlloc(LMEM_ZEROINIT, kSpan);
        if (p == nullptr) {
            state.SkipWithError("out of memory");
            break;
        }
        std::memset(p, 0xFF, kSpan);
        benchmark::DoNotOptimize(p);
        benchmark::ClobberMemory();
        LocalFree(p);
    }
    record_peak(state, base);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kSpan);
}

void BM_PromRead(benchmark::State &state) {
    const long base = start_measure();
    SHEX_HEX hex{};
    unsigned long ver = 0, mcu = 0;
    char product[CLS_prom::kProductLen];
    for (auto _ : state) {
        if (CLS_prom::prom_read(&hex, &ver, &mcu, product) != 1) {
            state.SkipWithError("prom_read failed");
            break;
        }
        benchmark::DoNotOptimize(hex.edit.data);
        CLS_prom::prom_free_mem(&hex, CLS_prom::FREE_ALL);
    }
    record_peak(state, base);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kSpan);
}

BENCHMARK(BM_BareAllocFillFree)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PromRead)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    bench_support::Summary summary(benchmark::ConsoleReporter::OO_Tabular);
    bench_support::run_side_by_side(argc, argv, summary);
    const bench_support::Figure bare = summary.figure("BM_BareAllocFillFree");
    const bench_support::Figure read = summary.figure("BM_PromRead");
    if (bare.runs == 0 || read.runs == 0) return 0;  // a filter left one of them out
    // Times as reported, in ms.
    const double b = bare.mean_real(), r = read.mean_real();
    const double bc = bare.mean_cpu(), rc = read.mean_cpu();
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::cout << std::fixed << std::setprecision(3) << "\nblock of " << kSpan << " bytes ("
              << kSpan / 1024 << " KiB)\n"
              << "bare allocate-fill-free: " << b << " ms (cpu " << bc << " ms), peak +"
              << static_cast<long>(bare.max("peak_over_base_KiB")) << " KiB\n"
              << "prom_read + release:     " << r << " ms (cpu " << rc << " ms), peak +"
              << static_cast<long>(read.max("peak_over_base_KiB")) << " KiB\n"
              << "ratio prom_read / bare:  " << r / b << " wall, " << rc / bc
              << " cpu (goal: at most 1.5)\n"
              << "process peak resident:   " << ru.ru_maxrss << " KiB" << std::endl;
    return 0;
}
