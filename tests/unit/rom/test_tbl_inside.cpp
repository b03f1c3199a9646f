// An image wholly inside the device window: the edit step covers all of it.
#include <cstring>

#include "rom.h"
#include "rom_test_util.h"

namespace {
const unsigned char g_code[8] = {1, 2, 3, 4, 5, 6, 7, 8};
const unsigned char g_fields[6] = {0x6A, 0x01, 0x00, 0x00, 0x02, 0x01};
const unsigned char g_name[11] = "R846-QVM2K";
const std::uint32_t k8 = 8, k6 = 6, k11 = 11;
}  // namespace

extern const SROM_ROM_RD c_rom_rd[] = {
    {0x5000, g_code, &k8}, {0x7F00, g_fields, &k6}, {0x7FF0, g_name, &k11}, {0, nullptr, nullptr},
};

namespace {

using InsideWindow = PromReadTest;

TEST_F(InsideWindow, ReadsTheImageWithBlankAroundIt) {
    ASSERT_EQ(read(), 1);
    EXPECT_EQ(file_ver_, 362ul);
    EXPECT_EQ(mcu_ver_, 0x0102ul);
    EXPECT_EQ(hex_.org.data, nullptr);
    // The assembled span: first code byte to the name's last byte.
    EXPECT_EQ(hex_.org.start_addr, 0x5000u);
    EXPECT_EQ(hex_.org.end_addr, 0x7FFAu);
    EXPECT_EQ(hex_.org.len, 0x2FFBu);
    ASSERT_EQ(hex_.edit.len, 16384u);
    const unsigned char *e = hex_.edit.data;
    for (std::uint32_t i = 0; i < 0x1000; ++i) ASSERT_EQ(e[i], 0xFF) << i;
    EXPECT_EQ(std::memcmp(e + 0x1000, g_code, 8), 0);
    for (std::uint32_t i = 0x3FFB; i < 0x4000; ++i) ASSERT_EQ(e[i], 0xFF) << i;
}

TEST_F(InsideWindow, OutOfMemoryForTheEditBlockLeavesNoImage) {
    qvm_posix::fail_alloc_at(2);
    expect_read_fails();
}

}  // namespace
