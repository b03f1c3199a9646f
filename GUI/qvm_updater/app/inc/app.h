// The program's top: the framework application object `winapp`, which
// applies the single-instance rule and creates the application object, and
// CLS_app, which owns the main dialog's data (the firmware image, its
// version, the large-text font) and dispatches the main dialog's commands.
//
// Threads: everything here runs on the user-interface thread; the dialog
// callbacks are called from inside the main dialog's message handling.
//
// Ownership: InitInstance allocates the CLS_app; from then on the only
// reference to it is the `obj` of the main dialog's description, and its
// quit callback deletes it. The main dialog deletes itself when its window
// closes; CLS_app never deletes it.
#pragma once

#include <afxwin.h>

#include "cmc_dev_ver.h"
#include "pwin_dlg.h"
#include "shex_hex.h"

class cls_winapp : public CWinApp {
public:
    cls_winapp() = default;
    ~cls_winapp() override;
    // Nonzero: the main dialog is up and the message loop runs. 0: another
    // instance runs (it has been brought back), the window class could not
    // be registered, or the application object or its main dialog could
    // not be made; the program ends without a window or message.
    BOOL InitInstance() override;
};

// The one application object of the process.
extern cls_winapp winapp;

class CLS_app {
    friend class cls_winapp;  // deletes an application whose dialog failed

public:
    // Creates the main dialog (template 2000, modeless, shown normally
    // whatever `show` says) and stores it in *main_wnd, or null when it
    // could not be created.
    CLS_app(CWnd **main_wnd, int show);

private:
    // Releases the image and the font (as the quit callback does).
    ~CLS_app();
    CLS_app(const CLS_app &) = delete;
    CLS_app &operator=(const CLS_app &) = delete;

    // Initial values of every field.
    void app_init();
    // Builds the embedded image and shows its version in control 3012; with
    // no usable image, disables "Update" and "Get firmware ver." for good.
    void app_rom_load(cls_pwin_dlg *pwin_dlg);
    // Runs one main-dialog command (the command table).
    void menu_sel(unsigned short menu_id);
    // "Update": the whole update dialogue; on a completed update the device
    // version display is refreshed (app_set).
    void app_setup(cls_pwin_dlg *pwin_dlg);
    // "Get firmware ver.": reads the device's version record and shows its
    // firmware version, "No firm" or "------" in control 3010 (app_lic).
    void app_get_ver(cls_pwin_dlg *pwin_dlg);
    // Frees both image blocks and the font; harmless when repeated.
    void app_release();

    // Main dialog callbacks; obj is the CLS_app.
    // Icon, caption, the 24-point font of controls 3010..3012, image load.
    static void cb_dlg_init(cls_pwin_dlg *pwin_dlg, void *obj);
    // kPwinDlgClose for the Exit button and Escape (id 2); otherwise the
    // command is dispatched and the answer is kPwinDlgStay.
    static unsigned char cb_dlg_control(cls_pwin_dlg *pwin_dlg, void *obj,
                                        unsigned short item_id);
    // kPwinDlgClose: the CLS_app has been released and the dialog may
    // close. It cannot come while a command runs (and still uses this
    // object): commands run inside cb_dlg_control, and the dialog defers
    // close requests until that callback has returned.
    static unsigned char cb_dlg_quit(cls_pwin_dlg *pwin_dlg, void *obj, unsigned short item_id);

    cls_pwin_dlg *main_wnd;  // the main dialog (deletes itself)
    int help;                // 1: no command runs; 0: a command's modal
                             // dialogue (About, update, version query) runs
    CFont font;              // 24-point font of the three large texts
    SHEX_HEX hex;            // the embedded image (blocks owned)
    unsigned long ver;       // image version; kNoVersion = none
    SCMC_DEV_VER ver_info;   // last device version record read
};
