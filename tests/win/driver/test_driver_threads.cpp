// Several clients at once: exchanges on two devices from two threads while
// a third plugs a device in and out and reads state and logs, and an unplug
// while a delayed read is waiting. Every exchange on the steady devices
// must come back whole and in order.
#include <atomic>
#include <string>
#include <thread>

#include "drv_test_util.h"

using namespace drvtest;

TEST_F(DriverTest, ConcurrentClientsKeepEveryDeviceConsistent) {
    ASSERT_TRUE(ctl.add(1, test_config()));
    ASSERT_TRUE(ctl.add(2, test_config()));
    constexpr int kExchanges = 300;
    std::atomic<bool> stop{false};
    std::atomic<int> bad[2] = {{0}, {0}};

    auto client = [&](unsigned index) {
        DevFile dev(index);
        if (!dev.ok()) {
            bad[index] = kExchanges;
            return;
        }
        Bytes answer;
        for (int i = 0; i < kExchanges; ++i) {
            const std::uint32_t led = 1 + i % 3;
            if (!dev.exchange(led_set(led), &answer) || !well_framed(answer) ||
                get32(answer, 8) != 0x55u)
                ++bad[index];
        }
    };
    std::thread churn([&] {
        devsim::Control own;
        if (!own.open()) return;
        while (!stop) {
            test_support::Handle h(DevFile::open_name(2));
            own.remove(2);
            h.reset();
            own.add(2, test_config());
            devsim_ioc_state st;
            std::vector<devsim_ioc_log_entry> entries;
            own.state(0, &st);
            own.log(1, &entries);
        }
    });
    std::thread c0(client, 0u), c1(client, 1u);
    c0.join();
    c1.join();
    stop = true;
    churn.join();

    EXPECT_EQ(bad[0], 0);
    EXPECT_EQ(bad[1], 0);
    for (unsigned index : {0u, 1u}) {
        const devsim_ioc_state st = state(index);
        EXPECT_EQ(st.exchanges, static_cast<std::uint32_t>(kExchanges)) << index;
        EXPECT_EQ(st.led, 1u + (kExchanges - 1) % 3) << index;
        EXPECT_EQ(st.open_handles, 0u) << index;
        const auto entries = log(index);
        ASSERT_EQ(entries.size(), DEVSIM_LOG_CAPACITY);
        for (std::size_t i = 1; i < entries.size(); ++i)
            ASSERT_EQ(entries[i].index, entries[i - 1].index + 1) << index;
    }
    EXPECT_EQ(state(2).open_handles, 0u);
}

TEST_F(DriverTest, UnplugDuringADelayedReadEndsCleanly) {
    ASSERT_TRUE(ctl.set_delay(0, 400));
    DevFile dev(0);
    ASSERT_TRUE(dev.write(version_get()));
    std::atomic<int> read_result{-1};
    std::thread reader([&] {
        Bytes answer;
        const bool ok = dev.read(&answer, 41);
        // Either the answer came before the unplug took effect, or the read
        // failed: never a partial or garbled answer.
        read_result = ok ? (well_framed(answer) ? 1 : 2) : 0;
    });
    Sleep(100);
    devsim::Control own;
    ASSERT_TRUE(own.open());
    EXPECT_TRUE(own.remove(0));
    reader.join();
    EXPECT_NE(read_result.load(), 2);
    EXPECT_NE(read_result.load(), -1);
    EXPECT_FALSE(test_support::Handle(DevFile::open_name(0)).ok());
    EXPECT_FALSE(dev.write(version_get()));
}

// Requests are answered in order of events, not of time: device 1 is served
// in full while device 0's answer is held back by the longest delay.
TEST_F(DriverTest, ADelayedAnswerHoldsUpNoOtherDevice) {
    ASSERT_TRUE(ctl.add(1, test_config()));
    ASSERT_TRUE(ctl.set_delay(0, DEVSIM_MAX_DELAY_MS));
    ASSERT_TRUE(ctl.set_delay(1, 1));
    std::atomic<int> slow_result{-1};
    std::thread slow([&] {
        DevFile dev(0);
        Bytes answer;
        slow_result = dev.exchange(version_get(), &answer, 41) ? 1 : 0;
    });
    ASSERT_TRUE(wait_reads_pending(ctl, 0, 1));

    DevFile fast(1);
    Bytes answer;
    for (std::uint32_t i = 0; i < 20; ++i) {
        ASSERT_TRUE(fast.exchange(led_set(1 + i % 3), &answer)) << i;
        ASSERT_TRUE(well_framed(answer));
    }
    EXPECT_EQ(slow_result.load(), -1);  // still waiting all along
    EXPECT_EQ(state(0).reads_pending, 1u);
    EXPECT_EQ(state(1).exchanges, 20u);

    // Unplugging ends the held-back read at once, with a failure.
    ASSERT_TRUE(ctl.remove(0));
    slow.join();
    EXPECT_EQ(slow_result.load(), 0);
}

// Every way a held-back read can end early: cancelled, its handle closed,
// its device replugged (unplugged: above). Each ends it once, and no read
// is left queued.
TEST_F(DriverTest, HeldBackReadsEndSafelyWhenCancelledClosedOrReplugged) {
    ASSERT_TRUE(ctl.set_delay(0, DEVSIM_MAX_DELAY_MS));
    for (const char *how : {"cancel", "close", "replug"}) {
        SCOPED_TRACE(how);
        HeldBackRead read;
        ASSERT_TRUE(read.start(ctl));
        DWORD got = 99, error = 0;
        if (std::string(how) == "cancel") {
            ASSERT_TRUE(CancelIoEx(read.file.get(), &read.ov));
            EXPECT_FALSE(read.finish(&got, &error));
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
        } else if (std::string(how) == "close") {
            read.file.reset();
            EXPECT_EQ(WaitForSingleObject(read.event.get(), 10000), WAIT_OBJECT_0);
            EXPECT_EQ(read.ov.Internal, static_cast<ULONG_PTR>(0xC0000120L));  // STATUS_CANCELLED
        } else {
            ASSERT_TRUE(ctl.replug(0));
            EXPECT_FALSE(read.finish(&got, &error));
        }
        EXPECT_EQ(state().reads_pending, 0u);
    }
    // The device still answers, the delay served by its thread.
    ASSERT_TRUE(ctl.set_delay(0, 1));
    EXPECT_TRUE(answers_version(0));
}

// Unloading the driver while a read is held back ends that read with a
// failure, and the driver loads again afterwards.
TEST_F(DriverTest, UnloadWithAHeldBackReadEndsItAndTheDriverLoadsAgain) {
    ASSERT_TRUE(ctl.set_delay(0, DEVSIM_MAX_DELAY_MS));
    HeldBackRead read;
    ASSERT_TRUE(read.start(ctl));
    ctl.close();

    const bool stopped = set_driver_running(false);
    DWORD got = 99, error = 0;
    EXPECT_EQ(WaitForSingleObject(read.event.get(), 10000), WAIT_OBJECT_0);
    EXPECT_FALSE(read.finish(&got, &error));
    read.file.reset();
    ASSERT_TRUE(stopped);
    ASSERT_TRUE(set_driver_running(true));  // the tests after this one need it
    ASSERT_TRUE(ctl.open());
    devsim_ioc_info info{};
    ASSERT_TRUE(ctl.info(&info));
    EXPECT_EQ(info.device_count, 0u);  // a fresh start
    ASSERT_TRUE(ctl.add(0, test_config()));
    DevFile dev(0);
    Bytes answer;
    ASSERT_TRUE(dev.exchange(version_get(), &answer, 41));
    EXPECT_TRUE(well_framed(answer));
}
