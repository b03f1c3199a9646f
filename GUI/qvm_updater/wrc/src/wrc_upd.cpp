// Callbacks of the update controller: the device-search dialog's protocol
// and the check outcome of the communication controller.
//
// Threads: cb_dlg_init, cb_dlg_control and cb_dlg_quit run on the
// user-interface thread. cb_cmc_chkret runs on the check thread (or on the
// user-interface thread inside cb_dlg_init when that thread cannot be
// started); it shows its box there and reaches the dialog only by posting a
// command. It alone writes `cmc`, and does so before posting 3100, the only
// path to the commands (3100, 3000) that read it.
#include <new>

#include "pcmc.h"
#include "pwin_dlg.h"
#include "pwrc_upd.h"
#include "resource.h"
#include "wrc_prs.h"

namespace {
// Private commands of the search dialog.
constexpr unsigned short kCmdDeclined = 3000;
constexpr unsigned short kCmdProceed = 3100;
constexpr unsigned short kCmdCommError = 3101;
constexpr unsigned short kCmdNoDevice = 3102;
constexpr unsigned short kCmdUpToDate = 3103;

// Message box styles.
constexpr unsigned int kBoxStop = MB_ICONHAND;                                  // 0x10
constexpr unsigned int kBoxConfirm = MB_OKCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2;  // 0x121

void post_command(cls_pwin_dlg *dlg, unsigned short cmd) {
    PostMessageA(dlg->GetSafeHwnd(), WM_COMMAND, cmd, 0);
}
} // namespace

void CLS_pwrc_upd::report_and_post(unsigned short msg_id, unsigned short cmd) {
    if (msg == 1) {
        cls_pwin_dlg::pwin_msg_dlg(IDS_MSG_TITLE, nullptr, msg_id, nullptr, kBoxStop, dlg);
    }
    post_command(dlg, cmd);
}

void CLS_pwrc_upd::cb_dlg_init(cls_pwin_dlg *pwin_dlg, void *obj) {
    auto *self = static_cast<CLS_pwrc_upd *>(obj);
    self->dlg = pwin_dlg;
    // The pointer that construction returns is deliberately not kept: the
    // check thread may have reported and destroyed the controller before
    // `new` returns here. cb_cmc_chkret hands over the live pointer.
    CLS_pcmc *created = new (std::nothrow)
        CLS_pcmc(self->hex, self->hex_ver, cb_cmc_chkret, self, self->ver_chk,
                 self->dev_max, self->chk_max);
    if (created == nullptr) {
        // No worker will ever report; close the way a failed check does.
        self->report_and_post(IDS_COMM_ERROR, kCmdCommError);
    }
}

unsigned short CLS_pwrc_upd::cb_cmc_chkret(unsigned short chkret, unsigned long /*dev_num*/,
                                           void *cmc_obj, void *obj) {
    auto *self = static_cast<CLS_pwrc_upd *>(obj);
    switch (chkret) {
    case kCmcChkReady:
        self->cmc = static_cast<CLS_pcmc *>(cmc_obj);
        post_command(self->dlg, kCmdProceed);
        return kCmcKeep;
    case kCmcChkNoDevice:
        self->report_and_post(IDS_NOT_FOUND, kCmdNoDevice);
        return kCmcRelease;
    case kCmcChkUpToDate:
        self->report_and_post(IDS_NOT_NECESSARY, kCmdUpToDate);
        return kCmcRelease;
    default:  // kCmcChkCommError and anything unknown
        self->report_and_post(IDS_COMM_ERROR, kCmdCommError);
        return kCmcRelease;
    }
}

unsigned char CLS_pwrc_upd::cb_dlg_control(cls_pwin_dlg *pwin_dlg, void *obj,
                                           unsigned short item_id) {
    auto *self = static_cast<CLS_pwrc_upd *>(obj);
    switch (item_id) {
    case kCmdDeclined:
        // Only posted by ourselves after 3100; without a kept controller the
        // check is still running and the dialog must wait for its report.
        if (self->cmc == nullptr) {
            return kPwinDlgStay;
        }
        self->cmc->pcmc_cancel();  // releases the controller
        self->cmc = nullptr;
        return kPwinDlgClose;
    case kCmdProceed: {
        if (self->cmc == nullptr) {
            return kPwinDlgStay;  // not from the check report: nothing to proceed with
        }
        HWND parent = GetParent(pwin_dlg->GetSafeHwnd());
        SetActiveWindow(parent);
        pwin_dlg->ShowWindow(SW_HIDE);
        int answer = IDOK;
        if (self->check == 1) {
            answer = cls_pwin_dlg::pwin_msg_dlg(IDS_MSG_TITLE, nullptr, IDS_START_UPDATE,
                                                nullptr, kBoxConfirm, nullptr);
        }
        if (answer == IDOK) {
            CLS_pcmc *cmc = self->cmc;
            self->cmc = nullptr;  // the update thread owns it from here on
            CLS_wrc_prs progress(cmc, self, nullptr, self->msg, &self->result);
            return kPwinDlgClose;
        }
        post_command(pwin_dlg, kCmdDeclined);
        return kPwinDlgStay;
    }
    case kCmdCommError:
    case kCmdNoDevice:
    case kCmdUpToDate:
        return kPwinDlgClose;
    default:
        return kPwinDlgStay;  // Enter, Escape and anything else: keep searching
    }
}

unsigned char CLS_pwrc_upd::cb_dlg_quit(cls_pwin_dlg * /*pwin_dlg*/, void * /*obj*/,
                                        unsigned short item_id) {
    switch (item_id) {
    case kCmdDeclined:
    case kCmdProceed:
    case kCmdCommError:
    case kCmdNoDevice:
    case kCmdUpToDate:
        return kPwinDlgClose;
    default:
        return kPwinDlgStay;
    }
}
