#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <vector>

#include "phex_edt.h"
#include "posix_dev.h"

namespace {

// One image record around an assembled block org = bytes at org_start.
// Releases both blocks at the end and checks that nothing leaked.
class EditStep : public ::testing::Test {
protected:
    void SetUp() override { live_before_ = qvm_posix::live_allocations(); }
    void TearDown() override {
        qvm_posix::fail_alloc_at(0);
        LocalFree(hex_.org.data);
        LocalFree(hex_.edit.data);
        EXPECT_EQ(qvm_posix::live_allocations(), live_before_);
    }

    void set_org(std::uint32_t start, const std::vector<unsigned char> &bytes) {
        hex_.org.data = static_cast<unsigned char *>(LocalAlloc(LMEM_ZEROINIT, bytes.size()));
        ASSERT_NE(hex_.org.data, nullptr);
        std::memcpy(hex_.org.data, bytes.data(), bytes.size());
        hex_.org.len = static_cast<std::uint32_t>(bytes.size());
        hex_.org.start_addr = start;
        hex_.org.end_addr = start + hex_.org.len - 1;
    }
    void set_window(std::uint32_t start, std::uint32_t end, std::uint32_t len = 0) {
        hex_.edit.start_addr = start;
        hex_.edit.end_addr = end;
        hex_.edit.len = len;
    }
    std::vector<unsigned char> edit_bytes() const {
        return {hex_.edit.data, hex_.edit.data + hex_.edit.len};
    }
    static std::uint32_t sum_of(const std::vector<unsigned char> &v) {
        std::uint32_t s = 0;
        for (unsigned char b : v) s += b;
        return s;
    }
    // A failed step leaves no block, a zero sum and the old edit_info.
    void expect_failed_cleanly(const SHEX_EDIT &info_before) {
        EXPECT_EQ(hex_.edit.data, nullptr);
        EXPECT_EQ(hex_.edit.sum, 0u);
        EXPECT_EQ(hex_.edit_info.start_addr, info_before.start_addr);
        EXPECT_EQ(hex_.edit_info.search_data, info_before.search_data);
        EXPECT_EQ(hex_.edit_info.fill_start, info_before.fill_start);
        EXPECT_EQ(hex_.edit_info.fill_end, info_before.fill_end);
        EXPECT_EQ(hex_.edit_info.fill_data, info_before.fill_data);
    }

    SHEX_HEX hex_{};
    long live_before_ = 0;
    const std::vector<unsigned char> org_bytes_{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};
};

TEST_F(EditStep, WindowEqualToBlockCopiesItWholeAndRecordsTheParameters) {
    set_org(0x4000, org_bytes_);
    hex_.skip = 0xFF;
    set_window(0x4000, 0x4007);
    ASSERT_EQ(CLS_phex_edt::phex_edt_make_edit(&hex_), CLS_phex_edt::EDT_WHOLE);
    EXPECT_EQ(hex_.edit.len, 8u);
    EXPECT_EQ(edit_bytes(), org_bytes_);
    EXPECT_EQ(hex_.edit.sum, sum_of(org_bytes_));
    EXPECT_EQ(hex_.edit_info.start_addr, 0x4000u);
    EXPECT_EQ(hex_.edit_info.search_data, 0xFF);
    EXPECT_EQ(hex_.edit_info.fill_start, 0x4000u);
    EXPECT_EQ(hex_.edit_info.fill_end, 0x4007u);
    EXPECT_EQ(hex_.edit_info.fill_data, 0xFF);
    // org is the caller's: same block, same bytes.
    EXPECT_EQ(std::memcmp(hex_.org.data, org_bytes_.data(), org_bytes_.size()), 0);
}

TEST_F(EditStep, WindowReachingBeyondTheBlockFillsTheRestWithSkip) {
    set_org(0x4000, org_bytes_);
    hex_.skip = 0xA5;
    set_window(0x3FFE, 0x4009);  // two bytes more on each side
    ASSERT_EQ(CLS_phex_edt::phex_edt_make_edit(&hex_), CLS_phex_edt::EDT_WHOLE);
    std::vector<unsigned char> want{0xA5, 0xA5};
    want.insert(want.end(), org_bytes_.begin(), org_bytes_.end());
    want.insert(want.end(), {0xA5, 0xA5});
    EXPECT_EQ(edit_bytes(), want);
    EXPECT_EQ(hex_.edit.sum, sum_of(want));
}

TEST_F(EditStep, WindowBeyondOneSideOnlyStillCoversTheBlock) {
    set_org(0x4000, org_bytes_);
    hex_.skip = 0xFF;
    set_window(0x4000, 0x400B);
    ASSERT_EQ(CLS_phex_edt::phex_edt_make_edit(&hex_), CLS_phex_edt::EDT_WHOLE);
    std::vector<unsigned char> want = org_bytes_;
    want.insert(want.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(edit_bytes(), want);
}

TEST_F(EditStep, WindowCuttingTheBlockOnEitherSideReportsTheCut) {
    struct Case {
        std::uint32_t start, end;
        std::vector<unsigned char> want;
    };
    const Case cases[] = {
        {0x4002, 0x4007, {0x30, 0x40, 0x50, 0x60, 0x70, 0x80}},       // cut below
        {0x4000, 0x4004, {0x10, 0x20, 0x30, 0x40, 0x50}},             // cut above
        {0x4003, 0x4004, {0x40, 0x50}},                               // both
        {0x4006, 0x400A, {0x70, 0x80, 0xFF, 0xFF, 0xFF}},             // cut below, beyond above
    };
    set_org(0x4000, org_bytes_);
    hex_.skip = 0xFF;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.start << ".." << c.end);
        set_window(c.start, c.end);
        ASSERT_EQ(CLS_phex_edt::phex_edt_make_edit(&hex_), CLS_phex_edt::EDT_CUT);
        EXPECT_EQ(edit_bytes(), c.want);
        EXPECT_EQ(hex_.edit.sum, sum_of(c.want));
        LocalFree(hex_.edit.data);
        hex_.edit.data = nullptr;
    }
}

TEST_F(EditStep, PresetLengthWinsOverTheEndAddress) {
    set_org(0x4000, std::vector<unsigned char>(0x40, 0x11));
    hex_.skip = 0xFF;
    set_window(0x4000, 0x7FFF, 16);
    ASSERT_EQ(CLS_phex_edt::phex_edt_make_edit(&hex_), CLS_phex_edt::EDT_CUT);
    EXPECT_EQ(hex_.edit.end_addr, 0x400Fu);
    EXPECT_EQ(hex_.edit.len, 16u);
    EXPECT_EQ(hex_.edit_info.fill_end, 0x400Fu);
    EXPECT_EQ(edit_bytes(), std::vector<unsigned char>(16, 0x11));
}

TEST_F(EditStep, WindowApartFromTheBlockAllocatesNothing) {
    set_org(0x4000, org_bytes_);
    hex_.skip = 0xFF;
    const SHEX_EDIT info{0x1234, 0x56, 0x789A, 0xBCDE, 0xF0};
    for (auto w : {std::pair<std::uint32_t, std::uint32_t>{0x4008, 0x4100},   // just above
                   {0x1000, 0x3FFF},                                          // just below
                   {0xFFFFFF00, 0xFFFFFFFF}}) {
        SCOPED_TRACE(testing::Message() << std::hex << w.first << ".." << w.second);
        hex_.edit_info = info;
        hex_.edit.sum = 77;
        set_window(w.first, w.second);
        const long live = qvm_posix::live_allocations();
        EXPECT_EQ(CLS_phex_edt::phex_edt_make_edit(&hex_), CLS_phex_edt::EDT_APART);
        EXPECT_EQ(qvm_posix::live_allocations(), live);
        expect_failed_cleanly(info);
    }
}

TEST_F(EditStep, NoAssembledBlock) {
    hex_.skip = 0xFF;
    hex_.org.start_addr = 0x4000;
    hex_.org.end_addr = 0x7FFF;
    set_window(0x4000, 0x7FFF);
    const SHEX_EDIT info{1, 2, 3, 4, 5};
    hex_.edit_info = info;
    hex_.edit.data = reinterpret_cast<unsigned char *>(0x1);  // stale value, not a block
    EXPECT_EQ(CLS_phex_edt::phex_edt_make_edit(&hex_), CLS_phex_edt::EDT_NO_ORG);
    expect_failed_cleanly(info);
}

TEST_F(EditStep, StartAboveEndWithoutLengthIsNoWindow) {
    set_org(0x4000, org_bytes_);
    hex_.skip = 0xFF;
    set_window(0x4006, 0x4002);  // overlaps the block, but runs backwards
    const SHEX_EDIT info{9, 9, 9, 9, 9};
    hex_.edit_info = info;
    const long live = qvm_posix::live_allocations();
    EXPECT_EQ(CLS_phex_edt::phex_edt_make_edit(&hex_), CLS_phex_edt::EDT_NO_MEM);
    EXPECT_EQ(qvm_posix::live_allocations(), live);
    EXPECT_EQ(hex_.edit.len, 0u);
    EXPECT_EQ(hex_.edit.start_addr, 0x4006u);
    EXPECT_EQ(hex_.edit.end_addr, 0x4002u);
    expect_failed_cleanly(info);
}

TEST_F(EditStep, AllocationFailure) {
    set_org(0x4000, org_bytes_);
    hex_.skip = 0xFF;
    set_window(0x4000, 0x7FFF);
    const SHEX_EDIT info{7, 7, 7, 7, 7};
    hex_.edit_info = info;
    qvm_posix::fail_alloc_at(1);
    EXPECT_EQ(CLS_phex_edt::phex_edt_make_edit(&hex_), CLS_phex_edt::EDT_NO_MEM);
    expect_failed_cleanly(info);
}

TEST_F(EditStep, SumOfABlankDeviceWindow) {
    set_org(0x4000, {0xFF});
    hex_.skip = 0xFF;
    set_window(0x4000, 0x7FFF);
    ASSERT_EQ(CLS_phex_edt::phex_edt_make_edit(&hex_), CLS_phex_edt::EDT_WHOLE);
    EXPECT_EQ(hex_.edit.len, 16384u);
    EXPECT_EQ(hex_.edit.sum, 4177920u);
}

TEST_F(EditStep, SumIsAWrapAroundByteSum) {
    // 0x1010102 bytes of 0xFF sum to 0xFF * 0x1010102 = 0x1000000FE.
    set_org(0x0, {0xFF});
    hex_.skip = 0xFF;
    set_window(0x0, 0, 0x1010102);
    ASSERT_EQ(CLS_phex_edt::phex_edt_make_edit(&hex_), CLS_phex_edt::EDT_WHOLE);
    EXPECT_EQ(hex_.edit.sum, 0xFEu);
}

}  // namespace
