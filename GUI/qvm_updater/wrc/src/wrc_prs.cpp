// Update progress dialog.
//
// Threads: the constructor and the dialog callbacks run on the
// user-interface thread; cb_cmc_progress and cb_cmc_finish on the update
// thread. The worker reaches the dialog only through SendMessageA(PBM_SETPOS)
// to the bar, which the user-interface thread answers from the dialog's
// modal loop, and through the posted end command 3204. `result` is written
// before that post, so the user-interface thread reads it only after it.
#include "wrc_prs.h"

#include "pcmc.h"
#include "pwin_dlg.h"
#include "resource.h"

#include "afxcmn.h"

namespace {
// Private command: the update thread has ended.
constexpr unsigned short kCmdEnded = 3204;
} // namespace

CLS_wrc_prs::CLS_wrc_prs(void *cmc_obj, void *obj, void *cb_app, int msg, int *result)
    : obj(obj), cb_wrc_upd(reinterpret_cast<void (*)(int, void *)>(cb_app)), msg(msg),
      cmc_obj(static_cast<CLS_pcmc *>(cmc_obj)) {
    SWIN_DLG_INFO dlg_info;
    cls_pwin_dlg::pwin_dlg_init_dlg_info(&dlg_info, IDD_QVM_PROGRESS, this,
                                         reinterpret_cast<void *>(cb_dlg_init),
                                         reinterpret_cast<void *>(cb_dlg_control),
                                         reinterpret_cast<void *>(cb_dlg_quit));
    {
        unsigned short end_id = 0;
        cls_pwin_dlg dialog(dlg_info, &end_id);
    }
    progress = nullptr;
    dlg = nullptr;
    if (result != nullptr) {
        *result = this->result;
    }
}

void CLS_wrc_prs::cb_dlg_init(cls_pwin_dlg *pwin_dlg, void *obj) {
    auto *self = static_cast<CLS_wrc_prs *>(obj);
    self->dlg = pwin_dlg;
    // The bar keeps its default range 0..100 and position 0.
    self->progress = static_cast<CProgressCtrl *>(pwin_dlg->GetDlgItem(IDC_PROGRESS_BAR));
    CLS_pcmc *cmc = self->cmc_obj;
    self->cmc_obj = nullptr;  // the update thread releases it
    cmc->pcmc_start(cb_cmc_progress, cb_cmc_finish, self);
}

unsigned char CLS_wrc_prs::cb_dlg_control(cls_pwin_dlg * /*pwin_dlg*/, void * /*obj*/,
                                          unsigned short item_id) {
    return item_id == kCmdEnded ? kPwinDlgClose : kPwinDlgStay;
}

unsigned char CLS_wrc_prs::cb_dlg_quit(cls_pwin_dlg * /*pwin_dlg*/, void * /*obj*/,
                                       unsigned short item_id) {
    return item_id == kCmdEnded ? kPwinDlgClose : kPwinDlgStay;
}

void CLS_wrc_prs::cb_cmc_progress(unsigned long /*first*/, unsigned long value, void *obj) {
    auto *self = static_cast<CLS_wrc_prs *>(obj);
    if (self->progress == nullptr) return;  // a template without the bar
    SendMessageA(self->progress->GetSafeHwnd(), PBM_SETPOS, value, 0);
}

void CLS_wrc_prs::cb_cmc_finish(unsigned long result, unsigned long /*detail*/, void *obj) {
    auto *self = static_cast<CLS_wrc_prs *>(obj);
    if (self->msg == 1) {
        if (result == kCmcFinishOk) {
            cls_pwin_dlg::pwin_msg_dlg(IDS_MSG_TITLE, nullptr, IDS_UPDATE_DONE, nullptr,
                                       MB_ICONINFORMATION, nullptr);
        } else {
            cls_pwin_dlg::pwin_msg_dlg(IDS_MSG_TITLE, nullptr, IDS_COMM_ERROR, nullptr,
                                       MB_ICONHAND, nullptr);
        }
    }
    if (result == kCmcFinishOk) {
        self->result = 1;
    }
    PostMessageA(self->dlg->GetSafeHwnd(), WM_COMMAND, kCmdEnded, 0);
}
