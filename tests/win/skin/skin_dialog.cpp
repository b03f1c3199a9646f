#include "skin_dialog.h"

#include "skin_test_res.h"

namespace {

SWIN_DLG_CTRL_BMPBUTTON g_push{IDB_PUSH, 4, 10};  // cross, size-all while pressed
SWIN_DLG_CTRL_BMPBUTTON g_close{IDB_CLOSE, 0, 0};
SWIN_DLG_CTRL_BMPBUTTON g_max{IDB_MAX, 0, 0};
SWIN_DLG_CTRL_BMPBUTTON g_min{IDB_MIN, 0, 0};
SWIN_DLG_CTRL_BMPBUTTON g_none{IDB_NONE, 0, 0};

SWIN_DLG_CTRL g_table[] = {
    {IDOK, 0, 20, 150, 70, 24, nullptr},
    {IDC_PUSH, 1, 110, 150, 0, 0, &g_push},
    {IDC_CLOSE, 2, 290, 12, 0, 0, &g_close},
    {IDC_MAX, 3, 270, 12, 0, 0, &g_max},
    {IDC_MIN, 4, 250, 12, 0, 0, &g_min},
    {IDC_TRANS, 5, 20, 60, 220, 16, nullptr},
    {IDC_EDIT, 0, 20, 100, 120, 20, nullptr},
    {IDC_NOBMP, 1, 180, 150, 70, 24, &g_none},
    {0, 0, 0, 0, 0, 0, nullptr},
};

}  // namespace

SWIN_DLG_INFO skin_info(DlgRecord *rec, bool with_mask) {
    SWIN_DLG_INFO info = describe(IDD_SKIN, rec);
    info.bmp = IDB_WALL;
    info.bmp_msk = with_mask ? IDB_MASK : 0;
    info.ctrl = g_table;
    return info;
}

cls_win_dbm *button_of(cls_pwin_dlg *dlg, unsigned short id) {
    for (unsigned long i = 0; i < dlg->dbm_num; ++i) {
        auto *button = static_cast<cls_win_dbm *>(dlg->dbm[i]);
        if (button != nullptr && button->ctrl.id == id) return button;
    }
    return nullptr;
}
