// Update progress dialog (21501): starts the controller's update thread and
// stays open, showing its progress, until that thread reports the end.
//
// Threads:
// - The constructor and the dialog callbacks run on the user-interface thread.
// - cb_cmc_progress and cb_cmc_finish run on the update thread (or, when that
//   thread cannot be started, on the user-interface thread inside
//   cb_dlg_init). They touch the dialog only by the synchronous PBM_SETPOS to
//   the progress bar and by posting WM_COMMAND 3204.
// - Which thread writes which field, and when the other may read it, is
//   noted at the fields.
#pragma once

class cls_pwin_dlg;
class CProgressCtrl;
class CLS_pcmc;

class CLS_wrc_prs {
public:
    // cmc_obj: a controller whose check reported ready (code 0) and was kept;
    // its update thread is started here and releases it when it ends, so the
    // caller must not touch it afterwards. obj: the creator (stored only).
    // cb_app: a creator callback (stored only, may be null). msg 1 = show the
    // outcome box. *result (when result is not null) becomes 1 when every
    // device was written, else 0.
    CLS_wrc_prs(void *cmc_obj, void *obj, void *cb_app, int msg, int *result);

    CLS_wrc_prs(const CLS_wrc_prs &) = delete;
    CLS_wrc_prs &operator=(const CLS_wrc_prs &) = delete;

private:
    static void cb_dlg_init(cls_pwin_dlg *pwin_dlg, void *obj);
    // 2 only for the end command 3204; every other command is ignored.
    static unsigned char cb_dlg_control(cls_pwin_dlg *pwin_dlg, void *obj,
                                        unsigned short item_id);
    // 2 only for 3204: Escape, Enter and system close requests are refused.
    static unsigned char cb_dlg_quit(cls_pwin_dlg *pwin_dlg, void *obj,
                                     unsigned short item_id);
    // value: the new bar position (0..100); the first argument is ignored.
    // Without a bar in the template the position goes nowhere.
    static void cb_cmc_progress(unsigned long first, unsigned long value, void *obj);
    // result 1 = every device written, otherwise failed; the detail is ignored.
    static void cb_cmc_finish(unsigned long result, unsigned long detail, void *obj);

    // Set by construction and never written again: either thread reads them.
    void *obj;
    void (*cb_wrc_upd)(int, void *);
    int msg;

    // User-interface thread only: handed to the update thread (and cleared)
    // in cb_dlg_init.
    CLS_pcmc *cmc_obj;

    // Written by cb_dlg_init on the user-interface thread before it starts
    // the update thread (the start orders the writes), then only read by
    // the update thread until it posts 3204; cleared after the dialog ended.
    cls_pwin_dlg *dlg = nullptr;
    CProgressCtrl *progress = nullptr;  // null when the template has no bar

    // Written by cb_cmc_finish on the update thread before it posts 3204;
    // read on the user-interface thread after the dialog ended on that
    // command.
    int result = 0;
};
