#include "app.h"

#include <new>

#include "resource.h"

cls_winapp winapp;

cls_winapp::~cls_winapp() = default;

BOOL cls_winapp::InitInstance() {
    int result = cls_pwin_dlg::pwin_dlg_reg_class(IDS_CLASS_NAME);
    if (result != 1) return result;

    CLS_app *app = new (std::nothrow) CLS_app(&m_pMainWnd, m_nCmdShow);
    if (m_pMainWnd == nullptr) {
        // No window will ever call the quit callback, so release here.
        delete app;
        result = 0;
    }
    return result;
}

CLS_app::CLS_app(CWnd **main_wnd_out, int) {
    app_init();

    SWIN_DLG_INFO dlg_info;
    cls_pwin_dlg::pwin_dlg_init_dlg_info(&dlg_info, IDD_QVM_MAIN, this,
                                         reinterpret_cast<void *>(&cb_dlg_init),
                                         reinterpret_cast<void *>(&cb_dlg_control),
                                         reinterpret_cast<void *>(&cb_dlg_quit));
    main_wnd = new (std::nothrow) cls_pwin_dlg(dlg_info, 1);
    if (main_wnd != nullptr && main_wnd->GetSafeHwnd() == nullptr) {
        // The window could not be made: the object is ours to delete.
        delete main_wnd;
        main_wnd = nullptr;
    }
    *main_wnd_out = main_wnd;
}

CLS_app::~CLS_app() { app_release(); }
