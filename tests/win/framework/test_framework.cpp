// The framework under the dialog class: the application's process entry
// and message loop, modeless keyboard handling in that loop, the modal
// loop's ends, pre-translation through the window chain, window lookup, and
// the GDI and control wrappers.
#include <gtest/gtest.h>

#include <windows.h>

#include <afxcmn.h>
#include <afxext.h>
#include <afxwin.h>

#include <vector>

#include "dlg_harness.h"
#include "dlg_test_res.h"
#include "pwin_dlg.h"
#include "test_handle.h"

namespace {

using Ids = std::vector<unsigned short>;

int g_deleted = 0;

// Counts deletions of modeless dialogs (which delete themselves).
struct CountedDlg : cls_pwin_dlg {
    using cls_pwin_dlg::cls_pwin_dlg;
    ~CountedDlg() override { ++g_deleted; }
};

void bring_to_front(cls_pwin_dlg *dlg) {
    SetForegroundWindow(dlg->m_hWnd);
    EXPECT_EQ(GetForegroundWindow(), dlg->m_hWnd);
}

struct TestApp : CWinApp {
    DlgRecord *rec = nullptr;
    BOOL init_answer = TRUE;
    bool ran = false;
    int exits = 0;
    BOOL InitInstance() override {
        if (rec != nullptr) m_pMainWnd = new CountedDlg(describe(IDD_PLAIN, rec), 1);
        return init_answer;
    }
    int Run() override {
        ran = true;
        return CWinApp::Run();
    }
    int ExitInstance() override {
        ++exits;
        return CWinApp::ExitInstance() + 100;
    }
};

TEST(FrameworkApp, EntryRunsInitLoopAndExitWithModelessKeyboard) {
    g_deleted = 0;
    DlgRecord rec;
    rec.control = [](cls_pwin_dlg *, unsigned short id) -> unsigned char {
        return id == 2 ? 2 : 1;
    };
    HWND cancel = nullptr;
    rec.steps = {
        bring_to_front,
        [&cancel](cls_pwin_dlg *dlg) {
            // The first tab stop has the focus; Tab moves it on.
            EXPECT_EQ(GetFocus(), GetDlgItem(dlg->m_hWnd, IDOK));
            cancel = GetDlgItem(dlg->m_hWnd, IDCANCEL);
            press_key(VK_TAB);
        },
        [&cancel](cls_pwin_dlg *) {
            EXPECT_EQ(GetFocus(), cancel);
            press_key(VK_TAB);
        },
        // On a plain push button Enter presses that button.
        [](cls_pwin_dlg *) { press_key(VK_RETURN); },
        [](cls_pwin_dlg *) { press_key(VK_ESCAPE); },
    };
    TestApp app;
    app.rec = &rec;
    int code = AfxWinMain(GetModuleHandleA(nullptr), nullptr, const_cast<LPSTR>(""), SW_SHOW);
    EXPECT_FALSE(rec.timed_out);
    EXPECT_TRUE(app.ran);
    EXPECT_EQ(app.exits, 1);
    EXPECT_EQ(code, 100);  // WM_QUIT's 0 through ExitInstance
    EXPECT_EQ(rec.controls, (Ids{IDC_IN_3000, 2}));
    EXPECT_EQ(rec.quits, (Ids{2}));
    EXPECT_EQ(app.m_pMainWnd, nullptr);
    EXPECT_EQ(g_deleted, 1);
}

TEST(FrameworkApp, FailedInitEndsWithoutALoop) {
    TestApp app;
    app.init_answer = FALSE;
    EXPECT_EQ(AfxWinMain(GetModuleHandleA(nullptr), nullptr, const_cast<LPSTR>(""), SW_SHOW),
              100);
    EXPECT_FALSE(app.ran);
    EXPECT_EQ(app.exits, 1);
    // No main window at all: the loop returns at once.
    TestApp bare;
    EXPECT_EQ(bare.Run(), 100);
}

TEST(FrameworkApp, OnlyTheFirstApplicationObjectCounts) {
    EXPECT_EQ(AfxGetApp(), nullptr);
    EXPECT_EQ(AfxGetMainWnd(), nullptr);
    {
        TestApp first;
        TestApp second;
        EXPECT_EQ(AfxGetApp(), &first);
    }
    EXPECT_EQ(AfxGetApp(), nullptr);
    EXPECT_EQ(AfxGetInstanceHandle(), GetModuleHandleA(nullptr));
}

TEST(FrameworkModeless, ShowFlagAndSelfDeletionOnlyWhenQuitAgrees) {
    g_deleted = 0;
    DlgRecord rec;
    bool allow = false;
    rec.quit = [&allow](cls_pwin_dlg *, unsigned short) -> unsigned char {
        return allow ? kPwinDlgClose : kPwinDlgStay;
    };
    auto *hidden = new CountedDlg(describe(IDD_PLAIN, &rec), 0);
    ASSERT_NE(hidden->m_hWnd, nullptr);
    EXPECT_EQ(hidden->type, 1);
    HWND h = hidden->m_hWnd;
    EXPECT_FALSE(IsWindowVisible(h));
    EXPECT_EQ(rec.inits, 1);

    PostMessageA(h, WM_CLOSE, 0, 0);
    pump_until([&rec] { return !rec.quits.empty(); });
    EXPECT_TRUE(IsWindow(h));
    EXPECT_EQ(g_deleted, 0);
    allow = true;
    PostMessageA(h, WM_CLOSE, 0, 0);
    EXPECT_TRUE(pump_until([h] { return !IsWindow(h); }));
    EXPECT_EQ(g_deleted, 1);

    // Only exactly 1 shows; shown or not, the dialog deletes itself.
    for (int show : {1, 2}) {
        DlgRecord show_rec;
        auto *dlg = new CountedDlg(describe(IDD_PLAIN, &show_rec), show);
        HWND w = dlg->m_hWnd;
        EXPECT_EQ(IsWindowVisible(w) != FALSE, show == 1) << "show " << show;
        const int deleted = g_deleted;
        PostMessageA(w, WM_CLOSE, 0, 0);
        EXPECT_TRUE(pump_until([w] { return !IsWindow(w); })) << "show " << show;
        EXPECT_EQ(g_deleted, deleted + 1) << "show " << show;
    }
}

TEST(FrameworkModeless, MissingTemplateLeavesNoWindowAndNoCallback) {
    DlgRecord rec;
    auto *dlg = new cls_pwin_dlg(describe(9999, &rec), 1);
    EXPECT_EQ(dlg->m_hWnd, nullptr);
    EXPECT_EQ(rec.inits, 0);
    delete dlg;  // the creator's job when there is no window
}

TEST(FrameworkModal, LoopEndsWhenTheWindowIsDestroyedFromOutside) {
    DlgRecord rec;
    rec.steps = {[](cls_pwin_dlg *dlg) { DestroyWindow(dlg->m_hWnd); }};
    unsigned short result = run_modal(IDD_PLAIN, &rec);
    EXPECT_EQ(result, 0xFFFF);
    EXPECT_TRUE(rec.quits.empty());
}

TEST(FrameworkModal, QuitMessageEndsTheModalRunAndIsKept) {
    DlgRecord rec;
    rec.steps = {[](cls_pwin_dlg *) { PostQuitMessage(7); }};
    unsigned short result = run_modal(IDD_PLAIN, &rec);
    EXPECT_EQ(result, 0xFFFF);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 7u);
}

// A child window object that takes Enter for itself before the dialog
// manager sees it (what bitmap buttons need).
struct EnterEater : CWnd {
    int eaten = 0;
    BOOL PreTranslateMessage(MSG *msg) override {
        if (msg->message == WM_KEYDOWN && msg->wParam == VK_RETURN) {
            ++eaten;
            return TRUE;
        }
        return CWnd::PreTranslateMessage(msg);
    }
};

TEST(FrameworkLoop, ChildPreTranslateRunsBeforeTheDialogManager) {
    DlgRecord rec;
    EnterEater eater;
    rec.init = [&eater](cls_pwin_dlg *dlg) {
        ASSERT_TRUE(eater.SubclassDlgItem(IDC_IN_3000, dlg));
        EXPECT_EQ(CWnd::FromHandlePermanent(eater.m_hWnd), &eater);
        EXPECT_EQ(dlg->GetDlgItem(IDC_IN_3000), &eater);
    };
    rec.steps = {
        bring_to_front,
        [&eater](cls_pwin_dlg *) {
            SetFocus(eater.m_hWnd);
            press_key(VK_RETURN);
        },
        [](cls_pwin_dlg *dlg) {
            // Elsewhere Enter still works.
            SetFocus(GetDlgItem(dlg->m_hWnd, IDOK));
            press_key(VK_RETURN);
        },
        [](cls_pwin_dlg *dlg) { PostMessageA(dlg->m_hWnd, WM_CLOSE, 0, 0); },
    };
    run_modal(IDD_PLAIN, &rec);
    EXPECT_EQ(eater.eaten, 1);
    EXPECT_EQ(rec.controls, (Ids{1}));
    // The window went with the dialog and detached the object.
    EXPECT_EQ(eater.m_hWnd, nullptr);
}

TEST(FrameworkWnd, HoldersForWindowsWithoutAnObject) {
    DlgRecord rec;
    rec.steps = {[](cls_pwin_dlg *dlg) {
        CWnd *ok = dlg->GetDlgItem(IDOK);
        ASSERT_NE(ok, nullptr);
        EXPECT_EQ(ok->m_hWnd, GetDlgItem(dlg->m_hWnd, IDOK));
        EXPECT_EQ(dlg->GetDlgItem(IDOK), ok);  // the same holder again
        EXPECT_EQ(ok->GetParent(), dlg);       // the dialog's own object
        EXPECT_EQ(dlg->GetDlgItem(IDC_MISSING), nullptr);
        EXPECT_EQ(CWnd::FromHandlePermanent(ok->m_hWnd), nullptr);
        PostMessageA(dlg->m_hWnd, WM_CLOSE, 0, 0);
    }};
    run_modal(IDD_PLAIN, &rec);
}

TEST(FrameworkControls, ProgressBarTakenFromTheTemplate) {
    DlgRecord rec;
    rec.steps = {[](cls_pwin_dlg *dlg) {
        auto *bar = static_cast<CProgressCtrl *>(dlg->GetDlgItem(IDC_PROGRESS));
        ASSERT_NE(bar, nullptr);
        int lo = -1, hi = -1;
        bar->GetRange(lo, hi);
        EXPECT_EQ(lo, 0);
        EXPECT_EQ(hi, 100);
        bar->SetPos(40);
        EXPECT_EQ(bar->GetPos(), 40);
        // Set from another thread: a synchronous message to this one.
        struct Setter {
            static DWORD WINAPI run(void *p) {
                static_cast<CProgressCtrl *>(p)->SetPos(100);
                return 0;
            }
        };
        test_support::Handle th(CreateThread(nullptr, 0, &Setter::run, bar, 0, nullptr));
        ASSERT_TRUE(th.ok());
        EXPECT_TRUE(pump_until([&th] { return WaitForSingleObject(th.get(), 0) == WAIT_OBJECT_0; }));
        th.reset();
        EXPECT_EQ(bar->GetPos(), 100);
        bar->SetRange(0, 10);
        bar->GetRange(lo, hi);
        EXPECT_EQ(hi, 10);
        PostMessageA(dlg->m_hWnd, WM_CLOSE, 0, 0);
    }};
    run_modal(IDD_COMMANDS, &rec);
}

TEST(FrameworkGdi, FontBitmapRegionAndContexts) {
    CFont font;
    ASSERT_TRUE(font.CreatePointFont(240, "MS Sans Serif"));
    EXPECT_FALSE(font.CreatePointFont(100, "Other"));  // holds one already
    LOGFONTA lf{};
    ASSERT_NE(font.GetObject(sizeof lf, &lf), 0);
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(lf.lfHeight, -MulDiv(240, GetDeviceCaps(screen, LOGPIXELSY), 720));
    ReleaseDC(nullptr, screen);
    EXPECT_STREQ(lf.lfFaceName, "MS Sans Serif");
    EXPECT_TRUE(font.DeleteObject());
    EXPECT_FALSE(font.DeleteObject());  // twice is harmless

    CBitmap bmp;
    EXPECT_FALSE(bmp.LoadBitmap(777));
    ASSERT_TRUE(bmp.LoadBitmap(IDB_TEST));
    BITMAP bm{};
    ASSERT_NE(bmp.GetBitmap(&bm), 0);
    EXPECT_EQ(bm.bmWidth, 16);
    EXPECT_EQ(bm.bmHeight, 8);

    CDC mem;
    ASSERT_TRUE(mem.CreateCompatibleDC(nullptr));
    HGDIOBJ old = mem.SelectObject(&bmp);
    COLORREF px = GetPixel(mem, 3, 3);
    EXPECT_EQ(px, RGB(255, 0, 0));
    mem.SelectObject(old);

    CRgn a, b, sum;
    ASSERT_TRUE(a.CreateRectRgn(0, 0, 2, 1));
    ASSERT_TRUE(b.CreateRectRgn(2, 0, 4, 1));
    ASSERT_TRUE(sum.CreateRectRgn(0, 0, 0, 0));
    EXPECT_EQ(sum.CombineRgn(&a, &b, RGN_OR), SIMPLEREGION);
    RECT box{};
    GetRgnBox(sum, &box);
    EXPECT_EQ(box.right, 4);
    HGDIOBJ handed = sum.Detach();
    EXPECT_EQ(sum.m_hObject, nullptr);
    DeleteObject(handed);
}

TEST(FrameworkControls, BitmapButtonSizesToItsImageAndDrawsIt) {
    DlgRecord rec;
    CBitmapButton button;
    rec.init = [&button](cls_pwin_dlg *dlg) {
        ASSERT_TRUE(button.SubclassDlgItem(IDC_IN_3000, dlg));
        button.SendMessage(BM_SETSTYLE, BS_OWNERDRAW, TRUE);
        ASSERT_TRUE(button.LoadBitmaps(IDB_TEST, IDB_TEST));
        button.SizeToContent();
    };
    rec.steps = {[&button](cls_pwin_dlg *dlg) {
        RECT r{};
        button.GetClientRect(&r);
        EXPECT_EQ(r.right, 16);
        EXPECT_EQ(r.bottom, 8);
        // Draw into a memory context through the parent's reflection.
        HDC screen = GetDC(nullptr);
        HDC mem = CreateCompatibleDC(screen);
        HBITMAP target = CreateCompatibleBitmap(screen, 16, 8);
        ReleaseDC(nullptr, screen);
        HGDIOBJ old = SelectObject(mem, target);
        DRAWITEMSTRUCT dis{};
        dis.CtlType = ODT_BUTTON;
        dis.CtlID = IDC_IN_3000;
        dis.itemAction = ODA_DRAWENTIRE;
        dis.hwndItem = button.m_hWnd;
        dis.hDC = mem;
        dis.rcItem = r;
        EXPECT_EQ(SendMessageA(dlg->m_hWnd, WM_DRAWITEM, IDC_IN_3000,
                               reinterpret_cast<LPARAM>(&dis)),
                  TRUE);
        EXPECT_EQ(GetPixel(mem, 5, 5), RGB(255, 0, 0));
        SelectObject(mem, old);
        DeleteObject(target);
        DeleteDC(mem);
        PostMessageA(dlg->m_hWnd, WM_CLOSE, 0, 0);
    }};
    run_modal(IDD_PLAIN, &rec);
}

}  // namespace
