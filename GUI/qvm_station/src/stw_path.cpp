#include "stw_path.h"

#include <commdlg.h>
#include <shlobj.h>

#include "stn_store_win.h"
#include "stw_system.h"
#include "stw_text.h"

std::string stw_default_report(bool create_folder) {
    using FolderFn = HRESULT(WINAPI *)(HWND, int, HANDLE, DWORD, LPWSTR);
    static const FolderFn folder_path =
        stw_system_function<FolderFn>(L"shell32.dll", "SHGetFolderPathW");
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
    static const SaveFn save = stw_system_function<SaveFn>(L"comdlg32.dll", "GetSaveFileNameW");
    if (save == nullptr || !save(&ofn)) return false;
    *chosen = stn_utf8(file);
    return true;
}
