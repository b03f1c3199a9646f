// Dialogs from templates: modeless creation, the modal run with the
// framework's own modal loop, and the dialog manager's keyboard handling.
//
// Threads: the user-interface thread (the one that creates the dialog).
// The modal loop is a nested message loop on that thread.
#include <afxwin.h>
#include <commctrl.h>

#include "afx_internal.h"

void afx_internal::init_common_controls() {
    static bool done = false;
    if (done) return;
    // Only classes every comctl32 version knows: an unknown flag may fail
    // the whole call on an old one.
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_WIN95_CLASSES};
    done = ::InitCommonControlsEx(&icc) != FALSE;
    if (!done) ::InitCommonControls();
}

// Dialog procedure of every framework dialog: at WM_INITDIALOG (lParam is
// the CDialog) the dialog becomes the window's permanent object, whose
// WindowProc sees every later message first; DefDlgProc then calls back
// here only for default processing, which has nothing more to add.
INT_PTR CALLBACK AfxDlgProc(HWND hwnd, UINT msg, WPARAM, LPARAM lp) {
    if (msg != WM_INITDIALOG) return FALSE;
    CDialog *dlg = reinterpret_cast<CDialog *>(lp);
    if (dlg == nullptr || !dlg->SubclassWindow(hwnd)) return TRUE;
    return dlg->OnInitDialog();
}

CDialog::CDialog(UINT template_id, CWnd *parent) : template_id_(template_id), parent_(parent) {}

// The owner of a dialog without an explicit parent: the application's main
// window; for a modal run rather the popup of it that was active last (or
// the active window when there is no main window), so that a dialog opened
// from a dialog stays above it.
HWND CDialog::PrepareOwner(CWnd *parent, bool modal) const {
    HWND owner = parent != nullptr ? parent->m_hWnd : nullptr;
    if (owner == nullptr) {
        CWnd *main = AfxGetMainWnd();
        owner = main != nullptr ? main->m_hWnd : nullptr;
        if (modal) {
            if (owner == nullptr) owner = ::GetActiveWindow();
            // A hidden or disabled popup (a dialog that stepped aside for
            // this one) makes no owner to come back to.
            HWND popup = owner != nullptr ? ::GetLastActivePopup(owner) : nullptr;
            if (popup != nullptr && ::IsWindowVisible(popup) && ::IsWindowEnabled(popup))
                owner = popup;
        }
    }
    // A popup cannot be owned by a child window.
    while (owner != nullptr && (::GetWindowLongPtrA(owner, GWL_STYLE) & WS_CHILD))
        owner = ::GetParent(owner);
    if (owner != nullptr && ::GetWindowThreadProcessId(owner, nullptr) != ::GetCurrentThreadId())
        owner = nullptr;
    return owner;
}

BOOL CDialog::Create(UINT template_id, CWnd *parent) {
    if (m_hWnd != nullptr) return FALSE;
    afx_internal::init_common_controls();
    template_id_ = template_id;
    parent_ = parent;
    HWND hwnd = ::CreateDialogParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(template_id),
                                     PrepareOwner(parent, false), &AfxDlgProc,
                                     reinterpret_cast<LPARAM>(this));
    return hwnd != nullptr && m_hWnd == hwnd;
}

INT_PTR CDialog::DoModal() {
    if (m_hWnd != nullptr) return -1;
    afx_internal::init_common_controls();
    HWND owner = PrepareOwner(parent_, true);
    bool disabled_owner = false;
    if (owner != nullptr && ::IsWindowEnabled(owner)) {
        ::EnableWindow(owner, FALSE);
        disabled_owner = true;
    }
    in_modal_ = true;
    end_modal_ = false;
    modal_result_ = -1;
    HWND hwnd = ::CreateDialogParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(template_id_), owner,
                                     &AfxDlgProc, reinterpret_cast<LPARAM>(this));
    if (hwnd != nullptr && m_hWnd == hwnd) {
        if (!end_modal_) ::ShowWindow(hwnd, SW_SHOWNORMAL);
        MSG msg;
        // Also ends when the window disappears some other way, so that a
        // destroyed dialog can never leave the caller waiting.
        while (!end_modal_ && m_hWnd != nullptr) {
            BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
            if (got == 0) {
                ::PostQuitMessage(static_cast<int>(msg.wParam));
                break;
            }
            if (got < 0) break;
            if (!CWnd::WalkPreTranslateTree(&msg)) {
                ::TranslateMessage(&msg);
                ::DispatchMessageA(&msg);
            }
        }
    }
    // The owner comes back before this window goes, so activation returns
    // to it rather than to another program.
    if (disabled_owner) ::EnableWindow(owner, TRUE);
    if (m_hWnd != nullptr) {
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0,
                       SWP_HIDEWINDOW | SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        if (owner != nullptr && ::GetActiveWindow() == nullptr) ::SetActiveWindow(owner);
        DestroyWindow();
    } else if (hwnd != nullptr && ::IsWindow(hwnd)) {
        ::DestroyWindow(hwnd);  // created but never attached
    }
    in_modal_ = false;
    return modal_result_;
}

void CDialog::EndDialog(int result) {
    modal_result_ = result;
    if (in_modal_) {
        end_modal_ = true;
        ::PostMessageA(m_hWnd, WM_NULL, 0, 0);  // wake the modal loop
    } else if (m_hWnd != nullptr) {
        ::ShowWindow(m_hWnd, SW_HIDE);
    }
}

BOOL CDialog::PreTranslateMessage(MSG *msg) {
    if (msg->message < WM_KEYFIRST || msg->message > WM_KEYLAST) return FALSE;
    if (msg->hwnd != m_hWnd && !::IsChild(m_hWnd, msg->hwnd)) return FALSE;
    return ::IsDialogMessageA(m_hWnd, msg);
}

BOOL CDialog::OnInitDialog() { return TRUE; }

BOOL CDialog::OnCommand(WPARAM wp, LPARAM) {
    if (HIWORD(wp) != BN_CLICKED) return FALSE;
    switch (LOWORD(wp)) {
    case IDOK:
        OnOK();
        return TRUE;
    case IDCANCEL:
        OnCancel();
        return TRUE;
    default:
        return FALSE;
    }
}
