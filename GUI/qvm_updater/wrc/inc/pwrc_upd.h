// Update controller: one press of Update from the device search to the
// outcome. Construction runs the whole workflow (device-search dialog 21500,
// version check, confirmation, progress dialog) and returns when it is over.
//
// Threads:
// - The constructor and the dialog callbacks run on the user-interface thread.
// - cb_cmc_chkret runs on the communication controller's check thread (or on
//   the user-interface thread, inside cb_dlg_init, when that thread cannot be
//   started). It touches the dialog only by PostMessageA of WM_COMMAND.
// - Which thread writes which field, and when the other may read it, is
//   noted at the fields. cb_dlg_init never stores the pointer that the
//   controller's construction returned: the controller may already have
//   destroyed itself by then.
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
    // kPwinDlgClose = close the dialog, kPwinDlgStay = nothing more.
    static unsigned char cb_dlg_control(cls_pwin_dlg *pwin_dlg, void *obj,
                                        unsigned short item_id);
    // kPwinDlgClose only for 3000 and 3100..3103; kPwinDlgStay (refuse)
    // for every other id.
    static unsigned char cb_dlg_quit(cls_pwin_dlg *pwin_dlg, void *obj,
                                     unsigned short item_id);
    // Check outcome from the controller: kCmcKeep for kCmcChkReady (the
    // controller is kept for the update), kCmcRelease for every other code.
    static unsigned short cb_cmc_chkret(unsigned short chkret, unsigned long dev_num,
                                        void *cmc_obj, void *obj);

    // Shows one outcome box (string msg_id, stop icon) owned by the search
    // dialog when `msg` is 1, then posts command `cmd` to that dialog.
    void report_and_post(unsigned short msg_id, unsigned short cmd);

    // Set by construction and never written again: either thread reads them.
    unsigned long dev_max;
    unsigned long chk_max;
    SHEX_HEX *hex;
    unsigned long hex_ver;
    int ver_chk;
    int check;
    int msg;

    // Written by cb_dlg_init on the user-interface thread before it creates
    // the controller (whose check thread then reads it); cleared after the
    // dialog ended.
    cls_pwin_dlg *dlg = nullptr;

    // Written by cb_cmc_chkret on the check thread (code kCmcChkReady) before
    // it posts 3100; from then on the user-interface thread alone reads and
    // clears it (3100 and 3000). Null while the check runs.
    CLS_pcmc *cmc = nullptr;

    // User-interface thread only: the progress dialog's result, read after
    // the dialog ended.
    int result = 0;
};
