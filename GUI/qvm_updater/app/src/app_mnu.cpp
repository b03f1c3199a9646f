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
    switch (menu_id) {
    case IDC_MAIN_ABOUT:
    case kIdHelp:
    case kIdFrameworkHelp:
        // One About at a time; help also tells the quit callback that a
        // modal dialogue runs.
        if (help == 1) {
            help = 0;
            { CLS_phlp_abt about; }
            help = 1;
        }
        break;
    default:
        break;
    }
}
