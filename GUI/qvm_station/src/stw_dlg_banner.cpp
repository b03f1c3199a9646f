// The station window's banner of a line that stopped itself: shown with
// the fail sound and a flash, its height for its words, drawn in red. On
// the window's thread.
#include "stw_dlg.h"

#include <algorithm>

#include "stn_text.h"
#include "stw_resource.h"

// Bold, 1.6 times the dialog font.
void StwDialog::MakeBannerFont() {
    LOGFONTA lf{};
    HFONT base = reinterpret_cast<HFONT>(SendMessage(WM_GETFONT));
    if (base != nullptr && GetObjectA(base, sizeof lf, &lf)) {
        lf.lfHeight = lf.lfHeight * 8 / 5;
        lf.lfWidth = 0;
        lf.lfWeight = FW_BOLD;
        banner_font_ = CreateFontIndirectA(&lf);
    }
}

void StwDialog::ShowHalt(const std::string &text) {
    halt_text_ = text;
    HWND banner = GetDlgItem(IDC_HALT)->m_hWnd;
    ::SetWindowTextW(banner, stn_wide(text).c_str());  // for screen readers and tests
    ::ShowWindow(banner, SW_SHOWNA);
    Relayout();
    ::InvalidateRect(banner, nullptr, FALSE);
    // Not to be missed: the fail sound whatever the sound switch says, and
    // the task bar button flashes until the window is in front.
    MessageBeep(MB_ICONHAND);
    FLASHWINFO fw{};
    fw.cbSize = sizeof fw;
    fw.hwnd = m_hWnd;
    fw.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;
    FlashWindowEx(&fw);
}

void StwDialog::HideHalt() {
    if (halt_text_.empty()) return;
    halt_text_.clear();
    HWND banner = GetDlgItem(IDC_HALT)->m_hWnd;
    ::ShowWindow(banner, SW_HIDE);
    ::SetWindowTextW(banner, L"");
    Relayout();
}

int StwDialog::BannerHeight(int width) {
    HDC dc = ::GetDC(m_hWnd);
    HGDIOBJ old = SelectObject(dc, banner_font_ != nullptr ? banner_font_ : GetStockObject(DEFAULT_GUI_FONT));
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    const int pad = tm.tmHeight / 2;
    const std::wstring text = stn_wide(halt_text_);
    RECT r = {0, 0, std::max(1, width - 2 * pad), 0};
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r,
              DT_CALCRECT | DT_WORDBREAK | DT_CENTER | DT_NOPREFIX);
    SelectObject(dc, old);
    ::ReleaseDC(m_hWnd, dc);
    return r.bottom + 2 * pad;
}

void StwDialog::DrawBanner(const DRAWITEMSTRUCT &di) {
    // White on red across the window, a dark frame round it; in a
    // high-contrast theme the theme's highlight colours.
    const bool hc = stw_high_contrast();
    const COLORREF back = hc ? GetSysColor(COLOR_HIGHLIGHT) : RGB(190, 0, 0);
    const COLORREF text = hc ? GetSysColor(COLOR_HIGHLIGHTTEXT) : RGB(255, 255, 255);
    const COLORREF frame = hc ? GetSysColor(COLOR_WINDOWTEXT) : RGB(100, 0, 0);
    HDC dc = di.hDC;
    RECT rc = di.rcItem;
    HBRUSH b = CreateSolidBrush(back);
    FillRect(dc, &rc, b);
    DeleteObject(b);
    b = CreateSolidBrush(frame);
    for (int i = 0; i < 3; ++i) {
        RECT f = {rc.left + i, rc.top + i, rc.right - i, rc.bottom - i};
        FrameRect(dc, &f, b);
    }
    DeleteObject(b);
    HGDIOBJ old = SelectObject(dc, banner_font_ != nullptr ? banner_font_ : GetStockObject(DEFAULT_GUI_FONT));
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    const int pad = tm.tmHeight / 2;
    const std::wstring words = stn_wide(halt_text_);
    RECT t = {rc.left + pad, rc.top + pad, rc.right - pad, rc.bottom - pad};
    RECT need = t;
    DrawTextW(dc, words.c_str(), static_cast<int>(words.size()), &need,
              DT_CALCRECT | DT_WORDBREAK | DT_CENTER | DT_NOPREFIX);
    const int h = need.bottom - need.top;
    if (h < t.bottom - t.top) t.top += (t.bottom - t.top - h) / 2;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, text);
    DrawTextW(dc, words.c_str(), static_cast<int>(words.size()), &t,
              DT_WORDBREAK | DT_CENTER | DT_NOPREFIX);
    SelectObject(dc, old);
}
