// The dialog's services and skin features: text, enable and combo helpers,
// the combo selection copy, the control table, colours, cursors, hit test,
// scroll table, dropped files, the window class with its single-instance
// rule, and the message box.
#include <gtest/gtest.h>

#include <windows.h>

#include <shlobj.h>

#include <cstring>
#include <string>
#include <vector>

#include "dlg_harness.h"
#include "dlg_test_res.h"
#include "pcom_dat.h"
#include "pwin_dlg.h"
#include "test_handle.h"
#include "pwin_uty.h"

namespace {

using Ids = std::vector<unsigned short>;

std::string text_of(cls_pwin_dlg *dlg, int id) {
    char buf[600] = {};
    GetDlgItemTextA(dlg->m_hWnd, id, buf, sizeof buf);
    return buf;
}

void close_now(cls_pwin_dlg *dlg) { PostMessageA(dlg->m_hWnd, WM_CLOSE, 0, 0); }

// Runs a modal dialog of `info` (described for rec) with rec's script.
void run_described(const SWIN_DLG_INFO &info, const DlgRecord &rec) {
    unsigned short result = 0;
    cls_pwin_dlg dlg(info, &result);
    EXPECT_FALSE(rec.timed_out);
}

// The dialog's hit test at the client point p.
LRESULT hit_at(HWND h, POINT p) {
    ClientToScreen(h, &p);
    return SendMessageA(h, WM_NCHITTEST, 0, MAKELPARAM(p.x, p.y));
}

TEST(DlgText, SetTextFormsAndEnable) {
    DlgRecord rec;
    rec.steps = {[](cls_pwin_dlg *dlg) {
        dlg->pwin_dlg_set_text(IDC_TEXT, "one");
        EXPECT_EQ(text_of(dlg, IDC_TEXT), "one");
        dlg->pwin_dlg_set_text(IDC_TEXT, "Ver. ", "3.50");
        EXPECT_EQ(text_of(dlg, IDC_TEXT), "Ver. 3.50");
        dlg->pwin_dlg_set_text(IDC_TEXT, nullptr, "second only");
        EXPECT_EQ(text_of(dlg, IDC_TEXT), "second only");
        dlg->pwin_dlg_set_text(IDC_TEXT, "first only", nullptr);
        EXPECT_EQ(text_of(dlg, IDC_TEXT), "first only");
        dlg->pwin_dlg_set_text(IDC_TEXT, static_cast<const char *>(nullptr),
                               static_cast<const char *>(nullptr));
        EXPECT_EQ(text_of(dlg, IDC_TEXT), "");
        // A joined text longer than the buffer is cut, not overrun.
        std::string a(300, 'a'), b(300, 'b');
        dlg->pwin_dlg_set_text(IDC_EDIT, a.c_str(), b.c_str());
        EXPECT_EQ(text_of(dlg, IDC_EDIT), a + std::string(179, 'b'));
        dlg->pwin_dlg_set_text(IDC_TEXT, static_cast<unsigned short>(IDS_MESSAGE));
        EXPECT_EQ(text_of(dlg, IDC_TEXT), "Message from resource    ");
        dlg->pwin_dlg_set_text(IDC_EDIT, static_cast<unsigned short>(IDS_LONG));
        EXPECT_EQ(text_of(dlg, IDC_EDIT), std::string(239, 'L'));

        dlg->pwin_dlg_enable_item(IDC_IN_3000, 0);
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dlg->m_hWnd, IDC_IN_3000)));
        dlg->pwin_dlg_enable_item(IDC_IN_3000, 5);
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dlg->m_hWnd, IDC_IN_3000)));
        close_now(dlg);
    }};
    run_modal(IDD_COMMANDS, &rec);
}

// A combo box whose selection and text the test sets independently (a real
// combo box changes its selection when its text is set, and its text when
// the selection is set).
struct FakeCombo {
    std::vector<std::string> items;
    LRESULT cur = CB_ERR;

    static LRESULT CALLBACK proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
        auto *me = reinterpret_cast<FakeCombo *>(GetWindowLongPtrA(h, GWLP_USERDATA));
        if (me != nullptr) {
            switch (msg) {
            case CB_GETCURSEL:
                return me->cur;
            case CB_GETLBTEXTLEN:
                return wp < me->items.size() ? static_cast<LRESULT>(me->items[wp].size()) : CB_ERR;
            case CB_GETLBTEXT:
                if (wp >= me->items.size()) return CB_ERR;
                std::strcpy(reinterpret_cast<char *>(lp), me->items[wp].c_str());
                return static_cast<LRESULT>(me->items[wp].size());
            default:
                break;
            }
        }
        return DefWindowProcA(h, msg, wp, lp);
    }

    HWND create(HWND parent, int id) {
        WNDCLASSA wc{};
        wc.lpfnWndProc = &proc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "TestFakeCombo";
        RegisterClassA(&wc);
        HWND h = CreateWindowExA(0, "TestFakeCombo", "", WS_CHILD, 0, 0, 10, 10, parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 GetModuleHandleA(nullptr), nullptr);
        SetWindowLongPtrA(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        return h;
    }
};

TEST(DlgCombo, SelectionTextBecomesTheBoxTextBeforeTheCallback) {
    constexpr int kFake = 3550;
    DlgRecord rec;
    std::vector<std::string> seen;
    rec.control = [&seen](cls_pwin_dlg *dlg, unsigned short id) -> unsigned char {
        if (id == kFake) seen.push_back(text_of(dlg, kFake));
        return 1;
    };
    FakeCombo fake;
    fake.items = {"alpha", "", "gamma"};
    rec.steps = {[&fake](cls_pwin_dlg *dlg) {
        HWND combo = fake.create(dlg->m_hWnd, kFake);
        auto select = [&](LRESULT index) {
            fake.cur = index;
            SetWindowTextA(combo, "typed");
            SendMessageA(dlg->m_hWnd, WM_COMMAND, MAKEWPARAM(kFake, CBN_SELENDOK),
                         reinterpret_cast<LPARAM>(combo));
        };
        select(2);       // copied
        select(1);       // empty item: text stays
        select(CB_ERR);  // nothing selected: text stays
        select(9);       // an index the box does not know: text stays
        close_now(dlg);
    }};
    run_modal(IDD_COMMANDS, &rec);
    EXPECT_EQ(seen, (std::vector<std::string>{"gamma", "typed", "typed", "typed"}));
}

TEST(DlgCombo, ReadersOfARealComboBox) {
    DlgRecord rec;
    rec.steps = {[](cls_pwin_dlg *dlg) {
        HWND combo = GetDlgItem(dlg->m_hWnd, IDC_COMBO);
        for (const char *item : {"alpha", "", "gamma"})
            SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
        EXPECT_EQ(dlg->pwin_dlg_get_list_cur(IDC_COMBO), static_cast<unsigned long>(CB_ERR));
        SendMessageA(combo, CB_SETCURSEL, 2, 0);
        EXPECT_EQ(dlg->pwin_dlg_get_list_cur(IDC_COMBO), 2ul);
        char buf[32];
        std::memset(buf, 'x', sizeof buf);
        dlg->pwin_dlg_get_list_text(IDC_COMBO, 0, buf);
        EXPECT_STREQ(buf, "alpha");
        dlg->pwin_dlg_get_list_text(IDC_COMBO, 7, buf);  // no such item: emptied
        EXPECT_STREQ(buf, "");
        dlg->pwin_dlg_get_list_text(IDC_COMBO, 0, nullptr);
        // A real selection change: the callback sees the item's text.
        SendMessageA(dlg->m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_COMBO, CBN_SELENDOK),
                     reinterpret_cast<LPARAM>(combo));
        EXPECT_EQ(text_of(dlg, IDC_COMBO), "gamma");
        close_now(dlg);
    }};
    run_modal(IDD_COMMANDS, &rec);
    EXPECT_EQ(rec.controls, (Ids{IDC_COMBO}));
}

TEST(DlgTable, RowsMoveControlsAndTransparentTextsGetAHollowBrush) {
    SWIN_DLG_CTRL table[] = {
        {IDC_TEXT, 0, 20, 25, 0, 0, nullptr},     // default size: client + 1
        {IDC_TRANS, 5, 0, 40, 90, 12, nullptr},   // x 0 keeps the default 0
        {IDC_IN_3000, 1, 30, 60, 70, 20, nullptr},  // no images: stays a plain button
        {IDC_MISSING, 0, 5, 5, 5, 5, nullptr},    // no such control
        {IDD_TABLE, 0, 33, 44, 0, 0, nullptr},    // the dialog itself, screen position
        {IDC_TRANS, 0, 0, 40, 90, 12, nullptr},   // only the first row of an id is its kind
        {0, 0, 0, 0, 0, 0, nullptr},
        {IDC_IN_3999, 0, 1, 1, 1, 1, nullptr},    // after the end: never read
    };
    DlgRecord rec;
    RECT text_client_before{};
    rec.steps = {[&](cls_pwin_dlg *dlg) {
        auto rect_in_dlg = [&](int id) {
            RECT r{};
            GetWindowRect(GetDlgItem(dlg->m_hWnd, id), &r);
            MapWindowPoints(nullptr, dlg->m_hWnd, reinterpret_cast<POINT *>(&r), 2);
            return r;
        };
        RECT r = rect_in_dlg(IDC_TEXT);
        EXPECT_EQ(r.left, 20);
        EXPECT_EQ(r.top, 25);
        RECT client{};
        GetClientRect(GetDlgItem(dlg->m_hWnd, IDC_TEXT), &client);
        EXPECT_EQ(client.right, text_client_before.right + 1);
        EXPECT_EQ(client.bottom, text_client_before.bottom + 1);
        r = rect_in_dlg(IDC_TRANS);
        EXPECT_EQ(r.left, 0);
        EXPECT_EQ(r.top, 40);
        EXPECT_EQ(r.right - r.left, 90);
        r = rect_in_dlg(IDC_IN_3000);
        EXPECT_EQ(r.right - r.left, 70);
        r = rect_in_dlg(IDC_IN_3999);
        EXPECT_NE(r.left, 1);
        RECT self{};
        GetWindowRect(dlg->m_hWnd, &self);
        EXPECT_EQ(self.left, 33);
        EXPECT_EQ(self.top, 44);
        // The bitmap row has its button object, which left the control as is.
        EXPECT_EQ(dlg->dbm_num, 1ul);
        EXPECT_NE(GetWindowLongPtrA(GetDlgItem(dlg->m_hWnd, IDC_IN_3000), GWL_STYLE) & BS_TYPEMASK,
                  BS_OWNERDRAW);

        HDC dc = GetDC(dlg->m_hWnd);
        SetBkMode(dc, OPAQUE);
        LRESULT brush = SendMessageA(dlg->m_hWnd, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                     reinterpret_cast<LPARAM>(GetDlgItem(dlg->m_hWnd, IDC_TRANS)));
        EXPECT_EQ(reinterpret_cast<HGDIOBJ>(brush), GetStockObject(NULL_BRUSH));
        EXPECT_EQ(GetBkMode(dc), TRANSPARENT);
        SetBkMode(dc, OPAQUE);
        brush = SendMessageA(dlg->m_hWnd, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                             reinterpret_cast<LPARAM>(GetDlgItem(dlg->m_hWnd, IDC_TEXT)));
        EXPECT_NE(reinterpret_cast<HGDIOBJ>(brush), GetStockObject(NULL_BRUSH));
        EXPECT_EQ(GetBkMode(dc), OPAQUE);
        ReleaseDC(dlg->m_hWnd, dc);

        // A transparent text's new text invalidates the dialog under it.
        UpdateWindow(dlg->m_hWnd);
        dlg->pwin_dlg_set_text(IDC_TRANS, "new text");
        RECT dirty{};
        EXPECT_TRUE(GetUpdateRect(dlg->m_hWnd, &dirty, FALSE));
        EXPECT_EQ(text_of(dlg, IDC_TRANS), "new text");
        close_now(dlg);
    }};
    // The control's size before the table ran: from a dialog without a table.
    {
        DlgRecord probe;
        probe.steps = {[&](cls_pwin_dlg *dlg) {
            GetClientRect(GetDlgItem(dlg->m_hWnd, IDC_TEXT), &text_client_before);
            close_now(dlg);
        }};
        run_modal(IDD_TABLE, &probe);
    }
    SWIN_DLG_INFO info = describe(IDD_TABLE, &rec);
    info.ctrl = table;
    run_described(info, rec);
}

TEST(DlgCursor, OwnCursorOverTheDialogOnlyAndNoDragWithoutWallpaper) {
    DlgRecord rec;
    SWIN_DLG_INFO info = describe(IDD_PLAIN, &rec);
    info.cur_fcs = 3;  // wait
    info.cur_sel = 4;  // cross
    info.bmp_msk = IDB_TEST;  // ignored without a wallpaper
    rec.steps = {[](cls_pwin_dlg *dlg) {
        HWND h = dlg->m_hWnd;
        EXPECT_EQ(dlg->h_cur_fcs, CLS_pwin_uty::pwin_load_cursor(3));
        EXPECT_EQ(dlg->wallpaper, nullptr);
        EXPECT_EQ(send_set_cursor(h, h, HTCLIENT, WM_MOUSEMOVE), TRUE);
        EXPECT_EQ(GetCursor(), LoadCursorA(nullptr, IDC_WAIT));
        EXPECT_EQ(send_set_cursor(h, h, HTCAPTION, WM_LBUTTONDOWN), TRUE);
        EXPECT_EQ(GetCursor(), LoadCursorA(nullptr, IDC_CROSS));
        // Over a control: the control's own cursor applies.
        EXPECT_EQ(send_set_cursor(h, GetDlgItem(h, IDOK), HTCLIENT, WM_MOUSEMOVE), FALSE);
        // A free point of the client area is client area, not a drag area.
        RECT client{};
        GetClientRect(h, &client);
        EXPECT_EQ(hit_at(h, POINT{client.right - 2, client.top + 2}), HTCLIENT);
        close_now(dlg);
    }};
    run_described(info, rec);
}

TEST(DlgWallpaper, AWallpaperSizesTheDialogAndMakesTheClientADragArea) {
    DlgRecord rec;
    SWIN_DLG_INFO info = describe(IDD_PLAIN, &rec);
    info.bmp = IDB_TEST;
    rec.steps = {[](cls_pwin_dlg *dlg) {
        HWND h = dlg->m_hWnd;
        ASSERT_NE(dlg->wallpaper, nullptr);
        RECT r{};
        GetWindowRect(h, &r);
        EXPECT_EQ(r.right - r.left, 16);
        EXPECT_EQ(r.bottom - r.top, 8);
        // A point that no control covers and that is client area.
        RECT client{};
        GetClientRect(h, &client);
        if (client.right > 0 && client.bottom > 0) {
            EXPECT_NE(hit_at(h, POINT{0, 0}), HTCLIENT);
        }
        close_now(dlg);
    }};
    run_described(info, rec);

    // A wallpaper that does not load leaves the dialog plain.
    DlgRecord plain;
    info = describe(IDD_PLAIN, &plain);
    info.bmp = 777;
    plain.steps = {[](cls_pwin_dlg *d) {
        EXPECT_EQ(d->wallpaper, nullptr);
        close_now(d);
    }};
    run_described(info, plain);
}

TEST(DlgScroll, TableRowsMoveTheBarAndReportTheirEnd) {
    DlgRecord rec;
    rec.init = [](cls_pwin_dlg *dlg) {
        // The toolkit has no public way to add rows; owners fill the table.
        SWIN_DLG_SCROLL row{IDC_SCROLL, 10, 4, 0};
        CLS_pcom_dat::pcom_dispose_allocate(reinterpret_cast<void **>(&dlg->scroll), &row,
                                            &dlg->scroll_num, sizeof row);
        SetScrollRange(GetDlgItem(dlg->m_hWnd, IDC_SCROLL), SB_CTL, 0, 10, FALSE);
    };
    rec.steps = {[](cls_pwin_dlg *dlg) {
        HWND bar = GetDlgItem(dlg->m_hWnd, IDC_SCROLL);
        auto scroll = [&](int code, int pos = 0) {
            SendMessageA(dlg->m_hWnd, WM_HSCROLL, MAKEWPARAM(code, pos),
                         reinterpret_cast<LPARAM>(bar));
            return GetScrollPos(bar, SB_CTL);
        };
        EXPECT_EQ(scroll(SB_LINEUP), 0);  // not below 0
        EXPECT_EQ(scroll(SB_LINEDOWN), 1);
        EXPECT_EQ(scroll(SB_PAGEDOWN), 5);
        EXPECT_EQ(scroll(SB_PAGEDOWN), 9);
        EXPECT_EQ(scroll(SB_PAGEDOWN), 10);  // less than a page left: the end
        EXPECT_EQ(scroll(SB_LINEDOWN), 10);  // not past the range
        EXPECT_EQ(scroll(SB_PAGEUP), 6);
        EXPECT_EQ(scroll(SB_PAGEUP), 2);
        EXPECT_EQ(scroll(SB_PAGEUP), 0);  // less than a page: to 0
        EXPECT_EQ(scroll(SB_THUMBPOSITION, 7), 7);
        EXPECT_EQ(scroll(SB_THUMBTRACK, 3), 3);  // move is 0: no report
        EXPECT_EQ(scroll(SB_TOP), 3);
        EXPECT_EQ(scroll(SB_BOTTOM), 3);
        EXPECT_EQ(dlg->item_id, 0);  // nothing reported yet
        SendMessageA(dlg->m_hWnd, WM_VSCROLL, MAKEWPARAM(SB_ENDSCROLL, 0),
                     reinterpret_cast<LPARAM>(bar));
        dlg->scroll[0].move = 1;
        scroll(SB_THUMBTRACK, 4);
        // The window's own scroll bar (no control) is ignored.
        SendMessageA(dlg->m_hWnd, WM_HSCROLL, MAKEWPARAM(SB_LINEDOWN, 0), 0);
        close_now(dlg);
    }};
    run_modal(IDD_COMMANDS, &rec);
    // ENDSCROLL, then the tracked thumb; the close (no command) keeps the id.
    EXPECT_EQ(rec.controls, (Ids{IDC_SCROLL, IDC_SCROLL}));
}

HDROP make_drop(const char *file) {
    const size_t len = std::strlen(file);
    HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + len + 2);
    auto *df = static_cast<DROPFILES *>(GlobalLock(mem));
    df->pFiles = sizeof(DROPFILES);
    df->fWide = FALSE;
    std::memcpy(reinterpret_cast<char *>(df) + sizeof(DROPFILES), file, len);
    GlobalUnlock(mem);
    return static_cast<HDROP>(mem);
}

struct DropSeen {
    int calls = 0;
    std::string file;
};

TEST(DlgDrop, DroppedFilesReachTheCallbackAndAreReleased) {
    static DropSeen seen;
    seen = DropSeen{};
    struct Cb {
        static void drop(cls_pwin_dlg *, void *, HDROP drop) {
            ++seen.calls;
            char name[MAX_PATH] = {};
            DragQueryFileA(drop, 0, name, sizeof name);
            seen.file = name;
        }
    };
    DlgRecord rec;
    SWIN_DLG_INFO info = describe(IDD_PLAIN, &rec);
    info.cb_dlg_drop = reinterpret_cast<void *>(&Cb::drop);
    HDROP first = make_drop("C:\\firmware.s19");
    HDROP second = make_drop("C:\\other.s19");
    rec.steps = {[&](cls_pwin_dlg *dlg) {
        SendMessageA(dlg->m_hWnd, WM_DROPFILES, reinterpret_cast<WPARAM>(first), 0);
        dlg->dlg_info.cb_dlg_drop = nullptr;  // without a callback: only released
        SendMessageA(dlg->m_hWnd, WM_DROPFILES, reinterpret_cast<WPARAM>(second), 0);
        close_now(dlg);
    }};
    run_described(info, rec);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.file, "C:\\firmware.s19");
    // DragFinish gave both blocks back.
    EXPECT_EQ(GlobalSize(first), 0u);
    EXPECT_EQ(GlobalSize(second), 0u);
}

// Single instance: a window of the class is found by name.
TEST(DlgRegClass, SecondCallFindsTheWindowAndRestoresOnlyAVisibleOne) {
    EXPECT_EQ(cls_pwin_dlg::pwin_dlg_reg_class(9999), 0);  // no class name
    ASSERT_EQ(cls_pwin_dlg::pwin_dlg_reg_class(IDS_CLASS), 1);
    WNDCLASSA wc{};
    ASSERT_TRUE(GetClassInfoA(GetModuleHandleA(nullptr), "QVM_DLG_TEST_CLASS", &wc));
    EXPECT_EQ(wc.style, static_cast<UINT>(CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS));
    EXPECT_EQ(wc.cbWndExtra, DLGWINDOWEXTRA);
    EXPECT_EQ(wc.hCursor, LoadCursorA(nullptr, IDC_ARROW));
    EXPECT_EQ(wc.hbrBackground, nullptr);
    // No window yet: registering again is no failure.
    EXPECT_EQ(cls_pwin_dlg::pwin_dlg_reg_class(IDS_CLASS), 1);

    DlgRecord rec;
    rec.quit = [](cls_pwin_dlg *, unsigned short) -> unsigned char { return 2; };
    auto *dlg = new cls_pwin_dlg(describe(IDD_CLASSED, &rec), 1);
    ASSERT_NE(dlg->m_hWnd, nullptr);
    HWND h = dlg->m_hWnd;
    char cls[64] = {};
    GetClassNameA(h, cls, sizeof cls);
    EXPECT_STREQ(cls, "QVM_DLG_TEST_CLASS");

    ShowWindow(h, SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(h));
    EXPECT_EQ(cls_pwin_dlg::pwin_dlg_reg_class(IDS_CLASS), 0);
    EXPECT_FALSE(IsIconic(h));
    EXPECT_TRUE(IsWindowVisible(h));
    EXPECT_EQ(GetForegroundWindow(), h);

    ShowWindow(h, SW_HIDE);
    EXPECT_EQ(cls_pwin_dlg::pwin_dlg_reg_class(IDS_CLASS), 0);
    EXPECT_FALSE(IsWindowVisible(h));

    PostMessageA(h, WM_CLOSE, 0, 0);
    EXPECT_TRUE(pump_until([h] { return !IsWindow(h); }));
    EXPECT_EQ(rec.inits, 1);
}

TEST(MsgDlg, TitleAndMessageByPointerOverResource) {
    BoxAnswerer answer(IDNO);
    unsigned short got = cls_pwin_dlg::pwin_msg_dlg(IDS_TITLE, "Given title", IDS_MESSAGE,
                                                    nullptr, MB_YESNO, nullptr);
    BoxSeen seen = answer.wait();
    ASSERT_TRUE(seen.seen);
    EXPECT_EQ(got, IDNO);
    EXPECT_EQ(seen.caption, "Given title");
    EXPECT_EQ(seen.text, "Message from resource    ");
}

TEST(MsgDlg, ResourceTitleAndLongTextsAreCut) {
    BoxAnswerer answer(IDOK);
    std::string long_msg(400, 'm');
    unsigned short got = cls_pwin_dlg::pwin_msg_dlg(IDS_LONG, nullptr, 0, long_msg.c_str(),
                                                    MB_OK, nullptr);
    BoxSeen seen = answer.wait();
    ASSERT_TRUE(seen.seen);
    EXPECT_EQ(got, IDOK);
    EXPECT_EQ(seen.caption, std::string(239, 'L'));
    EXPECT_EQ(seen.text, std::string(239, 'm'));

    BoxAnswerer again(IDOK);
    cls_pwin_dlg::pwin_msg_dlg(IDS_TITLE, nullptr, IDS_MESSAGE, nullptr, MB_OK, nullptr);
    seen = again.wait();
    EXPECT_EQ(seen.caption, "Title from resource");
}

TEST(MsgDlg, OwnerIsTheGivenWindowElseTheActiveOne) {
    DlgRecord rec;
    BoxSeen given, active;
    rec.steps = {[&](cls_pwin_dlg *dlg) {
        SetActiveWindow(dlg->m_hWnd);
        {
            BoxAnswerer answer(IDOK);
            cls_pwin_dlg::pwin_msg_dlg(0, "t", 0, "owned", MB_OK, dlg);
            given = answer.wait();
        }
        SetActiveWindow(dlg->m_hWnd);
        {
            BoxAnswerer answer(IDOK);
            cls_pwin_dlg::pwin_msg_dlg(0, "t", 0, "active", MB_OK, nullptr);
            active = answer.wait();
        }
        close_now(dlg);
    }};
    run_modal(IDD_PLAIN, &rec);
    ASSERT_NE(rec.dlg, nullptr);
    EXPECT_TRUE(given.seen);
    EXPECT_TRUE(active.seen);
    EXPECT_NE(given.owner, nullptr);
    EXPECT_EQ(given.owner, active.owner);
    EXPECT_EQ(given.text, "owned");
}

// From a worker thread (no active window there) the box is owned by the
// application's main window.
TEST(MsgDlg, FromAWorkerThreadTheMainWindowOwnsTheBox) {
    struct App : CWinApp {};
    App app;
    ASSERT_EQ(AfxGetApp(), &app);
    DlgRecord rec;
    auto *main = new cls_pwin_dlg(describe(IDD_PLAIN, &rec), 1);
    ASSERT_NE(main->m_hWnd, nullptr);
    HWND main_hwnd = main->m_hWnd;
    app.m_pMainWnd = main;

    struct Worker {
        unsigned short result = 0;
        DWORD thread = 0;
        static DWORD WINAPI run(void *self) {
            auto *w = static_cast<Worker *>(self);
            w->thread = GetCurrentThreadId();
            w->result = cls_pwin_dlg::pwin_msg_dlg(0, "worker", 0, "from a worker",
                                                   MB_OKCANCEL, nullptr);
            return 0;
        }
    } worker;
    BoxAnswerer answer(IDCANCEL);
    test_support::Handle th(CreateThread(nullptr, 0, &Worker::run, &worker, 0, nullptr));
    ASSERT_TRUE(th.ok());
    // The user-interface thread keeps pumping while the worker waits.
    EXPECT_TRUE(pump_until(
        [&th] { return WaitForSingleObject(th.get(), 0) == WAIT_OBJECT_0; }, 8000));
    th.reset();
    BoxSeen seen = answer.wait();
    EXPECT_TRUE(seen.seen);
    EXPECT_EQ(seen.owner, main_hwnd);
    EXPECT_EQ(seen.thread, worker.thread);
    EXPECT_EQ(worker.result, IDCANCEL);

    PostMessageA(main_hwnd, WM_CLOSE, 0, 0);
    EXPECT_TRUE(pump_until([main_hwnd] { return !IsWindow(main_hwnd); }));
    // Destroying the main window cleared the pointer and asked the loop to end.
    EXPECT_EQ(app.m_pMainWnd, nullptr);
    MSG quit;
    EXPECT_TRUE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

}  // namespace
