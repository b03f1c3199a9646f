// Helpers of the driver tests: the shared test framing, a device file
// handle, one exchange, and a fixture that starts every test from a driver
// with no devices but one.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstdint>
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

}  // namespace drvtest
