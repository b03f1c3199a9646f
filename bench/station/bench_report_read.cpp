// What reading a long report costs natively, in memory (no disk, no Wine):
// a report of 1,000,000 units (2,000,000 lines in the station's shape, as
// bench/cli/bench_report makes it, chained) through the line reader alone,
// the head scan of every line, the report's open (StnReport::open: the
// pass that finds open starts and the last id) and a whole reading (the
// tally with the chain checked, as `qvm_cli report --verify` reads it).
// Medians of BENCH_ROUNDS rounds (default 5), alternating; prints figures
// and never fails (exit 1 only when it cannot measure).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include <algorithm>

#include "../../tests/unit/cli/cli_test_store.h"
#include "stn_chain.h"
#include "stn_lines.h"
#include "stn_reading.h"
#include "stn_report.h"
#include "stn_text.h"

namespace {

constexpr std::uint64_t kUnits = 1000000;

double now_ms() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string iso(std::uint64_t s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "2026-01-%02uT%02u:%02u:%02u.000Z",
                  static_cast<unsigned>(5 + s / 86400 % 20), static_cast<unsigned>(s / 3600 % 24),
                  static_cast<unsigned>(s / 60 % 60), static_cast<unsigned>(s % 60));
    return buf;
}

// Start and unit lines (3 in 100 refused), every line chained.
std::string make_report(std::uint64_t *lines) {
    const std::string sha(64, 'c');
    std::string out, prev = kStnEmptySha256;
    *lines = 0;
    const auto add = [&](const std::string &body) {
        const std::string line = stn_chain_line(body, ++*lines, prev, nullptr);
        prev = stn_line_sha256(line);
        out += line + "\n";
    };
    // Every unit alike but for its id, serial and index; 3 in 100 refused.
    StnUnitResult done, refused;
    for (StnUnitResult *r : {&done, &refused}) {
        r->device.firm_version = 0x129;
        r->device.mcu_version = 0x120;
        r->identified = true;
    }
    done.outcome = StnOutcome::kUpdated;
    done.has_new = true;
    done.new_version = 0x13E;
    done.ms = 2210;
    refused.outcome = StnOutcome::kFailed;
    refused.failure = StnFailure::kRefused;
    refused.detail = 0xE004;
    refused.what = "block at 0x5400 refused by the device (error 0xE004)";
    refused.ms = 310;
    for (std::uint64_t i = 0; i < kUnits; ++i) {
        StnUnitResult &r = i % 100 < 3 ? refused : done;
        r.device.index = static_cast<unsigned>(i % 8);
        r.device.serial = static_cast<std::int32_t>(84000000 + i);
        r.id = i + 1;
        add(stn_json_start(r.device, r.id, iso(i * 7), sha));
        add(stn_json_report(r, iso(i * 7 + 2), sha));
    }
    return out;
}

}  // namespace

int main() {
    const char *env = std::getenv("BENCH_ROUNDS");
    const int rounds = env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : 5;
    std::uint64_t lines = 0;
    const std::string bytes = make_report(&lines);
    std::vector<double> t_lines, t_open, t_read;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        cli_test::MemStore src;
        src.bytes = bytes;
        double t0 = now_ms();
        StnLineReader reader(&src);
        StnLine line;
        std::uint64_t n = 0;
        while (reader.next(&line)) ++n;
        t_lines.push_back(now_ms() - t0);
        ok = ok && n == lines;

        cli_test::MemStore store;
        store.bytes = bytes;
        StnReport report(&store);
        t0 = now_ms();
        ok = ok && report.open("2026-02-01T00:00:00.000Z") == StnReportOpen::kOk;
        t_open.push_back(now_ms() - t0);

        StnReading::Options o;
        o.chain = true;
        StnReading reading(o);
        StnChainStatus chain;
        t0 = now_ms();
        ok = ok && reading.read(&src, &chain) && chain.intact;
        t_read.push_back(now_ms() - t0);
    }
    if (!ok) {
        std::fprintf(stderr, "bench_report_read: a pass failed\n");
        return 1;
    }
    const double mb = static_cast<double>(bytes.size()) / 1e6;
    std::printf("report: %llu lines, %.1f MB; medians of %d rounds\n",
                static_cast<unsigned long long>(lines), mb, rounds);
    const auto row = [&](const char *what, double ms) {
        std::printf("  %-28s %8.1f ms  %6.2f M lines/s  %7.1f MB/s\n", what, ms,
                    static_cast<double>(lines) / ms / 1e3, mb / ms * 1e3);
    };
    row("line reader", median(t_lines));
    row("open (StnReport::open)", median(t_open));
    row("reading (tally + chain)", median(t_read));
    return 0;
}
