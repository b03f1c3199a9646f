// Unplug and power-loss faults through the driver: the name goes and open
// handles fail as the command arrives, the control device still reads what
// the device saw, and a replug brings the device back as it was left.
#include "drv_test_util.h"

using namespace drvtest;

namespace {

struct InterruptCase {
    std::uint32_t kind;
    bool write_taken;  // power loss: the command arrived, no answer came
};

class DriverInterruptTest : public DriverTest,
                            public ::testing::WithParamInterface<InterruptCase> {};

TEST_P(DriverInterruptTest, DeviceGoesAsTheCommandArrivesAndReplugBringsItBack) {
    const InterruptCase c = GetParam();
    DevFile dev(0);
    ASSERT_TRUE(dev.ok());
    DevFile other(0);  // a second handle on the same device dies as well
    ASSERT_TRUE(other.ok());
    Bytes answer;
    ASSERT_TRUE(ctl.arm_fault(0, 2, c.kind)) << GetLastError();
    ASSERT_TRUE(dev.exchange(boot_data(1), &answer));  // begin: the old firmware is erased
    const Bytes block(DEVSIM_BLOCK_SIZE, 0x5A);
    ASSERT_TRUE(dev.exchange(boot_data(2, 0x4000, block), &answer));

    const Bytes torn(DEVSIM_BLOCK_SIZE, 0xC3);
    DWORD written = 99;
    EXPECT_EQ(dev.write(boot_data(2, 0x4100, torn), &written), c.write_taken);
    EXPECT_EQ(written, c.write_taken ? 273u : 0u);
    EXPECT_FALSE(dev.read(&answer));
    EXPECT_FALSE(dev.exchange(version_get(), &answer, 41));
    EXPECT_FALSE(other.exchange(version_get(), &answer, 41));
    EXPECT_FALSE(test_support::Handle(DevFile::open_name(0)).ok());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // Taken away, but still readable through the control device.
    devsim_ioc_info info{};
    ASSERT_TRUE(ctl.info(&info));
    EXPECT_EQ(info.present[0], 0);
    devsim_ioc_state st = state();
    EXPECT_EQ(st.plugged, 0u);
    EXPECT_EQ(st.exchanges, 3u);
    const auto entries = log();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[2].fault, c.kind);
    EXPECT_EQ(entries[2].code, 0u);
    std::vector<std::uint8_t> flash;
    ASSERT_TRUE(ctl.flash(0, &flash));
    ASSERT_EQ(flash.size(), DEVSIM_WINDOW_SIZE);
    EXPECT_TRUE(Bytes(flash.begin(), flash.begin() + 0x100) == block);
    for (std::uint32_t i = 0; i < DEVSIM_BLOCK_SIZE; ++i) {
        const bool written_part = c.write_taken && i < DEVSIM_TORN_BYTES;
        ASSERT_EQ(flash[0x100 + i], written_part ? 0xC3 : 0xFF) << i;
    }
    EXPECT_FALSE(ctl.add(0, test_config()));  // the index still holds it
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    ASSERT_TRUE(ctl.replug(0)) << GetLastError();
    st = state();
    EXPECT_EQ(st.plugged, 1u);
    EXPECT_EQ(st.led, 0u);
    EXPECT_EQ(st.boot_state, static_cast<std::uint32_t>(DEVSIM_BOOT_IDLE));
    EXPECT_EQ(st.firm_version, 0xFFFFFFFFu);  // begun, never committed
    std::vector<std::uint8_t> after;
    ASSERT_TRUE(ctl.flash(0, &after));
    EXPECT_TRUE(after == flash);
    EXPECT_FALSE(dev.exchange(version_get(), &answer, 41));  // old handles stay dead
    DevFile fresh(0);
    ASSERT_TRUE(fresh.ok());
    ASSERT_TRUE(fresh.exchange(version_get(), &answer, 41));
    ASSERT_EQ(answer.size(), 37u);
    EXPECT_EQ(get32(answer, 16), 0xFFFFFFFFu);
}

INSTANTIATE_TEST_SUITE_P(BothKinds, DriverInterruptTest,
                         ::testing::Values(InterruptCase{DEVSIM_FAULT_UNPLUG, false},
                                           InterruptCase{DEVSIM_FAULT_POWER_LOSS, true}),
                         [](const ::testing::TestParamInfo<InterruptCase> &info) {
                             return info.param.write_taken ? "power_loss" : "unplug";
                         });

TEST_F(DriverTest, ReplugOfAPluggedDeviceRestartsItAndKeepsItsFlash) {
    DevFile dev(0);
    Bytes answer;
    ASSERT_TRUE(dev.exchange(led_set(2), &answer));
    ASSERT_TRUE(dev.exchange(boot_data(1), &answer));
    ASSERT_TRUE(ctl.replug(0));
    EXPECT_FALSE(dev.exchange(version_get(), &answer, 41));
    const devsim_ioc_state st = state();
    EXPECT_EQ(st.led, 0u);
    EXPECT_EQ(st.firm_version, 0xFFFFFFFFu);
    EXPECT_EQ(st.open_handles, 1u);  // the dead handle is still counted until closed
    dev.close();
    EXPECT_EQ(state().open_handles, 0u);
    ASSERT_TRUE(dev.open(0));
    ASSERT_TRUE(dev.exchange(boot_data(3), &answer));
    EXPECT_EQ(get32(answer, 12), DEVSIM_ERR_NOT_IN_BOOT);  // the transfer did not survive

    EXPECT_FALSE(ctl.replug(7));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(ctl.replug(DEVSIM_MAX_DEVICES));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(DriverTest, RemovingAnInterruptedDeviceFreesItsIndex) {
    DevFile dev(0);
    ASSERT_TRUE(ctl.arm_fault(0, 0, DEVSIM_FAULT_UNPLUG));
    Bytes answer;
    EXPECT_FALSE(dev.exchange(led_set(2), &answer));
    EXPECT_EQ(state().plugged, 0u);
    ASSERT_TRUE(ctl.remove(0));
    EXPECT_FALSE(ctl.replug(0));
    ASSERT_TRUE(ctl.add(0, test_config()));
    DevFile fresh(0);
    ASSERT_TRUE(fresh.exchange(version_get(), &answer, 41));
    EXPECT_TRUE(well_framed(answer));
}

}  // namespace
