// The controller's control block, its worker's start parameter and the
// callback types through which the workers report.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "cmc_tbl.h"
#include "shex_hex.h"

// Check outcome (kCmcChk*), devices opened, the controller, the user's obj.
// Answer kCmcKeep to keep the controller; anything else destroys it.
typedef unsigned short (*CMC_CB_CHKRET)(unsigned short chkret, unsigned long dev_num,
                                        void *cmc_obj, void *obj);
// (device number, 0) when a device's transfer begins, then (0, percent)
// each time its whole percentage grows.
typedef void (*CMC_CB_PROGRESS)(unsigned long dev_no, unsigned long percent, void *obj);
// kCmcFinishOk / kCmcFinishFailed and the detail code.
typedef void (*CMC_CB_FINISH)(unsigned long result, unsigned long detail, void *obj);

// thd_hdl while no worker runs.
constexpr std::uintptr_t kCmcNoThread = 0;
// thd_hdl after pcmc_cancel was asked while a worker still held the
// controller. _beginthread never returns this value.
constexpr std::uintptr_t kCmcCancelled = ~static_cast<std::uintptr_t>(1);

// The control block shared by the controller's user and its worker.
struct SCMC_CTRL_DATA {
    // Written by the user before it opens the start gate (construction, and
    // pcmc_start for the three fields it replaces); read by the worker only
    // after the gate opened; not written again while a worker holds it.
    std::uint32_t data_ver;          // image version
    SHEX_HEX *hex;                   // not owned
    CMC_CB_CHKRET cb_cmc_chkret;
    CMC_CB_PROGRESS cb_cmc_progress; // pcmc_start
    CMC_CB_FINISH cb_cmc_finish;     // pcmc_start
    void *obj;                       // user's context for every callback; pcmc_start
    std::int32_t verchk;             // 1: compare the first device's version
    std::uint32_t dev_chkmax;        // names to probe (0: 256)
    std::uint32_t dev_max;           // devices to open at most
    HANDLE sus_hdl;                  // start gate (manual-reset event); owned

    // Written by the check thread; read by the user only after it saw
    // thd_hdl == kCmcNoThread (the hand-over), and by the update thread.
    std::uint32_t dev_num;           // devices opened
    SCMC_OPENTBL *dev_tbl;           // owned

    // Written and read by the update thread only.
    std::uint16_t oldprogre;         // last percentage reported

    // Written by both sides at any time: the user (start, cancel mark) and
    // the check thread (hand-over to kCmcNoThread). Read with acquire.
    std::atomic<std::uintptr_t> thd_hdl;  // current worker; kCmcNoThread when none
};

// Start parameter of a worker: LocalAlloc by the creator, LocalFree by the
// worker as its first step.
struct SCMC_THD_PARA {
    std::uint32_t thd_no;  // 0
    void *obj;             // the controller
};
