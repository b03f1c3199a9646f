// Construction, destruction, start and cancel of the controller, and the
// synchronous version query.
//
// Threads: every function here runs on the user's thread, except that the
// destructor also runs at the end of a worker, and cmc_thd_enter on workers.
// The user's side reads the control block only after acquiring thd_hdl == 0
// (the check thread's release), and a worker reads it only after the start
// gate opened, which its creator does after filling it.
#include "pcmc.h"

#include <windows.h>
#include <process.h>

#include <thread>

#include "cmc.h"
#include "cmc_snd.h"
#include "pcom_lib.h"

namespace {
const std::uintptr_t kNoStart = static_cast<std::uintptr_t>(-1);
}

CLS_pcmc::CLS_pcmc(SHEX_HEX *hex, unsigned long ver, CMC_CB_CHKRET cb_cmc_chkret, void *obj,
                   int chk, unsigned long num, unsigned long max) {
    CLS_cmc::cmc_initial(&ctl_data);
    ctl_data.data_ver = static_cast<std::uint32_t>(ver);
    ctl_data.hex = hex;
    ctl_data.verchk = chk;
    ctl_data.dev_max = static_cast<std::uint32_t>(num);
    ctl_data.dev_chkmax = static_cast<std::uint32_t>(max);
    ctl_data.cb_cmc_chkret = cb_cmc_chkret;
    ctl_data.obj = obj;

    ctl_data.sus_hdl = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (ctl_data.sus_hdl != nullptr && cmc_thd_begin(cmc_thd_chkproc)) {
        return;  // this may be gone already
    }
    // No check thread (no gate or no start): reported on this thread.
    ctl_data.thd_hdl.store(kCmcNoThread, std::memory_order_relaxed);
    unsigned short kept = 0;
    if (cb_cmc_chkret != nullptr) kept = cb_cmc_chkret(kCmcChkCommError, 0, this, obj);
    if (kept != kCmcKeep) delete this;
}

CLS_pcmc::~CLS_pcmc() {
    for (std::uint32_t i = 0; i < ctl_data.dev_num; ++i) {
        CLS_cmc::cmc_cmd_led_set(&ctl_data.dev_tbl[i], kCmcLedDone);
    }
    CLS_cmc_snd::cmc_devtbl_free(ctl_data.dev_tbl, ctl_data.dev_num);
    ctl_data.dev_tbl = nullptr;
    ctl_data.dev_num = 0;
    CLS_cmc::cmc_event_close(&ctl_data);
}

bool CLS_pcmc::cmc_thd_begin(void (*body)(void *)) {
    ResetEvent(ctl_data.sus_hdl);
    auto *para = static_cast<SCMC_THD_PARA *>(LocalAlloc(LPTR, sizeof(SCMC_THD_PARA)));
    if (para == nullptr) return false;
    para->thd_no = 0;
    para->obj = this;
    const std::uintptr_t hdl = _beginthread(body, 0, para);
    if (hdl == kNoStart || hdl == kCmcNoThread) {
        LocalFree(para);
        return false;
    }
    ctl_data.thd_hdl.store(hdl, std::memory_order_relaxed);
    // From here the worker owns the controller.
    SetEvent(ctl_data.sus_hdl);
    return true;
}

CLS_pcmc *CLS_pcmc::cmc_thd_enter(void *infodat) {
    auto *para = static_cast<SCMC_THD_PARA *>(infodat);
    auto *self = static_cast<CLS_pcmc *>(para->obj);
    LocalFree(para);
    WaitForSingleObject(self->ctl_data.sus_hdl, INFINITE);
    return self;
}

void CLS_pcmc::pcmc_start(CMC_CB_PROGRESS cb_cmc_progress, CMC_CB_FINISH cb_cmc_finish,
                          void *obj) {
    // The result callback that kept this controller may have made the user
    // call us before the check thread got back from it: wait for the
    // hand-over, which follows the callback's return at once.
    while (ctl_data.thd_hdl.load(std::memory_order_acquire) != kCmcNoThread) {
        std::this_thread::yield();
    }
    ctl_data.cb_cmc_progress = cb_cmc_progress;
    ctl_data.cb_cmc_finish = cb_cmc_finish;
    ctl_data.obj = obj;
    if (cmc_thd_begin(cmc_thd_update_proc)) return;  // this may be gone already

    ctl_data.thd_hdl.store(kCmcNoThread, std::memory_order_relaxed);
    if (cb_cmc_finish != nullptr) cb_cmc_finish(kCmcFinishFailed, kCmcDetailNoThread, obj);
    delete this;
}

void CLS_pcmc::pcmc_cancel() {
    std::uintptr_t held = ctl_data.thd_hdl.load(std::memory_order_acquire);
    for (;;) {
        if (held == kCmcNoThread) {
            delete this;
            return;
        }
        if (held == kCmcCancelled) return;
        // A worker holds it: leave the end to the worker. The check thread
        // destroys a cancelled controller instead of handing it back; the
        // update thread destroys it anyway.
        if (ctl_data.thd_hdl.compare_exchange_weak(held, kCmcCancelled,
                                                   std::memory_order_acq_rel,
                                                   std::memory_order_acquire)) {
            return;
        }
    }
}

unsigned char CLS_pcmc::pcmc_get_ver(SCMC_DEV_VER **ver, unsigned long devmax,
                                     unsigned long chkdevmax) {
    if (ver == nullptr) return kCmcGetVerNone;
    *ver = nullptr;
    SCMC_OPENTBL *table = nullptr;
    const unsigned long dev_num = CLS_cmc_snd::cmc_devtbl_edit(&table, devmax, chkdevmax);
    if (dev_num == 0) return kCmcGetVerNone;

    unsigned char result = kCmcGetVerOk;
    auto *recs = static_cast<SCMC_DEV_VER *>(LocalAlloc(LPTR, dev_num * sizeof(SCMC_DEV_VER)));
    if (recs == nullptr) {
        // The caller reads the first record on 0: never 0 without records.
        result = kCmcGetVerFailed;
    } else {
        *ver = recs;
        for (unsigned long i = 0; i < dev_num; ++i) {
            SCMC_DEV_VER *rec = &recs[i];
            CLS_pcom_lib::pcom_memset(rec, 0, sizeof(*rec));
            rec->firm_version = kNoVersion;
            rec->boot_version = kNoVersion;
            SQVM_CMD_VER info;
            unsigned long boot = 0;
            if (CLS_cmc::cmc_cmd_ver_get(&table[i], &info, &boot) != kCmcOk) {
                result = kCmcGetVerFailed;
                continue;
            }
            rec->firm_version = info.firm_version;
            rec->mcu_version = info.mcu_version;
            rec->license_bit = info.license_bit;
            rec->serial_no = info.serial_no;
            rec->boot_version = static_cast<std::uint32_t>(boot);
        }
    }
    CLS_cmc_snd::cmc_devtbl_free(table, dev_num);
    return result;
}
