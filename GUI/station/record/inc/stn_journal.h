// The report's writer. A thread of its own appends the report's lines in
// the order they are handed over, so that nobody who hands a line over
// waits on the disk unless it must: the engine thread hands unit lines
// over and learns later which are on the disk (take_written); a worker
// hands its unit's start line over and waits for it, because it must be on
// the disk before the unit's first write.
//
// When an append fails (a full disk, a share that went away) the lines are
// kept, in order, and tried again every retry period, after the file is
// cut back to its last whole line. Start lines are refused meanwhile (the
// unit is not written; the station takes no new unit). The retry runs on
// its timer with nothing queued too: a report that can be cut back and
// flushed again counts as written again. A start line that failed is cut
// off before its worker hears (at the next retry, or at close, when that
// cut fails too), so that a unit never written is not recorded as begun.
// What is still waiting when the journal is closed is handed back to be
// kept elsewhere.
//
// Threads: every member may be called from any thread. Only the writer
// thread touches the store after the journal starts. The engine and every
// worker's start callback hold the journal by shared_ptr, and the writer
// thread holds the store and the shared state, so a worker or a writer
// that is let go (a forced stop, an append that hangs on a share) touches
// nothing that dies before it. make_line callbacks run under the
// journal's lock and never after close() began, so they may use what lives
// as long as the journal's closer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "stn_report.h"

class StnWaker;

class StnJournal {
public:
    // report: opened already, on store. waker: woken when lines land and
    // when the journal's state changes. retry_ms: how long a failed write
    // waits before it is tried again.
    static std::shared_ptr<StnJournal> start(std::shared_ptr<StnReportStore> store,
                                             const StnReport &report,
                                             std::shared_ptr<StnWaker> waker,
                                             unsigned retry_ms);
    // Closes (as close(0)) unless closed; lets a writer that hangs in the
    // store go.
    ~StnJournal();
    StnJournal(const StnJournal &) = delete;
    StnJournal &operator=(const StnJournal &) = delete;

    // Hands a unit line over (engine thread); tag comes back through
    // take_written once the line is on the disk.
    void append(const std::string &line, std::uint64_t tag);

    // Hands unit id's start line over and waits until it is on the disk
    // (a worker). make_line runs under the journal's lock.
    //   true   on the disk: the unit may be written
    //   false  not written, never will be: the report is failing, the
    //          journal is closed, or give_up(id) came first
    bool append_start(std::uint64_t id, const std::function<std::string()> &make_line);

    // The unit's start must not be written any more: it is recorded
    // without it (a forced stop). A start already being written may land;
    // its unit line comes after it.
    void give_up(std::uint64_t id);

    // Tags of unit lines now on the disk, in report order, since the last call.
    std::vector<std::uint64_t> take_written();

    struct State {
        bool failing = false;      // the last write failed; retrying
        std::size_t waiting = 0;   // unit lines not yet on the disk
    };
    State state() const;

    // A unit line that close() gave back.
    struct Unwritten {
        std::string line;
        std::uint64_t tag = 0;
    };
    // Waits up to wait_ms for every line to land and a failing report to be
    // cut back (it is tried once more at once), then takes no more lines. Returns the unit lines
    // not known to be on the disk, in order (one being written as the wait
    // ended may land too); start lines still waiting are refused.
    std::vector<Unwritten> close(unsigned wait_ms);

    struct Shared;  // the state the writer thread shares

private:
    explicit StnJournal(std::shared_ptr<Shared> shared);
    std::shared_ptr<Shared> shared_;
};
