// The line manager's page of the window's report (the Report... button):
// the report read with its chain checked, the page written into the user's
// temporary folder (stw_page_path) and opened in the default browser. A
// report can hold a year of units, so all of it runs on a thread of its
// own; the station may go on appending to the report meanwhile (a last
// line still being written is skipped). Or the page of the whole line on
// a day, computed by the factory's database (stn_db_figures through
// ODBC) on that same thread: the connection, the queries and the writing
// never hold up the window.
//
// Thread boundary:
// - Dialog thread: constructs and destroys StwPageMaker, calls start(),
//   busy() and take(). It owns thread_ and job_ (the pointer).
// - Page thread (one per start): reads, writes and opens, fills the job's
//   result and posts kStwMsgPage to the dialog as its last act. Until then
//   the result is the page thread's alone; the dialog reads it in take(),
//   after the thread has ended.
// - Shared: the job (held by both through a shared pointer, so that a
//   thread left behind at the end never outlives what it writes to) and
//   its cancel flag (atomic), which the destructor sets to stop a read at
//   its next chunk.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "stw_text.h"

// Posted to the dialog when the page is done (or failed). wParam and
// lParam are unused.
constexpr UINT kStwMsgPage = WM_APP + 3;

struct StwPageResult {
    StwPageOutcome outcome = StwPageOutcome::kReadFailed;
    unsigned long error = 0;  // the system's error code; 0: none
    std::string report;       // UTF-8, as given to start()
    std::string page;         // UTF-8; empty when its place was not known yet
};

class StwPageMaker {
public:
    // notify: the dialog that gets kStwMsgPage.
    explicit StwPageMaker(HWND notify) : notify_(notify) {}
    // Asks a page being made to stop and waits a short while for it; a
    // thread still held by the shell then is left to end on its own.
    ~StwPageMaker();
    StwPageMaker(const StwPageMaker &) = delete;
    StwPageMaker &operator=(const StwPageMaker &) = delete;

    // Starts making the page of report (UTF-8, not empty); false while one
    // is being made. kStwMsgPage follows every start that returned true.
    bool start(const std::string &report);
    // Starts making the page of every station that delivered to the
    // database at connection_string, for the local day year-month-day
    // (UTC [from_ms, to_ms)); false while a page is being made.
    bool start_line(const std::string &connection_string, int year, int month, int day,
                    std::int64_t from_ms, std::int64_t to_ms);
    // A page is being made (from start() until take()).
    bool busy() const { return job_ != nullptr; }
    // On kStwMsgPage: waits for the page thread's end (it posts as its last
    // act) and hands over what it found. Not busy afterwards.
    StwPageResult take();

    struct Job;

private:
    // Runs job on a page thread of its own (here when none can be had).
    void launch(std::shared_ptr<Job> job);

    HWND notify_;
    HANDLE thread_ = nullptr;    // null also when the job ran on this thread
    std::shared_ptr<Job> job_;   // null: not busy
};
