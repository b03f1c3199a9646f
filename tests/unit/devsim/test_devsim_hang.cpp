// A device that stops responding, in-process through the POSIX layer: the
// blocked ReadFile or WriteFile ends when another thread cancels it or
// closes its handle (ERROR_OPERATION_ABORTED), or when the device is
// unplugged (a plain failure). Also the layer's waits that a watchdog uses.
#include "devsim_frames.h"
#include "devsim_inproc.h"
#include "test_handle.h"

#include <windows.h>

#include <thread>

namespace devsim_test {
namespace {

HANDLE open_dev0() {
    return CreateFileA("\\\\.\\R846_QVM2K_0", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Write then read of one LED set; false with the error of the call that failed.
bool exchange(HANDLE h, DWORD *error) {
    Bytes cmd = led_cmd(2), buf(64);
    DWORD n = 0;
    const bool ok = WriteFile(h, cmd.data(), 17, &n, nullptr) && ReadFile(h, buf.data(), 64, &n, nullptr);
    *error = ok ? 0 : GetLastError();
    return ok;
}

TEST(InProcHang, EndsWhenCancelledClosedOrUnplugged) {
    enum End { kCancel, kClose, kUnplug };
    for (bool on_write : {false, true}) {
        for (End end : {kCancel, kClose, kUnplug}) {
            SCOPED_TRACE(std::string(on_write ? "write " : "read ") +
                         (end == kCancel ? "cancel" : end == kClose ? "close" : "unplug"));
            devsim::InProcDevice device(0);
            HANDLE h = open_dev0();
            ASSERT_NE(h, INVALID_HANDLE_VALUE);
            ASSERT_TRUE(device.arm_fault(0, DEVSIM_FAULT_HANG, on_write ? 1 : 0));
            DWORD error = 0;
            bool ok = true;
            std::thread worker([&] { ok = exchange(h, &error); });
            ASSERT_TRUE(device.wait_held(1, 10000));
            if (end == kCancel) {
                EXPECT_TRUE(CancelIoEx(h, nullptr));
            } else if (end == kClose) {
                EXPECT_TRUE(CloseHandle(h));
            } else {
                device.unplug();
            }
            worker.join();
            EXPECT_FALSE(ok);
            EXPECT_EQ(error, end == kUnplug ? ERROR_GEN_FAILURE : ERROR_OPERATION_ABORTED);
            if (end == kCancel) {
                // Nothing pending now; the device answers the next command.
                EXPECT_FALSE(CancelIoEx(h, nullptr));
                EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
                EXPECT_TRUE(exchange(h, &error)) << error;
            }
            if (end != kClose) CloseHandle(h);
            EXPECT_EQ(qvm_posix::open_device_handles(), 0);
        }
    }
}

TEST(InProcHang, CancelIoExRefusesAnOverlappedOrANonFileHandle) {
    devsim::InProcDevice device(0);
    test_support::Handle h(open_dev0()), ev(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    EXPECT_FALSE(CancelIoEx(h.get(), reinterpret_cast<LPOVERLAPPED>(&device)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(CancelIoEx(ev.get(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(PosixWait, WaitForMultipleObjectsTakesTheLowestSignalledEvent) {
    test_support::Handle a(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    test_support::Handle b(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    test_support::Handle m(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    const HANDLE hs[] = {a.get(), b.get(), m.get()};

    const ULONGLONG t0 = GetTickCount64();
    EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 30), WAIT_TIMEOUT);
    EXPECT_GE(GetTickCount64() - t0, 30u);

    SetEvent(b.get());
    SetEvent(a.get());
    EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_OBJECT_0 + 1);  // a was reset
    EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(m.get());
    EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_OBJECT_0 + 2);  // manual stays set
    ResetEvent(m.get());

    std::thread setter([&] {
        Sleep(20);
        SetEvent(b.get());
    });
    EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    setter.join();

    EXPECT_EQ(WaitForMultipleObjects(3, hs, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(0, hs, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    const HANDLE bad[] = {a.get(), INVALID_HANDLE_VALUE};
    EXPECT_EQ(WaitForMultipleObjects(2, bad, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace devsim_test
