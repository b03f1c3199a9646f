// The device open table: one entry per opened device file.
#pragma once

#include <windows.h>

#include <cstdint>

// Device name behind "\\.\"; the index follows it.
#define CMC_DEV_NAME "R846_QVM2K_"
// Names that can exist: indices 0..255.
constexpr unsigned long kCmcMaxDevIndex = 255;
constexpr std::uint32_t kCmcEntryStatus = 0x01000000;

// One opened device. The table is one LocalAlloc array in ascending thd_no
// order; its holder keeps the pointer and the count and frees both with
// cmc_devtbl_free. Used by one thread at a time.
struct SCMC_OPENTBL {
    std::uint32_t thd_no;        // name index + 1
    HANDLE open_hdl;             // INVALID_HANDLE_VALUE once closed
    std::uint32_t status;        // 0x01000000; not read
    std::uint32_t end_code;      // device's error code of the last error answer
    std::uint16_t end_stat;      // exchange result of this device's update
    std::uint32_t total_msgsize; // data bytes to send in this update
    std::uint32_t send_msgsize;  // data bytes sent so far
};
