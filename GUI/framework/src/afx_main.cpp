// The process entry of a program built on the framework (target
// qvm_framework_entry, linked into the program only). User-interface thread.
#include <afxwin.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE prev, LPSTR cmd_line, int cmd_show) {
    return AfxWinMain(instance, prev, cmd_line, cmd_show);
}
