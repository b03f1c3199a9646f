// The line that stops itself, from a table of unit endings: which ones
// count, which break a run and which leave it alone, on the line and on
// one slot; and the words and the report line of a halt.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "stn_halt.h"

namespace {

// One ending: its letter and device index ("r3": refused on device 3).
// r refused, n no answer, d deadline, v not verified, o other, u updated,
// c current, p pulled out, i interrupted, x not written (start not recorded),
// j rejected by the MES.
StnUnitResult ending(char kind, unsigned index) {
    StnUnitResult r;
    r.device.index = index;
    r.device.serial = static_cast<std::int32_t>(84600000 + index);
    r.identified = true;
    r.outcome = StnOutcome::kFailed;
    r.what = "refused by the device (error 0xE004)";
    switch (kind) {
    case 'r': r.failure = StnFailure::kRefused; r.detail = 0xE004; break;
    case 'n': r.failure = StnFailure::kNoAnswer; r.detail = 0xFFFFFFFEu; break;
    case 'd': r.failure = StnFailure::kDeadline; r.detail = kStnDetailDeadline; break;
    case 'v': r.failure = StnFailure::kUnverified; r.detail = kStnDetailUnverified; break;
    case 'o': r.failure = StnFailure::kOther; r.detail = 0xFFFFFFFFu; break;
    case 'p': r.failure = StnFailure::kUnplugged; r.detail = 0xFFFFFFFEu; break;
    case 'x': r.failure = StnFailure::kOther; r.detail = kStnDetailNotRecorded; break;
    case 'u': r.outcome = StnOutcome::kUpdated; break;
    case 'c': r.outcome = StnOutcome::kCurrent; break;
    case 'i': r.outcome = StnOutcome::kInterrupted; break;
    case 'j': r.outcome = StnOutcome::kRejected; r.what = "on hold"; break;
    default: ADD_FAILURE() << kind;
    }
    return r;
}

}  // namespace

TEST(StnHaltRule, StopsAfterNOwnedFailuresInARowOnTheLineOrOnOneSlot) {
    const struct {
        const char *name;
        unsigned after;
        const char *endings;  // "r0 n1 ...", fed in order
        int halts_at;         // 1-based ending that halts; 0: none
        bool per_slot;
        unsigned index;
    } cases[] = {
        {"every owned kind counts", 5, "r0 n1 d2 v3 o4", 5, false, 0},
        {"one short", 5, "r0 n1 d2 v3", 0, false, 0},
        {"a pass breaks the run", 3, "r0 r1 u2 r0 r1", 0, false, 0},
        {"current breaks it too", 3, "r0 r1 c2 r0 r1", 0, false, 0},
        // Endings that are no one's fault leave the run as it is.
        {"pulled out, interrupted, not recorded, rejected by the MES: neutral", 3,
         "r0 p1 i2 x3 j1 j0 r0 r1", 8, false, 0},
        // One slot's own run.
        {"one dead slot among working ones", 3, "r3 u0 r3 u1 u2 r3", 6, true, 3},
        {"a pass on that slot breaks its run", 3, "r3 u0 r3 u3 r3 u1", 0, false, 0},
        // Another slot's failure leaves that run alone.
        {"a dead slot while another fails now and then", 3, "r3 u0 r1 u0 r3 u2 r3", 7, true, 3},
        {"both at once: the slot is named", 2, "r4 r4", 2, true, 4},
        {"off", 0, "r0 r0 r0 r0 r0 r0", 0, false, 0},
        {"one is enough when N is 1", 1, "u0 d2", 2, true, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        StnHaltRule rule(c.after);
        int halted = 0;
        StnHalt h;
        std::istringstream in(c.endings);
        int n = 0;
        for (std::string e; in >> e;) {
            ++n;
            const unsigned index = static_cast<unsigned>(std::stoul(e.substr(1)));
            if (rule.feed(ending(e[0], index), &h) && halted == 0) halted = n;
        }
        EXPECT_EQ(halted, c.halts_at);
        if (halted == 0 || c.halts_at == 0) continue;
        EXPECT_EQ(h.count, c.after);
        EXPECT_EQ(h.per_slot, c.per_slot);
        if (c.per_slot) {
            EXPECT_EQ(h.index, c.index);
        }
        EXPECT_EQ(h.failures.size(), c.after);
        for (const StnUnitResult &r : h.failures) EXPECT_TRUE(StnHaltRule::owned_failure(r));
    }
}

TEST(StnHaltRule, AHaltStartsOverAndSaysWhyInWordsAndInItsLine) {
    StnHaltRule rule(2);
    StnHalt h;
    ASSERT_FALSE(rule.feed(ending('u', 1), &h));
    ASSERT_FALSE(rule.feed(ending('d', 1), &h));
    StnUnitResult last = ending('r', 3);
    last.what = "block at 0x4100 got no answer within 5 s";
    ASSERT_TRUE(rule.feed(last, &h));
    ASSERT_FALSE(rule.feed(ending('r', 3), &h));  // counted afresh
    EXPECT_EQ(stn_halt_text(h),
              "Line stopped: 2 units in a row failed (last: device 3, serial 84600003, block at "
              "0x4100 got no answer within 5 s). Check the fixture, the cables and the units, "
              "then press Start.");
    const nlohmann::json j = nlohmann::json::parse(stn_json_halt(h, "2026-12-09T08:00:00.000Z", "WO-17"));
    EXPECT_EQ(j["type"], "halt");
    EXPECT_EQ(j["order"], "WO-17");
    EXPECT_EQ(j["count"], 2);
    EXPECT_TRUE(j["index"].is_null());
    ASSERT_EQ(j["failures"].size(), 2u);
    EXPECT_EQ(j["failures"][0]["failure"], "deadline");
    EXPECT_EQ(j["failures"][0]["serial"], 84600001);
    EXPECT_EQ(j["failures"][1]["failure"], "refused");
    EXPECT_EQ(j["failures"][1]["index"], 3);
}
