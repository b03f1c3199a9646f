// Product, version fields and block release, on blocks built by the test.
#include <windows.h>

#include <cstring>
#include <vector>

#include "posix_dev.h"
#include "prom.h"

#include <gtest/gtest.h>

namespace {

std::vector<unsigned char> window_with_name(const char *name16) {
    std::vector<unsigned char> w(16384, 0xFF);
    std::memcpy(w.data() + 0x3FF0, name16, 16);
    return w;
}

TEST(PromProduct, NameFollowedByMoreCharactersMatchesAndIsCut) {
    auto w = window_with_name("R846-QVM2K-EXTRA");
    char product[240];
    std::memset(product, 'x', sizeof product);
    ASSERT_EQ(CLS_prom::prom_get_product(w.data(), product), 1);
    EXPECT_STREQ(product, "R846-QVM2K");
    EXPECT_EQ(std::memcmp(product + 11, "EXTRA", 5), 0);  // read, left behind the NUL
    for (int i = 16; i < 240; ++i) ASSERT_EQ(product[i], 0) << i;
}

TEST(PromProduct, AnyDifferenceInTheFirstTenBytesIsAMismatch) {
    const char name[] = "R846-QVM2K\0\xFF\xFF\xFF\xFF\xFF";
    for (int i = 0; i < 10; ++i) {
        char bad[16];
        std::memcpy(bad, name, 16);
        bad[i] = static_cast<char>(bad[i] ^ 0x20);
        auto w = window_with_name(bad);
        char product[240];
        std::memset(product, 'x', sizeof product);
        EXPECT_EQ(CLS_prom::prom_get_product(w.data(), product), 0) << "byte " << i;
        // The 16 bytes read stay in product; the rest is cleared.
        EXPECT_EQ(std::memcmp(product, bad, 16), 0);
        for (int k = 16; k < 240; ++k) ASSERT_EQ(product[k], 0) << k;
    }
}

TEST(PromProduct, ShorterNameDoesNotMatch) {
    auto w = window_with_name("R846-QVM2\0\0\0\0\0\0\0");
    char product[240];
    EXPECT_EQ(CLS_prom::prom_get_product(w.data(), product), 0);
}

TEST(PromVersion, FieldsAreLittleEndianAndTheMcuVersionIsZeroExtended) {
    std::vector<unsigned char> w(16384, 0);
    const unsigned char fields[] = {0x5E, 0x01, 0x42, 0x41, 0xFE, 0xFF};  // 3.50AB, MCU 0xFFFE
    std::memcpy(w.data() + 0x3F00, fields, sizeof fields);
    unsigned long ver = 0, mcu = 0;
    CLS_prom::prom_get_version(w.data(), &ver);
    CLS_prom::prom_get_mcu_version(w.data(), &mcu);
    EXPECT_EQ(ver, 0x4142015Eul);
    EXPECT_EQ(mcu, 0xFFFEul);
}

TEST(PromVersion, ErasedVersionIsReturnedAsIs) {
    std::vector<unsigned char> w(16384, 0xFF);
    unsigned long ver = 0;
    CLS_prom::prom_get_version(w.data(), &ver);
    EXPECT_EQ(ver, 0xFFFFFFFFul);
}

// prom_free_mem: each bit releases its own block and nothing else.
class PromFree : public ::testing::Test {
protected:
    void SetUp() override {
        live_before_ = qvm_posix::live_allocations();
        std::memset(&hex_, 0x3C, sizeof hex_);
        hex_.org.data = static_cast<unsigned char *>(LocalAlloc(LMEM_ZEROINIT, 32));
        hex_.edit.data = static_cast<unsigned char *>(LocalAlloc(LMEM_ZEROINIT, 16));
        ASSERT_NE(hex_.org.data, nullptr);
        ASSERT_NE(hex_.edit.data, nullptr);
        before_ = hex_;
    }
    void TearDown() override {
        CLS_prom::prom_free_mem(&hex_, CLS_prom::FREE_ALL);
        EXPECT_EQ(qvm_posix::live_allocations(), live_before_);
    }
    // Every field but the two pointers is as before.
    void expect_rest_unchanged() {
        EXPECT_EQ(std::memcmp(hex_.hex_file, before_.hex_file, sizeof hex_.hex_file), 0);
        EXPECT_EQ(hex_.type, before_.type);
        EXPECT_EQ(hex_.skip, before_.skip);
        for (auto blocks : {std::pair<const SHEX_DATA *, const SHEX_DATA *>{&hex_.org, &before_.org},
                            {&hex_.edit, &before_.edit}}) {
            EXPECT_EQ(blocks.first->len, blocks.second->len);
            EXPECT_EQ(blocks.first->start_addr, blocks.second->start_addr);
            EXPECT_EQ(blocks.first->end_addr, blocks.second->end_addr);
            EXPECT_EQ(blocks.first->sum, blocks.second->sum);
        }
        EXPECT_EQ(hex_.edit_info.start_addr, before_.edit_info.start_addr);
        EXPECT_EQ(hex_.edit_info.search_data, before_.edit_info.search_data);
        EXPECT_EQ(hex_.edit_info.fill_start, before_.edit_info.fill_start);
        EXPECT_EQ(hex_.edit_info.fill_end, before_.edit_info.fill_end);
        EXPECT_EQ(hex_.edit_info.fill_data, before_.edit_info.fill_data);
    }
    // Each block released or still at its pointer; nothing else changed.
    void expect_released(bool org, bool edit) {
        EXPECT_EQ(hex_.org.data, org ? nullptr : before_.org.data);
        EXPECT_EQ(hex_.edit.data, edit ? nullptr : before_.edit.data);
        EXPECT_EQ(qvm_posix::live_allocations(), live_before_ + (org ? 0 : 1) + (edit ? 0 : 1));
        expect_rest_unchanged();
    }
    SHEX_HEX hex_;
    SHEX_HEX before_;
    long live_before_ = 0;
};

TEST_F(PromFree, OrgBitLeavesTheEditBlock) {
    CLS_prom::prom_free_mem(&hex_, 1);
    expect_released(true, false);
}

TEST_F(PromFree, EditBitLeavesTheAssembledBlock) {
    CLS_prom::prom_free_mem(&hex_, 2);
    expect_released(false, true);
}

TEST_F(PromFree, BothBitsTwiceIsHarmless) {
    CLS_prom::prom_free_mem(&hex_, 3);
    CLS_prom::prom_free_mem(&hex_, 3);
    expect_released(true, true);
}

TEST_F(PromFree, NoSelectedBitReleasesNothing) {
    for (unsigned char bits : {0, 4, 0xFC}) {
        SCOPED_TRACE(static_cast<int>(bits));
        CLS_prom::prom_free_mem(&hex_, bits);
        expect_released(false, false);
    }
}

}  // namespace
