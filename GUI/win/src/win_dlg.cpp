// The callback-driven dialog's message handling: taking the description,
// dialog start and control table, commands and notifications, close
// requests, colours, painting, scrolling, cursors, hit test, dropped files.
//
// Threads: the user-interface thread that owns the dialog's window; every
// callback is called from here, inside the window's message handling.
#include "pwin_dlg.h"

#include <commctrl.h>

#include <new>

#include "pcom_dat.h"
#include "pwin_uty.h"
#include "pwin_win.h"
#include "win_dbm.h"

namespace {

// Notification codes of WM_COMMAND that count as commands.
constexpr WORD kCodeClicked = 0;      // BN_CLICKED
constexpr WORD kCodeDblClk = 5;       // BN_DOUBLECLICKED / CBN_EDITCHANGE
constexpr WORD kCodeSelEndOk = 9;     // CBN_SELENDOK
constexpr WORD kCodeEditChange = 0x300;  // EN_CHANGE

constexpr unsigned short kSystemCloseId = 8;

bool id_passes(unsigned short id) {
    return (id >= 1 && id <= 9) || id == 57670 || (id >= 3000 && id <= 3999);
}

}  // namespace

void cls_pwin_dlg::win_dlg_init(const SWIN_DLG_INFO &info) {
    wallpaper = nullptr;
    dlg_info = info;
    scroll_num = bmp_num = dbm_num = 0;
    scroll = nullptr;
    bmp = nullptr;
    dbm = nullptr;
    h_cur_fcs = CLS_pwin_uty::pwin_load_cursor(dlg_info.cur_fcs);
    h_cur_sel = CLS_pwin_uty::pwin_load_cursor(dlg_info.cur_sel);
    if (dlg_info.bmp != 0) {
        wallpaper = new (std::nothrow) CBitmap;
        if (wallpaper != nullptr && !wallpaper->LoadBitmap(dlg_info.bmp)) {
            delete wallpaper;
            wallpaper = nullptr;
        }
    }
}

// Everything the dialog owns; each pointer is cleared, so this runs safely
// more than once.
void cls_pwin_dlg::win_dlg_free() {
    delete wallpaper;
    wallpaper = nullptr;
    if (scroll != nullptr) ::LocalFree(scroll);
    scroll = nullptr;
    scroll_num = 0;
    for (unsigned long i = 0; i < bmp_num; ++i)
        if (bmp[i].h_bmp != nullptr) ::DeleteObject(bmp[i].h_bmp);
    if (bmp != nullptr) ::LocalFree(bmp);
    bmp = nullptr;
    bmp_num = 0;
    for (unsigned long i = 0; i < dbm_num; ++i) delete dbm[i];
    if (dbm != nullptr) ::LocalFree(dbm);
    dbm = nullptr;
    dbm_num = 0;
}

BOOL cls_pwin_dlg::OnInitDialog() {
    CDialog::OnInitDialog();
    if (wallpaper != nullptr) {
        if (dlg_info.bmp_msk != 0) {
            // Black is cut away; the mask also sizes the window.
            CLS_pwin_win::pwin_set_bmp_region(this, dlg_info.bmp_msk, 0);
        } else {
            BITMAP bm{};
            if (wallpaper->GetBitmap(&bm) != 0) {
                CRect r;
                GetWindowRect(&r);
                MoveWindow(r.left, r.top, bm.bmWidth, bm.bmHeight, TRUE);
            }
        }
        CenterWindow();
    }
    if (dlg_info.ctrl != nullptr) win_dlg_owner();
    if (dlg_info.cb_dlg_init != nullptr) {
        ++busy_;
        reinterpret_cast<PWIN_CB_DLG_INIT>(dlg_info.cb_dlg_init)(this, dlg_info.obj);
        win_dlg_call_done();
    }
    return TRUE;
}

// After a callback: a close request that came in meanwhile is asked now,
// through the queue like any other.
void cls_pwin_dlg::win_dlg_call_done() {
    if (--busy_ > 0 || !close_pending_) return;
    close_pending_ = false;
    PostMessage(WM_CLOSE);
}

void cls_pwin_dlg::win_dlg_owner() {
    for (SWIN_DLG_CTRL *row = dlg_info.ctrl; row->id != 0; ++row) {
        HWND target = row->id == dlg_info.dlg_id ? m_hWnd : ::GetDlgItem(m_hWnd, row->id);
        if (target == nullptr) continue;  // no such control: nothing to move
        RECT client{};
        ::GetClientRect(target, &client);
        int x = client.left;
        int y = client.top;
        int w = client.right - client.left + 1;
        int h = client.bottom - client.top + 1;
        if (row->x != 0) x = row->x;
        if (row->y != 0) y = row->y;
        if (row->width != 0) w = row->width;
        if (row->height != 0) h = row->height;
        ::MoveWindow(target, x, y, w, h, TRUE);
        if (row->type >= 1 && row->type <= 4) win_dlg_dbm(row);
    }
}

// A bitmap button for the row, owned through dbm; one that cannot be
// appended is deleted again and the control stays a plain button.
void cls_pwin_dlg::win_dlg_dbm(SWIN_DLG_CTRL *row) {
    CBitmapButton *button = new (std::nothrow) cls_win_dbm(this, row);
    if (button == nullptr) return;
    const unsigned long before = dbm_num;
    CLS_pcom_dat::pcom_dispose_allocate(reinterpret_cast<void **>(&dbm), &button, &dbm_num,
                                        sizeof button);
    if (dbm_num == before) delete button;
}

int cls_pwin_dlg::win_dlg_check_trans_text(unsigned short id) const {
    if (dlg_info.ctrl == nullptr) return 0;
    for (const SWIN_DLG_CTRL *row = dlg_info.ctrl; row->id != 0; ++row)
        if (row->id == id) return row->type == 5 ? 1 : 0;
    return 0;
}

BOOL cls_pwin_dlg::OnCommand(WPARAM wp, LPARAM) {
    const unsigned short id = LOWORD(wp);
    const WORD code = HIWORD(wp);
    switch (code) {
    case kCodeClicked:
    case kCodeDblClk:
    case kCodeEditChange:
        break;
    case kCodeSelEndOk: {
        // The selected item's text becomes the combo box's own text before
        // the callback sees the id.
        unsigned long cur = pwin_dlg_get_list_cur(id);
        if (cur != static_cast<unsigned long>(CB_ERR)) {
            LRESULT len = ::SendDlgItemMessageA(m_hWnd, id, CB_GETLBTEXTLEN, cur, 0);
            if (len != CB_ERR && len > 0) {
                char *text = static_cast<char *>(::LocalAlloc(LPTR, static_cast<SIZE_T>(len) + 1));
                if (text != nullptr) {
                    pwin_dlg_get_list_text(id, cur, text);
                    pwin_dlg_set_text(id, text);
                    ::LocalFree(text);
                }
            }
        }
        break;
    }
    default:
        return FALSE;
    }
    if (!id_passes(id)) return FALSE;
    item_id = id;
    if (dlg_info.cb_dlg_control == nullptr) return FALSE;
    ++busy_;
    unsigned char answer = reinterpret_cast<PWIN_CB_DLG_CONTROL>(dlg_info.cb_dlg_control)(
        this, dlg_info.obj, id);
    if (answer == kPwinDlgClose) close_pending_ = true;  // posted by win_dlg_call_done
    win_dlg_call_done();
    return TRUE;
}

BOOL cls_pwin_dlg::OnNotify(WPARAM, LPARAM lp, LRESULT *result) {
    const NMHDR *hdr = reinterpret_cast<const NMHDR *>(lp);
    if (hdr->code != static_cast<UINT>(TCN_SELCHANGE)) return FALSE;
    *result = OnCommand(MAKEWPARAM(static_cast<WORD>(hdr->idFrom), kCodeSelEndOk),
                        reinterpret_cast<LPARAM>(hdr->hwndFrom));
    return TRUE;
}

LRESULT cls_pwin_dlg::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC: {
        CDC dc;
        dc.Attach(reinterpret_cast<HDC>(wp));
        HBRUSH brush = OnCtlColor(&dc, CWnd::FromHandle(reinterpret_cast<HWND>(lp)),
                                  msg - WM_CTLCOLORMSGBOX);
        dc.Detach();
        if (brush != nullptr) return reinterpret_cast<LRESULT>(brush);
        // The framework's answer, child reflection included.
        return CDialog::WindowProc(msg, wp, lp);
    }
    case WM_PAINT:
        OnPaint();
        return 0;
    case WM_SYSCOMMAND:
        OnSysCommand(static_cast<UINT>(wp), lp);
        return 0;
    case WM_CLOSE:
        OnClose();  // may delete this: nothing after it
        return 0;
    case WM_HSCROLL:
        OnHScroll(LOWORD(wp), HIWORD(wp), CWnd::FromHandle(reinterpret_cast<HWND>(lp)));
        return 0;
    case WM_VSCROLL:
        OnVScroll(LOWORD(wp), HIWORD(wp), CWnd::FromHandle(reinterpret_cast<HWND>(lp)));
        return 0;
    case WM_SETCURSOR:
        return OnSetCursor(CWnd::FromHandle(reinterpret_cast<HWND>(wp)), LOWORD(lp), HIWORD(lp));
    case WM_NCHITTEST:
        return OnNcHitTest(CPoint(lp));
    case WM_DROPFILES:
        OnDropFiles(reinterpret_cast<HDROP>(wp));
        return 0;
    default:
        return CDialog::WindowProc(msg, wp, lp);
    }
}

HBRUSH cls_pwin_dlg::OnCtlColor(CDC *dc, CWnd *wnd, UINT) {
    if (wnd != nullptr && wnd->m_hWnd != m_hWnd &&
        win_dlg_check_trans_text(static_cast<unsigned short>(wnd->GetDlgCtrlID())) == 1) {
        dc->SetBkMode(TRANSPARENT);
        return static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH));
    }
    return nullptr;  // the framework's default answer
}

void cls_pwin_dlg::OnPaint() {
    if (wallpaper == nullptr) {
        Default();
        return;
    }
    CPaintDC dc(this);
    CLS_pwin_win::pwin_bmp_paint(&dc, wallpaper);
}

void cls_pwin_dlg::OnSysCommand(UINT id, LPARAM) {
    if ((id & 0xFFF0) == SC_CLOSE) item_id = kSystemCloseId;
    Default();  // SC_CLOSE sends WM_CLOSE, which asks cb_dlg_quit
}

void cls_pwin_dlg::OnClose() {
    if (busy_ > 0) {
        close_pending_ = true;  // asked when the running callback returns
        return;
    }
    unsigned char answer = kPwinDlgClose;
    if (dlg_info.cb_dlg_quit != nullptr) {
        ++busy_;
        answer = reinterpret_cast<PWIN_CB_DLG_QUIT>(dlg_info.cb_dlg_quit)(this, dlg_info.obj,
                                                                          item_id);
        --busy_;
        // Requests that came in while it decided are this one again.
        close_pending_ = false;
    }
    if (answer != kPwinDlgClose) return;
    if (type == 0) {
        EndDialog(item_id);
    } else {
        DestroyWindow();
        delete this;
    }
}

void cls_pwin_dlg::OnHScroll(UINT code, UINT pos, CWnd *bar) { win_dlg_scroll(code, pos, bar); }

void cls_pwin_dlg::OnVScroll(UINT code, UINT pos, CWnd *bar) { win_dlg_scroll(code, pos, bar); }

void cls_pwin_dlg::win_dlg_scroll(UINT code, UINT pos, CWnd *bar) {
    if (bar == nullptr) return;  // the window's own scroll bars
    const unsigned short id = static_cast<unsigned short>(bar->GetDlgCtrlID());
    const SWIN_DLG_SCROLL *row = nullptr;
    for (unsigned long i = 0; i < scroll_num; ++i)
        if (scroll[i].item_id == id) row = &scroll[i];
    if (row == nullptr) return;
    const unsigned int at = static_cast<unsigned int>(::GetScrollPos(bar->m_hWnd, SB_CTL));
    unsigned int next = at;
    bool report = false;
    switch (code) {
    case SB_LINEUP:
        if (at > 0) next = at - 1;
        break;
    case SB_LINEDOWN:
        if (at < row->range) next = at + 1;
        break;
    case SB_PAGEUP:
        next = at < row->page ? 0 : at - row->page;
        break;
    case SB_PAGEDOWN:
        next = (row->range < at || row->range - at < row->page) ? row->range : at + row->page;
        break;
    case SB_THUMBPOSITION:
        next = pos;
        break;
    case SB_THUMBTRACK:
        next = pos;
        report = row->move == 1;
        break;
    case SB_ENDSCROLL:
        report = true;
        break;
    default:
        break;
    }
    ::SetScrollPos(bar->m_hWnd, SB_CTL, static_cast<int>(next), TRUE);
    if (report) OnCommand(MAKEWPARAM(id, kCodeClicked), reinterpret_cast<LPARAM>(bar->m_hWnd));
}

BOOL cls_pwin_dlg::OnSetCursor(CWnd *wnd, UINT hit_test, UINT message) {
    if (wnd == nullptr || wnd->m_hWnd != m_hWnd) return FALSE;
    HCURSOR cursor =
        (hit_test == HTCAPTION && message == WM_LBUTTONDOWN) ? h_cur_sel : h_cur_fcs;
    if (cursor == nullptr) return FALSE;
    ::SetCursor(cursor);
    return TRUE;
}

LRESULT cls_pwin_dlg::OnNcHitTest(CPoint) {
    LRESULT hit = Default();
    if (wallpaper != nullptr && hit == HTCLIENT) return HTCAPTION;
    return hit;
}

void cls_pwin_dlg::OnDropFiles(HDROP drop) {
    if (dlg_info.cb_dlg_drop != nullptr)
        reinterpret_cast<PWIN_CB_DLG_DROP>(dlg_info.cb_dlg_drop)(this, dlg_info.obj, drop);
    ::DragFinish(drop);
}
