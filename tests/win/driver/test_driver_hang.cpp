// A device that stops responding, and requests racing the driver's own
// work: a hung read or write ends with ERROR_OPERATION_ABORTED when another
// thread cancels it (what the program's watchdog does) and fails when its
// device goes; cancels racing an unload end every request once; a handle
// opened as its device is pulled out dies with that plug.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "drv_test_util.h"

using namespace drvtest;

TEST_F(DriverTest, HungRequestEndsAbortedWhenCancelledAndFailsWhenUnplugged) {
    for (bool on_write : {false, true}) {
        for (bool by_unplug : {false, true}) {
            SCOPED_TRACE(std::string(on_write ? "write, " : "read, ") +
                         (by_unplug ? "unplug" : "CancelIoEx"));
            ASSERT_TRUE(ctl.remove_all());
            ASSERT_TRUE(ctl.add(0, test_config()));
            DevFile dev(0);
            ASSERT_TRUE(dev.ok());
            ASSERT_TRUE(ctl.arm_fault(0, 0, DEVSIM_FAULT_HANG, on_write ? 1 : 0));
            bool ok = true;
            DWORD error = 0;
            std::thread worker([&] {
                Bytes answer;
                ok = dev.exchange(led_set(2), &answer);
                error = ok ? 0 : GetLastError();
            });
            const bool held = wait_reads_pending(ctl, 0, 1);  // and not answered
            if (by_unplug) {
                EXPECT_TRUE(ctl.remove(0));
            } else {
                EXPECT_TRUE(CancelIoEx(dev.get(), nullptr)) << GetLastError();
            }
            worker.join();
            ASSERT_TRUE(held);
            EXPECT_FALSE(ok);
            if (by_unplug) {
                EXPECT_NE(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
                EXPECT_NE(error, 0u);
                continue;
            }
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
            EXPECT_EQ(state().reads_pending, 0u);
            Bytes answer;
            EXPECT_TRUE(dev.exchange(led_set(3), &answer));  // the next command is answered
            EXPECT_TRUE(well_framed(answer));
        }
    }
}

// Held-back reads cancelled from another thread while the driver unloads:
// each ends once (a request completed twice would take the driver host
// down), and the driver loads again.
TEST_F(DriverTest, CancelsRacingAnUnloadEndEveryRequestOnce) {
    constexpr int kRounds = 3, kReads = 6;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(ctl.set_delay(0, DEVSIM_MAX_DELAY_MS));
        std::vector<HeldBackRead> reads(kReads);
        for (int i = 0; i < kReads; ++i) ASSERT_TRUE(reads[i].start(ctl, i + 1)) << i;
        ctl.close();

        std::atomic<bool> stop{false};
        std::thread canceller([&] {
            for (int i = 0; !stop; i = (i + 1) % kReads) {
                CancelIoEx(reads[i].file.get(), &reads[i].ov);
                if (i == 0) Sleep(0);
            }
        });
        const bool stopped = set_driver_running(false);
        for (int i = 0; i < kReads; ++i) {
            DWORD got = 99, error = 0;
            EXPECT_EQ(WaitForSingleObject(reads[i].event.get(), 10000), WAIT_OBJECT_0) << i;
            EXPECT_FALSE(reads[i].finish(&got, &error)) << i;
        }
        stop = true;
        canceller.join();
        reads.clear();
        ASSERT_TRUE(stopped);
        ASSERT_TRUE(set_driver_running(true));
        ASSERT_TRUE(ctl.open());
        ASSERT_TRUE(ctl.add(0, test_config()));
    }
    ASSERT_TRUE(ctl.set_delay(0, 0));
    EXPECT_TRUE(answers_version(0));
}

// Opens that race an unplug fault's pull-out belong to the plug that ends:
// after the replug every handle opened before it fails.
TEST_F(DriverTest, HandlesOpenedAsTheDeviceIsPulledDieWithIt) {
    constexpr int kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        DevFile dev(0);
        ASSERT_TRUE(dev.ok());
        ASSERT_TRUE(ctl.arm_fault(0, 0, DEVSIM_FAULT_UNPLUG));
        std::atomic<bool> stop{false};
        std::vector<HANDLE> opened;
        std::thread opener([&] {
            while (!stop) {
                HANDLE h = DevFile::open_name(0);
                if (h != INVALID_HANDLE_VALUE) opened.push_back(h);
            }
        });
        Sleep(round % 4);
        EXPECT_FALSE(dev.write(version_get()));  // pulled out as it arrives
        stop = true;
        opener.join();
        ASSERT_TRUE(ctl.replug(0));
        for (HANDLE h : opened) {
            DWORD n = 0;
            const Bytes cmd = version_get();
            EXPECT_FALSE(WriteFile(h, cmd.data(), static_cast<DWORD>(cmd.size()), &n, nullptr));
            CloseHandle(h);
        }
    }
    DevFile fresh(0);
    Bytes answer;
    ASSERT_TRUE(fresh.exchange(version_get(), &answer, 41));
    EXPECT_TRUE(well_framed(answer));
}
