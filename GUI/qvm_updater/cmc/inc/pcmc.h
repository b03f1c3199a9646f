// The device-communication controller: the synchronous version query, and
// an update controller object that lives on two worker threads and destroys
// itself.
//
// Threads: the user's thread (the user-interface thread) constructs the
// controller and calls pcmc_start and pcmc_cancel. The check thread
// (started by construction) opens the devices, checks the version and calls
// cb_cmc_chkret; the update thread (started by pcmc_start) writes the image
// and calls cb_cmc_progress and cb_cmc_finish. Who owns which field of the
// control block when: cmc_ctl.h.
#pragma once

#include "cmc_code.h"
#include "cmc_ctl.h"
#include "cmc_dev_ver.h"
#include "cmc_tbl.h"

class CLS_pcmc {
public:
    // Starts the check thread (ver becomes data_ver, chk verchk, num
    // dev_max, max dev_chkmax); hex must outlive the controller. Does not
    // block. cb_cmc_chkret is required and called once, on the check
    // thread, with:
    //   kCmcChkReady      devices open, version check passed or not asked
    //   kCmcChkNoDevice   no device found
    //   kCmcChkUpToDate   the first device is current (cmc_ver_cmp)
    //   kCmcChkCommError  the version read failed; or, on this thread
    //                     before construction returns and with 0 devices,
    //                     the check thread could not be started
    // Answering kCmcKeep keeps the controller for pcmc_start or
    // pcmc_cancel; anything else destroys it (then the returned pointer
    // must not be used: the callback's third argument is the one to keep).
    CLS_pcmc(SHEX_HEX *hex, unsigned long ver, CMC_CB_CHKRET cb_cmc_chkret, void *obj, int chk,
             unsigned long num, unsigned long max);
    // LED type 1 to every open device, devices closed, start gate closed.
    // Called by the controller itself; never delete a controller from outside.
    ~CLS_pcmc();

    CLS_pcmc(const CLS_pcmc &) = delete;
    CLS_pcmc &operator=(const CLS_pcmc &) = delete;

    // Starts the update thread with new callbacks and context: only once,
    // after cb_cmc_chkret reported kCmcChkReady and answered kCmcKeep. The
    // user's thread; waits only for the check thread to return from that
    // callback. Afterwards the controller must not be touched. The update
    // thread reports through cb_cmc_finish:
    //   kCmcFinishOk, 0                      every open device written
    //   kCmcFinishFailed, kCmcDetailNoMemory out of memory
    //   kCmcFinishFailed, kCmcDetailTransfer not open, transfer or framing
    //   kCmcFinishFailed, end_code           the device refused a command
    //   kCmcFinishFailed, kCmcDetailNoThread no update thread; called on
    //                                        this thread before it returns
    void pcmc_start(CMC_CB_PROGRESS cb_cmc_progress, CMC_CB_FINISH cb_cmc_finish, void *obj);

    // Ends a controller that its result callback kept: destroyed at once
    // when no worker holds it, or by the check thread instead of being
    // handed back; nothing during an update. The user's thread; does not
    // block. Afterwards the controller must not be touched.
    void pcmc_cancel();

    // Opens at most devmax devices among the first chkdevmax names, reads
    // each one's version and closes them again (no LED command). Blocks the
    // calling thread for every exchange. *ver gets a new LocalAlloc array of
    // one record per opened device, which the caller frees.
    // Returns kCmcGetVerOk      every version read
    //         kCmcGetVerNone    ver is null or no device opened (*ver null)
    //         kCmcGetVerFailed  a version read failed (that record keeps its
    //                           initial values), or no array (*ver null)
    static unsigned char pcmc_get_ver(SCMC_DEV_VER **ver, unsigned long devmax,
                                      unsigned long chkdevmax);

private:
    // Check thread body (cmc_chk).
    static void cmc_thd_chkproc(void *infodat);
    // Reads the device's version and applies cmc_ver_cmp: kCmcVerUpdate,
    // kCmcVerCurrent, or kCmcVerReadFailed (cmc_chk).
    static unsigned char cmc_ver_chk(SCMC_OPENTBL *open_tbl, unsigned long ver);
    // Update thread body (cmc_prs).
    static void cmc_thd_update_proc(void *infodat);
    // Starts body on a new thread held at the start gate, stores its handle
    // in thd_hdl and opens the gate. After true, this may already be
    // destroyed by the worker; false: no thread (nothing to undo).
    bool cmc_thd_begin(void (*body)(void *));
    // Takes the controller out of a worker's parameter block (released) and
    // waits at the start gate. Worker threads only.
    static CLS_pcmc *cmc_thd_enter(void *infodat);

    SCMC_CTRL_DATA ctl_data;
};
