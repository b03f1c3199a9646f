// The station window's size and place: where each control goes when the
// window is resized, the last results' reason column, the counters' font
// for the counters' width, and the size and place kept for the next start.
// On the window's thread.
#include "stw_dlg.h"

#include <commctrl.h>

#include <algorithm>

#include "stw_place.h"
#include "stw_resource.h"

namespace {

const int kCounters[] = {IDC_CNT_UPDATED, IDC_CNT_CURRENT, IDC_CNT_FAILED,
                         IDC_CNT_YIELD,   IDC_CNT_RATE,    IDC_CNT_TIME};
const int kCaptions[] = {IDC_CAP_UPDATED, IDC_CAP_CURRENT, IDC_CAP_FAILED,
                         IDC_CAP_YIELD,   IDC_CAP_RATE,    IDC_CAP_TIME};

// How control id follows a resized window; false: it stays where it was
// designed. The counters share the width; the grid takes the rest.
bool anchor_of(int id, StwAnchor *a) {
    for (int i = 0; i < 6; ++i) {
        if (id == kCounters[i] || id == kCaptions[i]) {
            *a = {i / 6.0, 0, (i + 1) / 6.0, 0};
            return true;
        }
    }
    switch (id) {
    case IDC_FIELD_HINT:
    case IDC_STATUS:
    case IDC_REPORT:
    case IDC_NOTICE:
    case IDC_HALT: *a = {0, 0, 1, 0}; return true;
    case IDC_CHANGE:
    case IDC_REPORT_PAGE: *a = {1, 0, 1, 0}; return true;
    case IDC_GRID: *a = {0, 0, 1, 1}; return true;
    case IDC_CAP_RECENT: *a = {0, 1, 0, 1}; return true;
    case IDC_DATABASE:
    case IDC_RECENT: *a = {0, 1, 1, 1}; return true;
    default: return false;
    }
}

int screen_dpi() {
    HDC screen = ::GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    return dpi;
}

}  // namespace

void StwDialog::KeepDesign() {
    RECT rc{}, wr{};
    ::GetClientRect(m_hWnd, &rc);
    ::GetWindowRect(m_hWnd, &wr);
    designed_client_ = {rc.right - rc.left, rc.bottom - rc.top};
    min_track_ = {wr.right - wr.left, wr.bottom - wr.top};
    for (HWND c = ::GetWindow(m_hWnd, GW_CHILD); c != nullptr; c = ::GetWindow(c, GW_HWNDNEXT)) {
        Placed p;
        p.id = ::GetDlgCtrlID(c);
        if (!anchor_of(p.id, &p.anchor)) continue;
        RECT r{};
        ::GetWindowRect(c, &r);
        ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT *>(&r), 2);
        p.designed = {r.left, r.top, r.right, r.bottom};
        placed_.push_back(p);
    }
}

void StwDialog::Relayout() {
    RECT rc{};
    ::GetClientRect(m_hWnd, &rc);
    if (placed_.empty() || rc.right <= 0 || rc.bottom <= 0) return;  // minimized
    const int dw = rc.right - designed_client_.cx, dh = rc.bottom - designed_client_.cy;
    RECT gap = {0, 0, 4, 4};
    MapDialogRect(m_hWnd, &gap);
    std::vector<std::pair<HWND, StwRect>> moves;
    int banner_bottom = -1;  // the banner's, when it shows
    for (const Placed &p : placed_) {
        StwRect r = stw_anchored(p.designed, p.anchor, dw, dh);
        if (p.id == IDC_HALT && !halt_text_.empty()) {
            r.bottom = r.top + BannerHeight(r.right - r.left);
            banner_bottom = r.bottom;
        }
        moves.emplace_back(GetDlgItem(p.id)->m_hWnd, r);
    }
    HDWP dwp = BeginDeferWindowPos(static_cast<int>(moves.size()));
    for (auto &m : moves) {
        StwRect &r = m.second;
        // The grid starts below a banner that shows.
        if (m.first == grid_.m_hWnd && banner_bottom >= 0) {
            r.top = std::min(banner_bottom + static_cast<int>(gap.bottom), r.bottom);
        }
        if (dwp != nullptr) {
            dwp = DeferWindowPos(dwp, m.first, nullptr, r.left, r.top, r.right - r.left,
                                 r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    if (dwp != nullptr) EndDeferWindowPos(dwp);
    ReasonColumn();
    // The children too: the dialog's background is painted over their old places.
    ::RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void StwDialog::ReasonColumn() {
    // The reason takes what is left of the width, a vertical scroll bar's
    // room kept, so no horizontal one appears.
    HWND list = GetDlgItem(IDC_RECENT)->m_hWnd;
    RECT rc{};
    ::GetClientRect(list, &rc);
    int left = rc.right - GetSystemMetrics(SM_CXVSCROLL);
    for (int i = 0; i < 4; ++i) {
        left -= static_cast<int>(::SendMessageA(list, LVM_GETCOLUMNWIDTH, i, 0));
    }
    ::SendMessageA(list, LVM_SETCOLUMNWIDTH, 4, MAKELPARAM(std::max(left, 40), 0));
}

void StwDialog::MakeCounterFont() {
    LOGFONTA lf{};
    HFONT base = reinterpret_cast<HFONT>(SendMessage(WM_GETFONT));
    if (base == nullptr || !GetObjectA(base, sizeof lf, &lf)) return;
    RECT box;
    ::GetClientRect(GetDlgItem(IDC_CNT_TIME)->m_hWnd, &box);
    HDC dc = ::GetDC(m_hWnd);
    lf.lfWidth = 0;
    lf.lfWeight = FW_BOLD;
    // Large enough to read from two metres, made for the system DPI, and
    // as large as the widest value lets it be in its box.
    static const char kWidest[] = "10 h 59 min";
    const int room = box.right - box.left - 4;
    HFONT f = nullptr;
    // Text width grows about in step with the size, so the measure at the
    // largest size tells where to look (from one point above the guess,
    // the guess being rounded down); each font made costs a few
    // milliseconds of start-up.
    constexpr int kLargest = 22, kSmallest = 10;
    for (int pt = kLargest;;) {
        lf.lfHeight = -MulDiv(pt, GetDeviceCaps(dc, LOGPIXELSY), 72);
        HFONT tryf = CreateFontIndirectA(&lf);
        if (tryf == nullptr) break;
        HGDIOBJ old = SelectObject(dc, tryf);
        SIZE sz{};
        GetTextExtentPoint32A(dc, kWidest, sizeof kWidest - 1, &sz);
        SelectObject(dc, old);
        if (f != nullptr) DeleteObject(f);
        f = tryf;
        if (sz.cx <= room || pt == kSmallest) break;
        const int guess = sz.cx > 0 ? pt * room / sz.cx + 1 : pt - 1;
        pt = std::max(kSmallest, std::min(guess, pt - 1));
    }
    ::ReleaseDC(m_hWnd, dc);
    if (f == nullptr) return;
    for (int id : kCounters) ::SendMessageA(GetDlgItem(id)->m_hWnd, WM_SETFONT,
                                            reinterpret_cast<WPARAM>(f), FALSE);
    if (counter_font_ != nullptr) DeleteObject(counter_font_);
    counter_font_ = f;
}

void StwDialog::RestorePlacement() {
    StwPlacement p;
    // A size kept at another DPI would not fit this one's controls.
    if (!stw_load_placement(&p) || p.dpi != screen_dpi()) return;
    RECT r = p.normal;
    r.right = std::max(r.right, r.left + min_track_.cx);
    r.bottom = std::max(r.bottom, r.top + min_track_.cy);
    if (MonitorFromRect(&r, MONITOR_DEFAULTTONULL) == nullptr) return;  // off every screen now
    WINDOWPLACEMENT wp{};
    wp.length = sizeof wp;
    if (!GetWindowPlacement(m_hWnd, &wp)) return;
    wp.flags = 0;
    wp.showCmd = SW_HIDE;  // shown by the application (ShowCommand)
    wp.rcNormalPosition = r;
    SetWindowPlacement(m_hWnd, &wp);
    start_maximized_ = p.maximized;
}

void StwDialog::SavePlacement() {
    WINDOWPLACEMENT wp{};
    wp.length = sizeof wp;
    if (!GetWindowPlacement(m_hWnd, &wp)) return;
    StwPlacement p;
    p.normal = wp.rcNormalPosition;
    p.maximized = wp.showCmd == SW_SHOWMAXIMIZED ||
                  (wp.showCmd == SW_SHOWMINIMIZED && (wp.flags & WPF_RESTORETOMAXIMIZED) != 0);
    p.dpi = screen_dpi();
    stw_save_placement(p);
}
