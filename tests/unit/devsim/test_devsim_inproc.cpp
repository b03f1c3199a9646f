// The in-process device through the Win32 file calls of the POSIX layer:
// naming, plugging, open controls, delays served off the lock.
#include "devsim_frames.h"
#include "devsim_inproc.h"
#include "test_handle.h"

#include <windows.h>

#include <atomic>
#include <thread>

namespace devsim_test {
namespace {

test_support::Handle open_dev(const char *name) {
    return test_support::Handle(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr));
}

// One exchange through the file calls; ok false when a call failed.
struct FileExchange {
    bool ok = false;
    Response answer;
};

FileExchange file_exchange(HANDLE h, const Bytes &cmd, DWORD capacity = 64) {
    FileExchange x;
    DWORD n = 0;
    if (!WriteFile(h, cmd.data(), static_cast<DWORD>(cmd.size()), &n, nullptr) || n != cmd.size()) {
        return x;
    }
    Bytes buf(capacity);
    if (!ReadFile(h, buf.data(), capacity, &n, nullptr)) return x;
    buf.resize(n);
    x.ok = true;
    x.answer = parse(buf);
    return x;
}

const char kDev0[] = "\\\\.\\R846_QVM2K_0";

class InProc : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(qvm_posix::open_device_handles(), 0); }
};

// Device 0, plugged, with one handle open on it.
class InProcOpen : public InProc {
protected:
    void SetUp() override {
        h = open_dev(kDev0);
        ASSERT_TRUE(h.ok());
    }
    void TearDown() override {
        h.reset();
        InProc::TearDown();
    }
    devsim::InProcDevice device{0};
    test_support::Handle h;
};

TEST_F(InProc, AnswersUnderItsIndexedDeviceName) {
    devsim_config c;
    devsim_default_config(&c);
    c.firm_version = 0x00000190;
    devsim::InProcDevice device(3, &c);
    EXPECT_EQ(device.name(), "R846_QVM2K_3");
    EXPECT_FALSE(open_dev(kDev0).ok());
    test_support::Handle h = open_dev("\\\\.\\R846_QVM2K_3");
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(device.open_handles(), 1);

    FileExchange x = file_exchange(h.get(), version_cmd(), 37);
    ASSERT_TRUE(x.ok);
    EXPECT_TRUE(x.answer.framed);
    EXPECT_EQ(get32(x.answer.payload, 0), 0x00000190u);
    ASSERT_TRUE(file_exchange(h.get(), led_cmd(2)).ok);
    EXPECT_EQ(device.led(), 2u);
    EXPECT_EQ(device.exchanges(), 2u);
    ASSERT_EQ(device.log().size(), 2u);
    EXPECT_EQ(device.log()[1].cmd_id, 0x8009);

    h.reset();
    EXPECT_EQ(device.open_handles(), 0);
}

TEST_F(InProcOpen, UnplugFailsOpenHandlesForGood) {
    ASSERT_TRUE(file_exchange(h.get(), led_cmd(1)).ok);

    device.unplug();
    EXPECT_FALSE(device.plugged());
    EXPECT_FALSE(file_exchange(h.get(), led_cmd(2)).ok);
    EXPECT_FALSE(open_dev(kDev0).ok());

    // Put back in: the old handle stays dead, a new one works, and the
    // device kept what it had.
    device.plug();
    EXPECT_FALSE(file_exchange(h.get(), led_cmd(2)).ok);
    test_support::Handle h2 = open_dev(kDev0);
    ASSERT_TRUE(h2.ok());
    EXPECT_EQ(device.led(), 1u);
    EXPECT_TRUE(file_exchange(h2.get(), led_cmd(3)).ok);
    EXPECT_EQ(device.led(), 3u);
    EXPECT_EQ(device.open_handles(), 1);
    h.reset();
    EXPECT_EQ(device.open_handles(), 1);  // a stale close does not count
    h2.reset();
    EXPECT_EQ(device.open_handles(), 0);
}

TEST_F(InProc, DestroyedOrUnpluggedAtStartIsAbsent) {
    {
        devsim::InProcDevice device(1);
        test_support::Handle h = open_dev("\\\\.\\R846_QVM2K_1");
        ASSERT_TRUE(h.ok());
        h.reset();
    }
    EXPECT_FALSE(open_dev("\\\\.\\R846_QVM2K_1").ok());
    devsim::InProcDevice later(1, nullptr, false);
    EXPECT_FALSE(open_dev("\\\\.\\R846_QVM2K_1").ok());
    later.plug();
    test_support::Handle h = open_dev("\\\\.\\R846_QVM2K_1");
    EXPECT_TRUE(h.ok());
    h.reset();
}

TEST_F(InProc, OpenControls) {
    devsim::InProcDevice device(0);
    device.fail_open(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(open_dev(kDev0).ok());
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    device.fail_open(0);

    device.set_exclusive(true);
    test_support::Handle a = open_dev(kDev0);
    ASSERT_TRUE(a.ok());
    EXPECT_FALSE(open_dev(kDev0).ok());
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    a.reset();
    test_support::Handle b = open_dev(kDev0);
    EXPECT_TRUE(b.ok());
    device.set_exclusive(false);
    test_support::Handle c = open_dev(kDev0);
    EXPECT_TRUE(c.ok());
    b.reset();
    c.reset();
}

TEST_F(InProcOpen, FaultsReachTheFileCalls) {
    ASSERT_TRUE(device.arm_fault(0, DEVSIM_FAULT_WRITE_FAILS));
    ASSERT_TRUE(device.arm_fault(1, DEVSIM_FAULT_READ_FAILS));
    ASSERT_TRUE(device.arm_fault(2, DEVSIM_FAULT_SHORT_ANSWER, 4));
    EXPECT_FALSE(device.arm_fault(2, DEVSIM_FAULT_NO_ANSWER));

    DWORD n = 5;
    Bytes cmd = led_cmd(2);
    EXPECT_FALSE(WriteFile(h.get(), cmd.data(), 17, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(file_exchange(h.get(), cmd).ok);
    EXPECT_EQ(device.led(), 2u);  // the failed read came after the LED was set
    FileExchange x = file_exchange(h.get(), led_cmd(3));
    ASSERT_TRUE(x.ok);
    EXPECT_EQ(x.answer.raw.size(), 13u);
    EXPECT_EQ(device.led(), 3u);
}

TEST_F(InProcOpen, TransferThroughFilesLandsInFlash) {
    ASSERT_TRUE(file_exchange(h.get(), begin_cmd()).answer.framed);
    EXPECT_EQ(device.firm_version(), 0xFFFFFFFFu);
    Bytes blk = block_data(0x7F00);
    put32(blk, 0, 0x0000015E);
    ASSERT_EQ(file_exchange(h.get(), block_cmd(0x7F00, blk)).answer.code, DEVSIM_CODE_OK);
    ASSERT_EQ(file_exchange(h.get(), end_cmd()).answer.code, DEVSIM_CODE_OK);
    EXPECT_EQ(device.blocks_received(), 1u);
    EXPECT_EQ(device.commits(), 1u);
    EXPECT_EQ(device.boot_state(), static_cast<std::uint32_t>(DEVSIM_BOOT_IDLE));
    EXPECT_EQ(device.firm_version(), 0x0000015Eu);
    std::vector<std::uint8_t> fl = device.flash();
    ASSERT_EQ(fl.size(), DEVSIM_WINDOW_SIZE);
    EXPECT_EQ(Bytes(fl.end() - 256, fl.end()), blk);
    EXPECT_EQ(fl[0], 0xFF);

    device.reset(nullptr);
    EXPECT_EQ(device.firm_version(), DEVSIM_DEFAULT_FIRM_VERSION);
    EXPECT_TRUE(device.log().empty());
    EXPECT_TRUE(file_exchange(h.get(), led_cmd(1)).answer.framed);  // handle survives a reset
}

// A worker stuck in a delayed read must not keep the test thread from the
// device's state, and must be set free by a release or an unplug.
TEST_F(InProcOpen, DelayIsServedOffTheLockAndCanBeCutShort) {
    const std::uint32_t forever = 60000;

    for (bool by_unplug : {false, true}) {
        SCOPED_TRACE(by_unplug ? "unplug" : "release");
        ASSERT_TRUE(device.arm_fault(0, DEVSIM_FAULT_DELAY, forever));
        std::atomic<bool> done{false};
        FileExchange x;
        std::thread worker([&] {
            x = file_exchange(h.get(), led_cmd(2));
            done = true;
        });
        ASSERT_TRUE(device.wait_exchanges(1, 10000));
        // The worker wrote and now waits in its read; the state is readable
        // meanwhile (a held lock would block here for a minute).
        EXPECT_EQ(device.led(), 2u);
        EXPECT_FALSE(device.log().empty());
        EXPECT_FALSE(done.load());
        if (by_unplug) {
            device.unplug();
        } else {
            device.release_delays();
        }
        worker.join();
        EXPECT_EQ(x.ok, !by_unplug);
        if (!by_unplug) {
            EXPECT_TRUE(x.answer.framed);
        }
        device.reset(nullptr);  // exchange count back to 0
    }
}

TEST_F(InProcOpen, ShortDelayEndsByItself) {
    ASSERT_TRUE(device.arm_fault(0, DEVSIM_FAULT_DELAY, 20));
    FileExchange x = file_exchange(h.get(), version_cmd());
    EXPECT_TRUE(x.ok);
    EXPECT_EQ(x.answer.raw.size(), 37u);
}

TEST_F(InProc, WaitExchangesTimesOutWhenNothingComes) {
    devsim::InProcDevice device(0);
    EXPECT_FALSE(device.wait_exchanges(1, 10));
    EXPECT_TRUE(device.wait_exchanges(0, 10));
}

}  // namespace
}  // namespace devsim_test
