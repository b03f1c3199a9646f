// Start-up and shut-down of the application in this process: the test calls
// winapp.InitInstance() as the framework's entry would and runs the message
// loop itself. The firmware image comes from the segment table below, whose
// one segment the tests rewrite before each start.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "app.h"
#include "prom.h"
#include "resource.h"
#include "rom.h"

namespace {
unsigned char g_image[0x4000];
const std::uint32_t g_image_len = sizeof g_image;
}  // namespace

extern const SROM_ROM_RD c_rom_rd[] = {
    {CLS_prom::kEditStart, g_image, &g_image_len},
    {0, nullptr, nullptr},
};

namespace {

// A blank window 0x4000..0x7FFF with version `ver` and product `product`.
void make_image(std::uint32_t ver, const char *product = "R846-QVM2K") {
    std::memset(g_image, 0xFF, sizeof g_image);
    std::memcpy(g_image + CLS_prom::kVersionOffset, &ver, sizeof ver);
    std::memset(g_image + CLS_prom::kProductOffset, 0, 16);
    std::memcpy(g_image + CLS_prom::kProductOffset, product, std::strlen(product));
}

// Runs this thread's message loop (as the framework's does) until `done`
// or 5 s have passed. A WM_QUIT is taken out of the queue and counted.
bool pump_until(const std::function<bool()> &done, int *quits = nullptr) {
    const ULONGLONG end = GetTickCount64() + 5000;
    MSG msg;
    while (!done()) {
        if (GetTickCount64() >= end) return false;
        if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
            continue;
        }
        if (msg.message == WM_QUIT) {
            if (quits) ++*quits;
            continue;
        }
        if (!winapp.PreTranslateMessage(&msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return true;
}

std::string text_of(HWND wnd) {
    char buf[256] = {};
    GetWindowTextA(wnd, buf, sizeof buf);
    return buf;
}

std::string item_text(HWND dlg, int id) { return text_of(GetDlgItem(dlg, id)); }

// Visible top-level windows of this thread.
int visible_windows() {
    int n = 0;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND wnd, LPARAM arg) -> BOOL {
            if (IsWindowVisible(wnd)) ++*reinterpret_cast<int *>(arg);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&n));
    return n;
}

SIZE icon_size(HICON icon) {
    ICONINFO info{};
    BITMAP bm{};
    if (!GetIconInfo(icon, &info)) return SIZE{0, 0};
    GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bm, &bm);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    return SIZE{bm.bmWidth, info.hbmColor ? bm.bmHeight : bm.bmHeight / 2};
}

class AppStart : public ::testing::Test {
protected:
    // Starts the program's top as the framework's entry would.
    HWND start() {
        if (!winapp.InitInstance()) return nullptr;
        return winapp.m_pMainWnd ? winapp.m_pMainWnd->GetSafeHwnd() : nullptr;
    }
    // Ends it through `how` (posted to the main dialog) and runs the loop
    // until the window is gone and the loop has been told to quit.
    void end_by(HWND main, UINT msg, WPARAM wp, LPARAM lp = 0) {
        PostMessageA(main, msg, wp, lp);
        int quits = 0;
        ASSERT_TRUE(pump_until([&] { return !IsWindow(main) && quits > 0; }, &quits))
            << "main dialog still open";
        EXPECT_EQ(winapp.m_pMainWnd, nullptr);
    }
    void TearDown() override {
        if (winapp.m_pMainWnd) end_by(winapp.m_pMainWnd->GetSafeHwnd(), WM_COMMAND, IDCANCEL);
    }
};

TEST_F(AppStart, MainDialogCaptionIconsAndLargeFont) {
    make_image(362);
    HWND main = start();
    ASSERT_NE(main, nullptr);

    EXPECT_EQ(text_of(main), "R846-QVM2K Firmware updater");
    char cls[64] = {};
    GetClassNameA(main, cls, sizeof cls);
    EXPECT_STREQ(cls, "R846_QVM2K_CLASS");

    // Large icon in the system's size, small icon from the 16 x 16 images.
    auto big = reinterpret_cast<HICON>(SendMessageA(main, WM_GETICON, ICON_BIG, 0));
    auto small_icon = reinterpret_cast<HICON>(SendMessageA(main, WM_GETICON, ICON_SMALL, 0));
    ASSERT_NE(big, nullptr);
    ASSERT_NE(small_icon, nullptr);
    EXPECT_EQ(icon_size(big).cx, GetSystemMetrics(SM_CXICON));
    EXPECT_EQ(icon_size(small_icon).cx, GetSystemMetrics(SM_CXSMICON));

    // One 24-point "MS Sans Serif" for the three large texts; the rest keep
    // the dialog's font.
    auto large = reinterpret_cast<HFONT>(SendDlgItemMessageA(main, IDC_MAIN_DEV_VER, WM_GETFONT, 0, 0));
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendDlgItemMessageA(main, IDC_MAIN_ARROW, WM_GETFONT, 0, 0)), large);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendDlgItemMessageA(main, IDC_MAIN_ROM_VER, WM_GETFONT, 0, 0)), large);
    auto dialog_font = reinterpret_cast<HFONT>(SendMessageA(main, WM_GETFONT, 0, 0));
    EXPECT_NE(dialog_font, large);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendDlgItemMessageA(main, IDCANCEL, WM_GETFONT, 0, 0)), dialog_font);

    LOGFONTA lf{};
    ASSERT_EQ(GetObjectA(large, sizeof lf, &lf), static_cast<int>(sizeof lf));
    EXPECT_STREQ(lf.lfFaceName, "MS Sans Serif");
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    EXPECT_NEAR(std::abs(lf.lfHeight), MulDiv(24, dpi, 72), 1) << "not 24 points at " << dpi << " dpi";

    // The control that shows the image version is as tall as the template
    // says, and the template's place holds (in-process MapDialogRect).
    RECT units{186, 16, 117, 40};
    MapDialogRect(main, &units);
    RECT got{};
    GetWindowRect(GetDlgItem(main, IDC_MAIN_ROM_VER), &got);
    MapWindowPoints(HWND_DESKTOP, main, reinterpret_cast<POINT *>(&got), 2);
    EXPECT_EQ(got.left, units.left);
    EXPECT_EQ(got.top, units.top);
    EXPECT_EQ(got.right - got.left, units.right);
    EXPECT_EQ(got.bottom - got.top, units.bottom);

    EXPECT_EQ(item_text(main, IDC_MAIN_ROM_VER), "3.62");
    EXPECT_EQ(item_text(main, IDC_MAIN_DEV_VER), "------");
}

TEST_F(AppStart, ImageVersionText) {
    const struct {
        std::uint32_t ver;
        const char *text;
    } cases[] = {{350, "3.50"}, {5, "0.05"}, {12345, "123.45"}, {0x4100015E, "3.50A"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        make_image(c.ver);
        HWND main = start();
        ASSERT_NE(main, nullptr);
        EXPECT_EQ(item_text(main, IDC_MAIN_ROM_VER), c.text);
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main, IDC_MAIN_UPDATE)));
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main, IDC_MAIN_GET_VER)));
        end_by(main, WM_COMMAND, IDCANCEL);
    }
}

TEST_F(AppStart, UnusableImageDisablesDeviceCommandsSilently) {
    const struct {
        const char *name;
        std::uint32_t ver;
        const char *product;
    } cases[] = {{"no version", 0xFFFFFFFFu, "R846-QVM2K"},
                 {"other product", 362, "R846-QVM3K"},
                 {"blank name", 362, ""}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        make_image(c.ver, c.product);
        HWND main = start();
        ASSERT_NE(main, nullptr);
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, IDC_MAIN_UPDATE)));
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, IDC_MAIN_GET_VER)));
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main, IDC_MAIN_ABOUT)));
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main, IDCANCEL)));
        EXPECT_EQ(item_text(main, IDC_MAIN_ROM_VER), "------");
        EXPECT_EQ(visible_windows(), 1) << "a message was shown";
        // Exit still ends the program.
        end_by(main, WM_COMMAND, IDCANCEL);
    }
}

TEST_F(AppStart, SecondStartInTheSameSessionIsRefused) {
    make_image(362);
    HWND main = start();
    ASSERT_NE(main, nullptr);
    CWnd *first = winapp.m_pMainWnd;
    EXPECT_FALSE(winapp.InitInstance());
    EXPECT_EQ(winapp.m_pMainWnd, first);
    EXPECT_EQ(visible_windows(), 1);
}

TEST_F(AppStart, EveryWayToCloseEndsTheLoop) {
    make_image(362);
    const struct {
        const char *name;
        UINT msg;
        WPARAM wp;
    } ways[] = {{"Exit", WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED)},
                {"Escape", WM_KEYDOWN, VK_ESCAPE},
                {"close box", WM_SYSCOMMAND, SC_CLOSE}};
    for (const auto &way : ways) {
        SCOPED_TRACE(way.name);
        HWND main = start();
        ASSERT_NE(main, nullptr);
        SetFocus(main);
        end_by(main, way.msg, way.wp);
    }
}

// Each run holds the image (16 KiB) from start to close: after many
// closes by the close box the process heap has not grown by the images.
TEST_F(AppStart, CloseBoxReleasesTheImage) {
    make_image(362);
    auto heap_in_use = [] {
        SIZE_T busy = 0;
        PROCESS_HEAP_ENTRY entry{};
        HANDLE heap = GetProcessHeap();
        HeapLock(heap);
        while (HeapWalk(heap, &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
        HeapUnlock(heap);
        return busy;
    };
    auto cycle = [&] {
        HWND main = start();
        ASSERT_NE(main, nullptr);
        end_by(main, WM_SYSCOMMAND, SC_CLOSE);
    };
    for (int i = 0; i < 3; ++i) cycle();
    const SIZE_T before = heap_in_use();
    constexpr int kRuns = 30;
    for (int i = 0; i < kRuns; ++i) cycle();
    const SIZE_T after = heap_in_use();
    std::printf("process heap in use: %zu bytes before, %zu after %d runs\n",
                static_cast<size_t>(before), static_cast<size_t>(after), kRuns);
    EXPECT_LT(after, before + kRuns * sizeof g_image / 4);
}

}  // namespace
