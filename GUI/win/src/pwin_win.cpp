// Bitmap window shapes and painting, and bringing a window to the front.
// User-interface thread (GDI objects and window regions of its windows).
#include "pwin_win.h"

#include <cstdint>

namespace {

// Everything one shape computation holds; released in one place.
struct ShapeWork {
    CDC section_dc;
    CDC source_dc;
    HBITMAP section = nullptr;
    HGDIOBJ section_old = nullptr;
    HGDIOBJ source_old = nullptr;

    ~ShapeWork() {
        if (source_old != nullptr) source_dc.SelectObject(source_old);
        if (section_old != nullptr) section_dc.SelectObject(section_old);
        source_dc.DeleteDC();
        section_dc.DeleteDC();
        if (section != nullptr) ::DeleteObject(section);
    }
};

// OR-s the rectangle (l, t)-(r, b) into `shape`; false when GDI fails.
bool add_run(CRgn *shape, int l, int t, int r, int b) {
    CRgn run;
    if (!run.CreateRectRgn(l, t, r, b)) return false;
    return shape->CombineRgn(shape, &run, RGN_OR) != ERROR;
}

}  // namespace

void CLS_pwin_win::pwin_set_bmp_region(CWnd *wnd, CBitmap *bitmap, unsigned long transparent) {
    if (wnd == nullptr || bitmap == nullptr) return;
    BITMAP bm{};
    if (bitmap->GetBitmap(&bm) == 0 || bm.bmWidth <= 0 || bm.bmHeight <= 0) return;
    const int w = bm.bmWidth;
    const int h = bm.bmHeight;

    ShapeWork work;
    if (!work.section_dc.CreateCompatibleDC(nullptr)) return;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;  // positive: rows lie bottom-up in memory
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    work.section = ::CreateDIBSection(work.section_dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (work.section == nullptr || bits == nullptr) return;
    work.section_old = work.section_dc.SelectObject(work.section);
    if (!work.source_dc.CreateCompatibleDC(&work.section_dc)) return;
    work.source_old = work.source_dc.SelectObject(bitmap);
    if (work.source_old == nullptr) return;  // the bitmap is selected elsewhere
    if (!work.section_dc.BitBlt(0, 0, w, h, &work.source_dc, 0, 0, SRCCOPY)) return;
    ::GdiFlush();  // the section's memory is read directly below

    CRgn shape;
    if (!shape.CreateRectRgn(0, 0, 0, 0)) return;
    const std::uint32_t clear = static_cast<std::uint32_t>(transparent);
    // Bits 24..31 of a pixel are zero by layout; masked so that a driver
    // that fills them cannot turn every pixel opaque.
    auto opaque = [clear](std::uint32_t p) { return (p & 0x00FFFFFFu) != clear; };
    const std::uint32_t *pixel = static_cast<const std::uint32_t *>(bits);
    for (int row = 0; row < h; ++row) {
        const int top = h - 1 - row;  // image row of this memory row
        int x = 0;
        while (x < w) {
            while (x < w && !opaque(pixel[x])) ++x;
            const int start = x;
            while (x < w && opaque(pixel[x])) ++x;
            if (start < x && !add_run(&shape, start, top, x, top + 1)) return;
        }
        pixel += w;  // 32-bit rows need no padding
    }

    CRect r;
    wnd->GetWindowRect(&r);
    wnd->MoveWindow(r.left, r.top, w, h, TRUE);
    if (wnd->SetWindowRgn(static_cast<HRGN>(shape.m_hObject), TRUE) != 0)
        shape.Detach();  // the window system owns it now
}

void CLS_pwin_win::pwin_set_bmp_region(CWnd *wnd, unsigned short bitmap_id,
                                       unsigned long transparent) {
    CBitmap bitmap;
    if (!bitmap.LoadBitmap(bitmap_id)) return;
    pwin_set_bmp_region(wnd, &bitmap, transparent);
}

void CLS_pwin_win::pwin_bmp_paint(CDC *dc, CBitmap *bitmap) {
    if (dc == nullptr || bitmap == nullptr) return;
    BITMAP bm{};
    if (bitmap->GetBitmap(&bm) == 0) return;
    CDC mem;
    if (!mem.CreateCompatibleDC(dc)) return;
    HGDIOBJ old = mem.SelectObject(bitmap);
    if (old == nullptr) return;
    dc->BitBlt(0, 0, bm.bmWidth, bm.bmHeight, &mem, 0, 0, SRCCOPY);
    mem.SelectObject(old);
}

void CLS_pwin_win::pwin_restore(CWnd *wnd) {
    wnd->ShowWindow(SW_RESTORE);
    wnd->SetForegroundWindow();
}
