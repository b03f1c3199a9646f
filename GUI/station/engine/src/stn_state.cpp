#include "stn_state.h"

namespace {

constexpr int kNoPhase = -1;
constexpr int kNoOutcome = -1;

struct StateRow {
    StnTileState state;
    const char *word;
    bool running;
    int phase;    // the worker's phase shown as this state; kNoPhase: none
    int outcome;  // the outcome shown as this state; kNoOutcome: none
};

// In StnTileState's order.
constexpr StateRow kStates[] = {
    {StnTileState::kWaiting, "waiting", false, kStnPhaseWaiting, kNoOutcome},
    {StnTileState::kChecking, "checking", true, kStnPhaseChecking, kNoOutcome},
    {StnTileState::kWriting, "writing", true, kStnPhaseWriting, kNoOutcome},
    {StnTileState::kVerifying, "verifying", true, kStnPhaseVerifying, kNoOutcome},
    {StnTileState::kUpdated, "updated", false, kNoPhase, static_cast<int>(StnOutcome::kUpdated)},
    {StnTileState::kCurrent, "current", false, kNoPhase, static_cast<int>(StnOutcome::kCurrent)},
    {StnTileState::kFailed, "failed", false, kNoPhase, static_cast<int>(StnOutcome::kFailed)},
    {StnTileState::kBusy, "busy", false, kNoPhase, kNoOutcome},
    {StnTileState::kInterrupted, "interrupted", false, kNoPhase,
     static_cast<int>(StnOutcome::kInterrupted)},
    {StnTileState::kRejected, "rejected", false, kNoPhase, static_cast<int>(StnOutcome::kRejected)},
    {StnTileState::kMesWaiting, "mes_waiting", false, kNoPhase, kNoOutcome},
    {StnTileState::kAsking, "asking", true, kStnPhaseAsking, kNoOutcome},
};

const StateRow *row_of(StnTileState state) {
    for (const StateRow &r : kStates) {
        if (r.state == state) return &r;
    }
    return nullptr;
}

}  // namespace

StnTileState stn_state_of_phase(int phase) {
    // Done: the version was read back, the unit is not collected yet.
    if (phase == kStnPhaseDone) phase = kStnPhaseVerifying;
    for (const StateRow &r : kStates) {
        if (r.phase != kNoPhase && r.phase == phase) return r.state;
    }
    return StnTileState::kWaiting;
}

StnTileState stn_state_of_outcome(StnOutcome outcome) {
    for (const StateRow &r : kStates) {
        if (r.outcome != kNoOutcome && r.outcome == static_cast<int>(outcome)) return r.state;
    }
    return StnTileState::kFailed;
}

const char *stn_state_word(StnTileState state) {
    const StateRow *r = row_of(state);
    return r != nullptr ? r->word : "unknown";
}

bool stn_state_running(StnTileState state) {
    const StateRow *r = row_of(state);
    return r != nullptr && r->running;
}

int stn_percent(int p) { return p < 0 ? 0 : p > 100 ? 100 : p; }

const char *stn_open_text(StnOpen result) {
    switch (result) {
    case StnOpen::kOk:
        return "is open";
    case StnOpen::kCannotRead:
        return "cannot be read; nothing was started";
    case StnOpen::kForeign:
        return "is not a station report (its first line is not one of its records); it was "
               "left as it is and nothing was started";
    case StnOpen::kCannotRepair:
        return "could not be repaired (its torn last line, or the lines of units cut short "
               "earlier, could not be written); nothing was started";
    case StnOpen::kIdsExhausted:
        return "holds unit ids too near the largest a report may use (was it edited?); start a "
               "new report file; it was left as it is and nothing was started";
    }
    return "cannot be opened; nothing was started";
}
