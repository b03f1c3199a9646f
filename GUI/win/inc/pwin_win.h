// Window helpers of the dialog toolkit: bitmap window shapes, bitmap
// painting, bringing a window to the front. None blocks; each runs on the
// thread that owns the window or context it is given (the user-interface
// thread). None has a result: a failure leaves the window as it was.
#pragma once

#include <afxwin.h>

class CLS_pwin_win {
public:
    // Shapes wnd (a top-level window) from a bitmap: sizes it to the
    // bitmap, keeping its top-left corner, and cuts it to the bitmap's
    // pixels that differ from `transparent`. `transparent` is a pixel of a 32-bit DIB section (blue
    // in bits 0..7, green 8..15, red 16..23, bits 24..31 zero), not a
    // COLORREF: 0 is black. The shape is one rectangle per run of opaque
    // pixels in a row; the window system owns it afterwards. When the
    // bitmap cannot be read, the window keeps its size and shape.
    static void pwin_set_bmp_region(CWnd *wnd, CBitmap *bitmap, unsigned long transparent);
    // Shapes wnd from bitmap resource bitmap_id of the application (loaded
    // for the call only), as above. A missing resource leaves the window
    // unchanged.
    static void pwin_set_bmp_region(CWnd *wnd, unsigned short bitmap_id,
                                    unsigned long transparent);
    // Copies the whole bitmap at its natural size to point (0, 0) of dc.
    static void pwin_bmp_paint(CDC *dc, CBitmap *bitmap);
    // Restores wnd (from minimized or maximized, and shows it) and makes it
    // the foreground window.
    static void pwin_restore(CWnd *wnd);
};
