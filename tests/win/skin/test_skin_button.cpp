// The skinned dialog and its bitmap buttons in a real message loop, driven
// by real mouse and key input.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "skin_dialog.h"
#include "skin_test_res.h"
#include "skin_util.h"

namespace {

HWND item(cls_pwin_dlg *dlg, int id) { return GetDlgItem(dlg->m_hWnd, id); }

void close_now(cls_pwin_dlg *dlg) { PostMessageA(dlg->m_hWnd, WM_CLOSE, 0, 0); }

bool is_default_look(HWND button) {
    return (GetWindowLongPtrA(button, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
}

// Script steps. Each runs on its own tick, so the input of one has
// arrived when the next runs.
using Step = std::function<void(cls_pwin_dlg *)>;
void idle(cls_pwin_dlg *) {}
void press(cls_pwin_dlg *) { mouse_button(true); }
void release(cls_pwin_dlg *) { mouse_button(false); }
// The pointer onto a caption button.
Step hover(int id) {
    return [id](cls_pwin_dlg *dlg) { mouse_to(item(dlg, id), 8, 8); };
}
// The pointer onto free wallpaper.
void off_buttons(cls_pwin_dlg *dlg) { mouse_to(dlg->m_hWnd, 250, 100); }
// Enter on the button `id`, focused first.
Step enter_on(int id) {
    return [id](cls_pwin_dlg *dlg) {
        SetFocus(item(dlg, id));
        press_key(VK_RETURN);
    };
}

// Runs the skinned dialog modally with the record's script. The pointer
// starts off the dialog: a caption button that appears under it would
// take the focus at the first move.
unsigned short run_skin(DlgRecord *rec, bool with_mask = true) {
    SetCursorPos(2, 2);
    unsigned short result = 0;
    cls_pwin_dlg dlg(skin_info(rec, with_mask), &result);
    EXPECT_FALSE(rec->timed_out) << "the skinned dialog did not close by itself";
    return result;
}

TEST(SkinnedDialog, TakesTheMaskShapeCentredAndPaintsTheWallpaper) {
    DlgRecord rec;
    rec.steps = {
        [](cls_pwin_dlg *dlg) {
            HWND h = dlg->m_hWnd;
            RECT r{};
            GetWindowRect(h, &r);
            EXPECT_EQ(r.right - r.left, 320);
            EXPECT_EQ(r.bottom - r.top, 200);
            EXPECT_LE(std::abs(r.left - (GetSystemMetrics(SM_CXSCREEN) - 320) / 2), 1);
            EXPECT_LE(std::abs(r.top - (GetSystemMetrics(SM_CYSCREEN) - 200) / 2), 1);
            HRGN shape = CreateRectRgn(0, 0, 0, 0);
            EXPECT_EQ(GetWindowRgn(h, shape), COMPLEXREGION);
            EXPECT_FALSE(PtInRegion(shape, 0, 0));      // rounded corners cut away
            EXPECT_FALSE(PtInRegion(shape, 319, 199));
            EXPECT_TRUE(PtInRegion(shape, 160, 0));     // straight edges kept
            EXPECT_TRUE(PtInRegion(shape, 160, 100));
            EXPECT_TRUE(PtInRegion(shape, 24, 24));
            DeleteObject(shape);
            UpdateWindow(h);
        },
        [](cls_pwin_dlg *dlg) {
            // The wallpaper at a free point (250, 100): gradient step 21.
            HDC dc = GetDC(dlg->m_hWnd);
            EXPECT_EQ(GetPixel(dc, 250, 100), RGB(93, 134, 194));
            EXPECT_EQ(GetPixel(dc, 1, 100), RGB(200, 210, 230));  // the frame
            ReleaseDC(dlg->m_hWnd, dc);
            // Free wallpaper drags the dialog.
            POINT p{250, 100};
            ClientToScreen(dlg->m_hWnd, &p);
            EXPECT_EQ(SendMessageA(dlg->m_hWnd, WM_NCHITTEST, 0, MAKELPARAM(p.x, p.y)),
                      HTCAPTION);
            close_now(dlg);
        }};
    run_skin(&rec);
}

TEST(SkinnedDialog, ButtonRowsBecomeBitmapButtonsOfTheirImageSize) {
    DlgRecord rec;
    rec.steps = {[&rec](cls_pwin_dlg *dlg) {
        EXPECT_EQ(dlg->dbm_num, 5u);  // push, close, max, min, no-image
        struct Want {
            int id, x, y, w, h;
        };
        for (const Want &want : {Want{IDC_PUSH, 110, 150, 56, 20}, Want{IDC_CLOSE, 290, 12, 16, 16},
                                 Want{IDC_MAX, 270, 12, 16, 16}, Want{IDC_MIN, 250, 12, 16, 16}}) {
            SCOPED_TRACE(want.id);
            HWND b = item(dlg, want.id);
            RECT r{};
            GetWindowRect(b, &r);
            MapWindowPoints(nullptr, dlg->m_hWnd, reinterpret_cast<POINT *>(&r), 2);
            EXPECT_EQ(r.left, want.x);
            EXPECT_EQ(r.top, want.y);
            EXPECT_EQ(r.right - r.left, want.w);
            EXPECT_EQ(r.bottom - r.top, want.h);
            EXPECT_EQ(GetWindowLongPtrA(b, GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
            ASSERT_NE(button_of(dlg, static_cast<unsigned short>(want.id)), nullptr);
        }
        // Missing images: a plain button at the row's size that still works.
        HWND none = item(dlg, IDC_NOBMP);
        EXPECT_NE(GetWindowLongPtrA(none, GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
        RECT r{};
        GetWindowRect(none, &r);
        EXPECT_EQ(r.right - r.left, 70);
        cls_win_dbm *plain = button_of(dlg, IDC_NOBMP);
        ASSERT_NE(plain, nullptr);
        EXPECT_EQ(plain->win_bmpbt_check_mouse(CPoint(0, 0)), 0);
        SendMessageA(none, BM_CLICK, 0, 0);
        EXPECT_EQ(rec.controls, std::vector<unsigned short>{IDC_NOBMP});
        close_now(dlg);
    }};
    run_skin(&rec);
}

TEST(BitmapButton, PointerCountsAsOverTheButtonOnlyInsideTheNormalImage) {
    DlgRecord rec;
    rec.steps = {[](cls_pwin_dlg *dlg) {
        cls_win_dbm *push = button_of(dlg, IDC_PUSH);
        ASSERT_NE(push, nullptr);
        EXPECT_EQ(push->width, 56);
        EXPECT_EQ(push->height, 20);
        EXPECT_EQ(push->win_bmpbt_check_mouse(CPoint(0, 0)), 1);
        EXPECT_EQ(push->win_bmpbt_check_mouse(CPoint(55, 19)), 1);
        EXPECT_EQ(push->win_bmpbt_check_mouse(CPoint(56, 0)), 0);
        EXPECT_EQ(push->win_bmpbt_check_mouse(CPoint(0, 20)), 0);
        EXPECT_EQ(push->win_bmpbt_check_mouse(CPoint(-1, 5)), 0);
        EXPECT_EQ(push->win_bmpbt_check_mouse(CPoint(5, -1)), 0);
        close_now(dlg);
    }};
    run_skin(&rec);
}

TEST(BitmapButton, OwnCursorsOverTheButtonAndWhilePressed) {
    DlgRecord rec;
    rec.steps = {[](cls_pwin_dlg *dlg) {
        HWND push = item(dlg, IDC_PUSH);
        EXPECT_EQ(send_set_cursor(push, push, HTCLIENT, WM_MOUSEMOVE), TRUE);
        EXPECT_EQ(GetCursor(), LoadCursorA(nullptr, IDC_CROSS));
        EXPECT_EQ(send_set_cursor(push, push, HTCLIENT, WM_LBUTTONDOWN), TRUE);
        EXPECT_EQ(GetCursor(), LoadCursorA(nullptr, IDC_SIZEALL));
        // A cursor message about another window is not the button's.
        EXPECT_EQ(send_set_cursor(push, dlg->m_hWnd, HTCLIENT, WM_MOUSEMOVE), FALSE);
        close_now(dlg);
    }};
    run_skin(&rec);
}

TEST(BitmapButton, EnterClicksAPushButtonOnceAndNoCaptionButton) {
    DlgRecord rec;
    rec.steps = {
        enter_on(IDC_PUSH), idle,
        [&rec](cls_pwin_dlg *) { EXPECT_EQ(rec.controls, std::vector<unsigned short>{IDC_PUSH}); },
        enter_on(IDC_CLOSE), idle,
        [&rec](cls_pwin_dlg *dlg) {
            EXPECT_EQ(GetFocus(), item(dlg, IDC_CLOSE));
            EXPECT_EQ(rec.controls, std::vector<unsigned short>{IDC_PUSH});
            EXPECT_TRUE(rec.quits.empty());
            close_now(dlg);
        }};
    run_skin(&rec);
}

// Records the key-ups that reach the edit control.
WNDPROC g_edit_proc = nullptr;
std::vector<WPARAM> g_edit_keyups;
LRESULT CALLBACK edit_spy(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_KEYUP) g_edit_keyups.push_back(wp);
    return CallWindowProcA(g_edit_proc, h, msg, wp, lp);
}

TEST(CaptionButton, KeyboardNavigationPassesOverCaptionButtons) {
    DlgRecord rec;
    g_edit_keyups.clear();
    rec.steps = {
        [](cls_pwin_dlg *dlg) {
            HWND edit = item(dlg, IDC_EDIT);
            g_edit_proc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
                edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&edit_spy)));
            SetFocus(item(dlg, IDC_PUSH));
            // Tab order: push, close, max, min (caption buttons), edit.
            press_key(VK_TAB);
        },
        idle, idle,
        [&rec](cls_pwin_dlg *dlg) {
            EXPECT_EQ(GetFocus(), item(dlg, IDC_EDIT));
            EXPECT_EQ(g_edit_keyups, std::vector<WPARAM>{VK_TAB});
            EXPECT_TRUE(rec.controls.empty());
            SetWindowLongPtrA(item(dlg, IDC_EDIT), GWLP_WNDPROC,
                              reinterpret_cast<LONG_PTR>(g_edit_proc));
            close_now(dlg);
        }};
    run_skin(&rec);
}

TEST(CaptionButton, HoverTakesFocusAndDefaultLookAndAReleaseOutsideClicksNothing) {
    DlgRecord rec;
    rec.steps = {
        [](cls_pwin_dlg *dlg) {
            EXPECT_EQ(GetFocus(), item(dlg, IDOK));
            EXPECT_TRUE(is_default_look(item(dlg, IDOK)));
        },
        hover(IDC_CLOSE),
        [](cls_pwin_dlg *dlg) {
            HWND close = item(dlg, IDC_CLOSE);
            EXPECT_EQ(GetCapture(), close);
            EXPECT_EQ(GetFocus(), close);
            EXPECT_FALSE(is_default_look(item(dlg, IDOK)));
            EXPECT_EQ(button_of(dlg, IDC_CLOSE)->bt_capture, 1);
        },
        press, off_buttons, release,
        [&rec](cls_pwin_dlg *dlg) {
            EXPECT_TRUE(rec.controls.empty());
            EXPECT_TRUE(rec.quits.empty());
            EXPECT_NE(GetCapture(), item(dlg, IDC_CLOSE));
            EXPECT_EQ(GetFocus(), item(dlg, IDOK));
            EXPECT_TRUE(is_default_look(item(dlg, IDOK)));
            EXPECT_TRUE(IsWindowVisible(dlg->m_hWnd));
            EXPECT_FALSE(IsIconic(dlg->m_hWnd));
            close_now(dlg);
        }};
    run_skin(&rec);
}

TEST(CaptionButton, CloseClickReachesTheControlCallbackBeforeTheQuitCallback) {
    DlgRecord rec;
    std::vector<std::string> log;
    rec.control = [&log](cls_pwin_dlg *, unsigned short id) -> unsigned char {
        log.push_back("control " + std::to_string(id));
        return 1;
    };
    rec.quit = [&log](cls_pwin_dlg *, unsigned short id) -> unsigned char {
        log.push_back("quit " + std::to_string(id));
        return 2;
    };
    rec.steps = {hover(IDC_CLOSE), press, release};
    EXPECT_EQ(run_skin(&rec), IDC_CLOSE);
    EXPECT_EQ(log, (std::vector<std::string>{"control 3002", "quit 3002"}));
}

TEST(CaptionButton, AfterARefusedCloseLeavingTheButtonGivesTheFocusBack) {
    DlgRecord rec;
    rec.quit = [](cls_pwin_dlg *, unsigned short) -> unsigned char { return 1; };
    rec.steps = {hover(IDC_CLOSE), press, release,
                 [&rec](cls_pwin_dlg *dlg) {
                     EXPECT_EQ(rec.controls, std::vector<unsigned short>{IDC_CLOSE});
                     EXPECT_EQ(rec.quits, std::vector<unsigned short>{IDC_CLOSE});
                     EXPECT_TRUE(IsWindowVisible(dlg->m_hWnd));
                     mouse_to(item(dlg, IDC_CLOSE), 6, 6);  // still over it
                 },
                 off_buttons,
                 [&rec](cls_pwin_dlg *dlg) {
                     EXPECT_EQ(GetFocus(), item(dlg, IDOK));
                     EXPECT_TRUE(is_default_look(item(dlg, IDOK)));
                     rec.quit = nullptr;
                     close_now(dlg);
                 }};
    run_skin(&rec);
}

TEST(CaptionButton, ThePointerOverAButtonOfAnInactiveDialogChangesNothing) {
    DlgRecord rec;
    HWND other = nullptr;
    rec.steps = {[&other](cls_pwin_dlg *dlg) {
                     other = plain_window();
                     ShowWindow(other, SW_SHOW);
                     SetForegroundWindow(other);
                     ASSERT_NE(GetActiveWindow(), dlg->m_hWnd);
                     HWND close = item(dlg, IDC_CLOSE);
                     SendMessageA(close, WM_MOUSEMOVE, 0, MAKELPARAM(8, 8));
                     EXPECT_NE(GetCapture(), close);
                     EXPECT_NE(GetFocus(), close);
                     EXPECT_EQ(button_of(dlg, IDC_CLOSE)->bt_capture, 0);
                     EXPECT_TRUE(is_default_look(item(dlg, IDOK)));
                     DestroyWindow(other);
                     close_now(dlg);
                 }};
    run_skin(&rec);
}

TEST(CaptionButton, MaximizeThenRestoreThenMinimize) {
    DlgRecord rec;
    rec.steps = {hover(IDC_MAX), press, release,
                 [](cls_pwin_dlg *dlg) {
                     EXPECT_TRUE(IsZoomed(dlg->m_hWnd));
                     EXPECT_EQ(button_of(dlg, IDC_MAX)->bt_max_window, 1);
                     EXPECT_NE(GetCapture(), item(dlg, IDC_MAX));
                 },
                 hover(IDC_MAX), press, release,
                 [](cls_pwin_dlg *dlg) {
                     EXPECT_FALSE(IsZoomed(dlg->m_hWnd));
                     RECT r{};
                     GetWindowRect(dlg->m_hWnd, &r);
                     EXPECT_EQ(r.right - r.left, 320);
                     EXPECT_EQ(button_of(dlg, IDC_MAX)->bt_max_window, 0);
                 },
                 hover(IDC_MIN), press, release,
                 [&rec](cls_pwin_dlg *dlg) {
                     EXPECT_TRUE(IsIconic(dlg->m_hWnd));
                     // Their effect is the system command alone: no click.
                     EXPECT_TRUE(rec.controls.empty());
                     close_now(dlg);
                 }};
    run_skin(&rec);
}

}  // namespace
