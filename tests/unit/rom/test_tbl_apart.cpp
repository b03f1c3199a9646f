// An image with nothing inside the device window.
#include "rom.h"
#include "rom_test_util.h"

namespace {
const unsigned char g_far[4] = {0xDE, 0xAD, 0xBE, 0xEF};
const unsigned char g_vec[8] = {0, 0, 0xFE, 0, 0, 0, 0xFE, 0};
const std::uint32_t k4 = 4, k8 = 8;
}  // namespace

extern const SROM_ROM_RD c_rom_rd[] = {
    {0xFE0000, g_far, &k4}, {0xFFFFF8, g_vec, &k8}, {0, nullptr, nullptr},
};

namespace {

using ApartFromWindow = PromReadTest;

TEST_F(ApartFromWindow, YieldsNoImage) {
    expect_read_fails();
}

}  // namespace
