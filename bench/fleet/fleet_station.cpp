// One station of bench_fleet.py: appends units to its own report at a set
// rate through the station's report writer (StnReport: chained lines, each
// flushed, the flushed size published) while the station's delivery
// (StnDelivery over ODBC) takes them to the database, woken after every
// write as the engine wakes it. At the end a run's stop line, then it waits
// until delivery is up to date and prints one JSON line of figures.
//
//   fleet_station REPORT --station NAME --units N [--rate UNITS_PER_S]
//                 [--database CS] [--go FILE] [--first-serial S]
// No --database: only writes the report (as fast as it can without
// --rate). --go: makes REPORT.ready once the report is open and delivery
// started, then waits until FILE exists before the first line, so that all
// stations start together. Exit 0: every line written and (with a
// database) delivered; 1 otherwise.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bench_clock.h"
#include "bench_unit_result.h"
#include "stn_deliver.h"
#include "stn_deliver_win.h"
#include "stn_json.h"
#include "stn_report.h"
#include "stn_store_win.h"
#include "stn_text.h"

namespace {

using bench_support::now_ms;
using bench_support::unit_result;

constexpr char kImage[] =
    "5f1c0e3b7a9d2c4e6f8091a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6";
constexpr unsigned kFinishMs = 900000;

struct Args {
    std::string report, station = "FLEET", database, go;
    std::uint64_t units = 0;
    double rate = 0;  // units per second; 0: unpaced
    std::int32_t first_serial = 60000000;
};

bool parse(int argc, char **argv, Args *a) {
    for (int i = 1; i < argc; ++i) {
        const std::string k = argv[i];
        const bool has_value = i + 1 < argc;
        if (k == "--station" && has_value) {
            a->station = argv[++i];
        } else if (k == "--units" && has_value) {
            a->units = std::strtoull(argv[++i], nullptr, 10);
        } else if (k == "--rate" && has_value) {
            a->rate = std::strtod(argv[++i], nullptr);
        } else if (k == "--database" && has_value) {
            a->database = argv[++i];
        } else if (k == "--go" && has_value) {
            a->go = argv[++i];
        } else if (k == "--first-serial" && has_value) {
            a->first_serial = static_cast<std::int32_t>(std::strtol(argv[++i], nullptr, 10));
        } else if (a->report.empty() && k.compare(0, 2, "--") != 0) {
            a->report = k;
        } else {
            return false;
        }
    }
    return !a->report.empty() && a->units > 0;
}

bool wait_for(const std::string &go) {
    const double t0 = now_ms();
    while (GetFileAttributesA(go.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (now_ms() - t0 > 300000) return false;
        Sleep(2);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    Args a;
    if (!parse(argc, argv, &a)) {
        std::fprintf(stderr,
                     "usage: fleet_station REPORT --station NAME --units N [--rate U/S] "
                     "[--database CS] [--go FILE] [--first-serial S]\n");
        return 1;
    }
    StnWinReportStore store(a.report);
    if (!store.ok()) {
        std::fprintf(stderr, "fleet_station: cannot open %s\n", a.report.c_str());
        return 1;
    }
    std::shared_ptr<StnFlushed> flushed = std::make_shared<StnFlushed>();
    StnReport report(&store);
    report.publish_to(flushed);
    const StnWho who{"bench", "WO-FLEET", a.station};
    const std::string offset = stn_utc_offset();
    if (report.open(stn_utc_now(), nullptr,
                    stn_json_run("open", stn_utc_now(), a.station, offset, "bench", who.order)) !=
        StnReportOpen::kOk) {
        std::fprintf(stderr, "fleet_station: cannot open the report %s\n", a.report.c_str());
        return 1;
    }
    std::unique_ptr<StnDelivery> delivery;
    if (!a.database.empty()) {
        std::string why;
        std::unique_ptr<StnDatabase> db = stn_odbc_database(a.database, 30, &why);
        std::unique_ptr<StnDeliverFiles> files =
            db != nullptr ? stn_win_deliver_files(a.report, kStnDbCursor, &why) : nullptr;
        if (files == nullptr) {
            std::fprintf(stderr, "fleet_station: %s\n", why.c_str());
            return 1;
        }
        StnDeliverConfig config;
        config.station = a.station;
        config.flushed = flushed;
        delivery.reset(new StnDelivery(std::move(db), std::move(files), config));
    }
    // Ready: the report open and delivery started ("<report>.ready").
    if (!a.go.empty()) stn_write_whole_file(stn_wide(a.report + ".ready"), "", false);
    if (!a.go.empty() && !wait_for(a.go)) {
        std::fprintf(stderr, "fleet_station: %s never appeared\n", a.go.c_str());
        return 1;
    }

    const double t0 = now_ms();
    std::uint64_t done = 0;
    std::uint64_t lines = 0;
    bool ok = true;
    double behind_ms = 0;  // the furthest the writer fell behind its rate
    while (ok && done < a.units) {
        std::uint64_t due = a.units;
        if (a.rate > 0) {
            const double elapsed = now_ms() - t0;
            due = static_cast<std::uint64_t>(elapsed * a.rate / 1000.0) + 1;
            if (due > a.units) due = a.units;
            if (due > done + 1) {
                const double late = elapsed - static_cast<double>(done) * 1000.0 / a.rate;
                if (late > behind_ms) behind_ms = late;
            }
        }
        for (; ok && done < due; ++done) {
            // A serial that fails is tried once more as the next unit.
            const std::int32_t serial =
                a.first_serial + static_cast<std::int32_t>(done) -
                (done % 100 >= 3 && done % 100 < 6 ? 3 : 0);
            const StnUnitResult r = unit_result(done, report.new_id(), serial, 0x154, 0x16A);
            ok = report.write_line(stn_json_start(r.device, r.id, stn_utc_now(), kImage, who)) &&
                 report.write_line(stn_json_report(r, stn_utc_now(), kImage, who));
            lines += 2;
            // Woken at every unit line, as the engine wakes it at every turn.
            if (delivery != nullptr) delivery->wake();
        }
        if (done < a.units && a.rate > 0) Sleep(5);
    }
    ok = ok && report.write_line(
                   stn_json_run("stop", stn_utc_now(), a.station, offset, "bench", who.order));
    ++lines;
    const double written = now_ms();
    bool up_to_date = true;
    StnDeliverStatus s;
    if (delivery != nullptr) {
        delivery->wake();
        up_to_date = delivery->finish(kFinishMs);
        s = delivery->status();
    }
    const double end = now_ms();
    StnJson j("fleet_station");
    j.str("station", a.station)
        .num("units", static_cast<std::int64_t>(done))
        .num("lines", static_cast<std::int64_t>(lines + 1))  // and the run's open line
        .num("write_ms", static_cast<std::int64_t>(written - t0))
        .num("done_ms", static_cast<std::int64_t>(end - t0))
        .num("behind_ms", static_cast<std::int64_t>(behind_ms))
        .num("delivered", static_cast<std::int64_t>(s.delivered))
        .num("added", static_cast<std::int64_t>(s.added))
        .boolean("up_to_date", up_to_date)
        .boolean("written", ok);
    if (!s.problem.empty()) j.str("problem", s.problem);
    std::printf("%s\n", j.line().c_str());
    return ok && up_to_date ? 0 : 1;
}
