// The one table between a worker's phase, a tile's state and a unit's
// outcome, the word of each state, and the words of an open result.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "stn_state.h"

TEST(StationState, PhasesAndOutcomesMapToTheirStates) {
    using S = StnTileState;
    const struct {
        int phase;
        StnTileState state;
    } phases[] = {{kStnPhaseWaiting, S::kWaiting},     {kStnPhaseChecking, S::kChecking},
                  {kStnPhaseWriting, S::kWriting},     {kStnPhaseVerifying, S::kVerifying},
                  {kStnPhaseDone, S::kVerifying},      {-1, S::kWaiting},
                  {99, S::kWaiting}};
    for (const auto &p : phases) EXPECT_EQ(stn_state_of_phase(p.phase), p.state) << p.phase;

    const struct {
        StnOutcome outcome;
        StnTileState state;
    } outcomes[] = {{StnOutcome::kUpdated, S::kUpdated},
                    {StnOutcome::kCurrent, S::kCurrent},
                    {StnOutcome::kFailed, S::kFailed},
                    {StnOutcome::kInterrupted, S::kInterrupted},
                    {static_cast<StnOutcome>(-1), S::kFailed},
                    {static_cast<StnOutcome>(42), S::kFailed}};
    for (const auto &o : outcomes) {
        EXPECT_EQ(stn_state_of_outcome(o.outcome), o.state) << static_cast<int>(o.outcome);
    }
}

TEST(StationState, EachStateHasItsWordAndOnlyUnitsAtTheirDeviceRun) {
    using S = StnTileState;
    const struct {
        StnTileState state;
        const char *word;
        bool running;
    } rows[] = {{S::kWaiting, "waiting", false},     {S::kChecking, "checking", true},
                {S::kWriting, "writing", true},      {S::kVerifying, "verifying", true},
                {S::kUpdated, "updated", false},     {S::kCurrent, "current", false},
                {S::kFailed, "failed", false},       {S::kBusy, "busy", false},
                {S::kInterrupted, "interrupted", false}};
    for (const auto &r : rows) {
        EXPECT_STREQ(stn_state_word(r.state), r.word);
        EXPECT_EQ(stn_state_running(r.state), r.running) << r.word;
    }
    EXPECT_STREQ(stn_state_word(static_cast<StnTileState>(42)), "unknown");
    EXPECT_FALSE(stn_state_running(static_cast<StnTileState>(42)));

    const struct {
        int in, out;
    } percents[] = {{-5, 0}, {0, 0}, {40, 40}, {100, 100}, {130, 100}};
    for (const auto &p : percents) EXPECT_EQ(stn_percent(p.in), p.out) << p.in;
}

TEST(StationState, EachOpenResultHasItsOwnWords) {
    std::set<std::string> seen;
    for (StnOpen r : {StnOpen::kCannotRead, StnOpen::kForeign, StnOpen::kCannotRepair}) {
        const std::string text = stn_open_text(r);
        EXPECT_NE(text.find("nothing was started"), std::string::npos) << text;
        EXPECT_TRUE(seen.insert(text).second) << text;
    }
    EXPECT_NE(std::string(stn_open_text(StnOpen::kForeign)).find("not a station report"),
              std::string::npos);
}
