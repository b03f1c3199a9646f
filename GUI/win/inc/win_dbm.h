// The bitmap button: a push button of a dialog template drawn from four
// bitmaps (normal, pressed, focused, disabled), with cursors of its own.
// Type 1 is an ordinary push button; types 2 (close), 3 (maximize/restore)
// and 4 (minimize) are caption buttons that light up while hovered (they
// take the focus and the mouse capture and give the focus back on leaving),
// act on the dialog window and are passed over by keyboard navigation.
//
// Ownership: the callback-driven dialog builds one per control-table row of
// type 1..4 and deletes it when the dialog is destroyed.
// Threads: the user-interface thread that owns the dialog.
#pragma once

#include <afxext.h>
#include <afxwin.h>

#include "pwin_dlg.h"

class cls_win_dbm : public CBitmapButton {
public:
    // Builds the button for `row` (type 1..4, context a
    // SWIN_DLG_CTRL_BMPBUTTON) of dlg, whose controls already exist: takes
    // over the control, makes it owner-drawn from images bmp_id..bmp_id+3
    // and sizes it to the normal image (the position stays).
    // Does not block; the dialog's thread.
    //   width > 0  the button draws itself
    //   width 0    no context, normal image or such control: the control
    //              stays as the template made it (a plain button)
    cls_win_dbm(CDialog *dlg, SWIN_DLG_CTRL *row);
    ~cls_win_dbm() override = default;

    // Whether point (button client coordinates) lies on the normal image.
    //   1  0 <= x < width and 0 <= y < height
    //   0  outside
    int win_bmpbt_check_mouse(CPoint point) const;
    // Ends hovering of a caption button: focus and default-button look go
    // back to the control that had them, and the capture is released.
    // Nothing for type 1.
    void win_bmpbt_release_capture();

    BOOL PreTranslateMessage(MSG *msg) override;

    CDialog *dlg = nullptr;         // the owning dialog
    SWIN_DLG_CTRL ctrl{};           // copy of the table row
    int width = 0;                  // size of the normal image
    int height = 0;
    HWND old_focus = nullptr;       // focus before hovering (types 2..4)
    unsigned long old_type = DLGC_BUTTON;  // its dialog code; DLGC_BUTTON = nothing to restore
    int bt_capture = 0;             // 1 while holding the capture for hovering
    int bt_max_window = 0;          // type 3: 0 = next click maximizes, 1 = restores
    int bt_next_item = 0;           // 1 while a navigation key is handed on
    unsigned long bt_w_param = 0;   // that key's virtual-key code
    long bt_l_param = 0;            // and its lParam
    HCURSOR h_cur_fcs = nullptr;    // shared cursors, never destroyed
    HCURSOR h_cur_sel = nullptr;

protected:
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
    bool is_caption() const { return ctrl.type >= 2 && ctrl.type <= 4; }
    BOOL OnSetCursor(CWnd *wnd, UINT hit_test, UINT message);
    void OnLButtonUp(UINT flags, CPoint point);
    void OnMouseMove(UINT flags, CPoint point);
    void OnSetFocus(CWnd *old_wnd);
    void OnKillFocus(CWnd *new_wnd);
};
