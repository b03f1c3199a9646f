#include "stw_path.h"

#include <commdlg.h>
#include <shlobj.h>

#include "stn_store_win.h"
#include "stw_text.h"

namespace {

// A function of a system DLL that is loaded when it is first wanted, not at
// every start of the program (shell32 alone adds about 30 ms to a start
// under Wine). Null when it cannot be had; the DLL stays loaded.
template <typename Fn>
Fn system_function(const wchar_t *dll, const char *name) {
    HMODULE module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

}  // namespace

std::string stw_default_report(bool create_folder) {
    using FolderFn = HRESULT(WINAPI *)(HWND, int, HANDLE, DWORD, LPWSTR);
    static const FolderFn folder_path =
        system_function<FolderFn>(L"shell32.dll", "SHGetFolderPathW");
    wchar_t docs[MAX_PATH] = {};
    if (folder_path == nullptr ||
        FAILED(folder_path(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, docs)))
        return std::string();
    std::wstring folder = std::wstring(docs) + L"\\R846-QVM2K";
    if (create_folder) CreateDirectoryW(folder.c_str(), nullptr);
    SYSTEMTIME t;
    GetLocalTime(&t);
    return stn_utf8(folder) + "\\" + stw_report_name(t.wYear, t.wMonth, t.wDay);
}

bool stw_choose_report(HWND owner, const std::string &current, std::string *chosen) {
    wchar_t file[32768] = {};
    const std::wstring wide = stn_wide(current);
    if (wide.size() < sizeof file / sizeof file[0]) wide.copy(file, wide.size());
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = L"Station reports (*.jsonl)\0*.jsonl\0All files (*.*)\0*.*\0";
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof file / sizeof file[0];
    ofn.lpstrTitle = L"Station report";
    ofn.lpstrDefExt = L"jsonl";
    // A report is appended to, never replaced: no overwrite question.
    ofn.Flags = OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    using SaveFn = BOOL(WINAPI *)(LPOPENFILENAMEW);
    static const SaveFn save = system_function<SaveFn>(L"comdlg32.dll", "GetSaveFileNameW");
    if (save == nullptr || !save(&ofn)) return false;
    *chosen = stn_utf8(file);
    return true;
}
