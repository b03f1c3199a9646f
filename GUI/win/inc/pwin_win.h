// Window helpers of the dialog toolkit. User-interface thread.
#pragma once

#include <afxwin.h>

class CLS_pwin_win {
public:
    // Restores wnd (from minimized or maximized, and shows it) and makes it
    // the foreground window.
    static void pwin_restore(CWnd *wnd);
};
