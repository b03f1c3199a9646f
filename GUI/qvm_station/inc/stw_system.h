// Functions of system DLLs that the station window loads when it first
// wants them, not at every start: shell32 alone adds about 30 ms to a start
// under Wine. Any thread.
#pragma once

#include <windows.h>

// name in dll (a system DLL, looked for in system32 only), or null when it
// cannot be had. The DLL stays loaded.
template <typename Fn>
Fn stw_system_function(const wchar_t *dll, const char *name) {
    HMODULE module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}
