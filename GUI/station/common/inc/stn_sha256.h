// SHA-256 (FIPS 180-4) of a byte range, with the CPU's SHA extensions
// where it has them (x86 SHA-NI, looked up once). Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The digest as 64 lower-case hex digits.
std::string stn_sha256_hex(const std::uint8_t *data, std::size_t len);
// The same into *hex, whose room is kept (a loop over many lines).
void stn_sha256_hex(const std::uint8_t *data, std::size_t len, std::string *hex);

// Whether the CPU's SHA extensions are used; and the digest without them,
// which they must equal.
bool stn_sha256_accelerated();
std::string stn_sha256_hex_portable(const std::uint8_t *data, std::size_t len);
