// Our thin application framework over Win32, in place of the platform's
// class framework (which MinGW lacks). Names follow the platform's so that
// the program reads as its design does. A wrapper holds its handle and
// forwards; nothing more.
//
// Threads: window wrappers are used on the thread that owns the window.
#pragma once

#include <windows.h>

HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();

// A window: holds the HWND, does not own it unless a subclass says so.
class CWnd {
public:
    CWnd() = default;
    explicit CWnd(HWND hwnd) : m_hWnd(hwnd) {}
    virtual ~CWnd() = default;
    CWnd(const CWnd &) = delete;
    CWnd &operator=(const CWnd &) = delete;

    HWND GetSafeHwnd() const { return this == nullptr ? nullptr : m_hWnd; }
    BOOL ShowWindow(int cmd) { return ::ShowWindow(m_hWnd, cmd); }
    BOOL SetForegroundWindow() { return ::SetForegroundWindow(m_hWnd); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }

    HWND m_hWnd = nullptr;
};
