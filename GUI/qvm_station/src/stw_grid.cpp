#include "stw_grid.h"

#include <algorithm>

#include "stw_resource.h"
#include "stw_text.h"

bool stw_high_contrast() {
    HIGHCONTRASTW hc{};
    hc.cbSize = sizeof hc;
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof hc, &hc, 0) &&
           (hc.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

namespace {

struct Colours {
    COLORREF back, text, accent;  // accent: border, state words, bar
};

// Light backgrounds with dark text and a darker accent of the same hue;
// in high contrast the theme's own colours and nothing else.
Colours colours(StwTone tone, bool hc) {
    if (hc) {
        const COLORREF accent =
            tone == StwTone::kIdle ? GetSysColor(COLOR_WINDOWTEXT) : GetSysColor(COLOR_HIGHLIGHT);
        return {GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_WINDOWTEXT), accent};
    }
    switch (tone) {
    case StwTone::kRunning: return {RGB(221, 234, 255), RGB(0, 0, 0), RGB(0, 70, 170)};
    case StwTone::kPass: return {RGB(208, 240, 208), RGB(0, 0, 0), RGB(0, 105, 0)};
    case StwTone::kFail: return {RGB(255, 214, 214), RGB(0, 0, 0), RGB(175, 0, 0)};
    case StwTone::kAttention: return {RGB(255, 236, 196), RGB(0, 0, 0), RGB(150, 80, 0)};
    case StwTone::kRejected: return {RGB(232, 218, 245), RGB(0, 0, 0), RGB(100, 40, 140)};
    case StwTone::kIdle: break;
    }
    return {RGB(242, 242, 242), RGB(0, 0, 0), RGB(70, 70, 70)};
}

void fill(HDC dc, const RECT &r, COLORREF c) {
    HBRUSH b = CreateSolidBrush(c);
    FillRect(dc, &r, b);
    DeleteObject(b);
}

}  // namespace

// One tile: its device's lines, painted; its window text is the line.
class StwGrid::Tile : public CWnd {
public:
    explicit Tile(StwGrid *grid) : grid_(grid) {}

    // True when anything shown changed.
    bool Set(const StnTile &t, std::uint32_t image_version) {
        const StwTileLines l = stw_tile_lines(t, image_version);
        const std::string text = stw_tile_text(t, image_version);
        const bool changed = text != text_ || t.state != tile_.state;
        tile_ = t;
        lines_ = l;
        if (changed) {
            text_ = text;
            SetWindowText(text_.c_str());
            Invalidate(FALSE);
        }
        return changed;
    }

protected:
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override {
        switch (msg) {
        case WM_ERASEBKGND: return 1;
        case WM_PAINT: {
            CPaintDC pdc(this);
            Paint(pdc);
            return 0;
        }
        default: return CWnd::WindowProc(msg, wp, lp);
        }
    }

private:
    void Paint(HDC target) {
        CRect rc;
        GetClientRect(rc);
        // Painted off screen first: a tile redrawn ten times a second must
        // not flicker.
        HDC dc = CreateCompatibleDC(target);
        HBITMAP bmp = CreateCompatibleBitmap(target, rc.Width(), rc.Height());
        HGDIOBJ old_bmp = SelectObject(dc, bmp);
        const Colours c = colours(stw_state_tone(tile_.state), stw_high_contrast());
        fill(dc, rc, c.back);
        // The border: thicker for a failure, so it shows without colour too.
        const int border = tile_.state == StnTileState::kFailed ? 3 : 1;
        for (int i = 0; i < border; ++i) {
            RECT f = {rc.left + i, rc.top + i, rc.right - i, rc.bottom - i};
            HBRUSH b = CreateSolidBrush(c.accent);
            FrameRect(dc, &f, b);
            DeleteObject(b);
        }
        SetBkMode(dc, TRANSPARENT);
        const Fonts &f = grid_->Current();
        HGDIOBJ old_font = SelectObject(dc, f.font);
        const int pad = f.avg_w;
        RECT r = {rc.left + pad, rc.top + pad / 2 + 1, rc.right - pad, rc.bottom - pad / 2};
        auto line = [&](HFONT font, COLORREF col, const std::string &s) {
            SelectObject(dc, font);
            SetTextColor(dc, col);
            RECT m = r;
            const int h = DrawTextA(dc, s.c_str(), static_cast<int>(s.size()), &m,
                                    DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX | DT_CALCRECT);
            DrawTextA(dc, s.c_str(), static_cast<int>(s.size()), &r,
                      DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
            r.top += h;
        };
        line(f.bold, c.text, lines_.title);
        line(f.font, c.text, lines_.serial);
        line(f.font, c.text, lines_.versions);
        // The state in words: bold in the accent colour, in the lines that
        // are left (a failure's reason takes two, cut with "..." after them).
        const int bar_h = tile_.state == StnTileState::kWriting ? f.line_h / 2 + 2 : 0;
        const int state_bottom = rc.bottom - pad / 2 - bar_h - (bar_h ? 2 : 0);
        const int width = r.right - r.left;
        SelectObject(dc, f.bold);
        const auto fits = [&](const std::string &s) {
            SIZE sz{};
            GetTextExtentPoint32A(dc, s.c_str(), static_cast<int>(s.size()), &sz);
            return sz.cx <= width;
        };
        const int room = f.bold_h > 0 ? (state_bottom - r.top) / f.bold_h : 1;
        for (const std::string &s : stw_wrap(lines_.state, room > 1 ? room : 1, fits)) {
            line(f.bold, c.accent, s);
        }
        if (bar_h) {
            PaintBar(dc, {rc.left + pad, rc.bottom - pad / 2 - bar_h, rc.right - pad,
                          rc.bottom - pad / 2}, c.accent);
        }
        SelectObject(dc, old_font);
        BitBlt(target, 0, 0, rc.Width(), rc.Height(), dc, 0, 0, SRCCOPY);
        SelectObject(dc, old_bmp);
        DeleteObject(bmp);
        DeleteDC(dc);
    }

    // The progress bar in box: a frame, filled for the percent written.
    void PaintBar(HDC dc, RECT bar, COLORREF accent) {
        const int p = stn_percent(tile_.percent);
        HBRUSH b = CreateSolidBrush(accent);
        FrameRect(dc, &bar, b);
        bar.right = bar.left + (bar.right - bar.left) * p / 100;
        FillRect(dc, &bar, b);
        DeleteObject(b);
    }

    StwGrid *grid_;
    StnTile tile_;
    StwTileLines lines_;
    std::string text_;
};

StwGrid::StwGrid() = default;

StwGrid::~StwGrid() {
    tiles_.clear();  // the child windows go before the fonts they use
    FreeFonts();
}

void StwGrid::FreeFonts() {
    const HGDIOBJ stock = GetStockObject(DEFAULT_GUI_FONT);
    for (Fonts &f : sizes_) {
        if (f.font != nullptr && f.font != stock) DeleteObject(f.font);
        if (f.bold != nullptr && f.bold != stock) DeleteObject(f.bold);
    }
    sizes_.clear();
    size_ = 0;
}

BOOL StwGrid::CreateInPlaceOf(CWnd *parent, int id) {
    CWnd *place = parent->GetDlgItem(id);
    if (place == nullptr) return FALSE;
    CRect r;
    place->GetWindowRect(r);
    parent->ScreenToClient(r);
    const HWND place_hwnd = place->m_hWnd;
    ::SetWindowLongPtrA(place_hwnd, GWLP_ID, 0);
    LPCSTR cls = AfxRegisterWndClass(0, LoadCursor(nullptr, IDC_ARROW),
                                     reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
    if (cls == nullptr ||
        !CreateEx(WS_EX_CLIENTEDGE, cls, "Devices",
                  WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | WS_CLIPCHILDREN, r.left,
                  r.top, r.Width(), r.Height(), parent->m_hWnd,
                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(id))))
        return FALSE;
    // Its place in the tab order is the placeholder's.
    ::SetWindowPos(m_hWnd, place_hwnd, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    MakeFonts();
    Layout();
    return TRUE;
}

void StwGrid::MakeFonts() {
    FreeFonts();
    LOGFONTA lf{};
    HFONT dlg_font = reinterpret_cast<HFONT>(GetParent()->SendMessage(WM_GETFONT));
    if (dlg_font == nullptr || !GetObjectA(dlg_font, sizeof lf, &lf)) {
        NONCLIENTMETRICSA ncm{};
        ncm.cbSize = sizeof ncm;
        SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0);
        lf = ncm.lfMessageFont;
    }
    HDC dc = ::GetDC(m_hWnd);
    // The dialog's font, then smaller ones down to 7 points (still read at
    // arm's length), so that many tiles fit before the grid scrolls. Tile
    // sizes come from the fonts, so tiles grow with the system DPI.
    const int base = lf.lfHeight < 0 ? -lf.lfHeight : lf.lfHeight;
    const int least = MulDiv(7, GetDeviceCaps(dc, LOGPIXELSY), 72);
    int last = 0;
    for (int percent : {100, 88, 77, 66}) {
        const int h = std::max(least, base * percent / 100);
        if (h == last || base == 0) continue;
        last = h;
        Fonts f;
        lf.lfHeight = lf.lfHeight < 0 ? -h : h;
        lf.lfWeight = FW_NORMAL;
        f.font = CreateFontIndirectA(&lf);
        lf.lfWeight = FW_BOLD;
        f.bold = CreateFontIndirectA(&lf);
        if (f.font == nullptr || f.bold == nullptr) {
            if (f.font != nullptr) DeleteObject(f.font);
            if (f.bold != nullptr) DeleteObject(f.bold);
            break;
        }
        HGDIOBJ old = SelectObject(dc, f.font);
        TEXTMETRICA tm{};
        GetTextMetricsA(dc, &tm);
        SelectObject(dc, f.bold);
        TEXTMETRICA tb{};
        GetTextMetricsA(dc, &tb);
        SelectObject(dc, old);
        f.line_h = tm.tmHeight;
        f.bold_h = tb.tmHeight;
        f.avg_w = tm.tmAveCharWidth;
        const int pad = tm.tmAveCharWidth;
        // Title, serial, versions, two lines of state, the bar.
        f.tile.h = pad + 3 * tb.tmHeight + 2 * tm.tmHeight + tm.tmHeight / 2 + 2 + pad;
        f.tile.w = 34 * tm.tmAveCharWidth;
        sizes_.push_back(f);
    }
    ::ReleaseDC(m_hWnd, dc);
    if (sizes_.empty()) {  // no font could be made: the stock one (never deleted)
        Fonts f;
        f.font = f.bold = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
        f.line_h = f.bold_h = 16;
        f.avg_w = 7;
        f.tile = {34 * 7, 7 + 5 * 16 + 8 + 2 + 7};
        sizes_.push_back(f);
    }
    gap_ = sizes_[0].avg_w;
}

void StwGrid::SettingsChanged() {
    MakeFonts();
    Layout();
    for (auto &t : tiles_) t.second->Invalidate(FALSE);
}

void StwGrid::Update(const std::vector<StnTile> &tiles, std::uint32_t image_version) {
    bool relayout = false;
    // Gone indexes first.
    for (auto it = tiles_.begin(); it != tiles_.end();) {
        bool present = false;
        for (const StnTile &t : tiles) present = present || t.index == it->first;
        if (present) {
            ++it;
        } else {
            it->second->DestroyWindow();
            it = tiles_.erase(it);
            relayout = true;
        }
    }
    LPCSTR cls = AfxRegisterWndClass(0, LoadCursor(nullptr, IDC_ARROW), nullptr);
    for (const StnTile &t : tiles) {
        auto it = tiles_.find(t.index);
        if (it == tiles_.end()) {
            std::unique_ptr<Tile> tile(new Tile(this));
            if (cls == nullptr ||
                !tile->CreateEx(0, cls, "", WS_CHILD | WS_VISIBLE, 0, 0, tile_w_ ? tile_w_ : 1,
                                tile_h_ ? tile_h_ : 1,
                                m_hWnd,
                                reinterpret_cast<HMENU>(
                                    static_cast<INT_PTR>(IDC_TILE_BASE + t.index))))
                continue;
            it = tiles_.emplace(t.index, std::move(tile)).first;
            relayout = true;
        }
        it->second->Set(t, image_version);
    }
    if (relayout) Layout();
}

void StwGrid::Layout() {
    if (m_hWnd == nullptr || sizes_.empty()) return;
    CRect rc;
    GetClientRect(rc);
    std::vector<StwTileSize> sizes;
    for (const Fonts &f : sizes_) sizes.push_back(f.tile);
    const StwGridFit fit = stw_grid_fit(rc.Width(), rc.Height(), gap_, tiles_.size(), sizes);
    const bool resized = fit.size != size_ || fit.tile_w != tile_w_ || fit.tile_h != tile_h_;
    size_ = fit.size;
    columns_ = fit.columns;
    tile_w_ = fit.tile_w;
    tile_h_ = fit.tile_h;
    total_h_ = fit.total_h;
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_RANGE | SIF_PAGE | SIF_DISABLENOSCROLL;
    si.nMin = 0;
    si.nMax = total_h_ - 1;
    si.nPage = static_cast<UINT>(rc.Height());
    SetScrollInfo(m_hWnd, SB_VERT, &si, TRUE);
    const int most = total_h_ > rc.Height() ? total_h_ - rc.Height() : 0;
    if (scroll_ > most) scroll_ = most;
    si.fMask = SIF_POS;
    si.nPos = scroll_;
    SetScrollInfo(m_hWnd, SB_VERT, &si, TRUE);
    int i = 0;
    HDWP dwp = BeginDeferWindowPos(static_cast<int>(tiles_.size()));
    for (auto &t : tiles_) {
        const int x = gap_ + (i % columns_) * (tile_w_ + gap_);
        const int y = gap_ + (i / columns_) * (tile_h_ + gap_) - scroll_;
        if (dwp != nullptr)
            dwp = DeferWindowPos(dwp, t.second->m_hWnd, nullptr, x, y, tile_w_, tile_h_,
                                 SWP_NOZORDER | SWP_NOACTIVATE);
        ++i;
    }
    if (dwp != nullptr) EndDeferWindowPos(dwp);
    if (resized) {
        for (auto &t : tiles_) t.second->Invalidate(FALSE);
    }
    Invalidate(TRUE);
}

void StwGrid::ScrollTo(int pos) {
    CRect rc;
    GetClientRect(rc);
    const int most = total_h_ > rc.Height() ? total_h_ - rc.Height() : 0;
    pos = pos < 0 ? 0 : pos > most ? most : pos;
    if (pos == scroll_) return;
    scroll_ = pos;
    Layout();
}

void StwGrid::OnVScroll(WPARAM wp) {
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL;
    GetScrollInfo(m_hWnd, SB_VERT, &si);
    const int line = tile_h_ / 4 > 1 ? tile_h_ / 4 : 1;
    switch (LOWORD(wp)) {
    case SB_LINEUP: ScrollTo(scroll_ - line); break;
    case SB_LINEDOWN: ScrollTo(scroll_ + line); break;
    case SB_PAGEUP: ScrollTo(scroll_ - static_cast<int>(si.nPage)); break;
    case SB_PAGEDOWN: ScrollTo(scroll_ + static_cast<int>(si.nPage)); break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: ScrollTo(si.nTrackPos); break;
    case SB_TOP: ScrollTo(0); break;
    case SB_BOTTOM: ScrollTo(si.nMax); break;
    default: break;
    }
}

LRESULT StwGrid::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_VSCROLL: OnVScroll(wp); return 0;
    case WM_MOUSEWHEEL:
        ScrollTo(scroll_ - GET_WHEEL_DELTA_WPARAM(wp) * (tile_h_ + gap_) / WHEEL_DELTA);
        return 0;
    case WM_GETDLGCODE: return DLGC_WANTARROWS;
    case WM_KEYDOWN: {
        CRect rc;
        GetClientRect(rc);
        switch (wp) {
        case VK_UP: ScrollTo(scroll_ - (tile_h_ + gap_)); return 0;
        case VK_DOWN: ScrollTo(scroll_ + (tile_h_ + gap_)); return 0;
        case VK_PRIOR: ScrollTo(scroll_ - rc.Height()); return 0;
        case VK_NEXT: ScrollTo(scroll_ + rc.Height()); return 0;
        case VK_HOME: ScrollTo(0); return 0;
        case VK_END: ScrollTo(1 << 30); return 0;
        default: break;
        }
        break;
    }
    case WM_SIZE: Layout(); break;
    case WM_SETFOCUS:
    case WM_KILLFOCUS: Invalidate(TRUE); break;
    case WM_PAINT: {
        CPaintDC dc(this);
        CRect rc;
        GetClientRect(rc);
        if (tiles_.empty()) {
            static const char kEmpty[] = "Each unit plugged in gets a tile here.";
            HGDIOBJ old = SelectObject(dc, sizes_.empty() ? nullptr : sizes_[0].font);
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
            DrawTextA(dc, kEmpty, sizeof kEmpty - 1, rc,
                      DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
            SelectObject(dc, old);
        }
        // A focus mark around the grid when it has the keyboard.
        if (::GetFocus() == m_hWnd) DrawFocusRect(dc, rc);
        return 0;
    }
    default: break;
    }
    return CWnd::WindowProc(msg, wp, lp);
}
