// The embedded image's segment table. Constant data; any thread.
#pragma once

#include <cstdint>

// One segment of the image: its bytes belong at device address addr, and
// *len holds their count. A row with addr 0 ends the table.
struct SROM_ROM_RD {
    std::uint32_t addr;
    const unsigned char *data;
    const std::uint32_t *len;
};

// Rows in ascending address order, not overlapping, then the terminator
// row {0, nullptr, nullptr}. Defined beside the image's data unit, so that
// a test can link the reader against a table of its own.
extern const SROM_ROM_RD c_rom_rd[];
