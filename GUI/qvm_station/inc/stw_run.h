// One run of the station engine behind the window: the station thread,
// the engine's host, and what crosses between that thread and the dialog.
//
// Thread boundary:
// - Dialog thread (the window's): constructs and destroys StwRun, calls
//   start, request_stop, request_abort, snapshot, take_events, running and
//   join. It owns `notify_`, `store_` (made before the thread, then handed
//   to it), `thread_` and `aborted_`.
// - Station thread (started by start): constructs the engine, open(), then
//   `while (engine.turn())`, then destroys the engine. StnHost callbacks run
//   on it (utc_now also on the engine's workers: it only reads the clock)
//   and only queue events (under `mutex_`) or post kStwMsgTurn to the
//   dialog; they never touch a window. It owns `engine_` while it runs.
// - Shared, under `mutex_`: `engine_` as a pointer (the dialog calls the
//   engine's any-thread members through it only while it is set), `final_`
//   (the last snapshot, kept when the engine goes), `events_`.
// - Atomics: `post_pending_`, `last_post_ms_` (the throttle).
// - `session_`: the station thread says done() once the engine has gone
//   (every unit recorded); end_session waits for that on the dialog thread.
// The engine's workers and watchdog are its own; nothing here sees them.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "stn_deliver.h"
#include "stn_engine.h"
#include "stn_session.h"
#include "stn_store_win.h"

// Private messages posted to the dialog. wParam and lParam are unused.
constexpr UINT kStwMsgTurn = WM_APP + 1;   // a turn ended: read the snapshot
constexpr UINT kStwMsgEnded = WM_APP + 2;  // the station thread has ended

// What the host reported, for the dialog to act on (sounds, notices, the
// banner of a line that stopped itself).
struct StwEvent {
    enum Kind { kPass, kFail, kNotice, kHalt, kMes } kind = kNotice;
    std::string text;  // kNotice, kHalt: for people
    StnMesState mes;   // kMes: the MES stopped or started answering
    StwEvent() = default;
    StwEvent(Kind k, std::string t) : kind(k), text(std::move(t)) {}
};

class StwRun {
public:
    // notify: the dialog that gets kStwMsgTurn and kStwMsgEnded.
    explicit StwRun(HWND notify);
    // Waits for the station thread (which waits for running workers unless
    // an abort let them go).
    ~StwRun();
    StwRun(const StwRun &) = delete;
    StwRun &operator=(const StwRun &) = delete;

    // Opens report (UTF-8) and starts the station thread. Does not block on
    // devices. config.image.edit must outlive this object.
    //   true   started; kStwMsgEnded follows whatever happens
    //   false  the report could not be opened; *why says so
    // deliveries: the report's deliveries (to the database, the MES's
    // check-outs), each woken after every turn and asked before a unit is
    // taken; they must outlive the station thread.
    bool start(const StnConfig &config, const std::string &report, std::string *why,
               const std::vector<StnDelivery *> &deliveries = {});

    // Stop taking units; running updates finish.
    void request_stop();
    // Record the running units as interrupted and end now.
    void request_abort();
    bool aborted() const { return aborted_; }
    // The user's session ends (WM_ENDSESSION): stops taking units, gives
    // the running ones the grace to finish, then records the rest as
    // interrupted; returns once the station thread has recorded them (or
    // the wait gave up). Blocks the dialog thread for that long; the
    // station thread only posts to it meanwhile.
    StnSessionEnd::Outcome end_session();

    // The engine's snapshot, or the last one once the engine is gone.
    StnSnapshot snapshot();
    // Events queued since the last call, oldest first.
    std::vector<StwEvent> take_events();
    // The dialog handled kStwMsgTurn: the next turn may post again.
    void turn_seen() { post_pending_.store(false); }

    // Started and not yet joined: the run holds its report (and the dialog
    // the owner's claim) until join(), also after the thread's last step.
    bool running() const { return thread_ != nullptr; }
    // Joins the ended station thread (after kStwMsgEnded).
    void join();

private:
    class Host;
    static DWORD WINAPI thread_main(LPVOID self);
    void run();
    void post_turn(bool force);
    void queue(StwEvent e);

    HWND notify_;
    StnConfig config_;
    std::shared_ptr<StnWinReportStore> store_;  // shared with the report's writer
    std::vector<StnDelivery *> deliveries_;  // set before the thread starts
    HANDLE thread_ = nullptr;
    bool aborted_ = false;

    std::mutex mutex_;
    StnEngine *engine_ = nullptr;
    StnSnapshot final_;
    std::vector<StwEvent> events_;

    std::atomic<bool> post_pending_{false};
    std::atomic<ULONGLONG> last_post_ms_{0};
    StnSessionEnd session_;
};
