// Firmware image records: an image block, the parameters of the edit step
// and the whole image. Plain data; the owner of a SHEX_HEX owns the blocks
// its SHEX_DATA records point to (LocalAlloc, zero-filled; LocalFree).
#pragma once

#include <cstdint>

// One block of image bytes; invariant once built: len = end_addr - start_addr + 1.
struct SHEX_DATA {
    unsigned char *data;      // owned; null when no block is held
    std::uint32_t len;        // bytes in data
    std::uint32_t start_addr; // device address of data[0]
    std::uint32_t end_addr;   // device address of the last byte, inclusive
    std::uint32_t sum;        // wrap-around byte sum; kept for the edit block only
};

// The parameters with which the edit block was cut (recorded, not read back).
struct SHEX_EDIT {
    std::uint32_t start_addr;
    std::uint8_t search_data;
    std::uint32_t fill_start;
    std::uint32_t fill_end;
    std::uint8_t fill_data;
};

// One firmware image.
struct SHEX_HEX {
    char hex_file[260];  // source file name; empty for the embedded image
    std::uint16_t type;  // source file type; 0 for the embedded image
    SHEX_DATA org;       // assembled image: every segment at its address
    std::uint8_t skip;   // blank byte value (0xFF, erased flash)
    SHEX_DATA edit;      // the window written to the device
    SHEX_EDIT edit_info;
};
