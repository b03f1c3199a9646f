// Side-by-side runs for the native benchmarks: every registered benchmark
// repeated and interleaved, so that load from other processes falls on all
// of them alike (flags given on the command line win), and a reporter that
// keeps each benchmark's figures for the printed comparison.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace bench_support {

// The figures of one benchmark over its repetitions, in the benchmark's own
// time unit.
struct Figure {
    int runs = 0;
    double real = 0;  // sums over the runs
    double cpu = 0;
    std::map<std::string, double> counter_sum;
    std::map<std::string, double> counter_max;

    double mean_real() const { return runs ? real / runs : 0; }
    double mean_cpu() const { return runs ? cpu / runs : 0; }
    double mean(const std::string &counter) const {
        auto it = counter_sum.find(counter);
        return runs && it != counter_sum.end() ? it->second / runs : 0;
    }
    double max(const std::string &counter) const {
        auto it = counter_max.find(counter);
        return it != counter_max.end() ? it->second : 0;
    }
};

class Summary : public benchmark::ConsoleReporter {
public:
    explicit Summary(OutputOptions opts = OO_Defaults) : ConsoleReporter(opts) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
            Figure &f = figures_[r.run_name.function_name];
            f.runs += 1;
            f.real += r.GetAdjustedRealTime();
            f.cpu += r.GetAdjustedCPUTime();
            for (const auto &c : r.counters) {
                f.counter_sum[c.first] += c.second.value;
                double &m = f.counter_max[c.first];
                m = std::max(m, static_cast<double>(c.second.value));
            }
        }
    }

    // The figures of `name`; runs is 0 when a filter left it out.
    Figure figure(const std::string &name) const {
        auto it = figures_.find(name);
        return it == figures_.end() ? Figure{} : it->second;
    }

private:
    std::map<std::string, Figure> figures_;
};

// Runs every registered benchmark, five repetitions each, interleaved.
inline void run_side_by_side(int argc, char **argv, Summary &summary) {
    std::vector<char *> args{argv[0], const_cast<char *>("--benchmark_repetitions=5"),
                             const_cast<char *>("--benchmark_enable_random_interleaving=true")};
    args.insert(args.end(), argv + 1, argv + argc);
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    benchmark::RunSpecifiedBenchmarks(&summary);
}

}  // namespace bench_support
