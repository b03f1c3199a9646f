// The update thread: runs the update sequence on each open device in turn
// and reports the end through cb_cmc_finish.
//
// Threads: runs on the update thread, which owns the control block from the
// start gate to its end and then destroys the controller. The user does not
// touch the controller after pcmc_start (pcmc_cancel only marks thd_hdl,
// which nothing here reads). The image is only read.
#include "pcmc.h"

#include <windows.h>
#include <process.h>

#include "cmc.h"
#include "cmc_snd.h"
#include "cmc_upd.h"

void CLS_pcmc::cmc_thd_update_proc(void *infodat) {
    CLS_pcmc *self = cmc_thd_enter(infodat);
    SCMC_CTRL_DATA *ctl = &self->ctl_data;
    unsigned long result = kCmcFinishOk;
    unsigned long detail = 0;

    std::uint32_t last = 0;
    for (std::uint32_t i = 0; i < ctl->dev_num; ++i) {
        last = i;
        // The last device handled gets its LED 1 here; the others get it
        // from the destructor.
        SCMC_UPD_JOB job{};
        job.entry = &ctl->dev_tbl[i];
        job.image = ctl->hex != nullptr ? &ctl->hex->edit : nullptr;
        job.dev_no = i + 1;
        job.cb_progress = ctl->cb_cmc_progress;
        job.obj = ctl->obj;
        job.oldprogre = &ctl->oldprogre;
        job.led_done = i + 1 == ctl->dev_num ? kCmcLedDoneAlways : kCmcLedDoneOnFailure;
        if (CLS_cmc_upd::cmc_upd_device(&job) != kCmcOk) {
            result = kCmcFinishFailed;
            CLS_cmc::cmc_endstat_chk(&detail, job.entry);
            break;  // the remaining devices are left untouched
        }
    }

    if (ctl->dev_num != 0) {
        CLS_cmc_snd::cmc_close_file(&ctl->dev_tbl[last].open_hdl);
    } else {
        // Nothing was written: not a success.
        result = kCmcFinishFailed;
        detail = kCmcDetailTransfer;
    }

    if (ctl->cb_cmc_finish != nullptr) ctl->cb_cmc_finish(result, detail, ctl->obj);
    delete self;
    _endthread();
}
