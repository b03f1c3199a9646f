// Update controller: one press of Update from the device search to the
// outcome. Construction runs the whole workflow (device-search dialog 21500,
// version check, confirmation, progress dialog) and returns when it is over.
//
// Threads:
// - The constructor and the dialog callbacks run on the user-interface thread.
// - cb_cmc_chkret runs on the communication controller's check thread (or on
//   the user-interface thread, inside cb_dlg_init, when that thread cannot be
//   started). It touches the dialog only by PostMessageA of WM_COMMAND.
// - `cmc` is written only by cb_cmc_chkret, before it posts the command that
//   makes the user-interface thread read it (3100, and 3000 after it).
//   cb_dlg_init never stores the pointer that construction returned: the
//   controller may already have destroyed itself by then.
#pragma once

#include <shex_hex.h>

class cls_pwin_dlg;
class CLS_pcmc;

class CLS_pwrc_upd {
public:
    // devmax/chkmax: device limit and probed names for the controller; hex:
    // the image to write (not owned; must outlive the call); ver: the image's
    // version; ver_chk 1 = compare versions first; check 1 = ask the user to
    // confirm; msg 1 = show outcome boxes. *result (when result is not null)
    // becomes 1 only when the update ran to completion, else 0.
    CLS_pwrc_upd(unsigned long devmax, unsigned long chkmax, SHEX_HEX *hex, unsigned long ver,
                 int ver_chk, int check, int msg, int *result);

    CLS_pwrc_upd(const CLS_pwrc_upd &) = delete;
    CLS_pwrc_upd &operator=(const CLS_pwrc_upd &) = delete;

private:
    // Dialog callbacks of dialog 21500; obj is this instance.
    static void cb_dlg_init(cls_pwin_dlg *pwin_dlg, void *obj);
    // 2 = close the dialog, 1 = nothing more.
    static unsigned char cb_dlg_control(cls_pwin_dlg *pwin_dlg, void *obj,
                                        unsigned short item_id);
    // 2 = allow closing (only for 3000 and 3100..3103), 1 = refuse.
    static unsigned char cb_dlg_quit(cls_pwin_dlg *pwin_dlg, void *obj,
                                     unsigned short item_id);
    // Check outcome from the controller: 1 keeps the controller (code 0),
    // 2 lets the check thread release it (codes 1..3).
    static unsigned short cb_cmc_chkret(unsigned short chkret, unsigned long dev_num,
                                        void *cmc_obj, void *obj);

    // Shows one outcome box (string msg_id, stop icon) owned by the search
    // dialog when `msg` is 1, then posts command `cmd` to that dialog.
    void report_and_post(unsigned short msg_id, unsigned short cmd);

    unsigned long dev_max;
    unsigned long chk_max;
    SHEX_HEX *hex;
    unsigned long hex_ver;
    int ver_chk;
    cls_pwin_dlg *dlg = nullptr;
    CLS_pcmc *cmc = nullptr;
    int check;
    int msg;
    int result = 0;
};
