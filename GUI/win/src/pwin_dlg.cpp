// The callback-driven dialog: construction and end, and the services other
// modules call by name (window class, message box, control helpers).
//
// Threads: the user-interface thread that owns the dialog, except
// pwin_msg_dlg, which any thread may call (it only reads the application's
// main-window pointer and shows a box on the calling thread).
#include "pwin_dlg.h"

#include <initializer_list>

#include "pwin_uty.h"
#include "pwin_win.h"

namespace {
constexpr unsigned long kStrBuf = 240;     // a loaded string resource
constexpr unsigned long kJoinBuf = 480;    // two joined texts
}  // namespace

cls_pwin_dlg::cls_pwin_dlg(SWIN_DLG_INFO info, unsigned short *result_id)
    : CDialog(info.dlg_id, nullptr) {
    type = 0;
    win_dlg_init(info);
    INT_PTR result = DoModal();
    *result_id = static_cast<unsigned short>(result & 0xFFFF);
}

cls_pwin_dlg::cls_pwin_dlg(SWIN_DLG_INFO info, int show) {
    type = 1;
    win_dlg_init(info);
    if (Create(info.dlg_id, nullptr) && show == 1) {
        ShowWindow(SW_SHOW);
        UpdateWindow();
    }
}

cls_pwin_dlg::~cls_pwin_dlg() { win_dlg_free(); }

void cls_pwin_dlg::pwin_dlg_init_dlg_info(SWIN_DLG_INFO *info, unsigned short dlg_id, void *obj,
                                          void *cb_dlg_init, void *cb_dlg_control,
                                          void *cb_dlg_quit) {
    info->dlg_id = dlg_id;
    info->obj = obj;
    info->cb_dlg_init = cb_dlg_init;
    info->cb_dlg_control = cb_dlg_control;
    info->cb_dlg_quit = cb_dlg_quit;
    info->cb_dlg_drop = nullptr;
    info->cur_fcs = 0;
    info->cur_sel = 0;
    info->bmp = 0;
    info->bmp_msk = 0;
    info->ctrl = nullptr;
}

int cls_pwin_dlg::pwin_dlg_reg_class(unsigned short class_id) {
    char name[kStrBuf] = {};
    if (CLS_pwin_uty::pwin_load_str_res(class_id, name, sizeof name) == 0 || name[0] == '\0')
        return 0;  // no class name: nothing to find and nothing to register
    HWND running = ::FindWindowA(name, nullptr);
    if (running != nullptr) {
        if (::IsWindowVisible(running)) {
            CWnd other(running);
            CLS_pwin_win::pwin_restore(&other);
        }
        return 0;
    }
    WNDCLASSA wc{};
    wc.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = &::DefDlgProcA;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = DLGWINDOWEXTRA;
    wc.hInstance = AfxGetInstanceHandle();
    wc.hIcon = nullptr;
    wc.hCursor = CLS_pwin_uty::pwin_load_cursor(1);
    wc.hbrBackground = nullptr;
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = name;
    return AfxRegisterClass(&wc) ? 1 : 0;
}

// Copies at most kStrBuf - 1 characters of text into buf.
static void copy_cut(char *buf, const char *text) {
    unsigned long i = 0;
    for (; i + 1 < kStrBuf && text[i] != '\0'; ++i) buf[i] = text[i];
    buf[i] = '\0';
}

unsigned short cls_pwin_dlg::pwin_msg_dlg(unsigned short title_id, const char *title,
                                          unsigned short msg_id, const char *msg,
                                          unsigned int type, CWnd *wnd) {
    char caption[kStrBuf] = {};
    char text[kStrBuf] = {};
    if (title != nullptr)
        copy_cut(caption, title);
    else
        CLS_pwin_uty::pwin_load_str_res(title_id, caption, sizeof caption);
    if (msg != nullptr)
        copy_cut(text, msg);
    else
        CLS_pwin_uty::pwin_load_str_res(msg_id, text, sizeof text);

    HWND owner = wnd != nullptr ? wnd->m_hWnd : ::GetActiveWindow();
    if (owner == nullptr) {
        CWnd *main = AfxGetMainWnd();
        if (main != nullptr) owner = main->m_hWnd;
    }
    if (owner != nullptr && !::IsWindow(owner)) owner = nullptr;
    return static_cast<unsigned short>(::MessageBoxA(owner, text, caption, type));
}

void cls_pwin_dlg::pwin_dlg_enable_item(unsigned short id, int enable) {
    ::EnableWindow(::GetDlgItem(m_hWnd, id), enable != 0);
}

void cls_pwin_dlg::pwin_dlg_set_text(unsigned short id, const char *str) {
    HWND item = ::GetDlgItem(m_hWnd, id);
    if (win_dlg_check_trans_text(id) == 1 && item != nullptr) {
        CRect r;
        ::GetWindowRect(item, &r);
        ScreenToClient(&r);
        InvalidateRect(&r, TRUE);
    }
    ::SetWindowTextA(item, str);
}

void cls_pwin_dlg::pwin_dlg_set_text(unsigned short id, const char *str1, const char *str2) {
    char joined[kJoinBuf] = {};
    unsigned long n = 0;
    for (const char *part : {str1, str2}) {
        if (part == nullptr) continue;
        // Cut rather than overrun the buffer when the caller's promise fails.
        for (; *part != '\0' && n + 1 < kJoinBuf; ++part) joined[n++] = *part;
    }
    joined[n] = '\0';
    pwin_dlg_set_text(id, joined);
}

void cls_pwin_dlg::pwin_dlg_set_text(unsigned short id, unsigned short text_id) {
    char text[kStrBuf] = {};
    CLS_pwin_uty::pwin_load_str_res(text_id, text, sizeof text);
    pwin_dlg_set_text(id, text);
}

unsigned long cls_pwin_dlg::pwin_dlg_get_list_cur(unsigned short id) {
    return static_cast<unsigned long>(::SendDlgItemMessageA(m_hWnd, id, CB_GETCURSEL, 0, 0));
}

void cls_pwin_dlg::pwin_dlg_get_list_text(unsigned short id, unsigned long index, char *str) {
    if (str == nullptr) return;
    str[0] = '\0';
    ::SendDlgItemMessageA(m_hWnd, id, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(str));
}
