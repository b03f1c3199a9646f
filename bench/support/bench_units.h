// A qvm_cli station fed with units for the Windows benchmarks: whenever a
// unit line appears in the report, a fresh unit (a serial never used
// before) takes the place of the recorded one at its index.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "cli_e2e_run.h"
#include "devsim_ctl.h"

namespace bench_support {

// Looks at the report every few ms until it holds `units` unit lines,
// plugging in at most that many units in all (`plugged` already are),
// each holding 3.40 with delay_ms per exchange (plus stagger_ms times its
// index) and the serial *next_serial (counted on). each_look (optional)
// runs after every look. Returns when the last unit line was seen
// (now_ms()), or -1 after limit_ms from t0.
inline double feed_units(devsim::Control &ctl, const std::string &report, unsigned units,
                         unsigned plugged, std::uint32_t delay_ms, std::int32_t *next_serial,
                         double t0, double limit_ms,
                         const std::function<void()> &each_look = nullptr,
                         std::uint32_t stagger_ms = 0) {
    std::size_t seen = 0;
    while (now_ms() - t0 < limit_ms) {
        const std::vector<std::string> lines = cli_e2e::report_lines(report, "unit");
        for (; seen < lines.size(); ++seen) {
            if (plugged >= units) continue;
            const unsigned index = static_cast<unsigned>(
                std::atoi(cli_e2e::field(lines[seen], "index").c_str()));
            devsim::DeviceConfig c = devsim::default_config(index);
            c.firm_version = 340;
            c.serial_no = (*next_serial)++;
            ctl.remove(index);
            if (ctl.add(index, c)) ctl.set_delay(index, delay_ms + index * stagger_ms);
            ++plugged;
        }
        if (seen >= units) return now_ms();
        if (each_look) each_look();
        Sleep(2);
    }
    return -1;
}

}  // namespace bench_support
