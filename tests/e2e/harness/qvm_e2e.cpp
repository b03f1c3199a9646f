#include "qvm_e2e.h"

#include <cstring>

#ifndef QVM_UPDATER_EXE
#error "the build defines QVM_UPDATER_EXE, the path of the program under test"
#endif

namespace qvm_e2e {

std::string windows_path(const std::string &built) {
    std::string path = built;
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    for (char &c : path)
        if (c == '/') c = '\\';
    return path;
}

std::string updater_path() { return windows_path(QVM_UPDATER_EXE); }

void register_main_class() {
    WNDCLASSA wc{};
    wc.style = CS_GLOBALCLASS;
    wc.lpfnWndProc = DefDlgProcA;
    wc.cbWndExtra = DLGWINDOWEXTRA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kMainClass;
    RegisterClassA(&wc);
}

void unregister_main_class() { UnregisterClassA(kMainClass, GetModuleHandleA(nullptr)); }

bool wait_until(const std::function<bool()> &done, DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        if (done()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(10);
    }
}

Program::~Program() {
    if (running()) {
        TerminateProcess(process_.get(), 0xDEAD);
        WaitForSingleObject(process_.get(), kWaitMs);
    }
}

bool Program::start(const std::string &exe, WORD show, const std::string &args) {
    if (process_.ok()) return false;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = show;
    std::string cmd = "\"" + exe + "\"";
    if (!args.empty()) cmd += " " + args;
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi)) {
        return false;
    }
    process_.reset(pi.hProcess);
    thread_.reset(pi.hThread);
    pid_ = pi.dwProcessId;
    return true;
}

bool Program::running() const {
    return process_.ok() && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

bool Program::wait_exit(DWORD ms) {
    return process_.ok() && WaitForSingleObject(process_.get(), ms) == WAIT_OBJECT_0;
}

DWORD Program::exit_code() const {
    DWORD code = STILL_ACTIVE;
    if (process_.ok()) GetExitCodeProcess(process_.get(), &code);
    return code;
}

std::vector<HWND> Program::windows() const {
    struct Search {
        DWORD pid;
        std::vector<HWND> found;
    } search{pid_, {}};
    EnumWindows(
        [](HWND wnd, LPARAM arg) -> BOOL {
            auto *s = reinterpret_cast<Search *>(arg);
            DWORD pid = 0;
            GetWindowThreadProcessId(wnd, &pid);
            if (pid == s->pid) s->found.push_back(wnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<HWND> Program::visible_windows(const char *cls) const {
    std::vector<HWND> out;
    for (HWND wnd : windows())
        if (IsWindowVisible(wnd) && class_name(wnd) == cls) out.push_back(wnd);
    return out;
}

HWND Program::wait_main(DWORD ms) const {
    HWND found = nullptr;
    wait_until(
        [&] {
            auto mains = visible_windows(kMainClass);
            found = mains.empty() ? nullptr : mains.front();
            return found != nullptr || !running();
        },
        ms);
    return found;
}

HWND Program::wait_new_dialog(const std::vector<HWND> &known, DWORD ms) const {
    HWND found = nullptr;
    wait_until(
        [&] {
            for (HWND wnd : dialogs()) {
                bool old = false;
                for (HWND k : known) old = old || k == wnd;
                if (!old) {
                    found = wnd;
                    return true;
                }
            }
            return false;
        },
        ms);
    return found;
}

std::string window_text(HWND wnd) {
    char buf[512] = {};
    DWORD_PTR len = 0;
    // Bounded: a program stuck in a device read must not stall the test run.
    if (!SendMessageTimeoutA(wnd, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf),
                             SMTO_ABORTIFHUNG, kWaitMs, &len))
        return "<no answer>";
    return std::string(buf, len < sizeof buf ? len : sizeof buf - 1);
}

std::string item_text(HWND dlg, int id) {
    HWND item = GetDlgItem(dlg, id);
    return item ? window_text(item) : "<no control>";
}

std::string class_name(HWND wnd) {
    char buf[256] = {};
    GetClassNameA(wnd, buf, sizeof buf);
    return buf;
}

void click(HWND dlg, int id) {
    PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dlg, id)));
}

void press_key(HWND dlg, UINT vk) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    HWND target = dlg;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(dlg, nullptr), &info) && info.hwndFocus &&
        (info.hwndFocus == dlg || IsChild(dlg, info.hwndFocus)))
        target = info.hwndFocus;
    const UINT scan = MapVirtualKeyA(vk, MAPVK_VK_TO_VSC);
    PostMessageA(target, WM_KEYDOWN, vk, 1 | (scan << 16));
    PostMessageA(target, WM_KEYUP, vk, 1 | (scan << 16) | (1u << 30) | (1u << 31));
}

void close_box(HWND wnd) { PostMessageA(wnd, WM_SYSCOMMAND, SC_CLOSE, 0); }

bool wait_gone(HWND wnd, DWORD ms) {
    return wait_until([&] { return !IsWindow(wnd); }, ms);
}

std::vector<HWND> children(HWND dlg) {
    std::vector<HWND> out;
    for (HWND c = GetWindow(dlg, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
    return out;
}

RECT rect_in(HWND dlg, HWND item) {
    RECT rc{};
    GetWindowRect(item, &rc);
    MapWindowPoints(HWND_DESKTOP, dlg, reinterpret_cast<POINT *>(&rc), 2);
    return rc;
}

} // namespace qvm_e2e
