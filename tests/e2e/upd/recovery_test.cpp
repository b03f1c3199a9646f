// "Update" interrupted by pulling the device out or by a power loss, at a
// chosen exchange of the transfer, then the device plugged in again: the
// real program under Wine against the simulated device driver. The program
// must never report success unless the device committed; the next
// "Get firmware ver." shows what the device holds, and the next Update
// brings it to exactly the embedded window.
//
// Recovery.RepresentativePoints runs with every test run; the whole sweep,
// Recovery.DISABLED_EveryPoint (every exchange of the transfer, both kinds),
// is the ctest test e2e_recovery_sweep, label "recovery" (make
// test-recovery).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "upd_fixture.h"
#include "upd_support.h"

using namespace upd_e2e;

namespace {

// The transfer's exchanges after the version check: LED 2, begin, the
// blocks, end, LED 1.
constexpr std::uint32_t kLed2 = 0;
constexpr std::uint32_t kBegin = 1;
constexpr std::uint32_t kFirstBlock = 2;
constexpr std::uint32_t kEnd = kFirstBlock + kBlocks;
constexpr std::uint32_t kLed1 = kEnd + 1;
constexpr std::uint32_t kOldVersion = 341;

struct Point {
    std::uint32_t exchange;
    std::uint32_t kind;  // DEVSIM_FAULT_UNPLUG or DEVSIM_FAULT_POWER_LOSS
};

std::string describe(const Point &p) {
    std::string where = p.exchange == kLed2    ? "LED 2"
                        : p.exchange == kBegin ? "begin"
                        : p.exchange == kEnd   ? "end"
                        : p.exchange == kLed1  ? "LED 1"
                                               : "block " + std::to_string(p.exchange - kFirstBlock);
    return where + ", " + devsim::fault_kind_name(p.kind);
}

class Recovery : public ProgramTest {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        if (HasFatalFailure()) return;
        window = embedded_window();
        ASSERT_EQ(window.size(), 0x4000u);
        ASSERT_TRUE(wait_text(main, kRomVer, kImageVersionText)) << "no embedded image";
    }

    // Answers every box the program shows until no other follows within
    // half a second; their texts.
    std::vector<std::string> answer_boxes() {
        std::vector<std::string> texts;
        for (HWND box; (box = wait_box(prog, texts.empty() ? qvm_e2e::kWaitMs : 500)) != nullptr;) {
            texts.push_back(box_text(box));
            if (!answer_box(box, IDOK)) break;
        }
        return texts;
    }

    // Clicks Update and answers the confirmation; false when it did not come.
    bool start_update() {
        qvm_e2e::click(main, kUpdate);
        HWND confirm = wait_box(prog);
        if (confirm == nullptr || box_text(confirm) != kConfirm) return false;
        return answer_box(confirm, IDOK);
    }

    bool flash_is_window() { return dev.flash(0) == window; }

    // One update interrupted at p, the device replugged, its version shown,
    // and a second update; every expectation checked, and counted.
    void run(const Point &p) {
        SCOPED_TRACE(describe(p));
        dev.remove(0);
        ASSERT_TRUE(dev.add(0, kOldVersion));
        // The next exchange is the version check; the transfer follows it.
        ASSERT_TRUE(dev.ctl().arm_fault(0, 1 + p.exchange, p.kind));

        ASSERT_TRUE(start_update()) << "no confirmation";
        const std::vector<std::string> outcome = answer_boxes();
        ASSERT_FALSE(outcome.empty()) << "no outcome box";
        devsim_ioc_state st = dev.state(0);
        EXPECT_EQ(st.plugged, 0u) << "the device did not go";
        const bool committed = st.commits == 1;
        EXPECT_EQ(committed, p.exchange == kLed1);
        // Success only when the end was committed; otherwise a failure.
        const bool said_done = outcome.front() == kCompleted;
        if (said_done && !committed) ++false_successes;
        EXPECT_EQ(outcome.front(), committed ? kCompleted : kCommError);
        if (committed) {
            // It then asks the device, which has gone.
            EXPECT_EQ(outcome, (std::vector<std::string>{kCompleted, kNotFound}));
        } else {
            EXPECT_EQ(outcome.size(), 1u);
        }
        // The device saw nothing after the interrupted command.
        const std::vector<std::string> steps = dev.steps(0);
        ASSERT_FALSE(steps.empty());
        EXPECT_NE(steps.back().find("!fault" + std::to_string(p.kind)), std::string::npos)
            << join(steps);

        ASSERT_TRUE(dev.ctl().replug(0)) << GetLastError();
        const bool erased = p.exchange > kBegin || (p.exchange == kBegin && p.kind == DEVSIM_FAULT_POWER_LOSS);
        const char *shown = committed ? kImageVersionText : erased ? "No firm" : "3.41";
        std::string why;
        EXPECT_TRUE(query_version(dev, main, shown, &why)) << why;
        EXPECT_FALSE(box_open(prog));  // nothing to report
        ASSERT_TRUE(dev.ctl().clear_log(0));

        if (committed) {
            qvm_e2e::click(main, kUpdate);
            EXPECT_EQ(answer_boxes(), std::vector<std::string>{kNotNecessary});
        } else {
            ASSERT_TRUE(start_update()) << "no confirmation the second time";
            EXPECT_EQ(answer_boxes(), std::vector<std::string>{kCompleted});
            std::string seen;
            EXPECT_TRUE(wait_text(main, kDevVer, kImageVersionText, &seen))
                << "shows \"" << seen << "\"";
        }
        EXPECT_TRUE(qvm_e2e::wait_until([&] { return prog.dialogs().empty(); }));
        st = dev.state(0);
        const bool recovered = st.firm_version == kImageVersion && flash_is_window();
        EXPECT_TRUE(recovered) << "the device does not hold exactly the embedded window";
        if (!recovered) ++not_recovered;
        EXPECT_EQ(qvm_e2e::item_text(main, kDevVer), kImageVersionText);
        ++runs;
    }

    void sweep(const std::vector<std::uint32_t> &exchanges) {
        const DWORD t0 = GetTickCount();
        for (std::uint32_t e : exchanges) {
            for (std::uint32_t kind : {DEVSIM_FAULT_UNPLUG, DEVSIM_FAULT_POWER_LOSS}) {
                run(Point{e, kind});
                if (HasFatalFailure()) return;
            }
        }
        std::printf("recovery, window program: %zu interruption points x 2 kinds = %u updates, "
                    "false successes %u, devices not recovered %u, %.1f s\n",
                    exchanges.size(), runs, false_successes, not_recovered,
                    (GetTickCount() - t0) / 1000.0);
    }

    std::vector<std::uint8_t> window;
    unsigned runs = 0, false_successes = 0, not_recovered = 0;
};

TEST_F(Recovery, RepresentativePoints) {
    sweep({kLed2, kBegin, kFirstBlock, kFirstBlock + kBlocks / 2, kEnd - 1, kEnd, kLed1});
}

TEST_F(Recovery, DISABLED_EveryPoint) {
    std::vector<std::uint32_t> all;
    for (std::uint32_t e = kLed2; e <= kLed1; ++e) all.push_back(e);
    sweep(all);
}

}  // namespace
