// A station run of 200 units with and without delivery to the database:
// the ratio of their wall times (start until the 200th unit line), and how
// long after the last unit line the database holds every line of the
// report. Runs alternate; medians. Needs the driver and the test session's
// PostgreSQL (QVM_PG_SOCKET); prints figures and never fails.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "bench_devices.h"
#include "bench_units.h"
#include "cli_e2e_run.h"
#include "devsim_ctl.h"
#include "stn_deliver_win.h"
#include "stn_sha256.h"

namespace {

constexpr unsigned kDevices = 8;
constexpr unsigned kUnits = 200;
constexpr int kPairs = 5;

using bench_support::median;
using bench_support::now_ms;

struct Run {
    double wall_ms = -1;  // start until the last unit line
    double lag_ms = -1;   // last unit line until the database holds every line
};

// Rows the database holds for the report whose first line is first.
long rows_of(StnDatabase *db, const std::string &first) {
    std::string why;
    long n = 0;
    const std::string id =
        stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(first.data()), first.size());
    if (!db->held(id, [&](std::uint64_t, const std::string &) { ++n; }, &why)) return -1;
    return n;
}

Run station(devsim::Control &ctl, const std::string &cs, StnDatabase *check) {
    Run r;
    const std::string report = cli_e2e::temp_path("bench-db.jsonl");
    DeleteFileA((report + ".dbcursor").c_str());
    if (!bench_support::plug_devices(ctl, kDevices, 340, 0)) return r;
    std::string args = "station --parallel 8 --report \"" + report + "\"";
    if (!cs.empty()) args += " --database \"" + cs + "\"";
    const double t0 = now_ms();
    cli_e2e::Cli cli(args);
    std::int32_t serial = 85000000;
    const double last = bench_support::feed_units(ctl, report, kUnits, kDevices, 0, &serial, t0,
                                                   300000);
    if (last < 0) return r;
    r.wall_ms = last - t0;
    if (check != nullptr) {
        while (now_ms() - last < 60000) {
            const std::vector<std::string> lines = cli_e2e::report_lines(report);
            if (!lines.empty() && rows_of(check, lines[0]) >= static_cast<long>(lines.size())) {
                r.lag_ms = now_ms() - last;
                break;
            }
            Sleep(10);
        }
    }
    cli.kill();
    DeleteFileA(report.c_str());
    DeleteFileA((report + ".dbcursor").c_str());
    return r;
}

}  // namespace

int main() {
    const char *sock = std::getenv("QVM_PG_SOCKET");
    if (sock == nullptr) {
        std::printf("bench_db: no PostgreSQL server (run in scripts/test-session.sh); skipped\n");
        return 0;
    }
    devsim::Control ctl;
    if (!ctl.open()) {
        std::fprintf(stderr, "bench_db: driver not running\n");
        return 0;
    }
    const std::string base = std::string("Driver={PostgreSQL Unicode};Server=") + sock +
                             ";Port=5432;Database=qvm_factory;";
    const std::string cs = base + "Uid=qvm_station;Pwd=station-pw;";
    std::string why;
    std::unique_ptr<StnDatabase> check = stn_odbc_database(base + "Uid=qvm_admin;Pwd=admin-pw;", 10, &why);
    if (check == nullptr || !check->connect(&why)) {
        std::fprintf(stderr, "bench_db: cannot reach the database: %s\n", why.c_str());
        return 0;
    }
    std::vector<double> plain, with, ratio, lag;
    for (int i = 0; i < kPairs; ++i) {
        const Run a = station(ctl, "", nullptr);
        const Run b = station(ctl, cs, check.get());
        if (a.wall_ms < 0 || b.wall_ms < 0 || b.lag_ms < 0) {
            std::fprintf(stderr, "bench_db: a run did not finish (%.0f, %.0f, lag %.0f)\n",
                         a.wall_ms, b.wall_ms, b.lag_ms);
            continue;
        }
        std::printf("  pair %d: without %.0f ms, with %.0f ms, lag %.0f ms\n", i + 1, a.wall_ms,
                    b.wall_ms, b.lag_ms);
        plain.push_back(a.wall_ms);
        with.push_back(b.wall_ms);
        ratio.push_back(b.wall_ms / a.wall_ms);
        lag.push_back(b.lag_ms);
    }
    ctl.remove_all();
    if (ratio.empty()) return 0;
    std::printf("qvm_cli station, %u units on %u devices, with and without delivery to "
                "PostgreSQL (ODBC), %zu alternating pairs, medians\n",
                kUnits, kDevices, ratio.size());
    std::printf("  without a database:              %8.0f ms\n", median(plain));
    std::printf("  delivering to the database:      %8.0f ms\n", median(with));
    std::printf("  ratio, median of the pairs' (goal <= 1.05): %8.3f\n", median(ratio));
    std::printf("  ratio of the medians:            %8.3f\n", median(with) / median(plain));
    std::printf("  lag after the last unit line:    %8.0f ms (every line in the table)\n",
                median(lag));
    return 0;
}
