#include "stw_place.h"

namespace {

const char kKey[] = "Software\\R846-QVM2K\\Station";
// The values, in this order.
const char *const kNames[] = {"WindowLeft",  "WindowTop",       "WindowRight",
                              "WindowBottom", "WindowMaximized", "WindowDpi"};
constexpr int kCount = sizeof kNames / sizeof kNames[0];

}  // namespace

bool stw_load_placement(StwPlacement *p) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD v[kCount] = {};
    bool whole = true;
    for (int i = 0; i < kCount && whole; ++i) {
        DWORD type = 0, size = sizeof v[i];
        whole = RegQueryValueExA(key, kNames[i], nullptr, &type, reinterpret_cast<BYTE *>(&v[i]),
                                 &size) == ERROR_SUCCESS &&
                type == REG_DWORD && size == sizeof v[i];
    }
    RegCloseKey(key);
    if (!whole) return false;
    p->normal = {static_cast<LONG>(v[0]), static_cast<LONG>(v[1]), static_cast<LONG>(v[2]),
                 static_cast<LONG>(v[3])};
    p->maximized = v[4] != 0;
    p->dpi = static_cast<int>(v[5]);
    return true;
}

void stw_save_placement(const StwPlacement &p) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    const LONG v[kCount] = {p.normal.left,   p.normal.top,        p.normal.right,
                            p.normal.bottom, p.maximized ? 1 : 0, p.dpi};
    for (int i = 0; i < kCount; ++i) {
        const DWORD data = static_cast<DWORD>(v[i]);
        RegSetValueExA(key, kNames[i], 0, REG_DWORD, reinterpret_cast<const BYTE *>(&data),
                       sizeof data);
    }
    RegCloseKey(key);
}
