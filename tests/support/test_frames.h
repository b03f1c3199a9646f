// The host side of the wire format for every test and benchmark: little-
// endian fields, the frame checksum, a frame builder and the license masks.
// Kept apart from both the program's framing and the device's, so that
// neither can hide a fault of the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace test_frames {

using Bytes = std::vector<std::uint8_t>;

inline void put32(Bytes &b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline std::uint32_t get32(const Bytes &b, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(b[at + i]) << (8 * i);
    return v;
}

// 8-bit sum of every byte with the sum byte taken as 0.
inline std::uint8_t frame_sum(const Bytes &b) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < b.size(); ++i)
        if (i != 1) sum += b[i];
    return static_cast<std::uint8_t>(sum);
}

// The device sends each license_bit half as ~(value ^ mask), with one
// mask per half; the same function takes it back.
constexpr std::uint32_t kLicenseMaskLow = 0x5A3C96E1u;
constexpr std::uint32_t kLicenseMaskHigh = 0xC3A55A3Cu;
inline std::uint32_t scramble_license(std::uint32_t v, std::uint32_t mask) { return ~(v ^ mask); }

inline Bytes make_frame(std::uint16_t id, std::uint32_t p1, std::uint32_t p2,
                        const Bytes &payload = {}) {
    Bytes b(17 + payload.size(), 0);
    b[0] = 0x02;
    b[2] = static_cast<std::uint8_t>(id);
    b[3] = static_cast<std::uint8_t>(id >> 8);
    put32(b, 4, static_cast<std::uint32_t>(b.size()));
    put32(b, 8, p1);
    put32(b, 12, p2);
    for (std::size_t i = 0; i < payload.size(); ++i) b[16 + i] = payload[i];
    b.back() = 0x03;
    b[1] = frame_sum(b);
    return b;
}

}  // namespace test_frames
