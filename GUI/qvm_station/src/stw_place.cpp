#include "stw_place.h"

namespace {

const char kKey[] = "Software\\R846-QVM2K\\Station";

struct Value {
    const char *name;
    LONG *at;
};

}  // namespace

bool stw_load_placement(StwPlacement *p) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    StwPlacement got;
    LONG maximized = 0, dpi = 0;
    const Value values[] = {{"WindowLeft", &got.normal.left},     {"WindowTop", &got.normal.top},
                            {"WindowRight", &got.normal.right},   {"WindowBottom", &got.normal.bottom},
                            {"WindowMaximized", &maximized},      {"WindowDpi", &dpi}};
    bool whole = true;
    for (const Value &v : values) {
        DWORD type = 0, size = sizeof(DWORD), data = 0;
        whole = whole && RegQueryValueExA(key, v.name, nullptr, &type,
                                          reinterpret_cast<BYTE *>(&data), &size) == ERROR_SUCCESS &&
                type == REG_DWORD && size == sizeof(DWORD);
        *v.at = static_cast<LONG>(data);
    }
    RegCloseKey(key);
    if (!whole) return false;
    got.maximized = maximized != 0;
    got.dpi = static_cast<int>(dpi);
    *p = got;
    return true;
}

void stw_save_placement(const StwPlacement &p) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    StwPlacement copy = p;
    LONG maximized = p.maximized ? 1 : 0, dpi = p.dpi;
    const Value values[] = {{"WindowLeft", &copy.normal.left},     {"WindowTop", &copy.normal.top},
                            {"WindowRight", &copy.normal.right},   {"WindowBottom", &copy.normal.bottom},
                            {"WindowMaximized", &maximized},       {"WindowDpi", &dpi}};
    for (const Value &v : values) {
        const DWORD data = static_cast<DWORD>(*v.at);
        RegSetValueExA(key, v.name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&data),
                       sizeof data);
    }
    RegCloseKey(key);
}
