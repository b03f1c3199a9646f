#include "dlg_harness.h"

#include <gtest/gtest.h>

namespace {

const char kRecordProp[] = "test.dlg.record";
constexpr UINT_PTR kScriptTimer = 0x5151;
constexpr int kGiveUpTicks = 120;  // about 3 s without closing

unsigned char cb_control(cls_pwin_dlg *dlg, void *obj, unsigned short id) {
    auto *rec = static_cast<DlgRecord *>(obj);
    rec->controls.push_back(id);
    return rec->control ? rec->control(dlg, id) : kPwinDlgStay;
}

unsigned char cb_quit(cls_pwin_dlg *dlg, void *obj, unsigned short id) {
    auto *rec = static_cast<DlgRecord *>(obj);
    rec->quits.push_back(id);
    return rec->quit ? rec->quit(dlg, id) : kPwinDlgClose;
}

void CALLBACK script_tick(HWND hwnd, UINT, UINT_PTR, DWORD) {
    auto *rec = static_cast<DlgRecord *>(GetPropA(hwnd, kRecordProp));
    if (rec == nullptr) return;
    if (rec->next_step < rec->steps.size()) {
        rec->steps[rec->next_step++](rec->dlg);
        return;
    }
    if (++rec->idle_ticks < kGiveUpTicks) return;
    rec->timed_out = true;
    KillTimer(hwnd, kScriptTimer);
    RemovePropA(hwnd, kRecordProp);
    if (rec->dlg->type == 0)
        rec->dlg->EndDialog(0xBEEF);
    else
        DestroyWindow(hwnd);
}

void cb_init(cls_pwin_dlg *dlg, void *obj) {
    auto *rec = static_cast<DlgRecord *>(obj);
    ++rec->inits;
    rec->dlg = dlg;
    if (rec->init) rec->init(dlg);
    if (!rec->steps.empty()) {
        SetPropA(dlg->m_hWnd, kRecordProp, rec);
        SetTimer(dlg->m_hWnd, kScriptTimer, 25, &script_tick);
    }
}

bool is_message_box(HWND hwnd) {
    char cls[16] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    return lstrcmpA(cls, "#32770") == 0 && GetDlgItem(hwnd, 0xFFFF) != nullptr &&
           IsWindowVisible(hwnd);
}

BOOL CALLBACK find_box(HWND hwnd, LPARAM out) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == GetCurrentProcessId() && is_message_box(hwnd)) {
        *reinterpret_cast<HWND *>(out) = hwnd;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

SWIN_DLG_INFO describe(unsigned short dlg_id, DlgRecord *rec, bool with_quit) {
    SWIN_DLG_INFO info;
    cls_pwin_dlg::pwin_dlg_init_dlg_info(&info, dlg_id, rec, reinterpret_cast<void *>(&cb_init),
                                         reinterpret_cast<void *>(&cb_control),
                                         with_quit ? reinterpret_cast<void *>(&cb_quit) : nullptr);
    return info;
}

unsigned short run_modal(unsigned short dlg_id, DlgRecord *rec, bool with_quit) {
    unsigned short result = 0x1234;
    cls_pwin_dlg dlg(describe(dlg_id, rec, with_quit), &result);
    EXPECT_FALSE(rec->timed_out) << "dialog " << dlg_id << " did not close by itself";
    return result;
}

void press_key(WORD vk, bool alt) {
    INPUT in[4] = {};
    int n = 0;
    auto key = [&](WORD code, bool up) {
        in[n].type = INPUT_KEYBOARD;
        in[n].ki.wVk = code;
        in[n].ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
        ++n;
    };
    if (alt) key(VK_MENU, false);
    key(vk, false);
    key(vk, true);
    if (alt) key(VK_MENU, true);
    SendInput(static_cast<UINT>(n), in, sizeof(INPUT));
}

LRESULT send_set_cursor(HWND wnd, HWND over, WORD hit, UINT mouse) {
    SetCursor(nullptr);
    return SendMessageA(wnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(over), MAKELPARAM(hit, mouse));
}

bool pump_until(const std::function<bool()> &done, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    while (!done()) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));
                return done();
            }
            if (!CWnd::WalkPreTranslateTree(&msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
        if (done()) break;
        if (GetTickCount() - start > timeout_ms) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

BoxAnswerer::BoxAnswerer(int answer) : answer_(answer) {
    done_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    thread_.reset(CreateThread(nullptr, 0, &BoxAnswerer::run, this, 0, nullptr));
    EXPECT_TRUE(done_.ok() && thread_.ok()) << "the message-box answerer did not start";
}

BoxAnswerer::~BoxAnswerer() {
    if (thread_.ok()) WaitForSingleObject(thread_.get(), 10000);
}

DWORD WINAPI BoxAnswerer::run(void *self) {
    auto *me = static_cast<BoxAnswerer *>(self);
    for (int i = 0; i < 500; ++i) {
        HWND box = nullptr;
        EnumWindows(&find_box, reinterpret_cast<LPARAM>(&box));
        if (box != nullptr) {
            char buf[1024] = {};
            GetWindowTextA(box, buf, sizeof buf);
            me->seen_.caption = buf;
            GetDlgItemTextA(box, 0xFFFF, buf, sizeof buf);
            me->seen_.text = buf;
            me->seen_.owner = GetWindow(box, GW_OWNER);
            me->seen_.thread = GetWindowThreadProcessId(box, nullptr);
            me->seen_.seen = true;
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(me->answer_, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(box, me->answer_)));
            break;
        }
        Sleep(10);
    }
    SetEvent(me->done_.get());
    return 0;
}

BoxSeen BoxAnswerer::wait(DWORD timeout_ms) {
    WaitForSingleObject(done_.get(), timeout_ms);
    return seen_;
}
