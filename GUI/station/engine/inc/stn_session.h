// The end of the user's session (a logoff, a shutdown or restart; for
// qvm_cli also its console window closing). Windows ends the process a few
// seconds later, so a shell cannot let its running units finish as Stop
// does: they get a short grace to finish, then the rest are recorded
// interrupted, and the shell lets the session go once that is recorded.
// Both shells run this: qvm_cli from its console handler, the window from
// WM_ENDSESSION.
//
// Threads: end() on the thread that got the event (the system's handler
// thread, the dialog thread); done() on the thread that runs the station,
// once it has recorded every unit (any thread); the stop and abort calls
// handed to end() must be callable from end()'s thread.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

// The grace of running units, and how long end() then waits for their
// interrupted lines: Windows ends a console program about 5 s after the
// event (a session's programs about as soon); waiting longer than the
// system only keeps a stuck run from holding the handler for good.
constexpr unsigned kStnSessionGraceMs = 3000;
constexpr unsigned kStnSessionRecordMs = 10000;

class StnSessionEnd {
public:
    // The run has ended: every unit it started is recorded. Any thread;
    // later calls change nothing.
    void done();
    bool is_done() const;

    enum Outcome {
        kFinished,  // the run ended within the grace: every unit has its true result
        kCutShort,  // the run was aborted and has recorded its running units
        kLate,      // not done even record_ms after the abort
    };
    // Asks the run to stop taking units (stop), waits up to grace_ms for
    // done(); then asks it to record its running units interrupted (abort)
    // and waits up to record_ms for done(). A run already done is left
    // alone (kFinished).
    Outcome end(const std::function<void()> &stop, const std::function<void()> &abort,
                unsigned grace_ms = kStnSessionGraceMs,
                unsigned record_ms = kStnSessionRecordMs);

private:
    bool wait_done(unsigned ms);

    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool done_ = false;  // under mu_
};
