// Test harness for dialogs in a real message loop: callbacks that record
// what the dialog reports, a script of steps run one per timer tick on the
// dialog's own thread (so key input and posted messages are handled between
// steps), real key input, and a message-box answerer on a second thread.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "pwin_dlg.h"
#include "test_handle.h"

struct DlgRecord {
    int inits = 0;
    std::vector<unsigned short> controls;
    std::vector<unsigned short> quits;
    // Answers of the callbacks; control answers kPwinDlgStay and quit
    // kPwinDlgClose unless set.
    std::function<unsigned char(cls_pwin_dlg *, unsigned short)> control;
    std::function<unsigned char(cls_pwin_dlg *, unsigned short)> quit;
    std::function<void(cls_pwin_dlg *)> init;
    // Run one per tick after the dialog is up; the dialog must close by
    // itself afterwards or the script gives up and ends it (timed_out).
    std::vector<std::function<void(cls_pwin_dlg *)>> steps;
    size_t next_step = 0;
    int idle_ticks = 0;
    bool timed_out = false;
    cls_pwin_dlg *dlg = nullptr;
};

// A description with the recording callbacks (quit optional).
SWIN_DLG_INFO describe(unsigned short dlg_id, DlgRecord *rec, bool with_quit = true);

// Runs a modal dialog with the record's script; returns the stored id.
unsigned short run_modal(unsigned short dlg_id, DlgRecord *rec, bool with_quit = true);

// Real key input (SendInput) to the foreground window; alt holds Alt.
void press_key(WORD vk, bool alt = false);

// Sends WM_SETCURSOR to `wnd` for the pointer over `over` (hit-test code,
// mouse message) with no cursor set before; the window's answer. The
// cursor it chose is then GetCursor().
LRESULT send_set_cursor(HWND wnd, HWND over, WORD hit, UINT mouse);

// Pumps the calling thread's messages the way the framework's loops do
// until done() holds; false after timeout_ms.
bool pump_until(const std::function<bool()> &done, DWORD timeout_ms = 3000);

// What a message box showed.
struct BoxSeen {
    bool seen = false;
    std::string caption;
    std::string text;
    HWND owner = nullptr;
    DWORD thread = 0;
};

// Waits on a thread of its own for the next message box of this process,
// records it and answers it with button `answer`.
class BoxAnswerer {
public:
    explicit BoxAnswerer(int answer);
    ~BoxAnswerer();
    // Waits until the box was answered (or timeout); the record.
    BoxSeen wait(DWORD timeout_ms = 5000);

private:
    static DWORD WINAPI run(void *self);
    int answer_;
    test_support::Handle thread_;
    test_support::Handle done_;
    BoxSeen seen_;
};
