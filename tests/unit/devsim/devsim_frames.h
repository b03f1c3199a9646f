// The device tests' commands (on the shared test framing), a response
// parser, and a device fixture that runs one exchange at a time.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "devsim_model.h"
#include "test_frames.h"

namespace devsim_test {

using test_frames::Bytes;
using test_frames::get32;
using test_frames::put32;

inline std::uint8_t sum_of(const Bytes &b) { return test_frames::frame_sum(b); }

inline Bytes command(std::uint16_t id, std::uint32_t p1, std::uint32_t p2,
                     const Bytes &payload = {}) {
    return test_frames::make_frame(id, p1, p2, payload);
}

inline Bytes version_cmd() { return command(DEVSIM_CMD_VER_GET, 0, 0); }
inline Bytes led_cmd(std::uint32_t type) { return command(DEVSIM_CMD_LED_SET, type, 0); }
inline Bytes begin_cmd() { return command(DEVSIM_CMD_BOOTDATA, 1, 0); }
inline Bytes end_cmd() { return command(DEVSIM_CMD_BOOTDATA, 3, 0); }
inline Bytes block_cmd(std::uint32_t addr, const Bytes &data) {
    return command(DEVSIM_CMD_BOOTDATA, 2, addr, data);
}
// A 256-byte block whose bytes tell its address and position apart.
inline Bytes block_data(std::uint32_t addr) {
    Bytes d(256);
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>((addr >> 8) * 7 + i);
    return d;
}

// A response as the host sees it, with every framing rule checked.
struct Response {
    Bytes raw;
    bool framed = false;  // stx, len == bytes, end byte, sum all right
    std::uint16_t id = 0;
    std::uint32_t code = 0, param2 = 0;
    Bytes payload;
};

inline Response parse(const Bytes &raw) {
    Response r;
    r.raw = raw;
    if (raw.size() < 17) return r;
    r.id = static_cast<std::uint16_t>(raw[2] | (raw[3] << 8));
    r.code = get32(raw, 8);
    r.param2 = get32(raw, 12);
    r.payload.assign(raw.begin() + 16, raw.end() - 1);
    r.framed = raw[0] == 0x02 && get32(raw, 4) == raw.size() && raw.back() == 0x03 &&
               sum_of(raw) == raw[1];
    return r;
}

// One device in a heap block (it is large), driven one exchange at a time.
class DeviceTest : public ::testing::Test {
protected:
    DeviceTest() : dev_(new devsim_device) { devsim_init(dev(), nullptr); }

    devsim_device *dev() { return dev_.get(); }

    // Writes, then reads with room for any answer. Fails the test when the
    // write or read fails.
    Response exchange(const Bytes &cmd) {
        std::uint32_t written = 1234;
        EXPECT_EQ(devsim_write(dev(), cmd.data(), static_cast<std::uint32_t>(cmd.size()), &written), 1);
        EXPECT_EQ(written, cmd.size());
        return read_answer();
    }

    Response read_answer(std::uint32_t capacity = 512) {
        Bytes buf(capacity, 0xAA);
        std::uint32_t got = 9999;
        EXPECT_EQ(devsim_read(dev(), buf.data(), capacity, &got), 1);
        buf.resize(got <= capacity ? got : 0);
        return parse(buf);
    }

    // Accepted with a well-framed 17-byte answer that echoes the id.
    void expect_ok(const Bytes &cmd) {
        Response r = exchange(cmd);
        EXPECT_TRUE(r.framed);
        EXPECT_EQ(r.raw.size(), 17u);
        EXPECT_EQ(r.code, DEVSIM_CODE_OK);
        EXPECT_EQ(r.id, static_cast<std::uint16_t>(cmd[2] | (cmd[3] << 8)));
    }

    // Refused with this device error code in a well-framed answer.
    void expect_error(const Bytes &cmd, std::uint32_t error) {
        Response r = exchange(cmd);
        EXPECT_TRUE(r.framed);
        EXPECT_EQ(r.raw.size(), 17u);
        EXPECT_EQ(r.code, DEVSIM_CODE_ERROR);
        EXPECT_EQ(r.param2, error);
    }

    std::uint8_t flash_at(std::uint32_t addr) { return dev()->flash[addr - DEVSIM_WINDOW_START]; }

    std::unique_ptr<devsim_device> dev_;
};

}  // namespace devsim_test
