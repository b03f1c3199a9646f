// The bitmap button: construction, hovering, clicks, focus, keys, cursors.
//
// Threads: the user-interface thread that owns the dialog; every handler
// runs inside the button's message handling.
#include "win_dbm.h"

#include "pwin_uty.h"

cls_win_dbm::cls_win_dbm(CDialog *owner, SWIN_DLG_CTRL *row) : dlg(owner), ctrl(*row) {
    const auto *data = static_cast<const SWIN_DLG_CTRL_BMPBUTTON *>(ctrl.context);
    if (data == nullptr) return;
    {
        CBitmap normal;
        BITMAP bm{};
        if (!normal.LoadBitmap(data->bmp_id) || normal.GetBitmap(&bm) == 0) return;
        width = bm.bmWidth;
        height = bm.bmHeight;
    }
    h_cur_fcs = CLS_pwin_uty::pwin_load_cursor(data->cur_fcs);
    h_cur_sel = CLS_pwin_uty::pwin_load_cursor(data->cur_sel);
    if (!SubclassDlgItem(ctrl.id, dlg)) {
        width = height = 0;  // no such control: never counts as hovered
        return;
    }
    SendMessage(BM_SETSTYLE, BS_OWNERDRAW, TRUE);
    LoadBitmaps(data->bmp_id, data->bmp_id + 1u, data->bmp_id + 2u, data->bmp_id + 3u);
    SizeToContent();
}

int cls_win_dbm::win_bmpbt_check_mouse(CPoint point) const {
    return point.x >= 0 && point.x < width && point.y >= 0 && point.y < height ? 1 : 0;
}

void cls_win_dbm::win_bmpbt_release_capture() {
    if (!is_caption()) return;
    if (old_focus != nullptr && ::IsWindow(old_focus)) {
        ::SetFocus(old_focus);
        if (old_type & DLGC_DEFPUSHBUTTON)
            ::SendMessageA(old_focus, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
        old_type = DLGC_BUTTON;
    }
    ::ReleaseCapture();
}

LRESULT cls_win_dbm::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_SETCURSOR:
        return OnSetCursor(CWnd::FromHandle(reinterpret_cast<HWND>(wp)), LOWORD(lp), HIWORD(lp));
    case WM_LBUTTONUP:
        OnLButtonUp(static_cast<UINT>(wp), CPoint(lp));
        return 0;
    case WM_MOUSEMOVE:
        OnMouseMove(static_cast<UINT>(wp), CPoint(lp));
        return 0;
    case WM_SETFOCUS:
        OnSetFocus(CWnd::FromHandle(reinterpret_cast<HWND>(wp)));
        return 0;
    case WM_KILLFOCUS:
        OnKillFocus(CWnd::FromHandle(reinterpret_cast<HWND>(wp)));
        return 0;
    default:
        return CBitmapButton::WindowProc(msg, wp, lp);
    }
}

BOOL cls_win_dbm::OnSetCursor(CWnd *wnd, UINT, UINT message) {
    if (wnd == nullptr || wnd->m_hWnd != m_hWnd) return FALSE;
    HCURSOR cursor = message == WM_LBUTTONDOWN ? h_cur_sel : h_cur_fcs;
    if (cursor == nullptr) return FALSE;
    ::SetCursor(cursor);
    return TRUE;
}

void cls_win_dbm::OnMouseMove(UINT flags, CPoint point) {
    if (::GetActiveWindow() == dlg->m_hWnd) {
        if (win_bmpbt_check_mouse(point)) {
            HWND focus = ::GetFocus();
            if (focus != nullptr && focus != dlg->m_hWnd && focus != m_hWnd) {
                const unsigned long code =
                    static_cast<unsigned long>(::SendMessageA(focus, WM_GETDLGCODE, 0, 0));
                if (is_caption()) {
                    old_type = code;
                    old_focus = focus;
                }
                if (code & DLGC_DEFPUSHBUTTON)
                    ::SendMessageA(focus, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
            }
            if (is_caption()) {
                if (flags & MK_LBUTTON) Default();  // pressed look while held
                if (bt_capture == 0) {
                    SetCapture();
                    bt_capture = 1;
                }
            }
            SetFocus();
        } else if (is_caption()) {
            if (flags & MK_LBUTTON)
                Default();  // released look while outside, pressed on return
            else
                win_bmpbt_release_capture();
        }
    }
    if (ctrl.type == 1) Default();
}

void cls_win_dbm::OnLButtonUp(UINT, CPoint point) {
    const bool over = win_bmpbt_check_mouse(point) == 1;
    switch (ctrl.type) {
    case 1:
        Default();  // the button still holds its press: BN_CLICKED now
        return;
    case 2:
        if (!over) break;
        // The click (and the dialog's command handling) comes first; the
        // posted close request after it.
        dlg->PostMessage(WM_CLOSE);
        Default();
        // The click released the capture. Should the dialog refuse to
        // close, the next move over the button hovers afresh, so leaving it
        // gives the focus back again.
        if (::GetCapture() != m_hWnd) bt_capture = 0;
        return;
    case 3:
        if (!over) break;
        win_bmpbt_release_capture();
        dlg->PostMessage(WM_SYSCOMMAND, bt_max_window == 0 ? SC_MAXIMIZE : SC_RESTORE, 0);
        bt_max_window = bt_max_window == 0 ? 1 : 0;
        Default();
        return;
    case 4:
        if (!over) break;
        win_bmpbt_release_capture();
        dlg->PostMessage(WM_SYSCOMMAND, SC_MINIMIZE, 0);
        Default();
        return;
    default:
        if (over) {
            Default();
            return;
        }
        break;
    }
    win_bmpbt_release_capture();  // released outside: no click
}

void cls_win_dbm::OnSetFocus(CWnd *) {
    // A caption button takes a keyboard focus silently unless hovered.
    if (ctrl.type == 1 || bt_capture == 1) Default();
}

void cls_win_dbm::OnKillFocus(CWnd *new_wnd) {
    if (is_caption()) {
        bt_capture = 0;
        if (bt_next_item == 1) {
            if (new_wnd != nullptr)
                new_wnd->PostMessage(WM_KEYUP, bt_w_param, bt_l_param);
            bt_next_item = 0;
        }
    }
    Default();
}

BOOL cls_win_dbm::PreTranslateMessage(MSG *msg) {
    if (msg->message == WM_KEYDOWN && msg->wParam == VK_RETURN) {
        // Enter clicks a push button at its top-left corner; caption
        // buttons ignore it.
        if (ctrl.type == 1) {
            PostMessage(WM_LBUTTONDOWN, MK_LBUTTON, 0);
            PostMessage(WM_LBUTTONUP, 0, 0);
        }
        return TRUE;
    }
    if (msg->message == WM_KEYUP && is_caption()) {
        switch (msg->wParam) {
        case VK_TAB:
        case VK_LEFT:
        case VK_UP:
        case VK_RIGHT:
        case VK_DOWN:
            // Issued again as a key-down: the dialog manager moves the
            // focus on, and the key-up follows the focus (OnKillFocus).
            PostMessage(WM_KEYDOWN, msg->wParam, msg->lParam);
            bt_next_item = 1;
            bt_w_param = static_cast<unsigned long>(msg->wParam);
            bt_l_param = static_cast<long>(msg->lParam);
            return TRUE;
        default:
            break;
        }
    }
    return CBitmapButton::PreTranslateMessage(msg);
}
