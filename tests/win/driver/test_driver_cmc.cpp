// The program's device layer against the driver: the version query, the
// device search with gaps in the numbering, and the exchange results that
// the device's faults produce on the program's side.
#include "cmc.h"
#include "cmc_snd.h"
#include "drv_test_util.h"
#include "pcmc.h"

using namespace drvtest;

TEST_F(DriverTest, GetVerReadsTheConfiguredRecordThroughTheDriver) {
    SCMC_DEV_VER *ver = nullptr;
    ASSERT_EQ(CLS_pcmc::pcmc_get_ver(&ver, 1, 1), 0);
    ASSERT_NE(ver, nullptr);
    const devsim::DeviceConfig c = test_config();
    EXPECT_EQ(ver[0].firm_version, c.firm_version);
    EXPECT_EQ(ver[0].mcu_version, c.mcu_version);
    EXPECT_EQ(ver[0].license_bit.low, c.license_low);
    EXPECT_EQ(ver[0].license_bit.high, c.license_high);
    EXPECT_EQ(ver[0].serial_no, c.serial_no);
    EXPECT_EQ(ver[0].boot_version, c.boot_version);
    LocalFree(ver);

    // One version command, nothing else, and the device closed again.
    const auto entries = log();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].cmd_id, 0x8006u);
    EXPECT_EQ(state().open_handles, 0u);
}

TEST_F(DriverTest, GetVerFindsNoDeviceWhenItIsUnplugged) {
    ASSERT_TRUE(ctl.remove(0));
    SCMC_DEV_VER *ver = nullptr;
    EXPECT_EQ(CLS_pcmc::pcmc_get_ver(&ver, 1, 1), 1);
    EXPECT_EQ(ver, nullptr);
}

TEST_F(DriverTest, DeviceSearchSkipsAbsentIndices) {
    ASSERT_TRUE(ctl.remove_all());
    ASSERT_TRUE(ctl.add(3, test_config()));
    ASSERT_TRUE(ctl.add(5, test_config()));

    SCMC_OPENTBL *tbl = nullptr;
    ASSERT_EQ(CLS_cmc_snd::cmc_devtbl_edit(&tbl, 1, 0), 1u);
    ASSERT_NE(tbl, nullptr);
    EXPECT_EQ(tbl[0].thd_no, 4u);
    EXPECT_EQ(state(3).open_handles, 1u);
    EXPECT_EQ(state(5).open_handles, 0u);
    CLS_cmc_snd::cmc_devtbl_free(tbl, 1);
    EXPECT_EQ(state(3).open_handles, 0u);

    tbl = nullptr;
    ASSERT_EQ(CLS_cmc_snd::cmc_devtbl_edit(&tbl, 2, 0), 2u);
    EXPECT_EQ(tbl[0].thd_no, 4u);
    EXPECT_EQ(tbl[1].thd_no, 6u);
    CLS_cmc_snd::cmc_devtbl_free(tbl, 2);
}

TEST_F(DriverTest, DeviceFaultsReachTheProgramAsExchangeResults) {
    SCMC_OPENTBL *tbl = nullptr;
    ASSERT_EQ(CLS_cmc_snd::cmc_devtbl_edit(&tbl, 1, 1), 1u);
    SQVM_CMD_VER info{};
    unsigned long boot = 0;

    ASSERT_TRUE(ctl.arm_fault(0, 0, DEVSIM_FAULT_ERROR_ANSWER, 0x1234));
    EXPECT_EQ(CLS_cmc::cmc_cmd_ver_get(&tbl[0], &info, &boot), kCmcDeviceError);
    EXPECT_EQ(tbl[0].end_code, 0x1234u);

    const std::uint32_t transfer_faults[] = {
        DEVSIM_FAULT_BAD_CHECKSUM, DEVSIM_FAULT_SHORT_ANSWER, DEVSIM_FAULT_NO_ANSWER,
        DEVSIM_FAULT_WRITE_FAILS,  DEVSIM_FAULT_READ_FAILS,   DEVSIM_FAULT_BAD_STX,
        DEVSIM_FAULT_BAD_ETX};
    for (std::uint32_t kind : transfer_faults) {
        ASSERT_TRUE(ctl.arm_fault(0, 0, kind, 3));
        EXPECT_EQ(CLS_cmc::cmc_cmd_ver_get(&tbl[0], &info, &boot), kCmcTransfer)
            << devsim::fault_kind_name(kind);
        EXPECT_EQ(tbl[0].end_code, 0x1234u) << devsim::fault_kind_name(kind);
    }
    ASSERT_TRUE(ctl.arm_fault(0, 0, DEVSIM_FAULT_DELAY, 50));
    EXPECT_EQ(CLS_cmc::cmc_cmd_ver_get(&tbl[0], &info, &boot), kCmcOk);
    EXPECT_EQ(info.firm_version, test_config().firm_version);
    EXPECT_EQ(boot, test_config().boot_version);

    // Unplugged under the program: the next exchange fails as a transfer.
    ASSERT_TRUE(ctl.remove(0));
    EXPECT_EQ(CLS_cmc::cmc_cmd_led_set(&tbl[0], kCmcLedDone), kCmcTransfer);
    CLS_cmc_snd::cmc_devtbl_free(tbl, 1);
}

TEST_F(DriverTest, ProgramCommandsWriteTheImageTheDeviceStores) {
    Bytes image(DEVSIM_WINDOW_SIZE);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 13 + 1);
    put32(image, DEVSIM_VERSION_ADDR - DEVSIM_WINDOW_START, 0x0042015E);

    SCMC_OPENTBL *tbl = nullptr;
    ASSERT_EQ(CLS_cmc_snd::cmc_devtbl_edit(&tbl, 1, 1), 1u);
    EXPECT_EQ(CLS_cmc::cmc_cmd_led_set(&tbl[0], kCmcLedBusy), kCmcOk);
    ASSERT_EQ(CLS_cmc::cmc_cmd_bootdata_set(&tbl[0], kCmcBootBegin, nullptr, 0, 0), kCmcOk);
    const unsigned long blocks =
        CLS_cmc::cmc_get_blockmax(DEVSIM_WINDOW_SIZE, DEVSIM_WINDOW_START, kCmcBlockSize);
    ASSERT_EQ(blocks, 64u);
    for (unsigned long n = 0; n < blocks; ++n) {
        unsigned long addr = 0;
        unsigned char *block = CLS_cmc::cmc_get_data(image.data(), DEVSIM_WINDOW_SIZE,
                                                     DEVSIM_WINDOW_START, &addr, kCmcBlockSize, n);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(CLS_cmc::cmc_cmd_bootdata_set(&tbl[0], kCmcBootBlock, block, kCmcBlockSize, addr),
                  kCmcOk)
            << n;
        LocalFree(block);
    }
    ASSERT_EQ(CLS_cmc::cmc_cmd_bootdata_set(&tbl[0], kCmcBootEnd, nullptr, 0, 0), kCmcOk);
    EXPECT_EQ(CLS_cmc::cmc_cmd_led_set(&tbl[0], kCmcLedDone), kCmcOk);
    SQVM_CMD_VER info{};
    ASSERT_EQ(CLS_cmc::cmc_cmd_ver_get(&tbl[0], &info, nullptr), kCmcOk);
    EXPECT_EQ(info.firm_version, 0x0042015Eu);
    CLS_cmc_snd::cmc_devtbl_free(tbl, 1);

    std::vector<std::uint8_t> flash;
    ASSERT_TRUE(ctl.flash(0, &flash));
    EXPECT_EQ(Bytes(flash.begin(), flash.end()), image);
    EXPECT_EQ(state().led, 1u);
    EXPECT_EQ(state().commits, 1u);
}
