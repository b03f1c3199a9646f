// The application object, the global accessors and the process entry.
//
// Threads: the application object and its message loop belong to the
// user-interface thread (the one that runs AfxWinMain). The accessors only
// read pointers set before the loop starts and may be called from any
// thread.
#include "afxwin.h"

#include "afx_internal.h"

namespace {
CWinApp *g_app = nullptr;
}

CWinApp *AfxGetApp() { return g_app; }

CWnd *AfxGetMainWnd() { return g_app != nullptr ? g_app->m_pMainWnd : nullptr; }

HINSTANCE AfxGetInstanceHandle() {
    if (g_app != nullptr && g_app->m_hInstance != nullptr) return g_app->m_hInstance;
    return ::GetModuleHandleA(nullptr);
}

HINSTANCE AfxGetResourceHandle() { return AfxGetInstanceHandle(); }

BOOL AfxRegisterClass(WNDCLASSA *wnd_class) {
    WNDCLASSA existing{};
    if (::GetClassInfoA(wnd_class->hInstance, wnd_class->lpszClassName, &existing)) return TRUE;
    return ::RegisterClassA(wnd_class) != 0;
}

CWinApp::CWinApp(LPCSTR app_name) : m_pszAppName(app_name) {
    // One application object per process; a second one does not replace it.
    if (g_app == nullptr) g_app = this;
}

CWinApp::~CWinApp() {
    if (g_app == this) g_app = nullptr;
}

BOOL CWinApp::PreTranslateMessage(MSG *msg) { return CWnd::WalkPreTranslateTree(msg); }

int CWinApp::Run() {
    if (m_pMainWnd == nullptr || !::IsWindow(m_pMainWnd->m_hWnd)) return ExitInstance();
    MSG msg;
    for (;;) {
        BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) {
            exit_code_ = static_cast<int>(msg.wParam);
            break;
        }
        if (got < 0) {
            exit_code_ = -1;
            break;
        }
        if (!PreTranslateMessage(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
    return ExitInstance();
}

int AfxWinMain(HINSTANCE instance, HINSTANCE, LPSTR cmd_line, int cmd_show) {
    CWinApp *app = AfxGetApp();
    if (app == nullptr) return -1;
    app->m_hInstance = instance;
    app->m_lpCmdLine = cmd_line;
    app->m_nCmdShow = cmd_show;
    afx_internal::init_common_controls();
    if (!app->InitInstance()) {
        if (app->m_pMainWnd != nullptr) app->m_pMainWnd->DestroyWindow();
        return app->ExitInstance();
    }
    return app->Run();
}
