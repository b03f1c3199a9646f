#include "pwin_win.h"

void CLS_pwin_win::pwin_restore(CWnd *wnd) {
    wnd->ShowWindow(SW_RESTORE);
    wnd->SetForegroundWindow();
}
