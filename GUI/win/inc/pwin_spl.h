// The splash window: a borderless window shaped and painted from bitmap
// resource 10401 (black cut away), centred on the desktop, that stays up
// for a minimum time and then closes when its owner says it is ready,
// showing the owner's main window.
//
// Ownership: pwin_open_splash creates the object; it deletes itself when
// its window is destroyed. The owner must not touch it after it closed
// (after an answer that let it close, or after pwin_close_splash was
// honoured).
// Threads: the user-interface thread; the callback is called from the
// splash's message handling (timer) or from inside pwin_close_splash.
#pragma once

#include <afxwin.h>

// Resource id of the splash image (shape and picture).
constexpr unsigned short kPwinSplashBitmap = 10401;

// cb_spl_close: asked whether the splash may close.
//   0      not ready: the splash stays
//   1      close and show `wnd`
//   other  close without showing it
typedef unsigned char (*PWIN_CB_SPL_CLOSE)(void *obj);

struct SWIN_SPL_INFO {
    CWnd *wnd;           // shown when the splash closes after answer 1 (may be null)
    int m_nCmdShow;      // show command (SW_...) for wnd
    void *obj;           // owner object, handed to the callback
    void *cb_spl_close;  // PWIN_CB_SPL_CLOSE or null (then never ready by itself)
    unsigned long time;  // minimum display time in ms; 0 = none
};

class cls_pwin_spl : public CWnd {
public:
    // Shows a splash for `info`, without activating it; it stays on top.
    // Does not block; user-interface thread.
    //   splash  shown; it deletes itself when its window is destroyed
    //   null    bitmap 10401 is missing or the window cannot be created;
    //           the owner shows its window itself
    static cls_pwin_spl *pwin_open_splash(const SWIN_SPL_INFO &info);

    // The owner's request to end the splash. Once the minimum time has
    // passed (at once when `time` is 0) it asks cb_spl_close once more and
    // closes the splash whatever the answer; before that it does nothing,
    // and the splash waits for its timer and the owner's answer there.
    // Does not block (the close is posted); user-interface thread.
    void pwin_close_splash();

    SWIN_SPL_INFO spl_info{};  // own copy of the description
    unsigned char close = 0;   // last answer of cb_spl_close
    int time_out = 1;          // 0 while the minimum time runs, else 1
    CBitmap bmp;               // the splash image, owned

protected:
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;
    void PostNcDestroy() override;

private:
    explicit cls_pwin_spl(const SWIN_SPL_INFO &info);
    ~cls_pwin_spl() override = default;

    int OnCreate(LPCREATESTRUCT cs);
    void OnPaint();
    int OnMouseActivate(CWnd *top, UINT hit_test, UINT message);
    void OnTimer(UINT_PTR id);
    void OnClose();
    void win_spl_ask();

    bool self_owned_ = false;  // set once the window exists: deleted with it
};
