// The main dialog's device version display ("Get firmware ver.").
// User-interface thread; the device exchange blocks it until it ends.
#include "app.h"
#include "pcom_dat.h"
#include "plic.h"
#include "resource.h"

void CLS_app::app_get_ver(cls_pwin_dlg *pwin_dlg) {
    if (CLS_plic::plic_get_version_info(&ver_info) != 1) {
        // The user has been told why; a version shown before is cleared.
        pwin_dlg->pwin_dlg_set_text(IDC_MAIN_DEV_VER, static_cast<unsigned short>(IDS_NO_VERSION));
        return;
    }
    if (ver_info.firm_version == kNoVersion) {
        pwin_dlg->pwin_dlg_set_text(IDC_MAIN_DEV_VER, static_cast<unsigned short>(IDS_NO_FIRM));
        return;
    }
    char msg[240] = {};
    CLS_pcom_dat::pcom_version(ver_info.firm_version, msg, 0);
    pwin_dlg->pwin_dlg_set_text(IDC_MAIN_DEV_VER, msg);
}
