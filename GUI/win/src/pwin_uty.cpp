#include "pwin_uty.h"

#include <afxwin.h>

unsigned long CLS_pwin_uty::pwin_load_str_res(unsigned short str_id, char *str,
                                               unsigned long str_len) {
    // What LoadString does with a length of 0 differs between systems (the
    // wide form writes the resource's address into the buffer): never ask.
    if (str == nullptr || str_len == 0) return 0;
    const int len = str_len > 0x7FFFFFFFul ? 0x7FFFFFFF : static_cast<int>(str_len);
    int n = ::LoadStringA(AfxGetResourceHandle(), str_id, str, len);
    if (n <= 0) return 0;
    for (int i = 0; i < n; ++i) {
        if (str[i] == '\x01') str[i] = '\0';
    }
    return static_cast<unsigned long>(n);
}

HCURSOR CLS_pwin_uty::pwin_load_cursor(unsigned short cur_id) {
    static const LPCSTR kSystem[] = {IDC_ARROW,    IDC_ARROW,    IDC_IBEAM,  IDC_WAIT,
                                     IDC_CROSS,    IDC_UPARROW,  IDC_SIZENWSE,
                                     IDC_SIZENESW, IDC_SIZEWE,   IDC_SIZENS, IDC_SIZEALL};
    if (cur_id < sizeof kSystem / sizeof kSystem[0]) return ::LoadCursorA(nullptr, kSystem[cur_id]);
    return ::LoadCursorA(AfxGetResourceHandle(), MAKEINTRESOURCEA(cur_id));
}
