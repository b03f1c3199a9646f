// The device-communication controller: the synchronous version query, and
// an update controller object that lives on two worker threads and destroys
// itself.
//
// Threads. The user's thread (the user-interface thread) constructs the
// controller and calls pcmc_start and pcmc_cancel. The check thread
// (started by construction) opens the devices, checks the version and calls
// cb_cmc_chkret; the update thread (started by pcmc_start) writes the image
// and calls cb_cmc_progress and cb_cmc_finish. Only a failed thread start
// calls a callback on the user's thread. A worker owns the control block
// from its start gate until it ends, or, for the check thread, until it
// hands the controller back after cb_cmc_chkret returned 1 (thd_hdl cleared).
// pcmc_get_ver runs wholly on its caller's thread.
#pragma once

#include "cmc_def.h"

class CLS_pcmc {
public:
    // Starts the check thread (ver becomes data_ver, chk verchk, num
    // dev_max, max dev_chkmax). cb_cmc_chkret is required; it is called once
    // with the check code (kCmcChk*), the number of devices opened, this
    // controller and obj; answering 1 keeps the controller for pcmc_start or
    // pcmc_cancel, anything else destroys it. If the check thread cannot be
    // started, the callback gets code 3 with 0 devices on this thread, and
    // unless it answers 1 the controller is destroyed before construction
    // returns (the returned pointer must then not be used: the callback's
    // third argument is the controller to keep). hex must outlive the
    // controller.
    CLS_pcmc(SHEX_HEX *hex, unsigned long ver, CMC_CB_CHKRET cb_cmc_chkret, void *obj, int chk,
             unsigned long num, unsigned long max);
    // LED type 1 to every open device, devices closed, start gate closed.
    // Called by the controller itself; never delete a controller from outside.
    ~CLS_pcmc();

    CLS_pcmc(const CLS_pcmc &) = delete;
    CLS_pcmc &operator=(const CLS_pcmc &) = delete;

    // Starts the update thread with new callbacks and context. Only once,
    // and only after cb_cmc_chkret was called with code 0 and answered 1
    // (if the check thread is still returning from that callback, this waits
    // for it). Afterwards the controller must not be touched: it destroys
    // itself when the update ends. A thread that cannot be started is
    // reported here as cb_cmc_finish(2, 0xFFFFFFFC) and the controller is
    // destroyed before this returns.
    void pcmc_start(CMC_CB_PROGRESS cb_cmc_progress, CMC_CB_FINISH cb_cmc_finish, void *obj);

    // Ends a controller that its result callback kept: destroyed at once
    // when no worker holds it; if the check thread still holds it, it is
    // destroyed there instead of being handed back. During an update it does
    // nothing. Afterwards the controller must not be touched.
    void pcmc_cancel();

    // Opens at most devmax devices among the first chkdevmax names, reads
    // each one's version and closes them again (no LED command). *ver gets a
    // new LocalAlloc array of one record per opened device, which the caller
    // frees. Results: 0 every version read; 1 ver is null or no device
    // opened (*ver null); 3 a version read failed (that record keeps its
    // initial values), or the array could not be allocated (*ver null).
    static unsigned char pcmc_get_ver(SCMC_DEV_VER **ver, unsigned long devmax,
                                      unsigned long chkdevmax);

private:
    // Check thread body (cmc_chk).
    static void cmc_thd_chkproc(void *infodat);
    // Version comparison on one device: kCmcVerUpdate, kCmcVerCurrent or
    // kCmcVerReadFailed (cmc_chk).
    static unsigned char cmc_ver_chk(SCMC_OPENTBL *open_tbl, unsigned long ver);
    // Update thread body (cmc_prs).
    static void cmc_thd_update_proc(void *infodat);
    // Writes the image block into device `index`: begin, 256-byte blocks,
    // end. Exchange result of the first failure, else kCmcOk (cmc_prs).
    static unsigned short cmc_boot_data_set(SCMC_CTRL_DATA *ctl_data, unsigned long index,
                                            SHEX_DATA *hex);
    // Starts body on a new thread held at the start gate, stores its handle
    // in thd_hdl and opens the gate. After true, this may already be
    // destroyed by the worker; false: no thread (nothing to undo).
    bool cmc_thd_begin(void (*body)(void *));
    // Takes the controller out of a worker's parameter block (released) and
    // waits at the start gate. Worker threads only.
    static CLS_pcmc *cmc_thd_enter(void *infodat);

    SCMC_CTRL_DATA ctl_data;
};
