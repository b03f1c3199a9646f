// The splash window's message handling: creation (shape, centring, timer),
// painting, mouse activation, the minimum-time timer and closing.
//
// Threads: the user-interface thread that owns the splash window.
#include "pwin_spl.h"
#include "pwin_win.h"

namespace {
constexpr UINT_PTR kMinimumTimer = 1;
}  // namespace

LRESULT cls_pwin_spl::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE:
        return OnCreate(reinterpret_cast<LPCREATESTRUCT>(lp));
    case WM_PAINT:
        OnPaint();
        return 0;
    case WM_MOUSEACTIVATE:
        return OnMouseActivate(CWnd::FromHandle(reinterpret_cast<HWND>(wp)), LOWORD(lp),
                               HIWORD(lp));
    case WM_TIMER:
        OnTimer(static_cast<UINT_PTR>(wp));
        return 0;
    case WM_CLOSE:
        OnClose();  // deletes this: nothing after it
        return 0;
    default:
        return CWnd::WindowProc(msg, wp, lp);
    }
}

int cls_pwin_spl::OnCreate(LPCREATESTRUCT) {
    const LRESULT made = Default();
    if (made != 0) return static_cast<int>(made);
    CLS_pwin_win::pwin_set_bmp_region(this, kPwinSplashBitmap, 0);
    CenterWindow();
    if (spl_info.time != 0) {
        time_out = 0;
        SetTimer(kMinimumTimer, static_cast<UINT>(spl_info.time));
    }
    return 0;
}

void cls_pwin_spl::OnPaint() {
    CPaintDC dc(this);
    CLS_pwin_win::pwin_bmp_paint(&dc, &bmp);
}

int cls_pwin_spl::OnMouseActivate(CWnd *, UINT, UINT) { return MA_NOACTIVATEANDEAT; }

void cls_pwin_spl::OnTimer(UINT_PTR id) {
    if (id != kMinimumTimer) return;
    time_out = 1;
    KillTimer(kMinimumTimer);
    win_spl_ask();
    if (close != 0) pwin_close_splash();
}

void cls_pwin_spl::OnClose() {
    // The window goes first and takes the object with it (PostNcDestroy);
    // what showing the owner's window needs is kept here.
    const unsigned char answer = close;
    CWnd *const wnd = spl_info.wnd;
    const int show = spl_info.m_nCmdShow;
    DestroyWindow();
    if (answer == 1 && wnd != nullptr && wnd->GetSafeHwnd() != nullptr) {
        wnd->ShowWindow(show);
        wnd->UpdateWindow();
        CLS_pwin_win::pwin_restore(wnd);
    }
}
