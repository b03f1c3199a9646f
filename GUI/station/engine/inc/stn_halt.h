// The line that stops itself: when units fail one after another for a
// cause the station or its fixture can own (a broken fixture, a wrong
// cable), the station stops taking units instead of failing a whole shift.
// It halts after N such failures in a row, or after N in a row on one
// device index (one dead slot among working ones). A unit that was pulled
// out, interrupted, or not written because its start could not be
// recorded neither counts nor breaks a run; any other ending breaks the
// run (of its index, and the station's).
//
// Pure; one thread at a time (the engine's).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "stn_unit.h"

struct StnHalt {
    unsigned count = 0;          // failures in a row that stopped the line
    bool per_slot = false;       // all on one device index
    unsigned index = 0;          // per_slot: that index
    // The failures of the run, oldest first (at most count).
    std::vector<StnUnitResult> failures;
};

class StnHaltRule {
public:
    // after: N; 0 never halts.
    explicit StnHaltRule(unsigned after) : after_(after) {}

    // Feeds one unit's end. True when the line must stop now; *halt says why.
    bool feed(const StnUnitResult &r, StnHalt *halt);
    // Starts over (the line was started again).
    void reset();

    // Whether r counts against the line.
    static bool owned_failure(const StnUnitResult &r);
    // Whether r leaves the runs as they are.
    static bool neutral(const StnUnitResult &r);

private:
    unsigned after_;
    std::vector<StnUnitResult> run_;                        // the station's run
    std::map<unsigned, std::vector<StnUnitResult>> slots_;  // each index's run
};

// The words people read: "Line stopped: 5 units in a row failed (last:
// device 3, serial 84600001, ...). Check the fixture, the cables and the
// units, then press Start." (start_words: what resumes the line.)
std::string stn_halt_text(const StnHalt &h, const char *start_words = "press Start");
// The report's "halt" line, without its chain fields; order: the station's
// work order ("" when none).
std::string stn_json_halt(const StnHalt &h, const std::string &utc_now,
                          const std::string &order);
