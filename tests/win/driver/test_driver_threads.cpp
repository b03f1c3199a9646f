// Several clients at once: exchanges on two devices from two threads while
// a third plugs a device in and out and reads state and logs, and an unplug
// while a delayed read is waiting. Every exchange on the steady devices
// must come back whole and in order.
#include <atomic>
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
            HANDLE h = DevFile::open_name(2);
            own.remove(2);
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
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
    EXPECT_EQ(DevFile::open_name(0), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(dev.write(version_get()));
}
