// Window shapes cut from bitmaps, read back from the window system, and
// bitmap painting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <tuple>

#include "pwin_win.h"
#include "skin_test_res.h"
#include "skin_util.h"

namespace {

std::tuple<LONG, LONG, LONG, LONG> key(const RECT &r) {
    return std::make_tuple(r.top, r.left, r.bottom, r.right);
}

// The shape's rectangles in row order, for comparing with a list.
std::vector<std::tuple<LONG, LONG, LONG, LONG>> sorted_shape(HWND wnd, int *kind) {
    std::vector<std::tuple<LONG, LONG, LONG, LONG>> out;
    for (const RECT &r : shape_of(wnd, kind)) out.push_back(key(r));
    std::sort(out.begin(), out.end());
    return out;
}

class ShapeTest : public ::testing::Test {
protected:
    void SetUp() override {
        hwnd_ = plain_window();
        ASSERT_NE(hwnd_, nullptr);
        wnd_.m_hWnd = hwnd_;
        GetWindowRect(hwnd_, &before_);
    }
    void TearDown() override {
        wnd_.m_hWnd = nullptr;
        DestroyWindow(hwnd_);
    }
    void expect_size(int w, int h) {
        RECT r{};
        GetWindowRect(hwnd_, &r);
        EXPECT_EQ(r.left, before_.left);
        EXPECT_EQ(r.top, before_.top);
        EXPECT_EQ(r.right - r.left, w);
        EXPECT_EQ(r.bottom - r.top, h);
    }
    HWND hwnd_ = nullptr;
    CWnd wnd_;  // a plain holder: never owns the window
    RECT before_{};
};

TEST_F(ShapeTest, CutFromTheTransparentPixels) {
    using Rects = std::vector<std::tuple<LONG, LONG, LONG, LONG>>;  // top, left, bottom, right
    struct Case {
        const char *what;
        unsigned short bitmap;
        unsigned long transparent;
        int w, h;
        Rects want;
    };
    const Case cases[] = {
        {"no transparent pixel: the whole rectangle", IDB_OPAQUE, 0, 6, 4, {{0, 0, 4, 6}}},
        {"all transparent: an empty shape", IDB_CLEAR, 0, 6, 4, {}},
        // The image's top row, not its bottom.
        {"single top-left pixel", IDB_CORNER, 0, 6, 4, {{0, 0, 1, 1}}},
        // ..XXXX / XX..XX / X.X..X: runs end at the right edge, never cross a row.
        {"runs", IDB_RUNS, 0, 6, 3,
         {{0, 2, 1, 6}, {1, 0, 2, 2}, {1, 4, 2, 6}, {2, 0, 3, 1}, {2, 2, 3, 3}, {2, 5, 3, 6}}},
        // XX.. / .XXX with X red: red is 0x00FF0000 in the section's layout.
        {"red pixels cut", IDB_REDKEY, 0x00FF0000, 4, 2, {{0, 2, 1, 4}, {1, 0, 2, 1}}},
        // Red as a COLORREF (0x000000FF) is pure blue in the section: no
        // pixel of this picture matches, the whole rectangle stays.
        {"red as a COLORREF matches nothing", IDB_REDKEY, RGB(255, 0, 0), 4, 2, {{0, 0, 2, 4}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        CLS_pwin_win::pwin_set_bmp_region(&wnd_, c.bitmap, c.transparent);
        expect_size(c.w, c.h);
        int kind = 0;
        EXPECT_EQ(sorted_shape(hwnd_, &kind), c.want);
        EXPECT_EQ(kind, c.want.empty()       ? NULLREGION
                        : c.want.size() == 1 ? SIMPLEREGION
                                             : COMPLEXREGION);
        EXPECT_TRUE(IsWindow(hwnd_));
    }
}

TEST_F(ShapeTest, MissingOrUnreadableBitmapLeavesTheWindowAlone) {
    CLS_pwin_win::pwin_set_bmp_region(&wnd_, IDB_MISSING, 0);
    expect_size(50, 50);
    int kind = 0;
    shape_of(hwnd_, &kind);
    EXPECT_EQ(kind, ERROR);  // still no shape of its own
    CBitmap empty;
    CLS_pwin_win::pwin_set_bmp_region(&wnd_, &empty, 0);
    expect_size(50, 50);
    // A shape that was set stays when a later bitmap cannot be read.
    CLS_pwin_win::pwin_set_bmp_region(&wnd_, IDB_CORNER, 0);
    CLS_pwin_win::pwin_set_bmp_region(&wnd_, IDB_MISSING, 0);
    auto rects = sorted_shape(hwnd_, &kind);
    ASSERT_EQ(rects.size(), 1u);
    EXPECT_EQ(rects[0], std::make_tuple(0, 0, 1, 1));
}

TEST(BitmapPaint, CopiesTheWholeBitmapAtItsSizeToTheOrigin) {
    CBitmap runs;
    ASSERT_TRUE(runs.LoadBitmap(IDB_RUNS));
    // A 10 x 5 target filled with one colour, then painted.
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = 10;
    info.bmiHeader.biHeight = -5;  // top-down, to index rows simply
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void *bits = nullptr;
    CDC dc;
    ASSERT_TRUE(dc.CreateCompatibleDC(nullptr));
    HBITMAP target = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(target, nullptr);
    HGDIOBJ old = dc.SelectObject(target);
    auto *px = static_cast<std::uint32_t *>(bits);
    std::fill(px, px + 50, 0x00123456u);
    CLS_pwin_win::pwin_bmp_paint(&dc, &runs);
    GdiFlush();
    auto at = [px](int x, int y) { return px[y * 10 + x] & 0x00FFFFFFu; };
    const std::uint32_t green = 0x000AC81Eu;  // (10, 200, 30)
    EXPECT_EQ(at(0, 0), 0u);      // row 0 starts transparent-black
    EXPECT_EQ(at(5, 0), green);   // and runs to the right edge
    EXPECT_EQ(at(0, 2), green);   // the bottom row of the image is row 2
    EXPECT_EQ(at(1, 2), 0u);
    EXPECT_EQ(at(6, 0), 0x00123456u);  // right of the bitmap: untouched
    EXPECT_EQ(at(0, 3), 0x00123456u);  // below it: untouched
    // Nothing to paint: no change, no crash.
    CBitmap none;
    CLS_pwin_win::pwin_bmp_paint(&dc, &none);
    CLS_pwin_win::pwin_bmp_paint(&dc, nullptr);
    GdiFlush();
    EXPECT_EQ(at(6, 0), 0x00123456u);
    dc.SelectObject(old);
    DeleteObject(target);
}

}  // namespace
