// The skinned test dialog: wallpaper, mask and a control table with a row
// of every type (plain, push, close, maximize, minimize, transparent text,
// and a push button whose images are missing).
#pragma once

#include "dlg_harness.h"
#include "win_dbm.h"

SWIN_DLG_INFO skin_info(DlgRecord *rec, bool with_mask = true);

// The bitmap button of control id, or null.
cls_win_dbm *button_of(cls_pwin_dlg *dlg, unsigned short id);
