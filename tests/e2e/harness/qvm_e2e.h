// Harness for end-to-end tests: starts qvm_updater.exe as a separate
// process and drives its windows through Win32 messages, as a user's
// clicks and keys would, from outside the process.
//
// Threads: the test thread only. Every wait polls with a deadline, so a
// program that hangs fails the test instead of stalling the run; nothing
// here sends a message that could block on the program (a click that opens
// a modal dialog is posted, never sent).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "test_handle.h"

namespace qvm_e2e {

// Default deadline for a window to appear or a process to end.
constexpr DWORD kWaitMs = 10000;

// A built file's path as a Windows program sees it: a Unix path (cross
// build run under Wine) through drive Z:, with backslashes.
std::string windows_path(const std::string &built);

// The program under test, in Windows path form (set by the build).
std::string updater_path();

// The window class of the program's main dialog, which its template names.
constexpr char kMainClass[] = "R846_QVM2K_CLASS";
// Registers (and removes again) a plain dialog class of that name in this
// process, so that the program's templates can be built here from its
// resources, for measuring in dialog units.
void register_main_class();
void unregister_main_class();

// Polls `done` every 10 ms until it is true (returns true) or `ms` passed.
bool wait_until(const std::function<bool()> &done, DWORD ms = kWaitMs);

// One run of a program. The destructor ends a process that is still running
// (so a failed test leaves nothing behind) and closes the handles.
class Program {
public:
    Program() = default;
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    // Starts `exe` with the show state `show` (STARTUPINFO wShowWindow) and
    // the command line after its name `args`. False when the process could
    // not be created.
    bool start(const std::string &exe = updater_path(), WORD show = SW_SHOWNORMAL,
               const std::string &args = std::string());

    DWORD pid() const { return pid_; }
    bool running() const;
    // True when the process ended within `ms`.
    bool wait_exit(DWORD ms = kWaitMs);
    // The exit code of an ended process; STILL_ACTIVE while it runs.
    DWORD exit_code() const;

    // Top-level windows of this process: all, or visible ones of a class.
    std::vector<HWND> windows() const;
    std::vector<HWND> visible_windows(const char *class_name) const;

    // The visible main dialog (class "R846_QVM2K_CLASS") of this process,
    // waited for; null when none appeared within `ms` or the process ended.
    HWND wait_main(DWORD ms = kWaitMs) const;
    // A visible dialog or message box (class "#32770") of this process that
    // is not in `known`, waited for; null when none appeared.
    HWND wait_new_dialog(const std::vector<HWND> &known = {}, DWORD ms = kWaitMs) const;
    std::vector<HWND> dialogs() const { return visible_windows("#32770"); }

private:
    test_support::Handle process_;
    test_support::Handle thread_;
    DWORD pid_ = 0;
};

// Window helpers; they work on windows of any process.
std::string window_text(HWND wnd);
std::string item_text(HWND dlg, int id);
std::string class_name(HWND wnd);
// Posts the command a click on button `id` of `dlg` sends (BN_CLICKED).
void click(HWND dlg, int id);
// Posts a key press (down and up) to the window that has the keyboard focus
// in `dlg`'s thread, or to `dlg` when none has it.
void press_key(HWND dlg, UINT vk);
// Posts the close-box command (WM_SYSCOMMAND SC_CLOSE).
void close_box(HWND wnd);
// True when `wnd` no longer exists within `ms`.
bool wait_gone(HWND wnd, DWORD ms = kWaitMs);
// Child windows of `dlg` in z order, which for a dialog is template order.
std::vector<HWND> children(HWND dlg);
// Window rectangle of child `item` in `dlg`'s client coordinates.
RECT rect_in(HWND dlg, HWND item);

} // namespace qvm_e2e
