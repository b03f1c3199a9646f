#include <gtest/gtest.h>

#include <cstring>

#include "pcom_lib.h"

namespace {

TEST(ByteHelpers, MemsetAndMemcpy) {
    unsigned char buf[8];
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(CLS_pcom_lib::pcom_memset(buf + 1, char(0xFF), 3), buf + 1);
    const unsigned char want[8] = {0, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(buf, want, 8));
    CLS_pcom_lib::pcom_memset(buf, 7, 0);
    EXPECT_EQ(buf[0], 0);

    unsigned char src[4] = {1, 2, 3, 4};
    EXPECT_EQ(CLS_pcom_lib::pcom_memcpy(buf + 4, src, 4), buf + 4);
    EXPECT_EQ(buf[7], 4);
    EXPECT_EQ(buf[3], 0xFF);
}

TEST(ByteHelpers, MemcmpRanksBytesAsSigned) {
    unsigned char a = 0x80, b = 0x01;
    EXPECT_EQ(CLS_pcom_lib::pcom_memcmp(&a, &b, 1), -1);
    EXPECT_EQ(CLS_pcom_lib::pcom_memcmp(&b, &a, 1), 1);
    EXPECT_EQ(CLS_pcom_lib::pcom_memcmp("abc", "abd", 3), -1);
    EXPECT_EQ(CLS_pcom_lib::pcom_memcmp("abc", "abd", 2), 0);
    EXPECT_EQ(CLS_pcom_lib::pcom_memcmp("x", "y", 0), 0);
}

TEST(StringHelpers, LengthCopyAppend) {
    char buf[32];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(CLS_pcom_lib::pcom_strcpy(buf, "R846"), buf);
    EXPECT_STREQ(buf, "R846");
    EXPECT_EQ(CLS_pcom_lib::pcom_strcat(buf, "-QVM2K"), buf);
    EXPECT_STREQ(buf, "R846-QVM2K");
    EXPECT_EQ(CLS_pcom_lib::pcom_strlen(buf), 10u);
    EXPECT_EQ(CLS_pcom_lib::pcom_strlen(""), 0u);
    CLS_pcom_lib::pcom_strcat(buf, "");
    EXPECT_STREQ(buf, "R846-QVM2K");
    EXPECT_EQ(buf[11], 'x');  // exactly one NUL written
}

}  // namespace
