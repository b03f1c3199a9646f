// Updates interrupted by an unplug or a power loss at each kind of step,
// what the device keeps, and how it comes back when plugged in again.
#include "devsim_frames.h"
#include "devsim_inproc.h"

#include <windows.h>

#include "test_handle.h"

namespace devsim_test {
namespace {

constexpr std::uint32_t kBlocks = DEVSIM_WINDOW_SIZE / DEVSIM_BLOCK_SIZE;
constexpr std::uint32_t kNewVersion = 0x0000016Au;  // what the image carries at 0x7F00

// The update's exchanges in order: LED 2, begin, 64 blocks, end, LED 1.
Bytes step(std::uint32_t i) {
    if (i == 0) return led_cmd(2);
    if (i == 1) return begin_cmd();
    if (i < 2 + kBlocks) {
        const std::uint32_t addr = DEVSIM_WINDOW_START + (i - 2) * DEVSIM_BLOCK_SIZE;
        Bytes data = block_data(addr);
        if (addr == DEVSIM_VERSION_ADDR) put32(data, 0, kNewVersion);
        return block_cmd(addr, data);
    }
    if (i == 2 + kBlocks) return end_cmd();
    return led_cmd(1);
}
constexpr std::uint32_t kSteps = kBlocks + 4;

// The flash a whole update leaves.
Bytes image() {
    Bytes out;
    for (std::uint32_t b = 0; b < kBlocks; ++b) {
        const Bytes cmd = step(2 + b);
        out.insert(out.end(), cmd.begin() + 16, cmd.end() - 1);
    }
    return out;
}

Bytes flash_of(const devsim_device *dev) { return Bytes(dev->flash, dev->flash + DEVSIM_WINDOW_SIZE); }

using Interrupt = DeviceTest;

enum class Firmware { kOld, kNone, kNew };

TEST_F(Interrupt, EachStepLeavesWhatTheDeviceHadDoneAndReplugRestartsIt) {
    struct Case {
        const char *what;
        std::uint32_t at;  // step the interruption meets
        devsim_fault_kind kind;
        std::uint32_t whole_blocks;  // blocks in the flash after it
        bool torn;                   // and the next one half written
        Firmware firmware;           // reported after the replug
    };
    const auto U = DEVSIM_FAULT_UNPLUG;
    const auto P = DEVSIM_FAULT_POWER_LOSS;
    const Case cases[] = {
        {"LED 2", 0, U, 0, false, Firmware::kOld},
        {"LED 2", 0, P, 0, false, Firmware::kOld},
        {"begin", 1, U, 0, false, Firmware::kOld},
        {"begin", 1, P, 0, false, Firmware::kNone},  // the erase came first
        {"first block", 2, U, 0, false, Firmware::kNone},
        {"first block", 2, P, 0, true, Firmware::kNone},
        {"middle block", 2 + 31, U, 31, false, Firmware::kNone},
        {"middle block", 2 + 31, P, 31, true, Firmware::kNone},
        {"last block", 1 + kBlocks, U, kBlocks - 1, false, Firmware::kNone},
        {"last block", 1 + kBlocks, P, kBlocks - 1, true, Firmware::kNone},
        {"end", 2 + kBlocks, U, kBlocks, false, Firmware::kNone},
        {"end", 2 + kBlocks, P, kBlocks, false, Firmware::kNone},  // never committed
        {"LED 1", 3 + kBlocks, U, kBlocks, false, Firmware::kNew},
        {"LED 1", 3 + kBlocks, P, kBlocks, false, Firmware::kNew},
    };
    const Bytes full = image();
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.what) + (c.kind == U ? ", unplug" : ", power loss"));
        devsim_init(dev(), nullptr);
        const std::uint32_t old_version = dev()->firm_version;
        ASSERT_EQ(devsim_arm_fault(dev(), c.at, c.kind, 0), 1);
        for (std::uint32_t i = 0; i < c.at; ++i) expect_ok(step(i));

        const Bytes cmd = step(c.at);
        std::uint32_t written = 99, got = 99;
        const int wrote = devsim_write(dev(), cmd.data(), static_cast<std::uint32_t>(cmd.size()), &written);
        // Unplugged: the command never arrived. Power loss: it arrived, no answer.
        EXPECT_EQ(wrote, c.kind == P ? 1 : 0);
        EXPECT_EQ(written, c.kind == P ? cmd.size() : 0u);
        EXPECT_EQ(dev()->powered, 0u);
        Bytes buf(64);
        EXPECT_EQ(devsim_read(dev(), buf.data(), 64, &got), 0);
        EXPECT_EQ(got, 0u);
        devsim_log_entry last;
        ASSERT_EQ(devsim_log_get(dev(), devsim_log_size(dev()) - 1, &last), 1);
        EXPECT_EQ(last.index, c.at);
        EXPECT_EQ(last.fault, static_cast<std::uint32_t>(c.kind));
        EXPECT_EQ(last.code, 0u);
        // Without power nothing more arrives, and nothing is logged.
        EXPECT_EQ(devsim_write(dev(), cmd.data(), static_cast<std::uint32_t>(cmd.size()), &written), 0);
        EXPECT_EQ(dev()->exchanges, c.at + 1);

        // The flash as the interruption left it, readable while unplugged.
        Bytes want(DEVSIM_WINDOW_SIZE, 0xFF);
        if (c.at == 0 || (c.at == 1 && c.kind == U)) {
            want = flash_of(dev());  // untouched: the erase never ran
            EXPECT_EQ(get32(want, DEVSIM_VERSION_ADDR - DEVSIM_WINDOW_START), old_version);
        }
        const std::uint32_t whole = c.whole_blocks * DEVSIM_BLOCK_SIZE;
        std::copy(full.begin(), full.begin() + whole, want.begin());
        if (c.torn) {
            std::copy(full.begin() + whole, full.begin() + whole + DEVSIM_TORN_BYTES,
                      want.begin() + whole);
        }
        EXPECT_TRUE(flash_of(dev()) == want);

        devsim_replug(dev());
        EXPECT_EQ(dev()->powered, 1u);
        EXPECT_EQ(dev()->led, 0u);
        EXPECT_EQ(dev()->boot_state, static_cast<std::uint32_t>(DEVSIM_BOOT_IDLE));
        EXPECT_TRUE(flash_of(dev()) == want);
        const std::uint32_t firmware = c.firmware == Firmware::kOld   ? old_version
                                       : c.firmware == Firmware::kNew ? kNewVersion
                                                                      : 0xFFFFFFFFu;
        Response ver = exchange(version_cmd());
        EXPECT_EQ(get32(ver.payload, 0), firmware);
        // A transfer cut short is not resumed: blocks and end need a begin.
        expect_error(end_cmd(), DEVSIM_ERR_NOT_IN_BOOT);

        // The next whole update brings it to exactly the new image.
        for (std::uint32_t i = 0; i < kSteps; ++i) expect_ok(step(i));
        EXPECT_TRUE(flash_of(dev()) == full);
        EXPECT_EQ(dev()->firm_version, kNewVersion);
        EXPECT_EQ(dev()->log[(dev()->log_count - 1) % DEVSIM_LOG_CAPACITY].index,
                  c.at + 2 + kSteps);  // numbers go on: version get and end came between
    }
}

TEST_F(Interrupt, ReplugDropsArmedFaultsAndAPendingAnswer) {
    ASSERT_EQ(devsim_arm_fault(dev(), 1, DEVSIM_FAULT_NO_ANSWER, 0), 1);
    std::uint32_t written = 0, got = 0;
    const Bytes cmd = version_cmd();
    ASSERT_EQ(devsim_write(dev(), cmd.data(), 17, &written), 1);
    devsim_replug(dev());
    Bytes buf(64);
    EXPECT_EQ(devsim_read(dev(), buf.data(), 64, &got), 0);  // the answer went with the power
    EXPECT_EQ(dev()->fault_count, 0u);
    EXPECT_TRUE(exchange(cmd).framed);  // would have been the no-answer exchange
}

TEST_F(Interrupt, PowerLossOnARefusedBlockWritesNothing) {
    // Only a block the device would have taken is torn into the flash.
    const Bytes data = block_data(0x4000);
    const Bytes refused[] = {block_cmd(0x4000, data), block_cmd(0x4080, data),
                             block_cmd(0x8000, data)};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        devsim_init(dev(), nullptr);
        if (i > 0) expect_ok(begin_cmd());  // case 0: no transfer under way
        ASSERT_EQ(devsim_arm_fault(dev(), 0, DEVSIM_FAULT_POWER_LOSS, 0), 1);
        std::uint32_t written = 0;
        ASSERT_EQ(devsim_write(dev(), refused[i].data(), 273, &written), 1);
        EXPECT_EQ(flash_at(0x4000), 0xFF);
        EXPECT_EQ(flash_at(0x4080), 0xFF);
        EXPECT_EQ(dev()->blocks_received, 0u);
    }
}

// The in-process device takes itself away as the fault's write arrives.
TEST(InterruptInProc, NameAndHandlesGoAndReplugBringsTheDeviceBack) {
    for (devsim_fault_kind kind : {DEVSIM_FAULT_UNPLUG, DEVSIM_FAULT_POWER_LOSS}) {
        SCOPED_TRACE(kind);
        devsim::InProcDevice device(2);
        test_support::Handle h(CreateFileA("\\\\.\\R846_QVM2K_2", GENERIC_READ | GENERIC_WRITE, 0,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(h.ok());
        ASSERT_TRUE(device.arm_fault(0, kind));
        const Bytes cmd = begin_cmd();
        DWORD n = 0;
        EXPECT_EQ(WriteFile(h.get(), cmd.data(), 17, &n, nullptr) != FALSE,
                  kind == DEVSIM_FAULT_POWER_LOSS);
        Bytes buf(64);
        EXPECT_FALSE(ReadFile(h.get(), buf.data(), 64, &n, nullptr));
        EXPECT_FALSE(device.plugged());
        EXPECT_FALSE(test_support::Handle(CreateFileA("\\\\.\\R846_QVM2K_2",
                                                      GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                      OPEN_EXISTING, 0, nullptr))
                         .ok());
        EXPECT_EQ(device.log().back().fault, static_cast<std::uint32_t>(kind));

        device.replug();
        EXPECT_TRUE(device.plugged());
        EXPECT_FALSE(WriteFile(h.get(), cmd.data(), 17, &n, nullptr));  // an old handle stays dead
        test_support::Handle again(CreateFileA("\\\\.\\R846_QVM2K_2", GENERIC_READ | GENERIC_WRITE,
                                               0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(again.ok());
        const Bytes ver = version_cmd();
        ASSERT_TRUE(WriteFile(again.get(), ver.data(), 17, &n, nullptr));
        ASSERT_TRUE(ReadFile(again.get(), buf.data(), 64, &n, nullptr));
        buf.resize(n);
        const Response r = parse(buf);
        EXPECT_TRUE(r.framed);
        EXPECT_EQ(get32(r.payload, 0),
                  kind == DEVSIM_FAULT_POWER_LOSS ? 0xFFFFFFFFu : DEVSIM_DEFAULT_FIRM_VERSION);
        EXPECT_EQ(static_cast<std::uint32_t>(get32(r.payload, 16)), DEVSIM_DEFAULT_SERIAL + 2u);
    }
}

}  // namespace
}  // namespace devsim_test
