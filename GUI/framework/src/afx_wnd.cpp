// Window objects: the handle-to-object link, the window procedure that
// routes messages to WindowProc, default processing and pre-translation.
//
// Threads: a window's messages run on the thread that owns it. The link
// from a window to its permanent object is a window property, readable from
// any thread; the plain holders of FromHandle and the message being handled
// now (for Default) are per thread.
#include "afxwin.h"

#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "afx_internal.h"

namespace {

const char kObjectProp[] = "qvm.fw.CWnd";

// The message each thread is handling now, so that Default() can hand it
// to the window's own procedure. Nested dispatches save and restore it.
thread_local MSG t_current_msg{};

// The window object whose window CreateEx is creating on this thread: it
// becomes the permanent object at the window's first message.
thread_local CWnd *t_creating = nullptr;

// Plain holders handed out by FromHandle on this thread; an entry lives as
// long as its window, and dead ones are dropped whenever one is added.
using HolderMap = std::map<HWND, std::unique_ptr<CWnd>>;
HolderMap &holders() {
    thread_local HolderMap map;
    return map;
}

bool is_ctlcolor(UINT msg) { return msg >= WM_CTLCOLORMSGBOX && msg <= WM_CTLCOLORSTATIC; }

}  // namespace

LRESULT CALLBACK AfxWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    CWnd *wnd = CWnd::FromHandlePermanent(hwnd);
    if (wnd == nullptr && t_creating != nullptr) {
        wnd = t_creating;
        t_creating = nullptr;
        wnd->AttachCreated(hwnd);
    }
    if (wnd == nullptr) return ::DefWindowProcA(hwnd, msg, wp, lp);
    const MSG saved = t_current_msg;
    t_current_msg.hwnd = hwnd;
    t_current_msg.message = msg;
    t_current_msg.wParam = wp;
    t_current_msg.lParam = lp;
    // `wnd` may delete itself while handling the message: not touched after.
    LRESULT result = wnd->WindowProc(msg, wp, lp);
    t_current_msg = saved;
    return result;
}

CWnd::~CWnd() {
    if (permanent_ && m_hWnd != nullptr) {
        if (::IsWindow(m_hWnd))
            ::DestroyWindow(m_hWnd);  // WM_NCDESTROY detaches
        else
            UnsubclassWindow();
    }
}

CWnd *CWnd::FromHandlePermanent(HWND hwnd) {
    if (hwnd == nullptr) return nullptr;
    return static_cast<CWnd *>(::GetPropA(hwnd, kObjectProp));
}

CWnd *CWnd::FromHandle(HWND hwnd) {
    if (hwnd == nullptr) return nullptr;
    if (CWnd *wnd = FromHandlePermanent(hwnd)) return wnd;
    HolderMap &map = holders();
    auto it = map.find(hwnd);
    if (it != map.end()) return it->second.get();
    for (auto dead = map.begin(); dead != map.end();) {
        if (::IsWindow(dead->first))
            ++dead;
        else
            dead = map.erase(dead);
    }
    auto holder = std::make_unique<CWnd>(hwnd);
    CWnd *raw = holder.get();
    map.emplace(hwnd, std::move(holder));
    return raw;
}

BOOL CWnd::WalkPreTranslateTree(MSG *msg) {
    for (HWND hwnd = msg->hwnd; hwnd != nullptr; hwnd = ::GetParent(hwnd)) {
        CWnd *wnd = FromHandlePermanent(hwnd);
        if (wnd != nullptr && wnd->PreTranslateMessage(msg)) return TRUE;
        // A top-level window's "parent" is its owner: stop there.
        if ((::GetWindowLongPtrA(hwnd, GWL_STYLE) & WS_CHILD) == 0) break;
    }
    return FALSE;
}

BOOL CWnd::SubclassWindow(HWND hwnd) {
    if (m_hWnd != nullptr || hwnd == nullptr || !::IsWindow(hwnd)) return FALSE;
    if (FromHandlePermanent(hwnd) != nullptr) return FALSE;
    if (!::SetPropA(hwnd, kObjectProp, this)) return FALSE;
    m_hWnd = hwnd;
    permanent_ = true;
    super_ = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&AfxWndProc)));
    return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT id, CWnd *parent) {
    if (parent == nullptr) return FALSE;
    return SubclassWindow(::GetDlgItem(parent->m_hWnd, static_cast<int>(id)));
}

LPCSTR AfxRegisterWndClass(UINT class_style, HCURSOR cursor, HBRUSH background, HICON icon) {
    // Names live as long as the process; one class per argument set.
    static std::set<std::string> names;
    char name[96];
    std::snprintf(name, sizeof name, "QvmAfx:%x:%p:%p:%p", class_style,
                  static_cast<void *>(cursor), static_cast<void *>(background),
                  static_cast<void *>(icon));
    WNDCLASSA wc{};
    wc.style = class_style;
    wc.lpfnWndProc = &AfxWndProc;
    wc.hInstance = AfxGetInstanceHandle();
    wc.hIcon = icon;
    wc.hCursor = cursor;
    wc.hbrBackground = background;
    wc.lpszClassName = name;
    if (!AfxRegisterClass(&wc)) return nullptr;
    return names.insert(name).first->c_str();
}

void CWnd::AttachCreated(HWND hwnd) {
    // The class's procedure is AfxWndProc already: nothing to replace, and
    // default processing is DefWindowProc.
    if (!::SetPropA(hwnd, kObjectProp, this)) return;
    m_hWnd = hwnd;
    permanent_ = true;
    super_ = nullptr;
}

BOOL CWnd::CreateEx(DWORD ex_style, LPCSTR class_name, LPCSTR window_name, DWORD style, int x,
                    int y, int width, int height, HWND parent, HMENU menu) {
    if (m_hWnd != nullptr || class_name == nullptr) return FALSE;
    CWnd *const outer = t_creating;  // a window created while creating one
    t_creating = this;
    HWND hwnd = ::CreateWindowExA(ex_style, class_name, window_name, style, x, y, width, height,
                                  parent, menu, AfxGetInstanceHandle(), this);
    t_creating = outer;
    if (hwnd == nullptr) return FALSE;
    if (m_hWnd != hwnd) {
        // Not a framework class: the window is not ours to keep.
        ::DestroyWindow(hwnd);
        return FALSE;
    }
    return TRUE;
}

HWND CWnd::UnsubclassWindow() {
    if (!permanent_ || m_hWnd == nullptr) return nullptr;
    HWND hwnd = m_hWnd;
    if (::IsWindow(hwnd)) {
        if (super_ != nullptr &&
            ::GetWindowLongPtrA(hwnd, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&AfxWndProc))
            ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(super_));
        ::RemovePropA(hwnd, kObjectProp);
    }
    m_hWnd = nullptr;
    super_ = nullptr;
    permanent_ = false;
    return hwnd;
}

LRESULT CWnd::SendMessage(UINT msg, WPARAM wp, LPARAM lp) const {
    return ::SendMessageA(m_hWnd, msg, wp, lp);
}

BOOL CWnd::PostMessage(UINT msg, WPARAM wp, LPARAM lp) const {
    return ::PostMessageA(m_hWnd, msg, wp, lp);
}

void CWnd::ScreenToClient(LPRECT r) const {
    ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<LPPOINT>(r), 2);
}

void CWnd::CenterWindow(CWnd *alternate) {
    HWND around = alternate != nullptr ? alternate->m_hWnd : ::GetDesktopWindow();
    RECT outer{}, self{};
    ::GetWindowRect(around, &outer);
    ::GetWindowRect(m_hWnd, &self);
    int w = self.right - self.left;
    int h = self.bottom - self.top;
    int x = outer.left + ((outer.right - outer.left) - w) / 2;
    int y = outer.top + ((outer.bottom - outer.top) - h) / 2;
    if (::GetWindowLongPtrA(m_hWnd, GWL_STYLE) & WS_CHILD) {
        POINT p{x, y};
        ::ScreenToClient(::GetParent(m_hWnd), &p);
        x = p.x;
        y = p.y;
    }
    ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

CWnd *CWnd::GetDlgItem(int id) const { return FromHandle(::GetDlgItem(m_hWnd, id)); }

CWnd *CWnd::GetParent() const { return FromHandle(::GetParent(m_hWnd)); }

void CWnd::SetFont(CFont *font, BOOL redraw) {
    SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font != nullptr ? font->m_hObject : nullptr),
                redraw);
}

HICON CWnd::SetIcon(HICON icon, BOOL big) {
    return reinterpret_cast<HICON>(
        SendMessage(WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
}

BOOL CWnd::DestroyWindow() {
    if (m_hWnd == nullptr) return FALSE;
    return ::DestroyWindow(m_hWnd);
}

BOOL CWnd::PreTranslateMessage(MSG *) { return FALSE; }

LRESULT CWnd::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_COMMAND:
        if (OnCommand(wp, lp)) return 0;
        break;
    case WM_NOTIFY: {
        LRESULT result = 0;
        if (lp != 0 && OnNotify(wp, lp, &result)) return result;
        break;
    }
    case WM_DRAWITEM:
    case WM_MEASUREITEM: {
        // Owner-drawn controls draw themselves (menus are not reflected).
        if (wp == 0) break;
        HWND child = msg == WM_DRAWITEM
                         ? reinterpret_cast<LPDRAWITEMSTRUCT>(lp)->hwndItem
                         : ::GetDlgItem(m_hWnd, static_cast<int>(
                                                    reinterpret_cast<LPMEASUREITEMSTRUCT>(lp)->CtlID));
        CWnd *target = FromHandlePermanent(child);
        LRESULT result = 0;
        if (target != nullptr && target != this && target->OnChildNotify(msg, wp, lp, &result))
            return result;
        break;
    }
    case WM_NCDESTROY:
        return OnNcDestroyMessage(wp, lp);
    default:
        if (is_ctlcolor(msg)) {
            CWnd *target = FromHandlePermanent(reinterpret_cast<HWND>(lp));
            LRESULT result = 0;
            if (target != nullptr && target != this && target->OnChildNotify(msg, wp, lp, &result))
                return result;
        }
        break;
    }
    return DefWindowProc(msg, wp, lp);
}

LRESULT CWnd::OnNcDestroyMessage(WPARAM wp, LPARAM lp) {
    WNDPROC super = super_;
    HWND hwnd = m_hWnd;
    UnsubclassWindow();
    CWinApp *app = AfxGetApp();
    if (app != nullptr && app->m_pMainWnd == this) {
        app->m_pMainWnd = nullptr;
        ::PostQuitMessage(0);
    }
    LRESULT result = super != nullptr ? ::CallWindowProcA(super, hwnd, WM_NCDESTROY, wp, lp)
                                      : ::DefWindowProcA(hwnd, WM_NCDESTROY, wp, lp);
    PostNcDestroy();
    return result;
}

LRESULT CWnd::DefWindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    if (super_ != nullptr) return ::CallWindowProcA(super_, m_hWnd, msg, wp, lp);
    return ::DefWindowProcA(m_hWnd, msg, wp, lp);
}

LRESULT CWnd::Default() {
    const MSG &cur = t_current_msg;
    return DefWindowProc(cur.message, cur.wParam, cur.lParam);
}

BOOL CWnd::OnCommand(WPARAM, LPARAM) { return FALSE; }

BOOL CWnd::OnNotify(WPARAM, LPARAM, LRESULT *) { return FALSE; }

BOOL CWnd::OnChildNotify(UINT, WPARAM, LPARAM, LRESULT *) { return FALSE; }
