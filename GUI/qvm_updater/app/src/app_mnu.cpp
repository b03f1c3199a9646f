#include "app.h"
#include "phlp_abt.h"
#include "resource.h"

namespace {
// Help command ids that open About like its button: the platform's Help
// button and the framework's help command.
constexpr unsigned short kIdHelp = 9;
constexpr unsigned short kIdFrameworkHelp = 57670;
}  // namespace

void CLS_app::menu_sel(unsigned short menu_id) {
    // Each command runs a modal dialogue on top of the main dialog. While
    // one runs (help is 0), a command that still reaches the main dialog
    // (posted to it; its buttons are disabled then) is ignored: one About at
    // a time, and no update or query inside another.
    if (help != 1) return;
    switch (menu_id) {
    case IDC_MAIN_ABOUT:
    case kIdHelp:
    case kIdFrameworkHelp:
        help = 0;
        { CLS_phlp_abt about; }
        help = 1;
        break;
    case IDC_MAIN_UPDATE:
        help = 0;
        app_setup(main_wnd);
        help = 1;
        break;
    case IDC_MAIN_GET_VER:
        help = 0;
        app_get_ver(main_wnd);
        help = 1;
        break;
    default:
        break;
    }
}
