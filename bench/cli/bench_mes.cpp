// qvm_cli.exe station with an MES that answers at once (the stand-in of
// tests/support, started around the benchmark by with_mes_standin.sh)
// against the same station without one: 200 units on 8 simulated devices
// (2 to 9 ms per exchange), a fresh unit plugged in wherever a unit line
// appears, in alternating pairs. Prints each run's time from the start to
// the 200th unit line, the ratio of the medians (goal: at most 1.05), and
// the check-in's added time per unit: from the moment the stand-in
// accepted the check-in's connection to the unit's start line, which the
// station writes once the answer is in (median and largest). Never fails.
//
// Threads: the main thread only.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "bench_units.h"
#include "cli_e2e_run.h"
#include "devsim_ctl.h"
#include "mes_standin_client.h"
#include "stn_http_win.h"
#include "stn_mes.h"
#include "stn_store_win.h"
#include "stn_time.h"

namespace {

constexpr unsigned kDevices = 8;
constexpr unsigned kUnits = 200;
constexpr std::uint32_t kDelayMs = 2;
// Each device 1 ms per exchange slower than the one before: devices that
// all took as long would end their units in step, and every new unit would
// wait for the same phase of the station's 300 ms probe, which a few ms
// more per unit can shift by a whole period (seen: 85 against 300 ms).
constexpr std::uint32_t kStaggerMs = 1;
constexpr int kPairs = 4;
constexpr double kRunLimitMs = 300000;

using bench_support::median;
using bench_support::now_ms;
using cli_e2e::field;

struct Run {
    bool ok = false;
    double ms = 0;
    std::vector<double> added;  // with an MES: ms per unit
    // ms from a unit line to the next start line at its slot: the replug,
    // the probe that finds it, its version read and, with an MES, the
    // whole check-in
    std::vector<double> cycle;
    std::vector<double> write;  // ms from a start line to its unit line
};

// A line's "time" in ms since 1970, or -1.
double line_ms(const std::string &line) {
    const std::string time = field(line, "time");
    std::int64_t ms = 0;
    if (time.size() < 2 || !stn_utc_ms(time.substr(1, time.size() - 2), &ms)) return -1;
    return static_cast<double>(ms);
}

// The station's own MES client over WinHTTP, as a worker uses it.
std::unique_ptr<StnMesClient> mes_client(const mes_standin::StandIn &mes) {
    StnMesConfig config;
    config.url = "http://127.0.0.1:" + std::to_string(mes.port()) + "/mes";
    std::string why;
    std::unique_ptr<StnHttp> http = stn_winhttp(config.url, &why);
    if (http == nullptr) return nullptr;
    return std::unique_ptr<StnMesClient>(new StnMesClient(std::move(http), config));
}

// One check-in, timed from the call to its answer (ms), or -1.
double timed_check_in(StnMesClient &client, std::int32_t serial) {
    StnCheckInRequest r;
    r.serial = serial;
    r.station = "bench";
    r.unit_version = 340;
    r.image_version = 362;
    r.image_sha256 = std::string(64, 'a');
    r.time = stn_utc_now();
    const double t0 = now_ms();
    const StnCheckInAnswer a = client.check_in(r, 5000);
    return a.verdict == StnCheckInVerdict::kAllowed ? now_ms() - t0 : -1;
}

class Bench {
public:
    explicit Bench(mes_standin::StandIn *mes) : mes_(mes) { ctl_.open(); }

    bool ready() const { return ctl_.is_open(); }

    // beside: check-ins timed from here while the station runs, one a look
    // at the report (*beside gets their times).
    Run station(bool with_mes, std::vector<double> *beside = nullptr) {
        std::unique_ptr<StnMesClient> client = beside != nullptr ? mes_client(*mes_) : nullptr;
        Run run;
        const std::string report = cli_e2e::temp_path("bench-mes.jsonl");
        if (!ctl_.remove_all()) return run;
        for (unsigned i = 0; i < kDevices; ++i) {
            if (!plug(i)) return run;
        }
        unsigned plugged = kDevices;
        std::string args = "station --json --parallel 8 --report " + cli_e2e::quoted(report);
        if (with_mes) args += " --mes http://127.0.0.1:" + std::to_string(mes_->port()) + "/mes";
        mes_->requests();  // only this run's
        const double t0 = now_ms();
        cli_e2e::Cli cli(args);
        if (!cli.started()) return run;
        const double last = bench_support::feed_units(
            ctl_, report, kUnits, plugged, kDelayMs, &next_serial_, t0, kRunLimitMs, [&] {
                if (client == nullptr) return;
                const double ms = timed_check_in(
                    *client, static_cast<std::int32_t>(84900001 + beside->size()));
                if (ms >= 0) beside->push_back(ms);
            }, kStaggerMs);
        run.ms = last - t0;
        cli.kill();
        run.ok = last >= 0;
        if (with_mes) run.added = added(report);
        std::map<std::string, double> ended;    // index -> its last unit line's time
        std::map<std::string, double> started;  // id -> its start line's time
        for (const std::string &l : cli_e2e::report_lines(report)) {
            const std::string type = field(l, "type");
            const std::string index = field(l, "index");
            if (type == "\"start\"") started[field(l, "id")] = line_ms(l);
            if (type == "\"unit\"" && started.count(field(l, "id")) != 0) {
                run.write.push_back(line_ms(l) - started[field(l, "id")]);
            }
            if (type == "\"unit\"") ended[index] = line_ms(l);
            if (type == "\"start\"" && ended.count(index) != 0) {
                run.cycle.push_back(line_ms(l) - ended[index]);
            }
        }
        DeleteFileA(report.c_str());
        return run;
    }

private:
    // A fresh unit at index, with a serial never used before.
    bool plug(unsigned index) {
        ctl_.remove(index);
        devsim::DeviceConfig c = devsim::default_config(index);
        c.serial_no = next_serial_++;
        c.firm_version = 340;
        return ctl_.add(index, c) && ctl_.set_delay(index, kDelayMs + index * kStaggerMs);
    }

    // Each unit's start line's time less the time its check-in was accepted.
    std::vector<double> added(const std::string &report) {
        std::map<std::string, double> asked;  // serial -> ms since 1970
        for (const mes_standin::Json &r : mes_->requests()) {
            if (!r.is_object() || r.value("path", "") != "/mes/check-in") continue;
            const mes_standin::Json body = mes_standin::Json::parse(r.value("body", ""), nullptr, false);
            if (body.is_object()) {
                asked[body.value("PrimaryIdentifier", "")] = r.value("accepted", 0.0) * 1000.0;
            }
        }
        std::vector<double> out;
        for (const std::string &l : cli_e2e::report_lines(report, "start")) {
            const auto a = asked.find(field(l, "serial"));
            const double ms = line_ms(l);
            if (a != asked.end() && ms >= 0) out.push_back(ms - a->second);
        }
        return out;
    }

    devsim::Control ctl_;
    mes_standin::StandIn *mes_;
    std::int32_t next_serial_ = 84700001;
};

}  // namespace

int main() {
    mes_standin::StandIn mes("QVM_MES_DIR");
    if (!mes.ok()) {
        std::printf("bench_mes: no MES stand-in (run through tests/support/with_mes_standin.sh)\n");
        return 0;
    }
    mes.script(mes_standin::Json::object());
    Bench bench(&mes);
    if (!bench.ready()) {
        std::printf("bench_mes: the simulated device driver does not answer\n");
        return 0;
    }
    std::printf("station: %u units on %u devices (%u to %u ms per exchange), without an MES and "
                "with one that answers at once, %d alternating pairs\n",
                kUnits, kDevices, kDelayMs, kDelayMs + (kDevices - 1) * kStaggerMs, kPairs);
    std::vector<double> alone;
    if (std::unique_ptr<StnMesClient> client = mes_client(mes)) {
        for (unsigned i = 0; i < kUnits; ++i) {
            const double ms = timed_check_in(*client, static_cast<std::int32_t>(84800001 + i));
            if (ms >= 0) alone.push_back(ms);
        }
    }
    if (!alone.empty()) {
        std::printf("  a check-in alone (the station's client over WinHTTP, %u in a row): "
                    "median %.1f ms, largest %.1f ms\n",
                    kUnits, median(alone), *std::max_element(alone.begin(), alone.end()));
    }
    std::vector<double> plain, with, added, cycles_plain, cycles_with, ratios;
    double last_plain = 0, last_with = 0;
    for (int p = 0; p < kPairs; ++p) {
        last_plain = last_with = 0;
        for (int k = 0; k < 2; ++k) {
            const bool with_mes = (k == 0) == (p % 2 == 1);  // none first in even pairs
            const Run r = bench.station(with_mes);
            if (!r.ok) {
                std::printf("  pair %d %-10s did not record %u units within %.0f s\n", p + 1,
                            with_mes ? "with MES" : "without", kUnits, kRunLimitMs / 1000);
                continue;
            }
            std::printf("  pair %d %-10s %8.0f ms   medians: unit line to next start at its "
                        "slot %.0f ms, start to unit line %.0f ms\n",
                        p + 1, with_mes ? "with MES" : "without", r.ms, median(r.cycle),
                        median(r.write));
            (with_mes ? with : plain).push_back(r.ms);
            (with_mes ? last_with : last_plain) = r.ms;
            if (k == 1 && last_plain > 0 && last_with > 0) ratios.push_back(last_with / last_plain);
            std::vector<double> &cycles = with_mes ? cycles_with : cycles_plain;
            cycles.insert(cycles.end(), r.cycle.begin(), r.cycle.end());
            added.insert(added.end(), r.added.begin(), r.added.end());
        }
    }
    if (!plain.empty() && !with.empty()) {
        std::printf("  median without %.0f ms, with %.0f ms: ratio %.3f (goal <= 1.05)\n",
                    median(plain), median(with), median(with) / median(plain));
        if (!ratios.empty()) {
            std::printf("  median of the pairs' ratios %.3f\n", median(ratios));
        }
    }
    if (!cycles_plain.empty() && !cycles_with.empty()) {
        std::printf("  unit line to next start at its slot, all runs: median without %.0f ms, "
                    "with %.0f ms\n",
                    median(cycles_plain), median(cycles_with));
    }
    // Is a check-in slower beside a station's device traffic (one Wine
    // server for both)? Timed from this process during a run without an MES.
    std::vector<double> beside;
    if (bench.station(false, &beside).ok && !beside.empty()) {
        std::printf("  a check-in from here while a station without an MES writes units (%zu): "
                    "median %.1f ms, largest %.1f ms\n",
                    beside.size(), median(beside), *std::max_element(beside.begin(), beside.end()));
    }
    if (!added.empty()) {
        std::printf("  check-in's added time per unit (%zu units): median %.1f ms, largest "
                    "%.1f ms\n",
                    added.size(), median(added), *std::max_element(added.begin(), added.end()));
    }
    return 0;
}
