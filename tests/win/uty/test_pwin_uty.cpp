#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

#include "pwin_uty.h"
#include "pwin_win.h"
#include "uty_test_res.h"

namespace {

TEST(LoadStrRes, SeparatorByteBecomesNul) {
    char buf[240];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(CLS_pwin_uty::pwin_load_str_res(IDS_SEPARATED, buf, sizeof buf), 5u);
    const char want[6] = {'A', '\0', 'B', '\0', '\0', '\0'};
    EXPECT_EQ(0, std::memcmp(buf, want, 6));
}

TEST(LoadStrRes, KeepsTrailingBlanksAndCutsToBuffer) {
    char buf[240];
    EXPECT_EQ(CLS_pwin_uty::pwin_load_str_res(IDS_TRAILING, buf, sizeof buf), 24u);
    EXPECT_STREQ(buf, "Communication error.    ");
    char small[9];
    EXPECT_EQ(CLS_pwin_uty::pwin_load_str_res(IDS_PLAIN, small, sizeof small), 8u);
    EXPECT_STREQ(small, "Firmware");
}

// Small buffers: nothing is written beyond str_len bytes, and a length of
// 0 (or a null buffer) writes nothing at all.
TEST(LoadStrRes, SmallBuffersWriteOnlyWhatTheyHold) {
    struct Case {
        unsigned long len;
        unsigned long want_n;
        const char *want_text;  // null: the buffer stays untouched
    } const cases[] = {{0, 0, nullptr}, {1, 0, ""}, {2, 1, "F"}, {9, 8, "Firmware"}};
    for (const Case &c : cases) {
        char buf[16];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(CLS_pwin_uty::pwin_load_str_res(IDS_PLAIN, buf, c.len), c.want_n)
            << "len " << c.len;
        const size_t written = c.want_text != nullptr ? std::strlen(c.want_text) + 1 : 0;
        if (c.want_text != nullptr) {
            EXPECT_STREQ(buf, c.want_text) << "len " << c.len;
        }
        for (size_t i = written; i < sizeof buf; ++i)
            ASSERT_EQ(buf[i], '#') << "len " << c.len << ": byte " << i << " written";
    }
    EXPECT_EQ(CLS_pwin_uty::pwin_load_str_res(IDS_PLAIN, nullptr, 16), 0u);
}

TEST(LoadStrRes, MissingStringGivesZero) {
    char buf[240] = "untouched";
    EXPECT_EQ(CLS_pwin_uty::pwin_load_str_res(9999, buf, sizeof buf), 0u);
}

TEST(LoadCursor, EveryIdOfTheTable) {
    const LPCSTR want[] = {IDC_ARROW,    IDC_ARROW,  IDC_IBEAM,   IDC_WAIT,
                           IDC_CROSS,    IDC_UPARROW, IDC_SIZENWSE, IDC_SIZENESW,
                           IDC_SIZEWE,   IDC_SIZENS,  IDC_SIZEALL};
    for (unsigned short id = 0; id <= 10; ++id) {
        HCURSOR got = CLS_pwin_uty::pwin_load_cursor(id);
        ASSERT_NE(got, nullptr) << "id " << id;
        EXPECT_EQ(got, LoadCursorA(nullptr, want[id])) << "id " << id;
    }
    EXPECT_EQ(CLS_pwin_uty::pwin_load_cursor(0), CLS_pwin_uty::pwin_load_cursor(1));
    EXPECT_NE(CLS_pwin_uty::pwin_load_cursor(2), CLS_pwin_uty::pwin_load_cursor(3));
}

TEST(LoadCursor, ApplicationCursorsFromElevenOn) {
    HCURSOR own = CLS_pwin_uty::pwin_load_cursor(IDC_TEST_CURSOR);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own, LoadCursorA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDC_TEST_CURSOR)));
    for (unsigned short id = 0; id <= 10; ++id)
        EXPECT_NE(own, CLS_pwin_uty::pwin_load_cursor(id));
    EXPECT_EQ(CLS_pwin_uty::pwin_load_cursor(12), nullptr);
}

TEST(Restore, MinimizedWindowComesBackShown) {
    HWND hwnd = CreateWindowExA(0, "STATIC", "restore me", WS_OVERLAPPEDWINDOW, 10, 10, 200,
                                100, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(hwnd, nullptr);
    ShowWindow(hwnd, SW_SHOWMINIMIZED);
    ASSERT_TRUE(IsIconic(hwnd));
    CWnd wnd(hwnd);
    CLS_pwin_win::pwin_restore(&wnd);
    EXPECT_FALSE(IsIconic(hwnd));
    EXPECT_TRUE(IsWindowVisible(hwnd));
    DestroyWindow(hwnd);
}

}  // namespace
