// Helpers of the driver tests: the shared test framing, a device file
// handle, one exchange, and a fixture that starts every test from a driver
// with no devices but one.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "devsim_ctl.h"
#include "test_frames_check.h"
#include "test_handle.h"

namespace drvtest {

using test_frames::Bytes;
using test_frames::frame_sum;
using test_frames::get32;
using test_frames::make_frame;
using test_frames::put32;
using test_frames::well_framed;

// A device file as the program opens it: read/write, no sharing.
class DevFile {
public:
    explicit DevFile(unsigned index, DWORD flags = FILE_ATTRIBUTE_NORMAL) { open(index, flags); }

    static HANDLE open_name(unsigned index, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
        char name[32];
        wsprintfA(name, "\\\\.\\R846_QVM2K_%u", index);
        return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                           nullptr);
    }
    bool open(unsigned index, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
        h_.reset(open_name(index, flags));
        return ok();
    }
    void close() { h_.reset(); }
    bool ok() const { return h_.ok(); }
    HANDLE get() const { return h_.get(); }

    // One WriteFile of the whole buffer; *written receives the count.
    bool write(const Bytes &b, DWORD *written = nullptr) {
        DWORD n = 0;
        BOOL r = WriteFile(h_.get(), b.empty() ? nullptr : b.data(), static_cast<DWORD>(b.size()), &n,
                           nullptr);
        if (written != nullptr) *written = n;
        return r != FALSE;
    }
    // One ReadFile of up to capacity bytes; *out gets exactly what came.
    bool read(Bytes *out, DWORD capacity = 64) {
        out->assign(capacity, 0xAA);
        DWORD n = 0;
        BOOL r = ReadFile(h_.get(), capacity == 0 ? nullptr : out->data(), capacity, &n, nullptr);
        out->resize(r ? n : 0);
        return r != FALSE;
    }
    // Write then read; false when either fails or the write is short.
    bool exchange(const Bytes &cmd, Bytes *answer, DWORD capacity = 64) {
        DWORD written = 0;
        if (!write(cmd, &written) || written != cmd.size()) return false;
        return read(answer, capacity);
    }

private:
    test_support::Handle h_;
};

// Configuration every test's device 0 starts with.
inline devsim::DeviceConfig test_config() {
    devsim::DeviceConfig c;
    c.firm_version = 0x00410154;  // 3.40 with suffix 'A'
    c.mcu_version = 0x1234;
    c.boot_version = 0x00020007;
    c.serial_no = -84600123;
    c.license_low = 0x89ABCDEFu;
    c.license_high = -2;
    return c;
}

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ctl.open()) << "driver not running, error " << GetLastError();
        ASSERT_TRUE(ctl.remove_all());
        ASSERT_TRUE(ctl.add(0, test_config()));
    }
    void TearDown() override {
        if (ctl.is_open()) ctl.remove_all();
    }
    devsim_ioc_state state(unsigned index = 0) {
        devsim_ioc_state st{};
        EXPECT_TRUE(ctl.state(index, &st)) << "error " << GetLastError();
        return st;
    }
    std::vector<devsim_ioc_log_entry> log(unsigned index = 0) {
        std::vector<devsim_ioc_log_entry> entries;
        EXPECT_TRUE(ctl.log(index, &entries)) << "error " << GetLastError();
        return entries;
    }

    devsim::Control ctl;
};

// The commands of the byte examples.
inline Bytes version_get() { return make_frame(0x8006, 0, 0); }
inline Bytes led_set(std::uint32_t type) { return make_frame(0x8009, type, 0); }
inline Bytes boot_data(std::uint32_t type, std::uint32_t addr = 0, const Bytes &payload = {}) {
    return make_frame(0x0001, type, addr, payload);
}

// A fresh handle to the device gets a well-framed answer to a version
// request: the device still works after what a test did to it.
inline ::testing::AssertionResult answers_version(unsigned index) {
    DevFile dev(index);
    Bytes answer;
    if (!dev.exchange(version_get(), &answer, 41))
        return ::testing::AssertionFailure() << "no answer, error " << GetLastError();
    if (!well_framed(answer)) return ::testing::AssertionFailure() << "a badly framed answer";
    return ::testing::AssertionSuccess();
}

// Waits until the device has this many delayed reads waiting; false when
// that does not happen within a few seconds (then the test fails anyway).
inline bool wait_reads_pending(devsim::Control &ctl, unsigned index, std::uint32_t n) {
    for (int i = 0; i < 5000; ++i) {
        devsim_ioc_state st{};
        if (ctl.state(index, &st) && st.reads_pending == n) return true;
        Sleep(1);
    }
    return false;
}

inline bool overlapped_write(HANDLE h, const Bytes &b) {
    OVERLAPPED ov{};
    test_support::Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ov.hEvent = event.get();
    DWORD n = 0;
    if (!WriteFile(h, b.data(), static_cast<DWORD>(b.size()), nullptr, &ov) &&
        GetLastError() != ERROR_IO_PENDING)
        return false;
    return GetOverlappedResult(h, &ov, &n, TRUE) && n == b.size();
}

// A version get on device 0 through an overlapped handle of its own, with
// the answer held back by the device's delay: once start() returns true the
// read is pending in the driver.
struct HeldBackRead {
    test_support::Handle file;
    test_support::Handle event{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED ov{};
    std::uint8_t buf[64] = {};

    // pending_after: the device's held-back requests once this one is
    // held (0: do not wait).
    bool start(devsim::Control &ctl, std::uint32_t pending_after = 1) {
        file.reset(DevFile::open_name(0, FILE_FLAG_OVERLAPPED));
        if (!file.ok() || !overlapped_write(file.get(), version_get())) return false;
        ov.hEvent = event.get();
        if (ReadFile(file.get(), buf, sizeof(buf), nullptr, &ov) || GetLastError() != ERROR_IO_PENDING)
            return false;
        return pending_after == 0 || wait_reads_pending(ctl, 0, pending_after);
    }
    // Waits for the end; false with the error in *error when it failed.
    bool finish(DWORD *got, DWORD *error) {
        const BOOL ok = GetOverlappedResult(file.get(), &ov, got, TRUE);
        *error = ok ? 0 : GetLastError();
        return ok != FALSE;
    }
};

// Stops or starts the driver's kernel service, as `sc stop` / `sc start`,
// and waits until it has; false when it did not within the deadline.
inline bool set_driver_running(bool running) {
    struct ScHandle {
        SC_HANDLE h;
        ~ScHandle() {
            if (h != nullptr) CloseServiceHandle(h);
        }
    };
    ScHandle scm{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (scm.h == nullptr) return false;
    ScHandle svc{OpenServiceA(scm.h, "r846sim", SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS)};
    if (svc.h == nullptr) return false;
    SERVICE_STATUS st{};
    if (running) {
        if (!StartServiceA(svc.h, 0, nullptr)) return false;
    } else if (!ControlService(svc.h, SERVICE_CONTROL_STOP, &st)) {
        return false;
    }
    const DWORD want = running ? SERVICE_RUNNING : SERVICE_STOPPED;
    for (int i = 0; i < 1000; ++i) {
        if (QueryServiceStatus(svc.h, &st) && st.dwCurrentState == want) return true;
        Sleep(10);
    }
    return false;
}

}  // namespace drvtest
