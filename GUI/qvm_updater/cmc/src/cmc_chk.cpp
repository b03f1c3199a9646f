// The check thread: opens the devices, compares the first device's version
// with the image's and reports the outcome through cb_cmc_chkret.
//
// Threads: runs on the check thread, which owns the control block from the
// start gate until it hands the controller back (cmc_thd_close after the
// callback kept it) or destroys it. The user may call pcmc_cancel at any
// time meanwhile; that only marks thd_hdl, which cmc_thd_close reads.
#include "pcmc.h"

#include <windows.h>
#include <process.h>

#include "cmc.h"
#include "cmc_snd.h"

void CLS_pcmc::cmc_thd_chkproc(void *infodat) {
    CLS_pcmc *self = cmc_thd_enter(infodat);
    SCMC_CTRL_DATA *ctl = &self->ctl_data;

    SCMC_OPENTBL *table = nullptr;
    ctl->dev_num = static_cast<std::uint32_t>(
        CLS_cmc_snd::cmc_devtbl_edit(&table, ctl->dev_max, ctl->dev_chkmax));
    ctl->dev_tbl = table;

    unsigned char v = kCmcVerUpdate;
    if (ctl->dev_num != 0 && ctl->verchk == 1) v = cmc_ver_chk(&ctl->dev_tbl[0], ctl->data_ver);

    unsigned short code = kCmcChkReady;
    if (v == kCmcVerReadFailed) {
        code = kCmcChkCommError;
    } else if (v == kCmcVerCurrent) {
        code = kCmcChkUpToDate;
    } else if (ctl->dev_num == 0) {
        code = kCmcChkNoDevice;
    }

    unsigned short kept = 0;
    if (ctl->cb_cmc_chkret != nullptr) kept = ctl->cb_cmc_chkret(code, ctl->dev_num, self, ctl->obj);
    // Handed back: from here the controller is the user's and may be gone.
    if (kept != kCmcKeep || !CLS_cmc::cmc_thd_close(ctl)) delete self;
    _endthread();
}

unsigned char CLS_pcmc::cmc_ver_chk(SCMC_OPENTBL *open_tbl, unsigned long ver) {
    SQVM_CMD_VER info;
    if (CLS_cmc::cmc_cmd_ver_get(open_tbl, &info, nullptr) != kCmcOk) return kCmcVerReadFailed;
    return CLS_cmc::cmc_ver_cmp(static_cast<std::uint32_t>(ver), info.firm_version);
}
