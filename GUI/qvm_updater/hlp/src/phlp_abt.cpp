#include "phlp_abt.h"
#include "resource.h"

CLS_phlp_abt::CLS_phlp_abt() {
    SWIN_DLG_INFO dlg_info;
    cls_pwin_dlg::pwin_dlg_init_dlg_info(&dlg_info, IDD_QVM_ABOUT, this,
                                         reinterpret_cast<void *>(&cb_dlg_init),
                                         reinterpret_cast<void *>(&cb_dlg_control), nullptr);
    // No quit callback: every close request closes. The id that ended the
    // dialog is of no interest.
    unsigned short item_id = 0;
    cls_pwin_dlg dlg(dlg_info, &item_id);
}
