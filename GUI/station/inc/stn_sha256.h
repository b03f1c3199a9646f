// SHA-256 (FIPS 180-4) of a byte range. Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The digest as 64 lower-case hex digits.
std::string stn_sha256_hex(const std::uint8_t *data, std::size_t len);
