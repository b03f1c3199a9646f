// The embedded image as the programs build it, and a simulated device's
// configuration, for the station's and the command line's tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "devsim_inproc.h"
#include "devsim_model.h"
#include "posix_dev.h"
#include "prom.h"
#include "stn_sha256.h"
#include "stn_unit.h"
#include "test_handle.h"

namespace stn_test {

constexpr std::uint32_t kImageVersion = 0x16A;  // 3.62

struct Image {
    SHEX_HEX hex{};
    StnImage image;
    bool ok = false;  // the image was read
    Image() {
        unsigned long ver = 0, mcu = 0;
        char product[CLS_prom::kProductLen] = {};
        ok = CLS_prom::prom_read(&hex, &ver, &mcu, product) == 1;
        image.edit = &hex.edit;
        image.version = static_cast<std::uint32_t>(ver);
        image.sha256 = stn_sha256_hex(hex.edit.data, hex.edit.len);
    }
    ~Image() { CLS_prom::prom_free_mem(&hex, CLS_prom::FREE_ALL); }
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;
    std::vector<std::uint8_t> window() const {
        return std::vector<std::uint8_t>(hex.edit.data, hex.edit.data + hex.edit.len);
    }
};

// A default device holding firm with this serial.
inline devsim_config config(std::uint32_t firm, std::int32_t serial) {
    devsim_config c;
    devsim_default_config(&c);
    c.firm_version = firm;
    c.serial_no = serial;
    return c;
}

// A test's in-process devices, each with the default serial of its index;
// all unplugged, and no handle left open, at the test's end.
class DeviceTest : public ::testing::Test {
protected:
    void TearDown() override {
        devs.clear();
        EXPECT_EQ(qvm_posix::open_device_handles(), 0);
    }
    // Another program's open of device d (at index), which makes it busy
    // while the handle lasts (the device then refuses a second open).
    test_support::Handle hold(devsim::InProcDevice &d, unsigned index) {
        d.set_exclusive(true);
        const std::string name = "\\\\.\\R846_QVM2K_" + std::to_string(index);
        return test_support::Handle(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
    }
    devsim::InProcDevice &add(unsigned index, std::uint32_t firm) {
        const devsim_config c = config(firm, static_cast<std::int32_t>(84600001 + index));
        devs.push_back(std::make_unique<devsim::InProcDevice>(index, &c));
        return *devs.back();
    }
    std::vector<std::unique_ptr<devsim::InProcDevice>> devs;
};

}  // namespace stn_test
