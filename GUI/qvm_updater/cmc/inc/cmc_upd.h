// One device's update, the sequence that every program runs: LED 2, begin,
// the image's blocks in ascending address order, end, LED 1; LED 3 before
// that LED 1 when a step failed.
#pragma once

#include <cstdint>

#include "cmc_code.h"
#include "cmc_ctl.h"
#include "cmc_tbl.h"
#include "shex_hex.h"

// The step that failed (SCMC_UPD_JOB::fail_step).
constexpr unsigned char kCmcStepNone = 0;
constexpr unsigned char kCmcStepImage = 1;  // no image bytes; nothing but LEDs sent
constexpr unsigned char kCmcStepBegin = 2;
constexpr unsigned char kCmcStepBlock = 3;  // fail_addr: the block's address
constexpr unsigned char kCmcStepEnd = 4;

// When the sequence sends its closing LED 1 (SCMC_UPD_JOB::led_done).
constexpr unsigned char kCmcLedDoneAlways = 0;
constexpr unsigned char kCmcLedDoneOnFailure = 1;  // after a success the caller sends it

struct SCMC_UPD_JOB {
    // In.
    SCMC_OPENTBL *entry;          // the device; end_stat, sizes written
    const SHEX_DATA *image;       // the block to write (data, len, start_addr)
    unsigned long dev_no;         // announced as (dev_no, 0) when the transfer begins
    CMC_CB_PROGRESS cb_progress;  // may be null
    void *obj;                    // handed to cb_progress
    unsigned short *oldprogre;    // last percentage reported; set to 0 first
    unsigned char led_done;       // kCmcLedDone*
    // Out.
    unsigned char fail_step;      // kCmcStep*; kCmcStepNone on success
    std::uint32_t fail_addr;      // address of the failed block
};

class CLS_cmc_upd {
public:
    // Runs the sequence on job->entry and stores the result in its
    // end_stat. Blocks the calling thread, which owns the entry, for every
    // exchange (no time-out); progress is reported on that thread. LED
    // results are not examined.
    // Returns kCmcOk          the device accepted the end: it committed
    //         kCmcNoMemory    no image bytes or no block buffer
    //         kCmcNotOpen     the entry is closed
    //         kCmcTransfer    a write or read failed, or a malformed answer
    //         kCmcDeviceError the device refused a step; end_code holds why
    static unsigned short cmc_upd_device(SCMC_UPD_JOB *job);
};
