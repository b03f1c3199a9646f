// A small image like the embedded one, whose name area the tests rewrite.
#include <cstring>

#include "rom.h"
#include "rom_test_util.h"

namespace {
unsigned char g_code[16] = {0xFC, 0x40, 0x40, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
unsigned char g_fields[6] = {0x5E, 0x01, 0x42, 0x41, 0x34, 0x12};  // 3.50AB, MCU 0x1234
unsigned char g_name[16];
unsigned char g_far[4] = {0xDE, 0xAD, 0xBE, 0xEF};
const std::uint32_t k16 = 16, k6 = 6, k4 = 4;
}  // namespace

extern const SROM_ROM_RD c_rom_rd[] = {
    {0x4000, g_code, &k16},     {0x7F00, g_fields, &k6}, {0x7FF0, g_name, &k16},
    {0xFE0000, g_far, &k4},     {0, nullptr, nullptr},
};

namespace {

class NameArea : public PromReadTest {
protected:
    void set_name(const char *name16) { std::memcpy(g_name, name16, 16); }
};

TEST_F(NameArea, LongerNameMatchesAndTheProductIsCut) {
    set_name("R846-QVM2K v2\0\0\0");
    ASSERT_EQ(read(), 1);
    EXPECT_STREQ(product_, "R846-QVM2K");
    EXPECT_EQ(file_ver_, 0x4142015Eul);
    EXPECT_EQ(mcu_ver_, 0x1234ul);
    EXPECT_EQ(hex_.org.data, nullptr);
    ASSERT_NE(hex_.edit.data, nullptr);
    ASSERT_EQ(hex_.edit.len, 16384u);
    const unsigned char *e = hex_.edit.data;
    EXPECT_EQ(std::memcmp(e, g_code, 16), 0);
    EXPECT_EQ(std::memcmp(e + 0x3F00, g_fields, 6), 0);
    EXPECT_EQ(std::memcmp(e + 0x3FF0, g_name, 16), 0);
    for (std::uint32_t i = 16; i < 0x3F00; ++i) ASSERT_EQ(e[i], 0xFF) << i;
    for (std::uint32_t i = 0x3F06; i < 0x3FF0; ++i) ASSERT_EQ(e[i], 0xFF) << i;
}

TEST_F(NameArea, MismatchInAnyOfTheFirstTenBytesLeavesNoImage) {
    const char good[] = "R846-QVM2K\0\0\0\0\0";
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        char bad[16];
        std::memcpy(bad, good, 16);
        bad[i] = '?';
        set_name(bad);
        expect_read_fails();
        EXPECT_EQ(std::memcmp(product_, bad, 16), 0);
    }
}

TEST_F(NameArea, BlankNameAreaLeavesNoImage) {
    set_name("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF");
    expect_read_fails();
}

}  // namespace
