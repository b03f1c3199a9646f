// The bootloader: transfers into the flash window and the firmware version
// the device reports afterwards.
#include "devsim_frames.h"

#include <algorithm>

namespace devsim_test {
namespace {

class Boot : public DeviceTest {
protected:
    std::uint32_t reported_version() {
        Response r = exchange(version_cmd());
        EXPECT_TRUE(r.framed);
        return r.payload.size() == 20 ? get32(r.payload, 0) : 0xDEADBEEFu;
    }

    // An image for the whole window with `version` at 0x7F00.
    static Bytes image(std::uint32_t version) {
        Bytes img(DEVSIM_WINDOW_SIZE);
        for (std::uint32_t a = 0; a < img.size(); a += 256) {
            Bytes d = block_data(DEVSIM_WINDOW_START + a);
            std::copy(d.begin(), d.end(), img.begin() + a);
        }
        put32(img, DEVSIM_VERSION_ADDR - DEVSIM_WINDOW_START, version);
        return img;
    }

    static Bytes slice(const Bytes &img, std::uint32_t addr) {
        auto at = img.begin() + (addr - DEVSIM_WINDOW_START);
        return Bytes(at, at + 256);
    }

    bool window_erased() {
        for (std::uint8_t b : dev()->flash) {
            if (b != 0xFF) return false;
        }
        return true;
    }
};

TEST_F(Boot, FreshDeviceHoldsItsVersionAtTheVersionAddressOnly) {
    devsim_config c;
    devsim_default_config(&c);
    c.firm_version = 0x0042010A;
    devsim_init(dev(), &c);
    Bytes fl(DEVSIM_WINDOW_SIZE);
    ASSERT_EQ(devsim_flash_read(dev(), DEVSIM_WINDOW_START, fl.data(), DEVSIM_WINDOW_SIZE), 1);
    EXPECT_EQ(get32(fl, DEVSIM_VERSION_ADDR - DEVSIM_WINDOW_START), 0x0042010Au);
    put32(fl, DEVSIM_VERSION_ADDR - DEVSIM_WINDOW_START, 0xFFFFFFFFu);
    EXPECT_EQ(fl, Bytes(DEVSIM_WINDOW_SIZE, 0xFF));
    EXPECT_EQ(reported_version(), 0x0042010Au);
}

TEST_F(Boot, WholeTransferIsStoredAndItsVersionReported) {
    const Bytes img = image(0x4100015E);
    expect_ok(led_cmd(2));
    expect_ok(begin_cmd());
    for (std::uint32_t a = DEVSIM_WINDOW_START; a < DEVSIM_WINDOW_START + DEVSIM_WINDOW_SIZE; a += 256) {
        expect_ok(block_cmd(a, slice(img, a)));
    }
    EXPECT_EQ(dev()->blocks_received, 64u);
    EXPECT_EQ(reported_version(), 0xFFFFFFFFu);  // nothing committed yet
    expect_ok(end_cmd());
    expect_ok(led_cmd(1));
    EXPECT_EQ(dev()->commits, 1u);
    EXPECT_EQ(dev()->boot_state, static_cast<std::uint32_t>(DEVSIM_BOOT_IDLE));
    EXPECT_EQ(reported_version(), 0x4100015Eu);
    EXPECT_EQ(Bytes(dev()->flash, dev()->flash + DEVSIM_WINDOW_SIZE), img);
}

TEST_F(Boot, BeginErasesTheWindowAndMarksNoFirmware) {
    EXPECT_EQ(reported_version(), DEVSIM_DEFAULT_FIRM_VERSION);
    expect_ok(begin_cmd());
    EXPECT_TRUE(window_erased());
    EXPECT_EQ(reported_version(), 0xFFFFFFFFu);
    // A second begin starts over: blocks already taken are erased again and
    // the order restarts at the bottom of the window.
    expect_ok(block_cmd(0x5000, block_data(0x5000)));
    expect_ok(begin_cmd());
    EXPECT_TRUE(window_erased());
    EXPECT_EQ(dev()->blocks_received, 0u);
    expect_ok(block_cmd(0x4000, block_data(0x4000)));
}

TEST_F(Boot, BlocksAndEndNeedABegin) {
    expect_error(block_cmd(0x4000, block_data(0x4000)), DEVSIM_ERR_NOT_IN_BOOT);
    expect_error(end_cmd(), DEVSIM_ERR_NOT_IN_BOOT);
    EXPECT_EQ(flash_at(0x4000), 0xFF);
    EXPECT_EQ(reported_version(), DEVSIM_DEFAULT_FIRM_VERSION);  // nothing touched
    expect_ok(begin_cmd());
    expect_ok(end_cmd());
    expect_error(end_cmd(), DEVSIM_ERR_NOT_IN_BOOT);  // one end per begin
    EXPECT_EQ(dev()->commits, 1u);
}

TEST_F(Boot, EmptyTransferCommitsAnErasedWindow) {
    expect_ok(begin_cmd());
    expect_ok(end_cmd());
    EXPECT_EQ(reported_version(), 0xFFFFFFFFu);
}

TEST_F(Boot, BlockRulesEachHaveTheirCode) {
    struct Case {
        const char *what;
        std::uint32_t addr;
        std::size_t size;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"255 bytes", 0x4000, 255, DEVSIM_ERR_BLOCK_SIZE},
        {"257 bytes", 0x4000, 257, DEVSIM_ERR_BLOCK_SIZE},
        {"no bytes", 0x4000, 0, DEVSIM_ERR_BLOCK_SIZE},
        {"unaligned", 0x4080, 256, DEVSIM_ERR_BLOCK_ALIGN},
        {"one byte off", 0x4001, 256, DEVSIM_ERR_BLOCK_ALIGN},
        {"below the window", 0x3F00, 256, DEVSIM_ERR_BLOCK_RANGE},
        {"zero", 0x0000, 256, DEVSIM_ERR_BLOCK_RANGE},
        {"just above", 0x8000, 256, DEVSIM_ERR_BLOCK_RANGE},
        {"wraps around", 0xFFFFFF00u, 256, DEVSIM_ERR_BLOCK_RANGE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        expect_ok(begin_cmd());
        expect_error(block_cmd(c.addr, Bytes(c.size, 0x11)), c.error);
        EXPECT_TRUE(window_erased());
        EXPECT_EQ(dev()->blocks_received, 0u);
    }
}

TEST_F(Boot, BlocksMustAscendButMayLeaveGaps) {
    expect_ok(begin_cmd());
    expect_ok(block_cmd(0x4000, block_data(0x4000)));
    expect_ok(block_cmd(0x4300, block_data(0x4300)));  // gap stays erased
    expect_ok(block_cmd(0x7F00, block_data(0x7F00)));  // last block of the window
    EXPECT_EQ(flash_at(0x4100), 0xFF);
    EXPECT_EQ(flash_at(0x4300), block_data(0x4300)[0]);
    EXPECT_EQ(flash_at(0x7FFF), block_data(0x7F00)[255]);
    EXPECT_EQ(dev()->blocks_received, 3u);

    expect_ok(begin_cmd());
    expect_ok(block_cmd(0x4100, block_data(0x4100)));
    expect_error(block_cmd(0x4100, block_data(0x4100)), DEVSIM_ERR_BLOCK_ORDER);  // repeated
    expect_ok(begin_cmd());
    expect_ok(block_cmd(0x4200, block_data(0x4200)));
    expect_error(block_cmd(0x4000, block_data(0x4000)), DEVSIM_ERR_BLOCK_ORDER);  // backwards
}

// A transfer with a refused block must not end in a commit of a window with
// a hole in it; the device drops the transfer and wants a new begin.
TEST_F(Boot, RefusedBlockEndsTheTransfer) {
    const Bytes img = image(0x0000015E);
    expect_ok(begin_cmd());
    expect_ok(block_cmd(0x4000, slice(img, 0x4000)));
    expect_error(block_cmd(0x4100, Bytes(100, 0)), DEVSIM_ERR_BLOCK_SIZE);
    EXPECT_EQ(dev()->boot_state, static_cast<std::uint32_t>(DEVSIM_BOOT_IDLE));
    expect_error(block_cmd(0x4100, slice(img, 0x4100)), DEVSIM_ERR_NOT_IN_BOOT);
    expect_error(end_cmd(), DEVSIM_ERR_NOT_IN_BOOT);
    EXPECT_EQ(dev()->commits, 0u);
    EXPECT_EQ(reported_version(), 0xFFFFFFFFu);
}

TEST_F(Boot, OtherCommandsDuringATransferLeaveItRunning) {
    expect_ok(begin_cmd());
    expect_ok(block_cmd(0x4000, block_data(0x4000)));
    expect_ok(led_cmd(3));
    EXPECT_EQ(reported_version(), 0xFFFFFFFFu);
    expect_error(led_cmd(9), DEVSIM_ERR_BAD_PARAM);
    expect_error(Bytes{0x02, 0x00}, DEVSIM_ERR_BAD_LEN);
    expect_ok(block_cmd(0x4100, block_data(0x4100)));
    expect_ok(end_cmd());
    EXPECT_EQ(dev()->blocks_received, 2u);
}

TEST_F(Boot, BeginAndEndTakeNoAddressOrPayloadAndTypeMustBeKnown) {
    expect_error(command(DEVSIM_CMD_BOOTDATA, 1, 0x4000), DEVSIM_ERR_BAD_PARAM);
    expect_error(command(DEVSIM_CMD_BOOTDATA, 1, 0, Bytes(256, 0)), DEVSIM_ERR_BAD_PARAM);
    EXPECT_EQ(reported_version(), DEVSIM_DEFAULT_FIRM_VERSION);  // the refused begin erased nothing
    expect_error(command(DEVSIM_CMD_BOOTDATA, 0, 0), DEVSIM_ERR_BAD_PARAM);
    expect_error(command(DEVSIM_CMD_BOOTDATA, 4, 0), DEVSIM_ERR_BAD_PARAM);
    expect_ok(begin_cmd());
    expect_error(command(DEVSIM_CMD_BOOTDATA, 3, 1), DEVSIM_ERR_BAD_PARAM);
    expect_ok(end_cmd());
}

TEST_F(Boot, VersionComesFromTheBytesWrittenAtTheVersionAddress) {
    for (std::uint32_t v : {0x00000001u, 0x4241270Fu, 0xFFFFFFFFu, 0x00000000u}) {
        Bytes blk = block_data(0x7F00);
        put32(blk, 0, v);
        expect_ok(begin_cmd());
        expect_ok(block_cmd(0x7F00, blk));
        expect_ok(end_cmd());
        EXPECT_EQ(reported_version(), v);
        EXPECT_EQ(dev()->firm_version, v);
    }
}

TEST_F(Boot, FlashReadBackStaysInsideTheWindow) {
    std::uint8_t b[4] = {1, 2, 3, 4};
    EXPECT_EQ(devsim_flash_read(dev(), 0x7FFC, b, 4), 1);
    EXPECT_EQ(devsim_flash_read(dev(), 0x7FFD, b, 4), 0);
    EXPECT_EQ(devsim_flash_read(dev(), 0x3FFF, b, 1), 0);
    EXPECT_EQ(devsim_flash_read(dev(), 0x4000, b, 0), 0);
    EXPECT_EQ(devsim_flash_read(dev(), 0xFFFFFFFFu, b, 2), 0);
    EXPECT_EQ(devsim_flash_read(dev(), 0x4000, nullptr, 2), 0);
}

}  // namespace
}  // namespace devsim_test
