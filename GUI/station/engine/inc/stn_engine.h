// The station: waits for devices, updates each unit that appears once, and
// records every unit in the report: a "start" line before its first write,
// a "unit" line at its end (the start's "id" in both). A unit cut short by
// a crash is recorded as interrupted at the next open. A finished unit that
// stays plugged in is never written again; a unit swapped for another (a
// new serial, or no longer the image) between two probes is a new unit.
// With an MES, a unit that needs writing is checked in first (on its
// worker): a rejected one gets only its unit line ("rejected") and is not
// taken again while plugged in; one the MES does not answer waits
// unwritten, off the workers, and is asked again (or, mes_down_allow, is
// written and marked "mes":"unchecked").
//
// The engine thread never calls into the driver or waits on the report's
// disk: device names are probed by a StnProber, units run on workers, and
// lines are appended by the report's writer (StnJournal). A report that
// cannot be written keeps its lines and is tried again; the station takes
// no new unit meanwhile. Lines still unwritten when the station must end
// go to the store's spill, which the next open adds to the report.
//
// Threads: one thread drives the engine (open, turn and the destructor):
// the engine thread (qvm_cli's main thread, the window's station thread).
// StnHost callbacks run on it (utc_now also on workers). Workers (one per
// running unit), the prober's scanners, the report's writer and the
// deadline watchdog are the engine's own. request_stop, request_abort,
// wake and snapshot may be called from any thread. See
// GUI/station/README.md for what a let-go worker may still touch.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "stn_checkin.h"
#include "stn_halt.h"
#include "stn_report.h"
#include "stn_state.h"
#include "stn_tally.h"
#include "stn_text.h"
#include "stn_unit.h"

struct StnConfig {
    StnImage image;           // what is written; image.edit must outlive the engine
    unsigned parallel = 0;    // most units written at once; 0: no cap
    bool force = false;       // write current units too
    unsigned timeout_s = 5;   // deadline of one exchange, 1..600
    unsigned timeout_ms = 0;  // when not 0, the deadline in ms instead (tests)
    unsigned poll_ms = 300;   // how often device names are probed
    unsigned retry_ms = 3000; // how often a report that failed is tried again
    // How long an ending station waits for its lines to reach the report
    // before it keeps them in the spill.
    unsigned end_wait_ms = 2000;
    // Stop taking units after this many failures in a row that the station
    // or its fixture may own, on the line or on one index (stn_halt.h); 0: never.
    unsigned halt_after = 0;
    StnWho who;               // carried by every start and unit line; its station
                              // also names the station in the run lines
    std::string version;      // the program's version, for the run lines
    // Where the report's writer publishes how much of it is on the disk
    // (delivery reads no further); optional.
    std::shared_ptr<StnFlushed> flushed;
    // The factory's MES, asked before each unit that needs writing; null:
    // no MES, nothing is asked.
    std::shared_ptr<StnCheckIn> check_in;
    // When the MES does not answer: false, the unit waits unwritten and is
    // asked again; true, it is written anyway and its lines say
    // "mes":"unchecked".
    bool mes_down_allow = false;
    // How often a unit that waits for the MES is asked again.
    unsigned mes_retry_ms = 3000;
};

// Whether the MES answers the station's check-ins.
struct StnMesState {
    bool down = false;          // its last check-in got no answer
    std::string since;          // down: since when (UTC, ISO 8601)
    std::uint64_t waiting = 0;  // units not written until it answers
    std::string why;            // down: why the last one got none
};
// For people: "MES: not answering since <time> (<why>); 2 unit(s) wait
// unwritten", or "MES: answering again".
std::string stn_mes_text(const StnMesState &m);

struct StnTile {
    unsigned index = 0;
    StnTileState state = StnTileState::kWaiting;
    bool identified = false;       // serial and old_version are valid
    std::int32_t serial = 0;
    std::uint32_t old_version = 0;
    bool has_new = false;          // new_version is valid
    std::uint32_t new_version = 0;
    int percent = 0;               // kWriting
    std::string reason;            // kFailed: as qvm_cli prints it after the name;
                                   // kRejected: the MES's reason; kMesWaiting: why
                                   // the MES did not answer
};

// One recorded unit, for the list of last results.
struct StnRecent {
    std::string time;              // UTC, ISO 8601
    StnUnitResult result;
};

struct StnSnapshot {
    std::vector<StnTile> tiles;        // every index in use, ascending
    StnTotals totals;                  // units recorded by this run
    StnTallyFigures tally;             // this run: from its open line on (the
                                       // units it recovered at open included)
    std::vector<StnRecent> recent;     // newest first, at most kStnRecentMax
    std::uint64_t recorded = 0;        // units recorded by this run so far
    bool stopping = false;             // no new units are taken
    bool ended = false;                // turn() returned false
    bool report_failed = false;        // the report cannot be written now; retried
    std::uint64_t report_waiting = 0;  // unit lines not yet in the report
    std::uint64_t spilled = 0;         // unit lines kept in the spill at the end
    std::string spill_path;            // where, when spilled
    bool halted = false;               // the line stopped itself (halt)
    StnHalt halt;                      // halted: why
    std::uint64_t ms_running = 0;      // since open()
    StnMesState mes;                   // the MES, when one is asked
};
constexpr std::size_t kStnRecentMax = 100;

// What the shell gives the engine. Called on the engine thread.
class StnHost {
public:
    virtual ~StnHost() = default;
    // Now, UTC, ISO 8601 with milliseconds ("2026-12-08T19:40:00.123Z").
    // Any thread (workers stamp their start lines).
    virtual std::string utc_now() = 0;
    // The computer's offset from UTC now ("+01:00"), for the run lines;
    // empty when unknown.
    virtual std::string utc_offset() { return std::string(); }
    // A unit ended and its line is in the report (recorded), or, at the
    // end, could only be kept in the spill or nowhere (not recorded).
    virtual void on_result(const StnUnitResult &r, bool recorded) { (void)r; (void)recorded; }
    // A notice for people ("report: a torn last line ... was set aside").
    virtual void on_notice(const std::string &text) { (void)text; }
    // The line stopped itself: no new unit is taken, running ones finish,
    // then turn() returns false.
    virtual void on_halt(const StnHalt &h) { on_notice(stn_halt_text(h)); }
    // The MES stopped answering check-ins (m.down), or answers again.
    virtual void on_mes(const StnMesState &m) { on_notice(stn_mes_text(m)); }
    // After every turn (tests steer devices from here).
    virtual void on_turn() {}
    // Asked before a new unit is taken; false holds new units back (they
    // are taken at a later probe). --database-required says no while lines
    // wait for the database too long.
    virtual bool may_take_units() { return true; }
};

class StnEngine {
public:
    // host must outlive the engine. The store is shared with the report's
    // writer, which a hanging append may leave behind.
    StnEngine(const StnConfig &config, std::shared_ptr<StnReportStore> store, StnHost *host);
    // store must outlive the engine and its writer (tests).
    StnEngine(const StnConfig &config, StnReportStore *store, StnHost *host);
    // Ends the station as a stop would (its lines kept in the spill when
    // the report cannot take them) and waits for running workers (an abort
    // already let them go).
    ~StnEngine();
    StnEngine(const StnEngine &) = delete;
    StnEngine &operator=(const StnEngine &) = delete;

    // Opens the report before any device is touched: refuses a foreign
    // file, sets aside a torn last line, appends the run's open line and
    // an interrupted unit line ("recovered":true) for every start without
    // its unit. Memory and time grow with the file only as one pass over
    // it does. The stop line follows when turn() ends the station.
    StnOpen open();

    // One turn: waits until a worker ends, a line lands, a request or
    // wake() comes, or the next probe is due; then probes, starts and
    // collects. A wall clock (the host's utc_now) that parted from the
    // steady one by more than a few seconds since the last turn is noted
    // by a "clock" run line. Returns false once the station has ended: stopped and
    // idle, or aborted; its lines are then in the report or the spill.
    bool turn();

    // Stop taking units; running updates finish (each exchange within its
    // deadline).
    void request_stop();
    // Record the running units as interrupted and end at the next turn
    // (within end_wait_ms); their workers are let go (they own what they
    // touch) and write nothing more to their devices. A unit that had
    // ended keeps its result.
    void request_abort();
    // Makes the current or next turn's wait return.
    void wake();

    StnSnapshot snapshot() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
