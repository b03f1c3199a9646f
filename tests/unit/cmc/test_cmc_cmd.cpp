// The command set, block cutting, progress and the detail code.
#include <gtest/gtest.h>

#include <algorithm>

#include "cmc.h"
#include "cmc_snd.h"
#include "cmc_test_dev.h"

using namespace cmc_test;

namespace {

class CmcCmd : public ::testing::Test {
protected:
    ScriptDevice dev;
    Plug plug{0, &dev};
    SCMC_OPENTBL *tbl = nullptr;
    unsigned long n = 0;

    void SetUp() override { n = CLS_cmc_snd::cmc_devtbl_edit(&tbl, 1, 1); ASSERT_EQ(n, 1u); }
    void TearDown() override {
        CLS_cmc_snd::cmc_devtbl_free(tbl, n);
        qvm_posix::fail_alloc_at(0);
        EXPECT_EQ(qvm_posix::open_device_handles(), 0);
        EXPECT_EQ(qvm_posix::live_allocations(), 0);
    }
    void answer(Bytes b) {
        dev.set_responder([b](const Cmd &, std::size_t) {
            Reply r;
            r.bytes = b;
            return r;
        });
    }
};

Bytes block_bytes(unsigned char *b, unsigned long n) { return Bytes(b, b + n); }

}  // namespace

TEST_F(CmcCmd, VersionGetFillsEveryField) {
    DevVersion v;
    v.firm = 0x4100015E;
    v.mcu = 0x0304;
    v.boot = 0x00010203;
    v.serial = -77;
    v.lic_low = 0x89ABCDEF;
    v.lic_high = 0x01234567;
    answer(version_answer(v));
    SQVM_CMD_VER info{};
    info.dummy = 0x1111;
    unsigned long boot = 0;
    ASSERT_EQ(CLS_cmc::cmc_cmd_ver_get(tbl, &info, &boot), 0);
    EXPECT_EQ(info.firm_version, 0x4100015Eu);
    EXPECT_EQ(info.mcu_version, 0x0304);
    EXPECT_EQ(info.license_bit.low, 0x89ABCDEFu);
    EXPECT_EQ(info.license_bit.high, 0x01234567);
    EXPECT_EQ(info.serial_no, -77);
    EXPECT_EQ(boot, 0x00010203u);
    const auto cmds = dev.cmds();
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].raw, (Bytes{0x02, 0x9C, 0x06, 0x80, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                  0x03}));
    EXPECT_EQ(CLS_cmc::cmc_cmd_ver_get(tbl, nullptr, nullptr), 0);  // outputs optional
}

TEST_F(CmcCmd, VersionGetErrorWritesNoOutput) {
    answer(make_frame(0x8006, 0x02, 0x0BAD));
    SQVM_CMD_VER info{};
    info.firm_version = 0x12345678;
    unsigned long boot = 99;
    EXPECT_EQ(CLS_cmc::cmc_cmd_ver_get(tbl, &info, &boot), 4);
    EXPECT_EQ(tbl[0].end_code, 0x0BADu);
    EXPECT_EQ(info.firm_version, 0x12345678u);
    EXPECT_EQ(boot, 99u);

    Bytes bad = version_answer(DevVersion{});
    bad[20] ^= 0xFF;  // checksum no longer matches
    answer(bad);
    EXPECT_EQ(CLS_cmc::cmc_cmd_ver_get(tbl, &info, &boot), 3);
    EXPECT_EQ(info.firm_version, 0x12345678u);
}

TEST_F(CmcCmd, ShortVersionPayloadReadsMissingBytesAsZero) {
    // A well-framed answer with only 6 payload bytes: the end byte behind
    // them is not taken for version data.
    answer(make_frame(0x8006, 0x55, 7, Bytes{0x5E, 0x01, 0x00, 0x00, 0x02, 0x01}));
    SQVM_CMD_VER info{};
    ASSERT_EQ(CLS_cmc::cmc_cmd_ver_get(tbl, &info, nullptr), 0);
    EXPECT_EQ(info.firm_version, 0x015Eu);
    EXPECT_EQ(info.mcu_version, 0x0102);
    EXPECT_EQ(info.dummy, 0);
    EXPECT_EQ(info.serial_no, 0);
    // Unscrambling zeros gives the inverted masks.
    EXPECT_EQ(info.license_bit.low, ~test_frames::kLicenseMaskLow);
}

// The version rule: numbers ordered, the two suffix bytes compared whole.
TEST(CmcVersionRule, UpdateOrCurrent) {
    struct Case {
        std::uint32_t image, device;
        unsigned char want;
    };
    const Case cases[] = {
        {0x00000102, 0x00000102, kCmcVerCurrent},  // identical
        {0x41420102, 0x41420102, kCmcVerCurrent},
        {0x00000102, 0x00000101, kCmcVerUpdate},   // device older
        {0x00000102, 0x00000103, kCmcVerCurrent},  // device newer
        {0x00000102, 0xFFFFFFFF, kCmcVerUpdate},   // no firmware
        {0xFFFFFFFF, 0xFFFFFFFF, kCmcVerUpdate},
        // Same number, suffixes differing in the low byte, the high byte, or both.
        {0x00410102, 0x00000102, kCmcVerUpdate},
        {0x00000102, 0x00410102, kCmcVerUpdate},
        {0x00000102, 0x41000102, kCmcVerUpdate},
        {0x41420102, 0x42420102, kCmcVerUpdate},
        {0x41420102, 0x42410102, kCmcVerUpdate},
        // A different number decides alone.
        {0x00000104, 0x41420103, kCmcVerUpdate},
        {0x41420102, 0x00000103, kCmcVerCurrent},
        {0x0000FFFF, 0x41420001, kCmcVerUpdate},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(CLS_cmc::cmc_ver_cmp(c.image, c.device), c.want)
            << std::hex << "image 0x" << c.image << " device 0x" << c.device;
    }
}

TEST_F(CmcCmd, LedAndBootDataCommands) {
    EXPECT_EQ(CLS_cmc::cmc_cmd_led_set(tbl, 3), 0);
    EXPECT_EQ(CLS_cmc::cmc_cmd_bootdata_set(tbl, 1, nullptr, 0, 0), 0);
    unsigned char block[256];
    for (int i = 0; i < 256; ++i) block[i] = static_cast<unsigned char>(255 - i);
    EXPECT_EQ(CLS_cmc::cmc_cmd_bootdata_set(tbl, 2, block, 256, 0x4100), 0);
    EXPECT_EQ(CLS_cmc::cmc_cmd_bootdata_set(tbl, 3, nullptr, 0, 0), 0);
    const auto c = dev.cmds();
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[0].raw, (Bytes{0x02, 0xA2, 0x09, 0x80, 0x11, 0, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0,
                               0x03}));
    EXPECT_EQ(c[1].raw, (Bytes{0x02, 0x18, 0x01, 0x00, 0x11, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0,
                               0x03}));
    EXPECT_EQ(c[2].raw, make_frame(0x0001, 2, 0x4100, Bytes(block, block + 256)));
    EXPECT_EQ(c[3].raw, (Bytes{0x02, 0x1A, 0x01, 0x00, 0x11, 0, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0,
                               0x03}));
    EXPECT_EQ(CLS_cmc::cmc_cmd_bootdata_set(tbl, 2, nullptr, 256, 0x4200), 1);
    EXPECT_EQ(dev.cmds().size(), 4u);
}

TEST_F(CmcCmd, ResponseBufferOutOfMemorySendsNothing) {
    qvm_posix::fail_alloc_at(1);
    EXPECT_EQ(CLS_cmc::cmc_cmd_led_set(tbl, 1), 1);
    qvm_posix::fail_alloc_at(1);
    SQVM_CMD_VER info{};
    EXPECT_EQ(CLS_cmc::cmc_cmd_ver_get(tbl, &info, nullptr), 1);
    qvm_posix::fail_alloc_at(2);  // the message itself
    EXPECT_EQ(CLS_cmc::cmc_cmd_bootdata_set(tbl, 1, nullptr, 0, 0), 1);
    EXPECT_TRUE(dev.cmds().empty());
}

TEST(CmcBlocks, BlockCount) {
    EXPECT_EQ(CLS_cmc::cmc_get_blockmax(0x20, 0x7FF0, 256), 2u);
    EXPECT_EQ(CLS_cmc::cmc_get_blockmax(0x3E00, 0x4000, 256), 62u);
    EXPECT_EQ(CLS_cmc::cmc_get_blockmax(0x4000, 0x4000, 256), 64u);
    EXPECT_EQ(CLS_cmc::cmc_get_blockmax(1, 0x40FF, 256), 1u);
    EXPECT_EQ(CLS_cmc::cmc_get_blockmax(2, 0x40FF, 256), 2u);
    EXPECT_EQ(CLS_cmc::cmc_get_blockmax(0x100, 0xFFFFFF00u, 256), 1u);  // up to the top
    EXPECT_EQ(CLS_cmc::cmc_get_blockmax(0x20, 0xFFFFFFF0u, 256), 2u);   // wraps like an address
    EXPECT_EQ(CLS_cmc::cmc_get_blockmax(0, 0x4010, 256), 0u);
    EXPECT_EQ(CLS_cmc::cmc_get_blockmax(0x100, 0x4000, 0), 0u);
}

TEST(CmcBlocks, BlockContents) {
    unsigned char img[0x20];
    for (int i = 0; i < 0x20; ++i) img[i] = static_cast<unsigned char>(0x80 + i);
    unsigned long addr = 0;
    unsigned char *b0 = CLS_cmc::cmc_get_data(img, 0x20, 0x7FF0, &addr, 256, 0);
    ASSERT_NE(b0, nullptr);
    EXPECT_EQ(addr, 0x7F00u);
    Bytes want0(256, 0xFF);
    std::copy(img, img + 0x10, want0.begin() + 0xF0);
    EXPECT_EQ(block_bytes(b0, 256), want0);
    LocalFree(b0);

    unsigned char *b1 = CLS_cmc::cmc_get_data(img, 0x20, 0x7FF0, &addr, 256, 1);
    ASSERT_NE(b1, nullptr);
    EXPECT_EQ(addr, 0x8000u);
    Bytes want1(img + 0x10, img + 0x20);
    want1.resize(256, 0xFF);
    EXPECT_EQ(block_bytes(b1, 256), want1);
    LocalFree(b1);

    // Past the image: no block, but the address is still given.
    EXPECT_EQ(CLS_cmc::cmc_get_data(img, 0x20, 0x7FF0, &addr, 256, 2), nullptr);
    EXPECT_EQ(addr, 0x8100u);
    EXPECT_EQ(CLS_cmc::cmc_get_data(img, 0x20, 0x7FF0, &addr, 256, 1000000), nullptr);
    EXPECT_EQ(CLS_cmc::cmc_get_data(img, 0x20, 0x7FF0, &addr, 0, 0), nullptr);
    EXPECT_EQ(CLS_cmc::cmc_get_data(img, 0, 0x7FF0, nullptr, 256, 0), nullptr);
    EXPECT_EQ(qvm_posix::live_allocations(), 0);
}

TEST(CmcBlocks, AlignedImageHasNoFillerAndOneByteLandsLast) {
    Bytes img(0x200);
    for (std::size_t i = 0; i < img.size(); ++i) img[i] = static_cast<std::uint8_t>(i * 3);
    for (unsigned long n = 0; n < 2; ++n) {
        unsigned long addr = 0;
        unsigned char *b = CLS_cmc::cmc_get_data(img.data(), 0x200, 0x4000, &addr, 256, n);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(addr, 0x4000 + n * 256);
        EXPECT_EQ(block_bytes(b, 256), Bytes(img.begin() + n * 256, img.begin() + n * 256 + 256));
        LocalFree(b);
    }
    unsigned char one = 0x5A;
    unsigned long addr = 0;
    unsigned char *b = CLS_cmc::cmc_get_data(&one, 1, 0x40FF, &addr, 256, 0);
    ASSERT_NE(b, nullptr);
    Bytes want(255, 0xFF);
    want.push_back(0x5A);
    EXPECT_EQ(block_bytes(b, 256), want);
    EXPECT_EQ(addr, 0x4000u);
    LocalFree(b);
}

TEST(CmcProgress, RoundsHalvesUpAndCaps) {
    SCMC_OPENTBL e{};
    auto pct = [&e](std::uint32_t sent, std::uint32_t total) {
        e.send_msgsize = sent;
        e.total_msgsize = total;
        return CLS_cmc::cmc_get_progress(&e);
    };
    EXPECT_EQ(pct(0, 0), 0);
    EXPECT_EQ(pct(5, 0), 0);
    EXPECT_EQ(pct(256, 768), 33);
    EXPECT_EQ(pct(512, 768), 67);
    EXPECT_EQ(pct(31 * 256, 62 * 256), 50);
    EXPECT_EQ(pct(1, 200), 1);   // 0.5 % rounds up
    EXPECT_EQ(pct(1, 201), 0);
    EXPECT_EQ(pct(768, 768), 100);
    EXPECT_EQ(pct(0xFFFFFFFFu, 0xFFFFFFFFu), 100);  // no overflow
    EXPECT_EQ(pct(0xFFFFFFFFu, 1), 100);            // capped
}

namespace {
std::vector<std::pair<unsigned long, unsigned long>> g_reports;
void record_progress(unsigned long a, unsigned long b, void *obj) {
    EXPECT_EQ(obj, &g_reports);
    g_reports.emplace_back(a, b);
}
}  // namespace

TEST(CmcProgress, ReportsOnlyGrowth) {
    g_reports.clear();
    SCMC_OPENTBL e{};
    e.total_msgsize = 768;
    unsigned short old = 0;
    e.send_msgsize = 0;
    CLS_cmc::cmc_progress_chk(&e, &old, record_progress, &g_reports);  // 0: not grown
    e.send_msgsize = 256;
    CLS_cmc::cmc_progress_chk(&e, &old, record_progress, &g_reports);
    CLS_cmc::cmc_progress_chk(&e, &old, record_progress, &g_reports);  // 33 again
    e.send_msgsize = 768;
    CLS_cmc::cmc_progress_chk(&e, &old, nullptr, nullptr);  // stored without a callback
    EXPECT_EQ(old, 100);
    CLS_cmc::cmc_progress_chk(nullptr, &old, record_progress, &g_reports);
    EXPECT_EQ(g_reports, (std::vector<std::pair<unsigned long, unsigned long>>{{0, 33}}));
}

TEST(CmcEndstat, DetailCodes) {
    struct Case {
        std::uint16_t end_stat;
        unsigned long before, after;
    };
    const Case cases[] = {
        {1, 0, 0xFFFFFFFFul}, {2, 0, 0xFFFFFFFEul}, {3, 0, 0xFFFFFFFEul},
        {4, 0, 0x00ABCDEFul}, {1, 7, 7},            {3, 7, 7},
        {4, 7, 0x00ABCDEFul}, {0, 0, 0},
    };
    for (const Case &c : cases) {
        SCMC_OPENTBL e{};
        e.end_stat = c.end_stat;
        e.end_code = 0x00ABCDEF;
        unsigned long detail = c.before;
        CLS_cmc::cmc_endstat_chk(&detail, &e);
        EXPECT_EQ(detail, c.after) << "end_stat " << c.end_stat << " from " << c.before;
    }
}
