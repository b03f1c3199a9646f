// The embedded image as the application gets it.
#include <fstream>
#include <map>
#include <string>

#include "rom_test_util.h"

namespace {

// The bytes the firmware file places in [lo, hi], read with a parser of the
// test's own (Intel HEX data and extended linear address records).
std::map<std::uint32_t, unsigned char> file_bytes(std::uint32_t lo, std::uint32_t hi) {
    std::map<std::uint32_t, unsigned char> out;
    std::ifstream in(QVM_FIRMWARE_FILE);
    std::string line;
    std::uint32_t upper = 0;
    auto byte = [&](std::size_t i) { return std::stoul(line.substr(1 + 2 * i, 2), nullptr, 16); };
    while (std::getline(in, line)) {
        if (line.empty() || line[0] != ':') continue;
        const unsigned long count = byte(0), type = byte(3);
        const std::uint32_t offset = static_cast<std::uint32_t>(byte(1) << 8 | byte(2));
        if (type == 4) upper = static_cast<std::uint32_t>(byte(4) << 24 | byte(5) << 16);
        if (type != 0) continue;
        for (unsigned long i = 0; i < count; ++i) {
            const std::uint32_t a = upper + offset + static_cast<std::uint32_t>(i);
            if (lo <= a && a <= hi) out[a] = static_cast<unsigned char>(byte(4 + i));
        }
    }
    return out;
}

using EmbeddedImage = PromReadTest;

TEST_F(EmbeddedImage, ReadsAsTheApplicationExpects) {
    ASSERT_EQ(read(), 1);
    EXPECT_EQ(hex_.org.data, nullptr);
    ASSERT_NE(hex_.edit.data, nullptr);
    EXPECT_EQ(hex_.edit.start_addr, 0x4000u);
    EXPECT_EQ(hex_.edit.end_addr, 0x7FFFu);
    EXPECT_EQ(hex_.edit.len, 16384u);
    EXPECT_EQ(hex_.skip, 0xFF);
    EXPECT_EQ(file_ver_, 362ul);  // 3.62
    EXPECT_EQ(mcu_ver_, 0x0102ul);
    EXPECT_STREQ(product_, "R846-QVM2K");
    for (unsigned long i = 16; i < CLS_prom::kProductLen; ++i) ASSERT_EQ(product_[i], 0) << i;
    EXPECT_EQ(product_[CLS_prom::kProductLen], 0x5A);  // nothing written past 240 bytes
    EXPECT_EQ(qvm_posix::live_allocations(), live_before_ + 1);  // the edit block only
}

TEST_F(EmbeddedImage, EditBlockHoldsTheFileBytesAndBlankElsewhere) {
    ASSERT_EQ(read(), 1);
    const auto bytes = file_bytes(0x4000, 0x7FFF);
    ASSERT_EQ(bytes.size(), 14113u + 262u + 11u);  // the three segments inside the window
    std::uint32_t sum = 0;
    for (std::uint32_t a = 0x4000; a <= 0x7FFF; ++a) {
        const auto it = bytes.find(a);
        const unsigned char want = it == bytes.end() ? 0xFF : it->second;
        ASSERT_EQ(hex_.edit.data[a - 0x4000], want) << std::hex << "at 0x" << a;
        sum += want;
    }
    EXPECT_EQ(hex_.edit.sum, sum);
    // The gaps no segment supplies.
    for (auto gap : {std::pair<std::uint32_t, std::uint32_t>{0x7721, 0x7DFF}, {0x7F06, 0x7FEF},
                     {0x7FFB, 0x7FFF}}) {
        for (std::uint32_t a = gap.first; a <= gap.second; ++a) {
            ASSERT_EQ(bytes.count(a), 0u) << std::hex << a;
            ASSERT_EQ(hex_.edit.data[a - 0x4000], 0xFF) << std::hex << a;
        }
    }
    EXPECT_EQ(hex_.edit_info.start_addr, 0x4000u);
    EXPECT_EQ(hex_.edit_info.fill_start, 0x4000u);
    EXPECT_EQ(hex_.edit_info.fill_end, 0x7FFFu);
    EXPECT_EQ(hex_.edit_info.search_data, 0xFF);
    EXPECT_EQ(hex_.edit_info.fill_data, 0xFF);
}

// The assembled block is released after the cut, but its span stays in the
// record: from the lowest byte any segment supplies to the highest one.
TEST_F(EmbeddedImage, AssembledBlockSpansFirstToLastSegmentByte) {
    const auto all = file_bytes(0, 0xFFFFFFFFu);
    ASSERT_FALSE(all.empty());
    const std::uint32_t first = all.begin()->first, last = all.rbegin()->first;
    EXPECT_EQ(first, 0x4000u);
    EXPECT_EQ(last, 0xFFFFFFu);
    ASSERT_EQ(read(), 1);
    EXPECT_EQ(hex_.org.data, nullptr);
    EXPECT_EQ(hex_.org.start_addr, first);
    EXPECT_EQ(hex_.org.end_addr, last);
    EXPECT_EQ(hex_.org.len, last - first + 1);
}

TEST_F(EmbeddedImage, SegmentsOutsideTheWindowAreInTheFileButNotInTheBlock) {
    // The start-up code and the vectors exist; the reader still succeeds
    // (the edit step cuts them away) and keeps only the window.
    EXPECT_EQ(file_bytes(0xFE0000, 0xFFFFFF).size(), 236u + 36u);
    ASSERT_EQ(read(), 1);
    EXPECT_EQ(hex_.edit.len, 16384u);
}

TEST_F(EmbeddedImage, OutOfMemoryForTheAssembledBlock) {
    qvm_posix::fail_alloc_at(1);
    EXPECT_EQ(read(), 0);
    expect_no_image();
}

TEST_F(EmbeddedImage, OutOfMemoryForTheEditBlock) {
    qvm_posix::fail_alloc_at(2);
    EXPECT_EQ(read(), 0);
    expect_no_image();
}

TEST_F(EmbeddedImage, ReadAgainAfterReleaseGivesTheSameImage) {
    ASSERT_EQ(read(), 1);
    const std::uint32_t sum = hex_.edit.sum;
    CLS_prom::prom_free_mem(&hex_, CLS_prom::FREE_ALL);
    ASSERT_EQ(read(), 1);
    EXPECT_EQ(hex_.edit.sum, sum);
}

}  // namespace
