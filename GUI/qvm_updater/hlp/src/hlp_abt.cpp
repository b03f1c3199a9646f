#include "phlp_abt.h"
#include "resource.h"

void CLS_phlp_abt::cb_dlg_init(cls_pwin_dlg *pwin_dlg, void *) {
    pwin_dlg->pwin_dlg_set_text(IDC_ABOUT_VER, "Ver. ", QVM_VERSION_TEXT);
}

unsigned char CLS_phlp_abt::cb_dlg_control(cls_pwin_dlg *, void *, unsigned short item_id) {
    return (item_id == IDOK || item_id == IDCANCEL) ? kPwinDlgClose : kPwinDlgStay;
}
