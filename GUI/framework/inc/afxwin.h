// Our thin application framework over Win32, in place of the platform's
// class framework (which MinGW lacks). Names follow the platform's so that
// the program reads as its design does. A wrapper holds its handle and
// forwards; the framework knows no program.
//
// Threads: everything here runs on the thread that owns the windows it
// touches (the user-interface thread), except where a comment says "any
// thread": AfxGetApp, AfxGetMainWnd, AfxGetInstanceHandle,
// AfxGetResourceHandle, CWnd::FromHandlePermanent and the plain forwarding
// calls (SendMessage, PostMessage, GetSafeHwnd), which Win32 allows from any
// thread.
#pragma once

#include <windows.h>

class CWnd;
class CWinApp;
class CDC;

// ---------------------------------------------------------------- globals

// The one application object (null until a CWinApp is constructed). Any thread.
CWinApp *AfxGetApp();
// The application's main window, or null. Any thread; the pointer is the
// application's m_pMainWnd, cleared when that window is destroyed.
CWnd *AfxGetMainWnd();
// The module whose resources and window classes the program uses. Any thread.
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
// Registers wnd_class unless a class of that name is already registered
// for its instance. TRUE when the class exists afterwards, FALSE when
// registration failed.
BOOL AfxRegisterClass(WNDCLASSA *wnd_class);
// A window class whose procedure routes to the framework's window objects
// (for CWnd::CreateEx), registered once per distinct set of arguments.
// Returns its name (valid for the process's life), or null when the class
// cannot be registered.
LPCSTR AfxRegisterWndClass(UINT class_style, HCURSOR cursor = nullptr,
                           HBRUSH background = nullptr, HICON icon = nullptr);
// Process entry of a program built on the framework: runs the application
// object (InitInstance, then Run until the main window is gone, then
// ExitInstance) and returns the exit code. Without an application object
// it returns -1 at once. WinMain (target qvm_framework_entry) calls it.
int AfxWinMain(HINSTANCE instance, HINSTANCE prev, LPSTR cmd_line, int cmd_show);

// ----------------------------------------------------- points, rectangles

class CPoint : public POINT {
public:
    CPoint() { x = 0; y = 0; }
    CPoint(int px, int py) { x = px; y = py; }
    explicit CPoint(LPARAM lparam) {
        x = static_cast<short>(LOWORD(lparam));
        y = static_cast<short>(HIWORD(lparam));
    }
};

class CRect : public RECT {
public:
    CRect() { left = top = right = bottom = 0; }
    CRect(int l, int t, int r, int b) { left = l; top = t; right = r; bottom = b; }
    CRect(const RECT &r) : RECT(r) {}
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    CPoint TopLeft() const { return CPoint(left, top); }
    operator LPRECT() { return this; }
    operator LPCRECT() const { return this; }
};

// ----------------------------------------------------------- GDI objects

// One GDI object handle. Owns it: the destructor deletes it (DeleteObject),
// unless it was handed on with Detach. Deleting twice is harmless.
class CGdiObject {
public:
    CGdiObject() = default;
    virtual ~CGdiObject() { DeleteObject(); }
    CGdiObject(const CGdiObject &) = delete;
    CGdiObject &operator=(const CGdiObject &) = delete;

    HGDIOBJ GetSafeHandle() const { return m_hObject; }
    // Takes ownership of obj (fails when one is already held).
    BOOL Attach(HGDIOBJ obj);
    // Gives up ownership and returns the handle.
    HGDIOBJ Detach();
    // Releases the held object; TRUE when one was released.
    BOOL DeleteObject();
    // ::GetObject on the held object.
    int GetObject(int size, void *out) const;

    HGDIOBJ m_hObject = nullptr;
};

class CFont : public CGdiObject {
public:
    // A font of point_size tenths of a point in face `face`, scaled for dc
    // (the screen when null). FALSE when the font cannot be made.
    BOOL CreatePointFont(int point_size, LPCSTR face, CDC *dc = nullptr);
    operator HFONT() const { return static_cast<HFONT>(m_hObject); }
};

class CBitmap : public CGdiObject {
public:
    // Bitmap resource id from the application's resources. FALSE when it
    // does not exist (nothing is then held).
    BOOL LoadBitmap(UINT id);
    // The bitmap's size and format (::GetObject); 0 on failure.
    int GetBitmap(BITMAP *bm) const { return GetObject(sizeof(BITMAP), bm); }
    operator HBITMAP() const { return static_cast<HBITMAP>(m_hObject); }
};

class CRgn : public CGdiObject {
public:
    BOOL CreateRectRgn(int l, int t, int r, int b);
    // this = src1 <mode> src2 (RGN_OR, ...); the platform's region result.
    int CombineRgn(const CRgn *src1, const CRgn *src2, int mode);
    operator HRGN() const { return static_cast<HRGN>(m_hObject); }
};

// ------------------------------------------------------- device contexts

// A device context. Owns it only when made by CreateCompatibleDC (then the
// destructor deletes it); Attach takes a context that someone else releases.
class CDC {
public:
    CDC() = default;
    virtual ~CDC();
    CDC(const CDC &) = delete;
    CDC &operator=(const CDC &) = delete;

    BOOL Attach(HDC dc);
    HDC Detach();
    // A memory context compatible with dc (the screen when null); owned.
    BOOL CreateCompatibleDC(CDC *dc);
    BOOL DeleteDC();

    HDC GetSafeHdc() const { return m_hDC; }
    operator HDC() const { return m_hDC; }
    // Selects obj; returns the previously selected object for restoring.
    HGDIOBJ SelectObject(CGdiObject *obj);
    HGDIOBJ SelectObject(HGDIOBJ obj);
    BOOL BitBlt(int x, int y, int w, int h, CDC *src, int xs, int ys, DWORD rop);
    int SetBkMode(int mode);
    COLORREF SetTextColor(COLORREF color);
    int GetDeviceCaps(int index) const;

    HDC m_hDC = nullptr;

private:
    bool owned_ = false;
};

// The painting context of one WM_PAINT: BeginPaint in the constructor,
// EndPaint in the destructor.
class CPaintDC : public CDC {
public:
    explicit CPaintDC(CWnd *wnd);
    ~CPaintDC() override;
    PAINTSTRUCT m_ps{};

private:
    HWND hwnd_;
};

// ---------------------------------------------------------------- windows

// A window. Two kinds of objects:
// - a plain handle holder (CWnd(HWND), FromHandle, GetDlgItem results):
//   forwards only, never owns or destroys the window;
// - a permanent window object (SubclassWindow, SubclassDlgItem, dialogs):
//   the window's messages come to WindowProc until WM_NCDESTROY, which
//   detaches the object (m_hWnd becomes null) and calls PostNcDestroy.
//   Destroying a permanent object destroys a window it still holds.
class CWnd {
public:
    CWnd() = default;
    explicit CWnd(HWND hwnd) : m_hWnd(hwnd) {}
    virtual ~CWnd();
    CWnd(const CWnd &) = delete;
    CWnd &operator=(const CWnd &) = delete;

    // The permanent object of hwnd, or null. Any thread.
    static CWnd *FromHandlePermanent(HWND hwnd);
    // The permanent object of hwnd, else a plain holder kept by the calling
    // thread for as long as the window exists. Null for a null handle.
    static CWnd *FromHandle(HWND hwnd);
    // Hands each message to the PreTranslateMessage of the permanent
    // objects from its target window up to (and including) its top-level
    // window. TRUE when one of them handled it (do not dispatch it then).
    static BOOL WalkPreTranslateTree(MSG *msg);

    // Makes this the permanent object of hwnd. FALSE when this already holds
    // a window or hwnd already has one.
    BOOL SubclassWindow(HWND hwnd);
    BOOL SubclassDlgItem(UINT id, CWnd *parent);
    // Gives the window back its own procedure; returns it (null if none).
    HWND UnsubclassWindow();
    // Creates a window of a class from AfxRegisterWndClass with this as its
    // permanent object from its first message on, so WindowProc sees
    // WM_CREATE. FALSE when this already holds a window or creation failed
    // (when WM_CREATE refused, the window came and went: PostNcDestroy ran).
    BOOL CreateEx(DWORD ex_style, LPCSTR class_name, LPCSTR window_name, DWORD style, int x,
                  int y, int width, int height, HWND parent = nullptr, HMENU menu = nullptr);

    // Called on a live object (check a CWnd pointer for null yourself).
    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }

    // Forwarders (Win32 semantics).
    LRESULT SendMessage(UINT msg, WPARAM wp = 0, LPARAM lp = 0) const;
    BOOL PostMessage(UINT msg, WPARAM wp = 0, LPARAM lp = 0) const;
    BOOL ShowWindow(int cmd) { return ::ShowWindow(m_hWnd, cmd); }
    BOOL UpdateWindow() { return ::UpdateWindow(m_hWnd); }
    BOOL SetForegroundWindow() { return ::SetForegroundWindow(m_hWnd); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
    void SetWindowText(LPCSTR text) { ::SetWindowTextA(m_hWnd, text); }
    int GetWindowText(LPSTR buf, int size) const { return ::GetWindowTextA(m_hWnd, buf, size); }
    int GetWindowTextLength() const { return ::GetWindowTextLengthA(m_hWnd); }
    void MoveWindow(int x, int y, int w, int h, BOOL repaint = TRUE) {
        ::MoveWindow(m_hWnd, x, y, w, h, repaint);
    }
    void MoveWindow(LPCRECT r, BOOL repaint = TRUE) {
        MoveWindow(r->left, r->top, r->right - r->left, r->bottom - r->top, repaint);
    }
    void GetClientRect(LPRECT r) const { ::GetClientRect(m_hWnd, r); }
    void GetWindowRect(LPRECT r) const { ::GetWindowRect(m_hWnd, r); }
    void ScreenToClient(LPRECT r) const;
    void ScreenToClient(LPPOINT p) const { ::ScreenToClient(m_hWnd, p); }
    void ClientToScreen(LPPOINT p) const { ::ClientToScreen(m_hWnd, p); }
    void InvalidateRect(LPCRECT r, BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, r, erase); }
    void Invalidate(BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, erase); }
    // Centres the window on alternate (the desktop window when null).
    void CenterWindow(CWnd *alternate = nullptr);
    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
    // The child with that id (see FromHandle), or null.
    CWnd *GetDlgItem(int id) const;
    CWnd *GetParent() const;
    HWND SetFocus() { return ::SetFocus(m_hWnd); }
    HWND SetActiveWindow() { return ::SetActiveWindow(m_hWnd); }
    HWND SetCapture() { return ::SetCapture(m_hWnd); }
    UINT_PTR SetTimer(UINT_PTR id, UINT elapse, TIMERPROC proc = nullptr) {
        return ::SetTimer(m_hWnd, id, elapse, proc);
    }
    BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
    void SetFont(CFont *font, BOOL redraw = TRUE);
    HICON SetIcon(HICON icon, BOOL big);
    // Region ownership passes to the system on success.
    int SetWindowRgn(HRGN rgn, BOOL redraw) { return ::SetWindowRgn(m_hWnd, rgn, redraw); }
    DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongPtrA(m_hWnd, GWL_STYLE)); }
    virtual BOOL DestroyWindow();

    // Before dispatch (message loops): TRUE = handled, do not dispatch.
    virtual BOOL PreTranslateMessage(MSG *msg);

    HWND m_hWnd = nullptr;

protected:
    // The window procedure of a permanent object. The base routes
    // WM_COMMAND to OnCommand, WM_NOTIFY to OnNotify, reflects
    // WM_DRAWITEM/WM_MEASUREITEM/WM_CTLCOLOR* to the child's OnChildNotify,
    // detaches on WM_NCDESTROY, and gives everything else (and what those
    // leave unhandled) to DefWindowProc.
    virtual LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp);
    // The window's own procedure (the one it had before subclassing).
    virtual LRESULT DefWindowProc(UINT msg, WPARAM wp, LPARAM lp);
    // Default processing of the message being handled now on this thread.
    LRESULT Default();
    // TRUE when the command was handled (no default processing then).
    virtual BOOL OnCommand(WPARAM wp, LPARAM lp);
    // TRUE when handled; *result is then the message's answer.
    virtual BOOL OnNotify(WPARAM wp, LPARAM lp, LRESULT *result);
    // A message the parent reflected to this child; TRUE when handled.
    virtual BOOL OnChildNotify(UINT msg, WPARAM wp, LPARAM lp, LRESULT *result);
    // After WM_NCDESTROY detached the object (m_hWnd is null): the place
    // where an object that owns itself may delete itself.
    virtual void PostNcDestroy() {}

private:
    friend LRESULT CALLBACK AfxWndProc(HWND, UINT, WPARAM, LPARAM);
    friend INT_PTR CALLBACK AfxDlgProc(HWND, UINT, WPARAM, LPARAM);
    LRESULT OnNcDestroyMessage(WPARAM wp, LPARAM lp);
    void AttachCreated(HWND hwnd);

    WNDPROC super_ = nullptr;  // the procedure before subclassing
    bool permanent_ = false;
};

// ---------------------------------------------------------------- dialogs

// A dialog from a template resource of the application.
// - Modal: construct with the template, DoModal runs it to its end (a modal
//   loop of the framework on the calling thread, with PreTranslateMessage
//   and the dialog manager's keyboard handling) and returns EndDialog's
//   value, or -1 when the template does not load.
// - Modeless: construct empty, Create makes the window; the owner's message
//   loop gives it keyboard handling (Tab, Enter, Escape) through
//   PreTranslateMessage.
// Without a parent the owner is the application's main window (for a modal
// run its last active popup, or the active window when there is no main
// window); a modal run disables its owner until it ends.
class CDialog : public CWnd {
public:
    CDialog() = default;
    explicit CDialog(UINT template_id, CWnd *parent = nullptr);

    virtual INT_PTR DoModal();
    BOOL Create(UINT template_id, CWnd *parent = nullptr);
    // Modal: ends the modal run with `result`. Modeless: hides the window
    // (the owner destroys it).
    void EndDialog(int result);

    BOOL PreTranslateMessage(MSG *msg) override;

protected:
    // After the window and its controls exist. TRUE lets the dialog manager
    // give the focus to the first tab stop.
    virtual BOOL OnInitDialog();
    // The base maps IDOK and IDCANCEL to OnOK and OnCancel.
    BOOL OnCommand(WPARAM wp, LPARAM lp) override;
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }

    UINT m_nIDHelp = 0;

private:
    friend INT_PTR CALLBACK AfxDlgProc(HWND, UINT, WPARAM, LPARAM);
    HWND PrepareOwner(CWnd *parent, bool modal) const;

    UINT template_id_ = 0;
    CWnd *parent_ = nullptr;
    bool in_modal_ = false;
    bool end_modal_ = false;
    INT_PTR modal_result_ = -1;
};

// ------------------------------------------------------------ application

// The application object: exactly one per process, constructed before
// AfxWinMain runs (a global). Runs on the user-interface thread.
class CWinApp {
public:
    explicit CWinApp(LPCSTR app_name = nullptr);
    virtual ~CWinApp();
    CWinApp(const CWinApp &) = delete;
    CWinApp &operator=(const CWinApp &) = delete;

    // Non-zero: the program runs (Run follows); 0: it ends at once.
    virtual BOOL InitInstance() { return TRUE; }
    // The message loop: runs until WM_QUIT (posted when the main window is
    // destroyed); returns at once when there is no main window. Each
    // message goes first to PreTranslateMessage. Returns ExitInstance().
    virtual int Run();
    // Returns the exit code (WM_QUIT's code after Run).
    virtual int ExitInstance() { return exit_code_; }
    // WalkPreTranslateTree by default.
    virtual BOOL PreTranslateMessage(MSG *msg);

    CWnd *m_pMainWnd = nullptr;
    HINSTANCE m_hInstance = nullptr;
    LPCSTR m_pszAppName = nullptr;
    LPSTR m_lpCmdLine = nullptr;
    int m_nCmdShow = SW_SHOWNORMAL;

private:
    int exit_code_ = 0;
};
