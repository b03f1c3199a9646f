// The About dialog (template 20000): program icon, name, version and the
// maker's notice, closed with OK, Enter, Escape or the close box.
//
// Threads: user-interface thread only; the constructor runs the dialog
// modally on the calling thread.
#pragma once

#include "pwin_dlg.h"

class CLS_phlp_abt {
public:
    // Shows the About dialog and returns when it has been closed.
    CLS_phlp_abt();

private:
    // Sets the version text of control 3000 to "Ver. " and the program's
    // version. obj (this object) is not used.
    static void cb_dlg_init(cls_pwin_dlg *pwin_dlg, void *obj);
    // kPwinDlgClose for OK/Enter (1) and Escape (2); kPwinDlgStay for every
    // other id.
    static unsigned char cb_dlg_control(cls_pwin_dlg *pwin_dlg, void *obj,
                                        unsigned short item_id);
};
