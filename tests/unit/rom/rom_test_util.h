// Helpers shared by the ROM reader tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "posix_dev.h"
#include "prom.h"

// Runs prom_read on a zeroed record with sentinel outputs; checks for leaks.
class PromReadTest : public ::testing::Test {
protected:
    static constexpr unsigned long kSentinel = 0xA5A5A5A5ul;
    void SetUp() override { live_before_ = qvm_posix::live_allocations(); }
    void TearDown() override {
        qvm_posix::fail_alloc_at(0);
        CLS_prom::prom_free_mem(&hex_, CLS_prom::FREE_ALL);
        EXPECT_EQ(qvm_posix::live_allocations(), live_before_);
    }
    int read() {
        std::memset(&hex_, 0, sizeof hex_);
        std::memset(product_, 0x5A, sizeof product_);
        file_ver_ = kSentinel;
        mcu_ver_ = kSentinel;
        return CLS_prom::prom_read(&hex_, &file_ver_, &mcu_ver_, product_);
    }
    // The "no image" state: nothing held, nothing leaked, outputs untouched.
    void expect_no_image() {
        EXPECT_EQ(hex_.org.data, nullptr);
        EXPECT_EQ(hex_.edit.data, nullptr);
        EXPECT_EQ(qvm_posix::live_allocations(), live_before_);
        EXPECT_EQ(file_ver_, kSentinel);
        EXPECT_EQ(mcu_ver_, kSentinel);
    }
    // prom_read fails and leaves the "no image" state.
    void expect_read_fails() {
        EXPECT_EQ(read(), 0);
        expect_no_image();
    }

    SHEX_HEX hex_{};
    unsigned long file_ver_ = 0;
    unsigned long mcu_ver_ = 0;
    char product_[CLS_prom::kProductLen + 16] = {};  // 16 spare bytes to catch overruns
    long live_before_ = 0;
};
