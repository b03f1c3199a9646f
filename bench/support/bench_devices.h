// Simulated devices of the Windows benchmarks, set up through the driver's
// control device.
#pragma once

#include <cstdint>

#include "devsim_ctl.h"

namespace bench_support {

// Replaces every device with fresh ones 0..n-1 holding firmware `firm`,
// each with `delay_ms` per exchange; false when the driver refused a step.
inline bool plug_devices(devsim::Control &ctl, unsigned n, std::uint32_t firm,
                         std::uint32_t delay_ms) {
    if (!ctl.remove_all()) return false;
    for (unsigned i = 0; i < n; ++i) {
        devsim::DeviceConfig c = devsim::default_config(i);
        c.firm_version = firm;
        if (!ctl.add(i, c) || !ctl.set_delay(i, delay_ms)) return false;
    }
    return true;
}

}  // namespace bench_support
