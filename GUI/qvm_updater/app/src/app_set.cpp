// The main dialog's Update command. User-interface thread: the update
// controller runs its dialogs modally on top of the main dialog and returns
// when the update dialogue is over.
#include "app.h"
#include "pwrc_upd.h"

void CLS_app::app_setup(cls_pwin_dlg *pwin_dlg) {
    int result = 0;
    // One device, on the first device file name; versions compared, the user
    // asked to confirm, and every outcome shown.
    { CLS_pwrc_upd update(1, 1, &hex, ver, 1, 1, 1, &result); }
    if (result == 1) {
        app_get_ver(pwin_dlg);  // show what the device holds now
    }
}
