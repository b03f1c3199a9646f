// The embedded image as the programs build it, for the station's tests.
#pragma once

#include <cstdint>
#include <vector>

#include "prom.h"
#include "stn_sha256.h"
#include "stn_unit.h"

namespace stn_test {

constexpr std::uint32_t kImageVersion = 0x16A;  // 3.62

struct Image {
    SHEX_HEX hex{};
    StnImage image;
    Image() {
        unsigned long ver = 0, mcu = 0;
        char product[CLS_prom::kProductLen] = {};
        CLS_prom::prom_read(&hex, &ver, &mcu, product);
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

}  // namespace stn_test
