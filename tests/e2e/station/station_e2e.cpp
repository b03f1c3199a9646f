#include "station_e2e.h"

#include <cstdio>
#include <cstdlib>

#include "qvm_e2e.h"
#include "stw_resource.h"

#ifndef QVM_STATION_EXE
#error "the build defines QVM_STATION_EXE, the path of the program under test"
#endif
#ifndef QVM_STATION_SHOTS_DEFAULT
#error "the build defines QVM_STATION_SHOTS_DEFAULT, where screenshots go by default"
#endif

namespace station_e2e {

using qvm_e2e::wait_until;
using qvm_e2e::window_text;

std::string station_path() { return qvm_e2e::windows_path(QVM_STATION_EXE); }

HWND Station::wait_main(DWORD ms) const {
    HWND found = nullptr;
    wait_until(
        [&] {
            for (HWND w : dialogs()) {
                if (GetDlgItem(w, IDC_START) != nullptr && GetDlgItem(w, IDC_GRID) != nullptr)
                    found = w;
            }
            return found != nullptr || !running();
        },
        ms);
    return found;
}

HWND Station::wait_box(const std::string &part, DWORD ms) const {
    HWND found = nullptr;
    wait_until(
        [&] {
            for (HWND w : dialogs()) {
                if (GetDlgItem(w, IDC_START) == nullptr &&
                    box_text(w).find(part) != std::string::npos)
                    found = w;
            }
            return found != nullptr;
        },
        ms);
    return found;
}

std::string box_text(HWND box) { return qvm_e2e::item_text(box, 0xFFFF); }

bool answer(HWND box, int id) {
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
    return qvm_e2e::wait_gone(box, 10000);
}

HWND tile(HWND main, unsigned index) {
    HWND grid = GetDlgItem(main, IDC_GRID);
    return grid != nullptr ? GetDlgItem(grid, IDC_TILE_BASE + static_cast<int>(index)) : nullptr;
}

std::string tile_text(HWND main, unsigned index) {
    HWND t = tile(main, index);
    return t != nullptr ? window_text(t) : "<no tile>";
}

bool wait_tile(HWND main, unsigned index, const std::string &part, std::string *seen,
               DWORD ms) {
    return wait_until(
        [&] {
            *seen = tile_text(main, index);
            return seen->find(part) != std::string::npos;
        },
        ms);
}

bool wait_item(HWND main, int id, const std::string &text, std::string *seen, DWORD ms) {
    return wait_until(
        [&] {
            *seen = qvm_e2e::item_text(main, id);
            return *seen == text;
        },
        ms);
}

bool run_unix(const std::string &command) {
    // Wine gives no waitable handle for a Unix process: the shell leaves
    // the exit code in a file, which is waited for.
    static int runs = 0;
    const std::string marker = "/tmp/qvm-station-e2e-" + std::to_string(GetCurrentProcessId()) +
                               "-" + std::to_string(++runs);
    const std::string seen = qvm_e2e::windows_path(marker);
    const std::string full = "/bin/sh -c \"" + command + "; echo $? >" + marker + ".tmp; mv " +
                             marker + ".tmp " + marker + "\"";
    std::vector<char> line(full.begin(), full.end());
    line.push_back('\0');
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return false;
    if (pi.hThread != nullptr) CloseHandle(pi.hThread);
    if (pi.hProcess != nullptr) CloseHandle(pi.hProcess);
    std::string code;
    const bool ended = wait_until(
        [&] {
            FILE *f = std::fopen(seen.c_str(), "rb");
            if (f == nullptr) return false;
            char buf[16] = {};
            code = std::fgets(buf, sizeof buf, f) != nullptr ? buf : "";
            std::fclose(f);
            return true;
        },
        20000);
    DeleteFileA(seen.c_str());
    return ended && code.rfind("0", 0) == 0;
}

namespace {

std::string click_at(HWND wnd) {
    // xdotool works in the screen's pixels: this process must see them too,
    // not the 96-dpi ones Wine gives a program unaware of the DPI.
    SetProcessDPIAware();
    RECT r{};
    GetWindowRect(wnd, &r);
    return "mousemove --sync " + std::to_string((r.left + r.right) / 2) + " " +
           std::to_string((r.top + r.bottom) / 2) + " click 1";
}

}  // namespace

bool x_click(HWND wnd) { return run_unix("/usr/bin/xdotool " + click_at(wnd)); }

bool x_press(HWND button, const std::function<bool()> &done) {
    for (int tries = 0; tries < 3; ++tries) {
        if (!x_click(button)) return false;
        if (wait_until(done, 5000)) return true;
    }
    return false;
}

bool x_keys(HWND on, const std::string &keys) {
    return run_unix("/usr/bin/xdotool " + click_at(on) + " sleep 0.2 key " + keys);
}

bool x_scan(HWND on, const std::vector<std::string> &codes) {
    // "type" takes the rest of a chain: one xdotool per code.
    std::string command = "/usr/bin/xdotool " + click_at(on) + " sleep 0.2";
    for (const std::string &code : codes) {
        command += " && /usr/bin/xdotool type --delay 10 '" + code +
                   "' && /usr/bin/xdotool key Return";
    }
    return run_unix(command);
}

bool screenshot(const std::string &name) {
    const char *asked = std::getenv("QVM_STATION_SHOTS");
    const std::string dir = asked != nullptr && *asked != '\0' ? asked : QVM_STATION_SHOTS_DEFAULT;
    Sleep(300);  // the last redraw
    const std::string png = dir + "/" + name + ".png";
    const std::string seen = qvm_e2e::windows_path(png);
    DeleteFileA(seen.c_str());
    return run_unix("mkdir -p '" + dir + "' && /usr/bin/import -window root '" + png + "'") &&
           GetFileAttributesA(seen.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void forget_placement() { RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\R846-QVM2K\\Station"); }

ScopedValue::ScopedValue(HKEY root, const char *key, const char *name) : name_(name) {
    ok_ = RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                          &key_, nullptr) == ERROR_SUCCESS;
    DWORD size = 0;
    had_ = ok_ && RegQueryValueExA(key_, name, nullptr, &type_, nullptr, &size) == ERROR_SUCCESS;
    before_.resize(size);
    if (had_ && size > 0) {
        had_ = RegQueryValueExA(key_, name, nullptr, &type_, before_.data(), &size) ==
               ERROR_SUCCESS;
    }
}

ScopedValue::~ScopedValue() {
    if (!ok_) return;
    if (had_) {
        RegSetValueExA(key_, name_.c_str(), 0, type_, before_.data(),
                       static_cast<DWORD>(before_.size()));
    } else {
        RegDeleteValueA(key_, name_.c_str());
    }
    RegCloseKey(key_);
}

bool ScopedValue::set(DWORD type, const void *data, DWORD size) {
    return ok_ && RegSetValueExA(key_, name_.c_str(), 0, type, static_cast<const BYTE *>(data),
                                 size) == ERROR_SUCCESS;
}

void keep_report(const std::string &path) {
    const char *dir = std::getenv("QVM_STATION_SHOTS");
    if (dir != nullptr && *dir != '\0') {
        const std::string to = qvm_e2e::windows_path(std::string(dir) + "/station-report.jsonl");
        CopyFileA(path.c_str(), to.c_str(), FALSE);
    }
    DeleteFileA(path.c_str());
}

std::string file_text(const std::string &path) {
    std::string s;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

std::vector<std::string> report_lines(const std::string &path) {
    const std::string s = file_text(path);
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t nl; (nl = s.find('\n', from)) != std::string::npos; from = nl + 1)
        lines.push_back(s.substr(from, nl - from));
    return lines;
}

std::vector<std::string> unit_lines(const std::string &path) {
    std::vector<std::string> out;
    for (const std::string &l : report_lines(path)) {
        if (field(l, "type") == "\"unit\"") out.push_back(l);
    }
    return out;
}

}  // namespace station_e2e
