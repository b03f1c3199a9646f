// The callback protocol of the dialog: which commands reach cb_dlg_control,
// keys through the dialog manager, close requests and the modal result.
#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include <commctrl.h>

#include "dlg_harness.h"
#include "dlg_test_res.h"
#include "pwin_dlg.h"

namespace {

using Ids = std::vector<unsigned short>;

void send_command(cls_pwin_dlg *dlg, unsigned short id, WORD code) {
    SendMessageA(dlg->m_hWnd, WM_COMMAND, MAKEWPARAM(id, code), 0);
}

// The dialog must be the foreground window for real key input.
void bring_to_front(cls_pwin_dlg *dlg) {
    SetForegroundWindow(dlg->m_hWnd);
    EXPECT_EQ(GetForegroundWindow(), dlg->m_hWnd);
}

TEST(DlgKeys, EnterAndEscapeReachControlAsOneAndTwo) {
    DlgRecord rec;
    rec.control = [](cls_pwin_dlg *, unsigned short id) -> unsigned char {
        return id == IDC_IN_3000 ? 2 : 1;
    };
    rec.steps = {
        bring_to_front,
        [](cls_pwin_dlg *) { press_key(VK_RETURN); },
        [](cls_pwin_dlg *) { press_key(VK_ESCAPE); },
        // Both answered 1: still open, nothing asked to close.
        [](cls_pwin_dlg *dlg) {
            EXPECT_TRUE(IsWindowVisible(dlg->m_hWnd));
            PostMessageA(dlg->m_hWnd, WM_COMMAND, IDC_IN_3000, 0);
        },
    };
    unsigned short result = run_modal(IDD_PLAIN, &rec);
    EXPECT_EQ(rec.controls, (Ids{1, 2, IDC_IN_3000}));
    EXPECT_EQ(rec.quits, (Ids{IDC_IN_3000}));
    EXPECT_EQ(result, IDC_IN_3000);
    EXPECT_EQ(rec.inits, 1);
}

TEST(DlgKeys, EscapeClosesOnlyWhenBothCallbacksAgree) {
    DlgRecord rec;
    int refusals = 1;
    rec.control = [](cls_pwin_dlg *, unsigned short id) -> unsigned char {
        return id == 2 ? 2 : 1;
    };
    rec.quit = [&refusals](cls_pwin_dlg *, unsigned short) -> unsigned char {
        return refusals-- > 0 ? 1 : 2;
    };
    rec.steps = {
        bring_to_front,
        [](cls_pwin_dlg *) { press_key(VK_ESCAPE); },
        [](cls_pwin_dlg *dlg) { EXPECT_TRUE(IsWindowVisible(dlg->m_hWnd)); },
        [](cls_pwin_dlg *) { press_key(VK_ESCAPE); },
    };
    unsigned short result = run_modal(IDD_PLAIN, &rec);
    EXPECT_EQ(rec.controls, (Ids{2, 2}));
    EXPECT_EQ(rec.quits, (Ids{2, 2}));
    // The modal constructor stores the id that ended the dialog.
    EXPECT_EQ(result, 2);
}

TEST(DlgKeys, AltF4AsksQuitWithEightAndARefusalKeepsTheDialog) {
    DlgRecord rec;
    bool allow = false;
    rec.quit = [&allow](cls_pwin_dlg *, unsigned short) -> unsigned char { return allow ? 2 : 1; };
    rec.steps = {
        bring_to_front,
        // A command first, so that 8 must come from the system close.
        [](cls_pwin_dlg *dlg) { send_command(dlg, IDC_IN_3000, BN_CLICKED); },
        [](cls_pwin_dlg *) { press_key(VK_F4, true); },
        [&allow](cls_pwin_dlg *dlg) {
            EXPECT_TRUE(IsWindowVisible(dlg->m_hWnd));
            EXPECT_EQ(dlg->item_id, 8);
            allow = true;
            bring_to_front(dlg);
        },
        [](cls_pwin_dlg *) { press_key(VK_F4, true); },
    };
    unsigned short result = run_modal(IDD_PLAIN, &rec);
    EXPECT_EQ(rec.controls, (Ids{IDC_IN_3000}));  // Alt+F4 is no command
    EXPECT_EQ(rec.quits, (Ids{8, 8}));
    EXPECT_EQ(result, 8);
}

TEST(DlgKeys, CloseBoxCommandWithLowBitsSetIsASystemClose) {
    DlgRecord rec;
    rec.steps = {[](cls_pwin_dlg *dlg) {
        // The low four bits of a system command are the platform's own.
        PostMessageA(dlg->m_hWnd, WM_SYSCOMMAND, SC_CLOSE | 0x2, 0);
    }};
    EXPECT_EQ(run_modal(IDD_PLAIN, &rec), 8);
    EXPECT_EQ(rec.quits, (Ids{8}));
}

TEST(DlgCommands, OnlyIdsInTheAcceptedRangesReachTheCallback) {
    DlgRecord rec;
    rec.steps = {
        [](cls_pwin_dlg *dlg) {
            for (unsigned short id : {10, 2999, 4000, 57669, 0, 65535})
                send_command(dlg, id, BN_CLICKED);
            for (unsigned short id : {9, 3000, 3999, 57670, 1, 8})
                send_command(dlg, id, BN_CLICKED);
            PostMessageA(dlg->m_hWnd, WM_CLOSE, 0, 0);
        },
    };
    unsigned short result = run_modal(IDD_COMMANDS, &rec);
    EXPECT_EQ(rec.controls, (Ids{9, 3000, 3999, 57670, 1, 8}));
    // item_id follows the accepted commands only.
    EXPECT_EQ(rec.quits, (Ids{8}));
    EXPECT_EQ(result, 8);
}

TEST(DlgCommands, OnlyClickEditAndSelectionCodesCount) {
    DlgRecord rec;
    rec.steps = {
        [](cls_pwin_dlg *dlg) {
            send_command(dlg, IDC_IN_3000, 1);      // accelerator
            send_command(dlg, IDC_IN_3000, 0x100);  // edit got focus
            send_command(dlg, IDC_IN_3000, 0x400);  // edit updated
            send_command(dlg, IDC_IN_3000, 0);
            send_command(dlg, IDC_IN_3999, 5);
            send_command(dlg, 3001, 0x300);
            send_command(dlg, 3002, 9);  // no such combo box: no text to copy
            PostMessageA(dlg->m_hWnd, WM_CLOSE, 0, 0);
        },
    };
    run_modal(IDD_COMMANDS, &rec);
    EXPECT_EQ(rec.controls, (Ids{3000, 3999, 3001, 3002}));
}

TEST(DlgCommands, RealButtonClickAndTypingInAnEdit) {
    DlgRecord rec;
    rec.steps = {
        [](cls_pwin_dlg *dlg) {
            SendDlgItemMessageA(dlg->m_hWnd, IDC_IN_3999, BM_CLICK, 0, 0);
            SendDlgItemMessageA(dlg->m_hWnd, IDC_OUT_4000, BM_CLICK, 0, 0);
            SetDlgItemTextA(dlg->m_hWnd, IDC_EDIT, "typed");  // EN_CHANGE
            PostMessageA(dlg->m_hWnd, WM_CLOSE, 0, 0);
        },
    };
    run_modal(IDD_COMMANDS, &rec);
    EXPECT_EQ(rec.controls, (Ids{3999, IDC_EDIT}));
}

TEST(DlgCommands, ControlAnsweringTwoPostsACloseThatQuitSeesWithTheId) {
    DlgRecord rec;
    rec.control = [](cls_pwin_dlg *dlg, unsigned short) -> unsigned char {
        // The close is posted, not run inside the callback.
        EXPECT_TRUE(IsWindow(dlg->m_hWnd));
        return 2;
    };
    rec.steps = {[](cls_pwin_dlg *dlg) { send_command(dlg, 57670, 0); }};
    EXPECT_EQ(run_modal(IDD_COMMANDS, &rec), 57670);
    EXPECT_EQ(rec.quits, (Ids{57670}));
}

TEST(DlgClose, QuitAnsweringOneKeepsTheDialogOpenEveryTime) {
    DlgRecord rec;
    int asked = 0;
    rec.quit = [&asked](cls_pwin_dlg *, unsigned short) -> unsigned char {
        return ++asked < 3 ? 1 : 2;
    };
    auto close_and_check = [](cls_pwin_dlg *dlg) {
        EXPECT_TRUE(IsWindowVisible(dlg->m_hWnd));
        PostMessageA(dlg->m_hWnd, WM_CLOSE, 0, 0);
    };
    rec.steps = {[](cls_pwin_dlg *dlg) { send_command(dlg, 3, 0); }, close_and_check,
                 close_and_check, close_and_check};
    EXPECT_EQ(run_modal(IDD_PLAIN, &rec), 3);
    EXPECT_EQ(rec.quits, (Ids{3, 3, 3}));
}

TEST(DlgClose, WithoutQuitCallbackEveryCloseRequestCloses) {
    DlgRecord rec;
    rec.steps = {[](cls_pwin_dlg *dlg) {
        send_command(dlg, 1, 0);
        PostMessageA(dlg->m_hWnd, WM_CLOSE, 0, 0);
    }};
    EXPECT_EQ(run_modal(IDD_PLAIN, &rec, false), 1);
    EXPECT_TRUE(rec.quits.empty());
}

TEST(DlgClose, WithoutControlCallbackCommandsStillSetTheId) {
    DlgRecord rec;
    SWIN_DLG_INFO info = describe(IDD_PLAIN, &rec);
    info.cb_dlg_control = nullptr;
    rec.steps = {[](cls_pwin_dlg *dlg) {
        send_command(dlg, 2, 0);
        PostMessageA(dlg->m_hWnd, WM_CLOSE, 0, 0);
    }};
    unsigned short result = 0;
    cls_pwin_dlg dlg(info, &result);
    EXPECT_EQ(result, 2);
    EXPECT_EQ(rec.quits, (Ids{2}));
    EXPECT_TRUE(rec.controls.empty());
}

TEST(DlgClose, AllCallbacksNullIsSafe) {
    SWIN_DLG_INFO info;
    cls_pwin_dlg::pwin_dlg_init_dlg_info(&info, IDD_PLAIN, nullptr, nullptr, nullptr, nullptr);
    // Nothing can script this dialog from inside: close it from a timer.
    struct Closer {
        static void CALLBACK tick(HWND, UINT, UINT_PTR id, DWORD) {
            KillTimer(nullptr, id);
            HWND dlg = FindWindowA("#32770", "Plain");
            if (dlg != nullptr) {
                SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDC_IN_3000, 0), 0);
                PostMessageA(dlg, WM_CLOSE, 0, 0);
            }
        }
    };
    SetTimer(nullptr, 0, 50, &Closer::tick);
    unsigned short result = 0;
    cls_pwin_dlg dlg(info, &result);
    EXPECT_EQ(result, IDC_IN_3000);
}

// A close request that arrives through a nested loop inside a callback
// (a modal dialog of a command) waits until that callback has returned, so a
// modeless dialog and its owner are never freed under it.
TEST(DlgClose, ACloseDuringACallbackIsAskedAfterItReturns) {
    DlgRecord rec;
    bool in_control = false;
    bool quit_inside = false;
    HWND outer = nullptr;
    rec.control = [&](cls_pwin_dlg *, unsigned short id) -> unsigned char {
        if (id != IDC_IN_3000) return 1;
        in_control = true;
        DlgRecord nested;
        nested.steps = {
            [&outer](cls_pwin_dlg *) { PostMessageA(outer, WM_CLOSE, 0, 0); },
            [&outer](cls_pwin_dlg *) { SendMessageA(outer, WM_CLOSE, 0, 0); },
            [](cls_pwin_dlg *dlg) { PostMessageA(dlg->m_hWnd, WM_CLOSE, 0, 0); },
        };
        run_modal(IDD_PLAIN, &nested);
        EXPECT_TRUE(IsWindow(outer));
        in_control = false;
        return 1;
    };
    rec.quit = [&](cls_pwin_dlg *, unsigned short) -> unsigned char {
        quit_inside = quit_inside || in_control;
        return 2;
    };
    auto *dlg = new cls_pwin_dlg(describe(IDD_PLAIN, &rec), 1);
    outer = dlg->m_hWnd;
    ASSERT_NE(outer, nullptr);
    PostMessageA(outer, WM_COMMAND, IDC_IN_3000, 0);
    EXPECT_TRUE(pump_until([outer] { return !IsWindow(outer); }));
    EXPECT_FALSE(quit_inside);
    // Both requests that came in meanwhile make one.
    EXPECT_EQ(rec.quits, (Ids{IDC_IN_3000}));
}

TEST(DlgModal, MissingTemplateStoresFailureWithoutCallbacks) {
    DlgRecord rec;
    unsigned short result = 0;
    cls_pwin_dlg dlg(describe(9999, &rec), &result);
    EXPECT_EQ(result, 0xFFFF);
    EXPECT_EQ(rec.inits, 0);
    EXPECT_TRUE(rec.controls.empty());
    EXPECT_TRUE(rec.quits.empty());
}

TEST(DlgModal, NestedModalDialogRunsAndReturnsToItsOwner) {
    DlgRecord outer;
    DlgRecord inner;
    unsigned short inner_result = 0;
    HWND inner_owner = nullptr;
    inner.steps = {[&inner_owner](cls_pwin_dlg *dlg) {
                       inner_owner = GetWindow(dlg->m_hWnd, GW_OWNER);
                       send_command(dlg, 2, 0);
                       PostMessageA(dlg->m_hWnd, WM_CLOSE, 0, 0);
                   }};
    outer.steps = {
        [&](cls_pwin_dlg *dlg) {
            cls_pwin_dlg nested(describe(IDD_COMMANDS, &inner), &inner_result);
            // The owner was disabled while the nested dialog ran.
            EXPECT_EQ(inner_owner, dlg->m_hWnd);
            EXPECT_TRUE(IsWindowEnabled(dlg->m_hWnd));
        },
        [](cls_pwin_dlg *dlg) { PostMessageA(dlg->m_hWnd, WM_CLOSE, 0, 0); },
    };
    run_modal(IDD_PLAIN, &outer);
    EXPECT_EQ(inner_result, 2);
    EXPECT_FALSE(inner.timed_out);
}

TEST(DlgNotify, TabSelectionChangeArrivesAsItsSendersId) {
    DlgRecord rec;
    rec.steps = {[](cls_pwin_dlg *dlg) {
        NMHDR hdr{};
        hdr.hwndFrom = GetDlgItem(dlg->m_hWnd, IDC_TEXT);
        hdr.idFrom = 3333;
        hdr.code = static_cast<UINT>(TCN_SELCHANGE);
        EXPECT_EQ(SendMessageA(dlg->m_hWnd, WM_NOTIFY, hdr.idFrom, reinterpret_cast<LPARAM>(&hdr)),
                  TRUE);
        hdr.idFrom = 4444;  // out of range: dropped, answered FALSE
        EXPECT_EQ(SendMessageA(dlg->m_hWnd, WM_NOTIFY, hdr.idFrom, reinterpret_cast<LPARAM>(&hdr)),
                  FALSE);
        hdr.idFrom = 3334;
        hdr.code = static_cast<UINT>(NM_CLICK);
        SendMessageA(dlg->m_hWnd, WM_NOTIFY, hdr.idFrom, reinterpret_cast<LPARAM>(&hdr));
        PostMessageA(dlg->m_hWnd, WM_CLOSE, 0, 0);
    }};
    run_modal(IDD_COMMANDS, &rec);
    EXPECT_EQ(rec.controls, (Ids{3333}));
}

}  // namespace
