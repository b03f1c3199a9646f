// Commands, answers, faults and the exchange log through the real driver
// (\\.\R846_QVM2K_0 opened with CreateFileA), and the driver's safety on
// reads and writes of any shape.
#include <cstring>
#include <random>

#include "drv_test_util.h"

using namespace drvtest;

namespace {

// Writes the whole image window as the program's update would: begin,
// 64 blocks, end. version goes to 0x7F00 inside the image.
void write_image(DevFile &dev, const Bytes &image) {
    Bytes answer;
    ASSERT_TRUE(dev.exchange(boot_data(1), &answer));
    ASSERT_TRUE(well_framed(answer));
    ASSERT_EQ(get32(answer, 8), 0x55u);
    for (std::uint32_t off = 0; off < DEVSIM_WINDOW_SIZE; off += DEVSIM_BLOCK_SIZE) {
        Bytes block(image.begin() + off, image.begin() + off + DEVSIM_BLOCK_SIZE);
        ASSERT_TRUE(dev.exchange(boot_data(2, DEVSIM_WINDOW_START + off, block), &answer));
        ASSERT_TRUE(well_framed(answer));
        ASSERT_EQ(get32(answer, 8), 0x55u) << "block at " << off << " error " << get32(answer, 12);
    }
    ASSERT_TRUE(dev.exchange(boot_data(3), &answer));
    ASSERT_TRUE(well_framed(answer));
    ASSERT_EQ(get32(answer, 8), 0x55u);
}

}  // namespace

// ---- the byte examples -------------------------------------------------

TEST_F(DriverTest, VersionGetBytesAreAnsweredWithTheConfiguredRecord) {
    const Bytes cmd = {0x02, 0x9C, 0x06, 0x80, 0x11, 0x00, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03};
    ASSERT_EQ(cmd, version_get());  // our own framing agrees with the example
    DevFile dev(0);
    ASSERT_TRUE(dev.ok()) << GetLastError();
    Bytes answer;
    ASSERT_TRUE(dev.exchange(cmd, &answer, 41));
    ASSERT_EQ(answer.size(), 37u);
    EXPECT_TRUE(well_framed(answer));
    EXPECT_EQ(get32(answer, 8), 0x55u);
    const devsim::DeviceConfig c = test_config();
    EXPECT_EQ(get32(answer, 12), c.boot_version);
    EXPECT_EQ(get32(answer, 16), c.firm_version);
    EXPECT_EQ(answer[20] | (answer[21] << 8), static_cast<int>(c.mcu_version));
    EXPECT_EQ(~(get32(answer, 24) ^ DEVSIM_LICENSE_MASK_LOW), c.license_low);
    EXPECT_EQ(~(get32(answer, 28) ^ DEVSIM_LICENSE_MASK_HIGH),
              static_cast<std::uint32_t>(c.license_high));
    EXPECT_EQ(static_cast<std::int32_t>(get32(answer, 32)), c.serial_no);
}

TEST_F(DriverTest, LedSetThreeIsRecorded) {
    const Bytes cmd = {0x02, 0xA2, 0x09, 0x80, 0x11, 0x00, 0x00, 0x00, 0x03,
                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03};
    ASSERT_EQ(cmd, led_set(3));
    DevFile dev(0);
    Bytes answer;
    ASSERT_TRUE(dev.exchange(cmd, &answer, 21));
    ASSERT_EQ(answer.size(), 17u);
    EXPECT_TRUE(well_framed(answer));
    EXPECT_EQ(get32(answer, 8), 0x55u);
    EXPECT_EQ(state().led, 3u);
}

TEST_F(DriverTest, BootDataBeginBlockAndEndReachTheFlash) {
    const Bytes begin = {0x02, 0x18, 0x01, 0x00, 0x11, 0x00, 0x00, 0x00, 0x01,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03};
    const Bytes end = {0x02, 0x1A, 0x01, 0x00, 0x11, 0x00, 0x00, 0x00, 0x03,
                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03};
    ASSERT_EQ(begin, boot_data(1));
    ASSERT_EQ(end, boot_data(3));
    Bytes payload(256);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
    const Bytes block = boot_data(2, 0x4100, payload);
    ASSERT_EQ(block.size(), 273u);
    ASSERT_EQ(get32(block, 4), 0x111u);

    DevFile dev(0);
    Bytes answer;
    ASSERT_TRUE(dev.exchange(begin, &answer, 21));
    EXPECT_TRUE(well_framed(answer));
    EXPECT_EQ(get32(answer, 8), 0x55u);
    DWORD written = 0;
    ASSERT_TRUE(dev.write(block, &written));
    EXPECT_EQ(written, 273u);  // one WriteFile, all of it
    ASSERT_TRUE(dev.read(&answer, 21));
    EXPECT_TRUE(well_framed(answer));
    EXPECT_EQ(get32(answer, 8), 0x55u);
    EXPECT_EQ(state().blocks_received, 1u);
    ASSERT_TRUE(dev.exchange(end, &answer, 21));
    EXPECT_EQ(get32(answer, 8), 0x55u);

    std::vector<std::uint8_t> flash;
    ASSERT_TRUE(ctl.flash(0, &flash));
    ASSERT_EQ(flash.size(), DEVSIM_WINDOW_SIZE);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), flash.begin() + 0x100));
    EXPECT_EQ(flash[0x00], 0xFF);  // erased by the begin
    EXPECT_EQ(flash[0x200], 0xFF);

    const auto entries = log();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].cmd_id, 0x0001u);
    EXPECT_EQ(entries[1].param1, 2u);
    EXPECT_EQ(entries[1].param2, 0x4100u);
    EXPECT_EQ(entries[1].length, 273u);
    EXPECT_EQ(entries[1].code, 0x55u);
    EXPECT_EQ(state().commits, 1u);
}

TEST_F(DriverTest, WholeImageCommitsAndTheNewVersionIsReported) {
    Bytes image(DEVSIM_WINDOW_SIZE);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
    put32(image, DEVSIM_VERSION_ADDR - DEVSIM_WINDOW_START, 0x0000015E);  // 3.50
    DevFile dev(0);
    ASSERT_NO_FATAL_FAILURE(write_image(dev, image));
    Bytes answer;
    ASSERT_TRUE(dev.exchange(version_get(), &answer, 41));
    ASSERT_EQ(answer.size(), 37u);
    EXPECT_EQ(get32(answer, 16), 0x15Eu);
    std::vector<std::uint8_t> flash;
    ASSERT_TRUE(ctl.flash(0, &flash));
    EXPECT_EQ(Bytes(flash.begin(), flash.end()), image);
    EXPECT_EQ(state().exchanges, 67u);
}

TEST_F(DriverTest, BadFrameGetsAFramedErrorAnswer) {
    DevFile dev(0);
    Bytes cmd = led_set(2);
    cmd[1] ^= 0x01;  // checksum off
    Bytes answer;
    ASSERT_TRUE(dev.exchange(cmd, &answer));
    EXPECT_TRUE(well_framed(answer));
    EXPECT_EQ(get32(answer, 8), DEVSIM_CODE_ERROR);
    EXPECT_EQ(get32(answer, 12), DEVSIM_ERR_BAD_SUM);
    EXPECT_EQ(state().led, 0u);
}

// ---- faults through the driver -------------------------------------------

struct FaultCase {
    std::uint32_t kind;
    std::uint32_t param;
};

class DriverFaultTest : public DriverTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(DriverFaultTest, ArmedFaultShapesExactlyItsExchange) {
    const FaultCase fc = GetParam();
    DevFile dev(0);
    ASSERT_TRUE(dev.ok());
    Bytes answer;
    // Armed two exchanges ahead: the next two are untouched.
    ASSERT_TRUE(ctl.arm_fault(0, 2, fc.kind, fc.param)) << GetLastError();
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(dev.exchange(version_get(), &answer, 41));
        EXPECT_TRUE(well_framed(answer));
    }
    const Bytes cmd = version_get();
    DWORD written = 0;
    const DWORD t0 = GetTickCount();
    const bool wrote = dev.write(cmd, &written);
    const bool read = wrote && dev.read(&answer, 41);
    const DWORD elapsed = GetTickCount() - t0;

    switch (fc.kind) {
    case DEVSIM_FAULT_ERROR_ANSWER:
        ASSERT_TRUE(read);
        EXPECT_TRUE(well_framed(answer));
        EXPECT_EQ(get32(answer, 8), DEVSIM_CODE_ERROR);
        EXPECT_EQ(get32(answer, 12), fc.param);
        break;
    case DEVSIM_FAULT_BAD_CHECKSUM:
        ASSERT_TRUE(read);
        ASSERT_EQ(answer.size(), 37u);
        EXPECT_EQ(answer[1], static_cast<std::uint8_t>(frame_sum(answer) + 1));
        break;
    case DEVSIM_FAULT_SHORT_ANSWER:
        ASSERT_TRUE(read);
        EXPECT_EQ(answer.size(), 37u - fc.param);
        break;
    case DEVSIM_FAULT_NO_ANSWER:
        ASSERT_TRUE(read);
        EXPECT_TRUE(answer.empty());
        break;
    case DEVSIM_FAULT_WRITE_FAILS:
        EXPECT_FALSE(wrote);
        EXPECT_EQ(written, 0u);
        break;
    case DEVSIM_FAULT_READ_FAILS:
        EXPECT_TRUE(wrote);
        EXPECT_FALSE(read);
        break;
    case DEVSIM_FAULT_BAD_STX:
        ASSERT_TRUE(read);
        ASSERT_EQ(answer.size(), 37u);
        EXPECT_EQ(answer[0], 0x00);
        EXPECT_EQ(answer[1], frame_sum(answer));
        EXPECT_EQ(answer.back(), 0x03);
        break;
    case DEVSIM_FAULT_BAD_ETX:
        ASSERT_TRUE(read);
        ASSERT_EQ(answer.size(), 37u);
        EXPECT_EQ(answer.back(), 0x00);
        EXPECT_EQ(answer[1], frame_sum(answer));
        break;
    case DEVSIM_FAULT_DELAY:
        ASSERT_TRUE(read);
        EXPECT_TRUE(well_framed(answer));
        EXPECT_GE(elapsed + 20, fc.param);  // tick granularity
        break;
    default:
        FAIL() << "untested kind " << fc.kind;
    }

    // The fault was logged on its own exchange and the device is back to
    // normal on the next one.
    const auto entries = log();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].fault, 0u);
    EXPECT_EQ(entries[2].fault, fc.kind);
    EXPECT_EQ(entries[2].index, 2u);
    ASSERT_TRUE(dev.exchange(version_get(), &answer, 41));
    EXPECT_TRUE(well_framed(answer));
    EXPECT_EQ(get32(answer, 8), 0x55u);
    EXPECT_EQ(state().faults_armed, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, DriverFaultTest,
    ::testing::Values(FaultCase{DEVSIM_FAULT_ERROR_ANSWER, 0x1234},
                      FaultCase{DEVSIM_FAULT_BAD_CHECKSUM, 0}, FaultCase{DEVSIM_FAULT_SHORT_ANSWER, 5},
                      FaultCase{DEVSIM_FAULT_NO_ANSWER, 0}, FaultCase{DEVSIM_FAULT_WRITE_FAILS, 0},
                      FaultCase{DEVSIM_FAULT_READ_FAILS, 0}, FaultCase{DEVSIM_FAULT_BAD_STX, 0},
                      FaultCase{DEVSIM_FAULT_BAD_ETX, 0}, FaultCase{DEVSIM_FAULT_DELAY, 300}),
    [](const ::testing::TestParamInfo<FaultCase> &info) {
        std::string name = devsim::fault_kind_name(info.param.kind);
        for (char &ch : name)
            if (ch == '-') ch = '_';
        return name;
    });

TEST_F(DriverTest, PerExchangeDelayHoldsEveryAnswer) {
    ASSERT_TRUE(ctl.set_delay(0, 150));
    EXPECT_EQ(state().delay_ms, 150u);
    DevFile dev(0);
    Bytes answer;
    for (int i = 0; i < 2; ++i) {
        const DWORD t0 = GetTickCount();
        ASSERT_TRUE(dev.exchange(led_set(1), &answer));
        EXPECT_GE(GetTickCount() - t0 + 20, 150u);
        EXPECT_TRUE(well_framed(answer));
    }
    EXPECT_FALSE(ctl.set_delay(0, DEVSIM_MAX_DELAY_MS + 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(ctl.set_delay(0, 0));
}

// ---- the log --------------------------------------------------------------

TEST_F(DriverTest, LogReadsBackEveryExchangeInOrder) {
    DevFile dev(0);
    Bytes answer;
    ASSERT_TRUE(dev.exchange(version_get(), &answer, 41));
    ASSERT_TRUE(dev.exchange(led_set(2), &answer));
    ASSERT_TRUE(dev.exchange(boot_data(3), &answer));  // end without begin
    ASSERT_TRUE(dev.exchange(make_frame(0x7777, 5, 6), &answer));

    const auto e = log();
    ASSERT_EQ(e.size(), 4u);
    for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(e[i].index, i);
    EXPECT_EQ(e[0].cmd_id, 0x8006u);
    EXPECT_EQ(e[0].length, 17u);
    EXPECT_EQ(e[0].code, 0x55u);
    EXPECT_EQ(e[1].cmd_id, 0x8009u);
    EXPECT_EQ(e[1].param1, 2u);
    EXPECT_EQ(e[2].cmd_id, 0x0001u);
    EXPECT_EQ(e[2].code, DEVSIM_CODE_ERROR);
    EXPECT_EQ(e[2].error, DEVSIM_ERR_NOT_IN_BOOT);
    EXPECT_EQ(e[3].cmd_id, 0x7777u);
    EXPECT_EQ(e[3].param1, 5u);
    EXPECT_EQ(e[3].param2, 6u);
    EXPECT_EQ(e[3].error, DEVSIM_ERR_UNKNOWN_CMD);

    ASSERT_TRUE(ctl.clear_log(0));
    EXPECT_TRUE(log().empty());
}

TEST_F(DriverTest, LogKeepsTheNewestWhenTheRingWraps) {
    DevFile dev(0);
    Bytes answer;
    const std::uint32_t n = DEVSIM_LOG_CAPACITY + 44;
    for (std::uint32_t i = 0; i < n; ++i) ASSERT_TRUE(dev.exchange(led_set(1 + i % 3), &answer));
    std::vector<devsim_ioc_log_entry> e;
    std::uint32_t total = 0;
    ASSERT_TRUE(ctl.log(0, &e, &total));
    EXPECT_EQ(total, n);
    ASSERT_EQ(e.size(), DEVSIM_LOG_CAPACITY);
    EXPECT_EQ(e.front().index, 44u);
    EXPECT_EQ(e.back().index, n - 1);
    EXPECT_EQ(e.back().param1, 1 + (n - 1) % 3);
}

// ---- any read or write is safe --------------------------------------------

TEST_F(DriverTest, ReadWithoutACommandFailsAndHarmsNothing) {
    DevFile dev(0);
    Bytes answer;
    EXPECT_FALSE(dev.read(&answer, 64));
    // Reading an answer twice: the second read has nothing to return.
    ASSERT_TRUE(dev.exchange(led_set(1), &answer));
    EXPECT_FALSE(dev.read(&answer, 64));
    ASSERT_TRUE(dev.exchange(version_get(), &answer, 41));
    EXPECT_TRUE(well_framed(answer));
}

TEST_F(DriverTest, ReadBuffersOfAnySizeGetAtMostTheAnswer) {
    DevFile dev(0);
    Bytes answer;
    // One byte: the start of the answer; the rest is dropped with the read.
    ASSERT_TRUE(dev.write(version_get()));
    ASSERT_TRUE(dev.read(&answer, 1));
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0], 0x02);
    EXPECT_FALSE(dev.read(&answer, 64));
    // No buffer at all.
    ASSERT_TRUE(dev.write(version_get()));
    ASSERT_TRUE(dev.read(&answer, 0));
    EXPECT_TRUE(answer.empty());
    // A megabyte: only the answer.
    ASSERT_TRUE(dev.write(version_get()));
    ASSERT_TRUE(dev.read(&answer, 1u << 20));
    EXPECT_EQ(answer.size(), 37u);
    EXPECT_TRUE(well_framed(answer));
}

TEST_F(DriverTest, WritesOfAnySizeAreAnsweredNotCrashedOn) {
    DevFile dev(0);
    Bytes answer;
    const std::size_t sizes[] = {0, 1, 2, 16, 17, 18, 511, 512, 513, 4096, 1u << 20};
    for (std::size_t size : sizes) {
        Bytes junk(size, 0x02);
        DWORD written = 0;
        ASSERT_TRUE(dev.write(junk, &written)) << size;
        EXPECT_EQ(written, size);
        ASSERT_TRUE(dev.read(&answer)) << size;
        EXPECT_TRUE(well_framed(answer)) << size;
        EXPECT_EQ(get32(answer, 8), DEVSIM_CODE_ERROR) << size;
    }
    ASSERT_TRUE(dev.exchange(version_get(), &answer, 41));
    EXPECT_EQ(get32(answer, 8), 0x55u);
}

TEST_F(DriverTest, RandomTrafficNeverStopsTheDevice) {
    DevFile dev(0);
    std::mt19937 rng(846);
    Bytes answer;
    for (int i = 0; i < 400; ++i) {
        Bytes msg;
        switch (rng() % 3) {
        case 0: {  // random bytes
            msg.resize(rng() % 600);
            for (auto &b : msg) b = static_cast<std::uint8_t>(rng());
            break;
        }
        case 1: {  // a well-framed command with random fields
            Bytes payload(rng() % 300);
            for (auto &b : payload) b = static_cast<std::uint8_t>(rng());
            msg = make_frame(static_cast<std::uint16_t>(rng()), rng() % 4, rng(), payload);
            break;
        }
        default: {  // a good frame with one byte changed
            msg = boot_data(2, 0x4000 + (rng() % 64) * 256, Bytes(256, 0x5A));
            msg[rng() % msg.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
            break;
        }
        }
        ASSERT_TRUE(dev.write(msg)) << i;
        // Sometimes no read, sometimes two: every combination must be safe.
        const unsigned reads = rng() % 3;
        for (unsigned r = 0; r < reads; ++r) dev.read(&answer, rng() % 80);
    }
    ASSERT_TRUE(dev.exchange(version_get(), &answer, 41));
    EXPECT_TRUE(well_framed(answer));
    EXPECT_EQ(state().exchanges, 401u);
}
