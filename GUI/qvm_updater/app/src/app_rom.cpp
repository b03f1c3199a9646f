#include "app.h"
#include "pcom_dat.h"
#include "prom.h"
#include "resource.h"

void CLS_app::app_rom_load(cls_pwin_dlg *pwin_dlg) {
    unsigned long mcu_ver = 0;
    char product_str[CLS_prom::kProductLen];

    const int ok = CLS_prom::prom_read(&hex, &ver, &mcu_ver, product_str);
    if (ok == 1 && ver != kNoVersion) {
        char ver_str[13];
        CLS_pcom_dat::pcom_version(ver, ver_str, 0);
        pwin_dlg->pwin_dlg_set_text(IDC_MAIN_ROM_VER, ver_str);
        return;
    }
    // Nothing to write and nothing to compare against: both device
    // commands stay off for the program's life. Control 3012 keeps "------".
    pwin_dlg->pwin_dlg_enable_item(IDC_MAIN_UPDATE, 0);
    pwin_dlg->pwin_dlg_enable_item(IDC_MAIN_GET_VER, 0);
}

void CLS_app::app_release() {
    CLS_prom::prom_free_mem(&hex, CLS_prom::FREE_ALL);
    font.DeleteObject();
}
