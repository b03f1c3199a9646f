// The splash window's creation and the owner's close request.
//
// Threads: the user-interface thread.
#include "pwin_spl.h"

#include <new>

cls_pwin_spl::cls_pwin_spl(const SWIN_SPL_INFO &info) : spl_info(info) {
    close = 0;
    // Without a minimum time no timer runs: the owner may close at once.
    time_out = info.time != 0 ? 0 : 1;
}

cls_pwin_spl *cls_pwin_spl::pwin_open_splash(const SWIN_SPL_INFO &info) {
    cls_pwin_spl *spl = new (std::nothrow) cls_pwin_spl(info);
    if (spl == nullptr) return nullptr;
    BITMAP bm{};
    LPCSTR cls = AfxRegisterWndClass(0, ::LoadCursorA(nullptr, IDC_ARROW));
    // The window takes the image's size and shape while it is created.
    if (!spl->bmp.LoadBitmap(kPwinSplashBitmap) || spl->bmp.GetBitmap(&bm) == 0 ||
        cls == nullptr ||
        !spl->CreateEx(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, cls, "", WS_POPUP, 0, 0, bm.bmWidth,
                       bm.bmHeight)) {
        delete spl;
        return nullptr;
    }
    spl->self_owned_ = true;
    spl->ShowWindow(SW_SHOWNOACTIVATE);
    spl->UpdateWindow();
    return spl;
}

void cls_pwin_spl::pwin_close_splash() {
    if (time_out != 1) return;
    win_spl_ask();
    PostMessage(WM_CLOSE);
}

void cls_pwin_spl::win_spl_ask() {
    if (spl_info.cb_spl_close != nullptr)
        close = reinterpret_cast<PWIN_CB_SPL_CLOSE>(spl_info.cb_spl_close)(spl_info.obj);
}

void cls_pwin_spl::PostNcDestroy() {
    if (self_owned_) delete this;
}
