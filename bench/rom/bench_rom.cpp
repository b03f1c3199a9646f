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

#include "prom.h"

namespace {

constexpr std::size_t kSpan = 0x1000000 - 0x4000;  // 16,760,832

// Peak resident set since the last reset, in KiB. Linux resets the mark
// through clear_refs; where that is not possible the process peak is used.
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }
long peak_kib() {
    std::ifstream in("/proc/self/status");
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == "VmHWM:" && in >> value) return value;
        in.ignore(1 << 12, '\n');
    }
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}
long rss_kib() {
    std::ifstream in("/proc/self/status");
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == "VmRSS:" && in >> value) return value;
        in.ignore(1 << 12, '\n');
    }
    return 0;
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

// Keeps each benchmark's mean real time and peak for the summary.
class Summary : public benchmark::ConsoleReporter {
public:
    Summary() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
            Figure &f = figures[r.run_name.function_name];
            f.ns += r.GetAdjustedRealTime() * 1e6;  // reported in ms
            f.cpu_ns += r.GetAdjustedCPUTime() * 1e6;
            f.runs += 1;
            auto it = r.counters.find("peak_over_base_KiB");
            if (it != r.counters.end() && it->second.value > f.peak_kib) f.peak_kib = it->second.value;
        }
    }
    struct Figure {
        double ns = 0;
        double cpu_ns = 0;
        int runs = 0;
        double peak_kib = 0;
    };
    std::map<std::string, Figure> figures;
};

}  // namespace

int main(int argc, char **argv) {
    // Repeated and interleaved by default, so that load from other
    // processes falls on both alike; flags given on the command line win.
    std::vector<char *> args{argv[0], const_cast<char *>("--benchmark_repetitions=5"),
                             const_cast<char *>("--benchmark_enable_random_interleaving=true")};
    args.insert(args.end(), argv + 1, argv + argc);
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    Summary summary;
    benchmark::RunSpecifiedBenchmarks(&summary);
    const auto bare = summary.figures.find("BM_BareAllocFillFree");
    const auto read = summary.figures.find("BM_PromRead");
    if (bare == summary.figures.end() || read == summary.figures.end() || bare->second.runs == 0 ||
        read->second.runs == 0)
        return 0;  // a filter left one of them out
    const double b = bare->second.ns / bare->second.runs, r = read->second.ns / read->second.runs;
    const double bc = bare->second.cpu_ns / bare->second.runs;
    const double rc = read->second.cpu_ns / read->second.runs;
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::cout << std::fixed << std::setprecision(3) << "\nblock of " << kSpan << " bytes ("
              << kSpan / 1024 << " KiB)\n"
              << "bare allocate-fill-free: " << b / 1e6 << " ms (cpu " << bc / 1e6 << " ms), peak +"
              << static_cast<long>(bare->second.peak_kib) << " KiB\n"
              << "prom_read + release:     " << r / 1e6 << " ms (cpu " << rc / 1e6 << " ms), peak +"
              << static_cast<long>(read->second.peak_kib) << " KiB\n"
              << "ratio prom_read / bare:  " << r / b << " wall, " << rc / bc
              << " cpu (goal: at most 1.5)\n"
              << "process peak resident:   " << ru.ru_maxrss << " KiB" << std::endl;
    return 0;
}
