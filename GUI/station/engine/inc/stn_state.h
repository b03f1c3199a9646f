// The states the station shows and the one table between them: a worker's
// phase, a tile's state, a unit's outcome and the word of each; the words
// of a report's open result; a percentage kept to 0..100. Both shells and
// the engine map through here, so a new state is one row. Pure; any thread.
#pragma once

#include <string>

#include "stn_unit.h"

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
    kRejected,     // the MES refused it (reason: the MES's); not taken again while plugged in
    kMesWaiting,   // not written: the MES does not answer its check-in; asked again
    kAsking,       // its check-in is on its way to the MES
};

// The state of a running unit whose worker is at phase (a StnPhase; the
// done phase shows as verifying until the unit is collected, anything
// unknown as waiting).
StnTileState stn_state_of_phase(int phase);
// The state of a unit that ended with outcome.
StnTileState stn_state_of_outcome(StnOutcome outcome);
// "waiting", "checking", "writing", "verifying", "updated", "current",
// "failed", "busy", "interrupted", "rejected", "mes_waiting", "asking".
const char *stn_state_word(StnTileState state);
// Checking, writing or verifying: the unit's worker is at its device.
bool stn_state_running(StnTileState state);

// p kept to 0..100.
int stn_percent(int p);

// How opening a station's report ended.
enum class StnOpen {
    kOk,
    kCannotRead,    // the store failed
    kForeign,       // the file is not a station report: nothing was touched
    kCannotRepair,  // a torn line, the run line or the recovery lines could not be written
    kIdsExhausted,  // its highest unit id is too near the largest a report may
                    // hold (an edited file): nothing was touched
};
// What an open result means, to follow the report's name in a sentence
// ("... is not a station report (...); it was left as it is and nothing
// was started").
const char *stn_open_text(StnOpen result);
