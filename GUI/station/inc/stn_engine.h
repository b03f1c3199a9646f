// The station: waits for devices, updates each unit that appears once, and
// records every unit in the report: a "start" line before its first write,
// a "unit" line at its end (the start's "id" in both). A unit cut short by
// a crash is recorded as interrupted at the next open. A finished unit that
// stays plugged in is never written again; a unit swapped for another (a
// new serial, or no longer the image) between two probes is a new unit.
//
// Threads: one thread drives the engine (open, turn and the destructor):
// the engine thread (qvm_cli's main thread, the window's station thread).
// StnHost callbacks run on it. Workers (one per running unit) and the
// deadline watchdog are the engine's own. request_stop, request_abort,
// wake and snapshot may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "stn_report.h"
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
    std::string station;      // the computer's name, for the report's run lines
    std::string version;      // the program's version, for the same
};

// What a tile shows of one device index.
enum class StnTileState {
    kWaiting,      // seen, about to be taken
    kChecking,     // reading its version
    kWriting,      // percent: how far
    kVerifying,    // reading the version back
    kUpdated,      // finished states stay until unplugged or replaced
    kCurrent,
    kFailed,       // reason: what failed and where
    kBusy,         // another program holds the device; taken once it is free
    kInterrupted,
};

struct StnTile {
    unsigned index = 0;
    StnTileState state = StnTileState::kWaiting;
    bool identified = false;       // serial and old_version are valid
    std::int32_t serial = 0;
    std::uint32_t old_version = 0;
    bool has_new = false;          // new_version is valid
    std::uint32_t new_version = 0;
    int percent = 0;               // kWriting
    std::string reason;            // kFailed: as qvm_cli prints it after the name
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
    bool report_failed = false;        // the report could not be written
    std::uint64_t ms_running = 0;      // since open()
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
    // A unit ended and was recorded (or the report failed: recorded false).
    virtual void on_result(const StnUnitResult &r, bool recorded) { (void)r; (void)recorded; }
    // A notice for people ("report: a torn last line ... was set aside").
    virtual void on_notice(const std::string &text) { (void)text; }
    // After every turn (tests steer devices from here).
    virtual void on_turn() {}
};

enum class StnOpen {
    kOk,
    kCannotRead,    // the store failed
    kForeign,       // the file is not a station report: nothing was touched
    kCannotRepair,  // a torn line could not be set aside, or the run line or the
                    // recovery lines could not be written
    kIdsExhausted,  // its highest unit id is too near the largest a report may
                    // hold (an edited file): nothing was touched
};

class StnEngine {
public:
    // store and host must outlive the engine.
    StnEngine(const StnConfig &config, StnReportStore *store, StnHost *host);
    // Waits for running workers (an abort already let them go).
    ~StnEngine();
    StnEngine(const StnEngine &) = delete;
    StnEngine &operator=(const StnEngine &) = delete;

    // Opens the report before any device is touched: refuses a foreign
    // file, sets aside a torn last line, appends the run's open line and
    // an interrupted unit line ("recovered":true) for every start without
    // its unit. Memory and time grow with the file only as one pass over
    // it does. The stop line follows when turn() ends the station.
    StnOpen open();

    // One turn: waits until a worker ends, a request or wake() comes, a
    // deadline or the next probe is due; then probes, starts and collects.
    // Returns false once the station has ended: stopped and idle, aborted,
    // or the report failed and the running units ended.
    bool turn();

    // Stop taking units; running updates finish (each exchange within its
    // deadline).
    void request_stop();
    // Record the running units as interrupted and end at the next turn;
    // their workers are let go (they own what they touch).
    void request_abort();
    // Makes the current or next turn's wait return.
    void wake();

    StnSnapshot snapshot() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
