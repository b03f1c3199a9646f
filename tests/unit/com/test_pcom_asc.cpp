#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pcom_asc.h"

namespace {

std::string dec(unsigned long v, unsigned char form, unsigned char digit) {
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    CLS_pcom_asc::pcom_dec2ascii(v, buf, form, digit);
    return std::string(buf);
}

TEST(Dec2Ascii, LayoutsOf123) {
    EXPECT_EQ(dec(123, 1, 0), "123       ");
    EXPECT_EQ(dec(123, 2, 7), "123");
    EXPECT_EQ(dec(123, 3, 0), "       123");
    EXPECT_EQ(dec(123, 4, 5), "00123");
    EXPECT_EQ(dec(123, 4, 2), "23");
    EXPECT_EQ(dec(123, 4, 0), "0000000123");
    EXPECT_EQ(dec(123, 4, 11), "0000000123");
    EXPECT_EQ(dec(123, 0, 3), "123");
    EXPECT_EQ(dec(123, 9, 3), "123");
}

TEST(Dec2Ascii, LayoutsOneToThreeIgnoreDigit) {
    EXPECT_EQ(dec(123, 1, 4), "123       ");
    EXPECT_EQ(dec(123, 3, 4), "       123");
}

TEST(Dec2Ascii, Extremes) {
    EXPECT_EQ(dec(0, 2, 0), "0");
    EXPECT_EQ(dec(0, 4, 3), "000");
    EXPECT_EQ(dec(4294967295ul, 2, 0), "4294967295");
    EXPECT_EQ(dec(4294967295ul, 4, 3), "295");
    EXPECT_EQ(dec(4294967295ul, 3, 0), "4294967295");
    EXPECT_EQ(dec(1000000000ul, 2, 0), "1000000000");
    EXPECT_EQ(dec(9, 2, 0), "9");
    EXPECT_EQ(dec(10, 2, 0), "10");
}

TEST(Dec2Ascii, AlwaysClearsElevenBytes) {
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    CLS_pcom_asc::pcom_dec2ascii(7, buf, 2, 0);
    EXPECT_EQ(buf[0], '7');
    for (int i = 1; i < 11; ++i) EXPECT_EQ(buf[i], '\0') << "byte " << i;
    EXPECT_EQ(buf[11], 'x');
}

}  // namespace
