// Small types shared by every layer.
#pragma once

#include <cstdint>

// A 64-bit value held as two 32-bit halves (device license bits).
struct DB_LONG {
    std::uint32_t low;
    std::int32_t high;
};

// Version number: low 16 bits the version times 100, high 16 bits up to two
// suffix characters. This value means "no version".
constexpr std::uint32_t kNoVersion = 0xFFFFFFFFu;
