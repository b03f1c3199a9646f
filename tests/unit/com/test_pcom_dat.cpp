#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "pcom_dat.h"
#include "posix_dev.h"

namespace {

std::string version(unsigned long v, int dot) {
    char buf[13];
    std::memset(buf, 'x', sizeof buf);
    CLS_pcom_dat::pcom_version(v, buf, dot);
    return std::string(buf);
}

TEST(Version, WorkedExamples) {
    EXPECT_EQ(version(350, 0), "3.50");
    EXPECT_EQ(version(350, 1), "Ver.3.50");
    EXPECT_EQ(version(5, 0), "0.05");
    EXPECT_EQ(version(42, 0), "0.42");
    EXPECT_EQ(version(12345, 0), "123.45");
    EXPECT_EQ(version(0x4100015E, 0), "3.50A");
    EXPECT_EQ(version(0x4142015E, 0), "3.50AB");
    EXPECT_EQ(version(0x00410000, 0), "0.00A");
    EXPECT_EQ(version(0, 0), "0.00");
}

TEST(Version, LongestTextFitsThirteenBytes) {
    // "Ver." + "655.35" + two suffix characters = 12 characters.
    EXPECT_EQ(version(0x5A5AFFFF, 1), "Ver.655.35ZZ");
    EXPECT_EQ(version(100, 0), "1.00");
    EXPECT_EQ(version(0x41000000 | 7, 0), "0.07A");
}

struct Entry {
    int a;
    char b[3];
};

TEST(DisposeAllocate, GrowsByOneElementAndKeepsOldOnes) {
    void *mem = nullptr;
    unsigned long num = 0;
    for (int i = 0; i < 5; ++i) {
        Entry e{i * 10, {char('a' + i), 0, 0}};
        CLS_pcom_dat::pcom_dispose_allocate(&mem, &e, &num, sizeof(Entry));
        ASSERT_EQ(num, static_cast<unsigned long>(i + 1));
    }
    auto *arr = static_cast<Entry *>(mem);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(arr[i].a, i * 10);
        EXPECT_EQ(arr[i].b[0], 'a' + i);
    }
    LocalFree(mem);
}

TEST(DisposeAllocate, FailedAllocationLeavesArrayUnchanged) {
    void *mem = nullptr;
    unsigned long num = 0;
    Entry e{1, {'x', 0, 0}};
    CLS_pcom_dat::pcom_dispose_allocate(&mem, &e, &num, sizeof(Entry));
    void *before = mem;
    qvm_posix::fail_alloc_at(1);
    Entry f{2, {'y', 0, 0}};
    CLS_pcom_dat::pcom_dispose_allocate(&mem, &f, &num, sizeof(Entry));
    EXPECT_EQ(mem, before);
    EXPECT_EQ(num, 1u);
    EXPECT_EQ(static_cast<Entry *>(mem)[0].a, 1);
    LocalFree(mem);
}

TEST(DisposeAllocate, FirstAppendTakesExactlyOneElement) {
    void *mem = nullptr;
    unsigned long num = 0;
    long live = qvm_posix::live_allocations();
    unsigned char byte = 0xAB;
    CLS_pcom_dat::pcom_dispose_allocate(&mem, &byte, &num, 1);
    ASSERT_NE(mem, nullptr);
    EXPECT_EQ(num, 1u);
    EXPECT_EQ(qvm_posix::live_allocations(), live + 1);
    EXPECT_EQ(*static_cast<unsigned char *>(mem), 0xAB);
    LocalFree(mem);
}

}  // namespace
