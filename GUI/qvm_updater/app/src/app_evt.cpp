#include "app.h"

#include <initializer_list>

#include "pwin_uty.h"
#include "resource.h"

void CLS_app::cb_dlg_init(cls_pwin_dlg *pwin_dlg, void *obj) {
    CLS_app *app = static_cast<CLS_app *>(obj);

    // Shared icons (LR_SHARED): the system owns them. The small one is
    // taken in its own size, so that the 16 x 16 images are used.
    HINSTANCE res = AfxGetResourceHandle();
    HICON big = ::LoadIconA(res, MAKEINTRESOURCEA(IDI_QVM_APP));
    HICON small_icon = static_cast<HICON>(::LoadImageA(res, MAKEINTRESOURCEA(IDI_QVM_APP), IMAGE_ICON,
                                                  ::GetSystemMetrics(SM_CXSMICON),
                                                  ::GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    pwin_dlg->SetIcon(big, TRUE);
    pwin_dlg->SetIcon(small_icon != nullptr ? small_icon : big, FALSE);

    char caption[240];
    if (CLS_pwin_uty::pwin_load_str_res(IDS_MAIN_CAPTION, caption, sizeof caption) != 0)
        pwin_dlg->SetWindowText(caption);

    app->font.CreatePointFont(240, "MS Sans Serif", nullptr);
    for (int id : {IDC_MAIN_DEV_VER, IDC_MAIN_ARROW, IDC_MAIN_ROM_VER}) {
        CWnd *item = pwin_dlg->GetDlgItem(id);
        if (item != nullptr) item->SetFont(&app->font, TRUE);
    }

    app->app_rom_load(pwin_dlg);
}

unsigned char CLS_app::cb_dlg_control(cls_pwin_dlg *, void *obj, unsigned short item_id) {
    if (item_id == IDCANCEL) return kPwinDlgClose;
    static_cast<CLS_app *>(obj)->menu_sel(item_id);
    return kPwinDlgStay;
}

unsigned char CLS_app::cb_dlg_quit(cls_pwin_dlg *, void *obj, unsigned short) {
    // Never called while a command runs: a command runs inside
    // cb_dlg_control, and the dialog holds close requests back until that
    // callback has returned.
    delete static_cast<CLS_app *>(obj);  // releases the image blocks and the font
    return kPwinDlgClose;
}
