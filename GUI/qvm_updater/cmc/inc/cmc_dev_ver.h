// The version record of one device, as pcmc_get_ver hands it out and the
// application keeps it. Plain data.
#pragma once

#include <cstdint>

#include "com_type.h"

struct SCMC_DEV_VER {
    std::uint32_t firm_version;  // 0xFFFFFFFF until read, or: no firmware
    std::uint16_t mcu_version;
    std::uint16_t dummy;
    DB_LONG license_bit;         // unscrambled
    std::int32_t serial_no;
    std::uint32_t boot_version;  // 0xFFFFFFFF until read
};
