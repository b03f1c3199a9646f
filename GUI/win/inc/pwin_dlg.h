// The callback-driven dialog: every dialog of the program is a cls_pwin_dlg
// described by a SWIN_DLG_INFO (template id, owner object, callbacks); the
// class turns the dialog's window messages into callback calls.
//
// Threads: a dialog and all its callbacks run on the thread that owns its
// window (the user-interface thread); callbacks are called from inside the
// window's message handling. pwin_msg_dlg may be called from any thread.
// A modeless dialog is closed only through its message queue (WM_CLOSE),
// never deleted from outside. A close request that arrives while one of the
// dialog's callbacks runs (a nested message loop inside it) is handled when
// that callback has returned.
#pragma once

#include <afxext.h>
#include <afxwin.h>
#include <shellapi.h>

class cls_pwin_dlg;

// Answers of cb_dlg_control and cb_dlg_quit. The values are fixed by the
// callback protocol; only the names are ours.
constexpr unsigned char kPwinDlgStay = 1;   // go on: nothing more / the close is refused
constexpr unsigned char kPwinDlgClose = 2;  // close the dialog

// Callback protocol. `obj` is SWIN_DLG_INFO::obj, handed back unchanged.
// Every callback runs on the dialog's thread, inside its message handling.
// cb_dlg_init: once, when the dialog has been set up (inside creation).
typedef void (*PWIN_CB_DLG_INIT)(cls_pwin_dlg *dlg, void *obj);
// cb_dlg_control: each accepted command (ids 1..9, 57670, 3000..3999).
//   kPwinDlgClose  a close request is posted to the dialog
//   other          nothing more (kPwinDlgStay)
typedef unsigned char (*PWIN_CB_DLG_CONTROL)(cls_pwin_dlg *dlg, void *obj,
                                             unsigned short item_id);
// cb_dlg_quit: each close request, with the id that led to it (the last
// accepted command, or 8 after a system close). Without it every close
// request closes.
//   kPwinDlgClose  the dialog closes
//   other          refused, the dialog stays open (kPwinDlgStay)
typedef unsigned char (*PWIN_CB_DLG_QUIT)(cls_pwin_dlg *dlg, void *obj, unsigned short item_id);
// cb_dlg_drop: files dropped on the dialog; the dialog releases the handle.
typedef void (*PWIN_CB_DLG_DROP)(cls_pwin_dlg *dlg, void *obj, HDROP drop);

// One row of the control table; a row with id 0 ends the table.
struct SWIN_DLG_CTRL {
    unsigned short id;    // control id, or the dialog's dlg_id for the dialog itself
    unsigned short type;  // 0 plain, 1..4 bitmap buttons, 5 transparent text, other plain
    int x;                // new position (client coordinates; screen for the dialog row)
    int y;
    int width;            // 0 = current client width + 1
    int height;           // 0 = current client height + 1
    void *context;        // types 1..4: SWIN_DLG_CTRL_BMPBUTTON
};

// Bitmap-button data of a control-table row of type 1..4.
struct SWIN_DLG_CTRL_BMPBUTTON {
    unsigned short bmp_id;   // first of four bitmaps: normal, pressed, focused, disabled
    unsigned short cur_fcs;  // cursor id over the button (pwin_load_cursor)
    unsigned short cur_sel;  // cursor id while the left button goes down on it
};

// One row of the scroll table.
struct SWIN_DLG_SCROLL {
    unsigned short item_id;  // scroll-bar control id
    unsigned int range;      // highest position (lowest is 0)
    unsigned int page;       // one page step
    int move;                // 1 = report every thumb movement while dragging
};

// One row of the bitmap table; the dialog owns h_bmp.
struct SWIN_DLG_BITMAP {
    unsigned short bmp_id;
    HBITMAP h_bmp;
};

// The description of one dialog, filled by its owner and copied by the
// dialog (the control table itself is not copied: it must outlive it).
struct SWIN_DLG_INFO {
    unsigned short dlg_id;  // template resource id
    void *obj;              // owner object, second argument of every callback
    void *cb_dlg_init;      // PWIN_CB_DLG_INIT or null
    void *cb_dlg_control;   // PWIN_CB_DLG_CONTROL or null
    void *cb_dlg_quit;      // PWIN_CB_DLG_QUIT or null
    void *cb_dlg_drop;      // PWIN_CB_DLG_DROP or null
    unsigned short cur_fcs;  // cursor id over the dialog's own surface (0 = arrow)
    unsigned short cur_sel;  // cursor id when the left button goes down on the caption
    unsigned short bmp;      // wallpaper bitmap id, 0 = none
    unsigned short bmp_msk;  // shape mask bitmap id, 0 = none (only with bmp)
    SWIN_DLG_CTRL *ctrl;     // control table or null
};

class cls_pwin_dlg : public CDialog {
public:
    // Runs dialog dlg_info.dlg_id modally (no parent) to its end.
    // Blocks until the dialog has closed (its own loop on the calling
    // thread, which becomes the dialog's thread); keep the object a local.
    // *item_id (writable storage) gets the low 16 bits of the result:
    //   id      the command id that ended it
    //   0xFFFF  the template did not load; no callback has run
    cls_pwin_dlg(SWIN_DLG_INFO dlg_info, unsigned short *item_id);
    // Creates dialog dlg_info.dlg_id modeless (no parent); when show is
    // exactly 1, shows and paints it.
    // Does not block; calling thread. Create with new: the object deletes
    // itself when its window closes.
    //   m_hWnd set   created; the object is the window's from now on
    //   m_hWnd null  not created; the creator deletes the object
    cls_pwin_dlg(SWIN_DLG_INFO dlg_info, int show);
    // Frees the wallpaper, the scroll, bitmap and button tables.
    ~cls_pwin_dlg() override;

    // Fills dlg_id, obj and three callbacks; no drop callback, cursor ids 0,
    // no wallpaper, no mask, no control table.
    // Does not block; any thread.
    static void pwin_dlg_init_dlg_info(SWIN_DLG_INFO *dlg_info, unsigned short dlg_id, void *obj,
                                       void *cb_dlg_init, void *cb_dlg_control,
                                       void *cb_dlg_quit);
    // Single instance: finds a top-level window of the class named by string
    // class_id, else registers that dialog window class.
    // Does not block; user-interface thread.
    //   1  no such window; the class is registered
    //   0  such a window exists (restored and brought to the front when
    //      visible), or no class name, or registration failed
    static int pwin_dlg_reg_class(unsigned short class_id);
    // Shows a message box: caption `title` (else string title_id), text
    // `msg` (else string msg_id), each cut to 239 characters; `type` is the
    // box style. Owner: wnd, else the calling thread's active window, else
    // the application's main window, else none.
    // Blocks until the box is answered (a nested loop on the calling
    // thread); any thread.
    //   IDOK, IDCANCEL...  the button that ended it
    //   0                  the box could not be shown
    static unsigned short pwin_msg_dlg(unsigned short title_id, const char *title,
                                       unsigned short msg_id, const char *msg, unsigned int type,
                                       CWnd *wnd);

    // Dialog services: item_id names a control of this dialog. None blocks;
    // the dialog's thread.
    // Enables (enable nonzero) or disables a control.
    void pwin_dlg_enable_item(unsigned short item_id, int enable);
    // Sets a control's text; a transparent-text control (table type 5) gets
    // the wallpaper under it repainted.
    void pwin_dlg_set_text(unsigned short item_id, const char *str);
    // Sets str1 then str2 (null parts skipped), at most 479 characters in all.
    void pwin_dlg_set_text(unsigned short item_id, const char *str1, const char *str2);
    // Sets string resource text_id (at most 239 characters).
    void pwin_dlg_set_text(unsigned short item_id, unsigned short text_id);
    // Selected index of combo box item_id.
    //   index   the selection
    //   CB_ERR  none selected (as unsigned long)
    unsigned long pwin_dlg_get_list_cur(unsigned short item_id);
    // Copies the text of item `index` of combo box item_id into str (large
    // enough); nothing when str is null.
    void pwin_dlg_get_list_text(unsigned short item_id, unsigned long index, char *str);

    // State, read by the toolkit and tests; owned as the comments say.
    unsigned char type = 0;        // 0 modal, 1 modeless
    unsigned short item_id = 0;    // last accepted command id, 8 after a system close
    SWIN_DLG_INFO dlg_info{};      // own copy of the description
    HCURSOR h_cur_fcs = nullptr;   // shared cursors, never destroyed
    HCURSOR h_cur_sel = nullptr;
    CBitmap *wallpaper = nullptr;  // owned, or null
    unsigned long scroll_num = 0;
    SWIN_DLG_SCROLL *scroll = nullptr;  // owned (LocalAlloc)
    unsigned long bmp_num = 0;
    SWIN_DLG_BITMAP *bmp = nullptr;     // owned (LocalAlloc), and every h_bmp
    unsigned long dbm_num = 0;
    CBitmapButton **dbm = nullptr;      // owned (LocalAlloc), and every button

protected:
    BOOL OnInitDialog() override;
    BOOL OnCommand(WPARAM wp, LPARAM lp) override;
    BOOL OnNotify(WPARAM wp, LPARAM lp, LRESULT *result) override;
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
    // Message handlers (routed by WindowProc). OnCtlColor answers null for
    // the framework's default answer.
    HBRUSH OnCtlColor(CDC *dc, CWnd *wnd, UINT ctl_type);
    void OnPaint();
    void OnSysCommand(UINT id, LPARAM lp);
    void OnClose();
    void OnHScroll(UINT code, UINT pos, CWnd *bar);
    void OnVScroll(UINT code, UINT pos, CWnd *bar);
    BOOL OnSetCursor(CWnd *wnd, UINT hit_test, UINT message);
    LRESULT OnNcHitTest(CPoint point);
    void OnDropFiles(HDROP drop);

    void win_dlg_init(const SWIN_DLG_INFO &info);
    void win_dlg_owner();
    void win_dlg_dbm(SWIN_DLG_CTRL *row);
    int win_dlg_check_trans_text(unsigned short id) const;
    void win_dlg_scroll(UINT code, UINT pos, CWnd *bar);
    void win_dlg_free();
    void win_dlg_call_done();

    // A close never runs under a running callback of this dialog: a close
    // request that arrives meanwhile (through a nested message loop) is
    // posted again when the outermost callback has returned, so neither the
    // owner nor the dialog is freed under it. busy_ counts running callbacks.
    int busy_ = 0;
    bool close_pending_ = false;
};
