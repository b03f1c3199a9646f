// "Get firmware ver." end to end: the real program under Wine against the
// simulated device driver; what the user sees and what the device saw.
#include <gtest/gtest.h>

#include "upd_fixture.h"

using namespace upd_e2e;

namespace {

class GetVersion : public ProgramTest {
protected:
    // Clicks "Get firmware ver." and expects the text without any box.
    void expect_shown(const std::string &text) {
        std::string why;
        EXPECT_TRUE(query_version(dev, main, text, &why)) << why;
        EXPECT_FALSE(box_open(prog));
    }

    // Clicks "Get firmware ver.", expects the box with `text`, answers it
    // and expects "------" afterwards.
    void expect_box_then_dashes(const char *text) {
        const std::string before = qvm_e2e::item_text(main, kDevVer);
        qvm_e2e::click(main, kGetVer);
        HWND box = wait_box(prog);
        ASSERT_NE(box, nullptr) << "no message box";
        EXPECT_EQ(box_text(box), text);
        EXPECT_EQ(qvm_e2e::window_text(box), kCaption);
        // The display changes only once the user has read the message.
        EXPECT_EQ(qvm_e2e::item_text(main, kDevVer), before);
        ASSERT_TRUE(answer_box(box, IDOK));
        std::string seen;
        EXPECT_TRUE(wait_text(main, kDevVer, "------", &seen)) << "shows \"" << seen << "\"";
    }

};

TEST_F(GetVersion, ShowsTheDeviceVersionText) {
    ASSERT_TRUE(dev.add(0, 350));
    expect_shown("3.50");
    // Two suffix characters' worth of high half: 0x41 is "A".
    ASSERT_TRUE(dev.remove(0));
    ASSERT_TRUE(dev.add(0, 0x4100015Eu));
    expect_shown("3.50A");
    ASSERT_TRUE(dev.remove(0));
    ASSERT_TRUE(dev.add(0, kNoFirmware));
    expect_shown("No firm");
    // One version command per click, nothing else.
    EXPECT_EQ(join(dev.steps(0)), "VER");
    // The same again shows the same text.
    expect_shown("No firm");
    EXPECT_EQ(join(dev.steps(0)), "VER, VER");
}

TEST_F(GetVersion, NoDeviceShowsNotFoundThenDashes) {
    expect_box_then_dashes(kNotFound);
    // Also when a version was shown before.
    ASSERT_TRUE(dev.add(0, 350));
    expect_shown("3.50");
    ASSERT_TRUE(dev.remove(0));
    expect_box_then_dashes(kNotFound);
}

TEST_F(GetVersion, FailedReadShowsCommunicationErrorThenDashes) {
    ASSERT_TRUE(dev.add(0, 350));
    // Each way the read can fail: refused, malformed answer, lost answer.
    const std::uint32_t kinds[] = {DEVSIM_FAULT_ERROR_ANSWER, DEVSIM_FAULT_BAD_CHECKSUM,
                                   DEVSIM_FAULT_SHORT_ANSWER, DEVSIM_FAULT_WRITE_FAILS,
                                   DEVSIM_FAULT_READ_FAILS};
    for (std::uint32_t kind : kinds) {
        SCOPED_TRACE(devsim::fault_kind_name(kind));
        expect_shown("3.50");
        ASSERT_TRUE(dev.ctl().arm_fault(0, 0, kind, kind == DEVSIM_FAULT_SHORT_ANSWER ? 4 : 0));
        expect_box_then_dashes(kCommError);
    }
}

TEST_F(GetVersion, ProbesOnlyTheFirstDeviceName) {
    // A device on a later name only is not found, and is never asked.
    ASSERT_TRUE(dev.add(1, 350));
    expect_box_then_dashes(kNotFound);
    EXPECT_EQ(join(dev.steps(1)), "");
    // With two devices only the first is asked.
    ASSERT_TRUE(dev.add(0, 0x0000016Au));
    expect_shown("3.62");
    EXPECT_EQ(join(dev.steps(0)), "VER");
    EXPECT_EQ(join(dev.steps(1)), "");
}

} // namespace
