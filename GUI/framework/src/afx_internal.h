// Framework-private helpers shared by its units. User-interface thread.
#pragma once

#include <windows.h>

LRESULT CALLBACK AfxWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
INT_PTR CALLBACK AfxDlgProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

namespace afx_internal {
// Registers the common-control classes dialog templates may name
// (msctls_progress32, ...); once per process.
void init_common_controls();
}  // namespace afx_internal
