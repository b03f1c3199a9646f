// Driving qvm_station.exe from outside: starting it with arguments, finding
// its window, tiles, counters and message boxes, real X11 input through
// xdotool and screenshots through ImageMagick's import (Unix programs that
// Wine starts for us, on the session's display).
//
// Threads: the test thread only. Every wait has a deadline.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "qvm_e2e.h"
#include "test_json_field.h"

namespace station_e2e {

// The program under test, in Windows path form.
std::string station_path();

// One qvm_station.exe, or another program watched the same way. The
// destructor ends it if it still runs.
class Station : public qvm_e2e::Program {
public:
    // args: the command line after the program's name.
    bool start(const std::string &args) { return start_exe(station_path(), args); }
    // Another program (Windows path).
    bool start_exe(const std::string &exe, const std::string &args) {
        return Program::start(exe, SW_SHOWNORMAL, args);
    }
    // The visible station window (waited for), or null; the station's
    // window is a dialog, not the updater's main class.
    HWND wait_main(DWORD ms = 10000) const;
    // A visible message box of this process (a "#32770" without the Start
    // button) whose text holds `part`, waited for; null when none came.
    HWND wait_box(const std::string &part, DWORD ms = 10000) const;
};

// A message box's text.
std::string box_text(HWND box);
// Presses a message box's button (IDOK, IDNO, ...) and waits until it is gone.
bool answer(HWND box, int id);

// The tile of device `index` in the station window, or null.
HWND tile(HWND main, unsigned index);
std::string tile_text(HWND main, unsigned index);
// Waits until the tile's text holds `part` (the last text in *seen).
bool wait_tile(HWND main, unsigned index, const std::string &part, std::string *seen,
               DWORD ms = 30000);
// Waits until control `id` of the window shows exactly `text`.
bool wait_item(HWND main, int id, const std::string &text, std::string *seen,
               DWORD ms = 30000);

// Runs a Unix command line (through /bin/sh) to its end; true when it
// exited 0 within 20 s.
bool run_unix(const std::string &command);
// A real click of the mouse's left button in the middle of `wnd`.
bool x_click(HWND wnd);
// Presses a button that is disabled once it has done its work (Start):
// a real click, again when `done` does not come true within 5 s. A click
// can land while the window is still moving (just maximized), and a
// second one on the disabled button does nothing.
bool x_press(HWND button, const std::function<bool()> &done);
// Real keys ("alt+t") to the window, made active by a click on `on` first.
bool x_keys(HWND on, const std::string &keys);
// Scanner-style input: a real click on `on` (a field), then each code
// typed and ended with Enter, as a barcode scanner sends it.
bool x_scan(HWND on, const std::vector<std::string> &codes);
// A PNG of the whole screen as name.png, in the folder QVM_STATION_SHOTS
// names (Unix path; the demo's), else in the build's
// tests/e2e/station/shots. True when it was made.
bool screenshot(const std::string &name);
// Forgets the station window's kept size and place (HKCU), so that it opens
// at its designed size.
void forget_placement();

// A registry value for the programs started meanwhile; the one before (or
// none) comes back at the end.
class ScopedValue {
public:
    ScopedValue(HKEY root, const char *key, const char *name);
    ~ScopedValue();
    ScopedValue(const ScopedValue &) = delete;
    ScopedValue &operator=(const ScopedValue &) = delete;
    bool set(DWORD type, const void *data, DWORD size);
    // A string value (REG_SZ).
    bool set(const std::string &text) {
        return set(REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
    }

private:
    HKEY key_ = nullptr;
    std::string name_;
    bool ok_ = false, had_ = false;
    DWORD type_ = 0;
    std::vector<BYTE> before_;
};

// The screen's DPI for the windows started meanwhile (Wine takes it from
// the prefix's LogPixels).
class ScopedDpi {
public:
    bool set(DWORD dpi) { return value_.set(REG_DWORD, &dpi, sizeof dpi); }

private:
    ScopedValue value_{HKEY_CURRENT_USER, "Control Panel\\Desktop", "LogPixels"};
};

// Nothing opens .html files while it lives (Wine's shell reads the
// machine's classes): the station's Report... then says where the page is
// instead of handing it to a browser. ok(): that was set.
class ScopedNoHtmlOpener {
public:
    ScopedNoHtmlOpener()
        : type_(HKEY_LOCAL_MACHINE, "Software\\Classes\\.html", ""),
          ok_(type_.set("qvm-no-such-type")) {}
    bool ok() const { return ok_; }
    // From now on .html opens as Wine's htmlfile: with winebrowser.
    bool browser() { return type_.set("htmlfile"); }

private:
    ScopedValue type_;
    bool ok_;
};

// Deletes a test's report, or with QVM_STATION_SHOTS set moves it there as
// station-report.jsonl, for the demo to show.
void keep_report(const std::string &path);

// A file's bytes; empty when it cannot be read.
std::string file_text(const std::string &path);
// The report's whole lines.
std::vector<std::string> report_lines(const std::string &path);
// The report's "unit" lines.
std::vector<std::string> unit_lines(const std::string &path);
using test_support::field;

}  // namespace station_e2e
