// Unit i of a benchmark's report as the station records it: on device
// index i % 8, 3 in 100 refused by the device (block 0x5400), the rest
// updated to new_version. Pure.
#pragma once

#include <cstdint>

#include "stn_outcome.h"

namespace bench_support {

inline StnUnitResult unit_result(std::uint64_t i, std::uint64_t id, std::int32_t serial,
                                 std::uint32_t old_version, std::uint32_t new_version) {
    StnUnitResult r;
    r.device.index = static_cast<unsigned>(i % 8);
    r.device.serial = serial;
    r.device.firm_version = old_version;
    r.device.mcu_version = 0x120;
    r.identified = true;
    r.id = id;
    if (i % 100 < 3) {
        r.outcome = StnOutcome::kFailed;
        r.failure = StnFailure::kRefused;
        r.detail = 0xE004;
        r.what = "block at 0x5400 refused by the device (error 0xE004)";
        r.ms = 310;
    } else {
        r.outcome = StnOutcome::kUpdated;
        r.has_new = true;
        r.new_version = new_version;
        r.ms = 2210;
    }
    return r;
}

}  // namespace bench_support
