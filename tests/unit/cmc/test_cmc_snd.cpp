// Device file names, the device search, message framing and one exchange.
#include <gtest/gtest.h>

#include <cstring>

#include "cmc_snd.h"
#include "cmc_test_dev.h"
#include "pwin_fle.h"

using namespace cmc_test;

namespace {

std::string dev_file_name(unsigned long index, const char *dev_name = "R846_QVM2K_") {
    char buf[240];
    std::memset(buf, 'x', sizeof(buf));
    CLS_pwin_fle::pwin_make_dev_file_name(buf, const_cast<char *>(dev_name), index);
    return buf;
}

Bytes built(unsigned short id, unsigned long p1, unsigned long p2, unsigned long n = 0,
            unsigned char *data = nullptr) {
    unsigned long len = 12345;
    unsigned char *msg = CLS_cmc_snd::cmc_send_msg_create(id, p1, p2, n, data, &len);
    if (msg == nullptr) return {};
    Bytes b(msg, msg + len);
    LocalFree(msg);
    return b;
}

class CmcSnd : public ::testing::Test {
protected:
    void TearDown() override {
        qvm_posix::fail_alloc_at(0);
        qvm_posix::unregister_all_devices();
        EXPECT_EQ(qvm_posix::open_device_handles(), 0);
        EXPECT_EQ(qvm_posix::live_allocations(), 0);
    }
};

// An entry opened on a scripted device, freed at the end.
struct OneDevice {
    ScriptDevice dev;
    Plug plug{0, &dev};
    SCMC_OPENTBL *tbl = nullptr;
    unsigned long n = CLS_cmc_snd::cmc_devtbl_edit(&tbl, 1, 1);
    ~OneDevice() { CLS_cmc_snd::cmc_devtbl_free(tbl, n); }

    unsigned short send(unsigned short id, unsigned long *got = nullptr, unsigned long want = 17) {
        unsigned char rsp[64] = {};
        unsigned long len = want;
        unsigned short r = CLS_cmc_snd::cmc_cmd_send(tbl, id, 1, 0, nullptr, 0, rsp, &len);
        if (got != nullptr) *got = len;
        return r;
    }
};

}  // namespace

TEST_F(CmcSnd, DeviceFileNames) {
    EXPECT_EQ(dev_file_name(0), "\\\\.\\R846_QVM2K_0");
    EXPECT_EQ(dev_file_name(12), "\\\\.\\R846_QVM2K_12");
    EXPECT_EQ(dev_file_name(255), "\\\\.\\R846_QVM2K_255");
    EXPECT_EQ(dev_file_name(0, nullptr), "");
    CLS_pwin_fle::pwin_make_dev_file_name(nullptr, const_cast<char *>("X"), 1);  // no crash
}

TEST_F(CmcSnd, SearchOpensTheFirstDevicesInIndexOrder) {
    ScriptDevice d3, d5;
    Plug p3(3, &d3), p5(5, &d5);
    SCMC_OPENTBL *tbl = nullptr;
    ASSERT_EQ(CLS_cmc_snd::cmc_devtbl_edit(&tbl, 1, 0), 1u);
    ASSERT_NE(tbl, nullptr);
    EXPECT_EQ(tbl[0].thd_no, 4u);
    EXPECT_EQ(tbl[0].status, 0x01000000u);
    EXPECT_EQ(tbl[0].end_code, 0u);
    EXPECT_EQ(tbl[0].end_stat, 0u);
    EXPECT_EQ(d3.opens(), 1);
    EXPECT_EQ(d5.opens(), 0);
    EXPECT_EQ(qvm_posix::open_device_handles(), 1);
    CLS_cmc_snd::cmc_devtbl_free(tbl, 1);

    ASSERT_EQ(CLS_cmc_snd::cmc_devtbl_edit(&tbl, 5, 0), 2u);  // gaps are skipped
    EXPECT_EQ(tbl[0].thd_no, 4u);
    EXPECT_EQ(tbl[1].thd_no, 6u);
    CLS_cmc_snd::cmc_devtbl_free(tbl, 2);
    EXPECT_EQ(d3.closes(), 2);
    EXPECT_EQ(d5.closes(), 1);

    EXPECT_EQ(CLS_cmc_snd::cmc_devtbl_edit(&tbl, 5, 4), 1u);  // index 5 not probed
    CLS_cmc_snd::cmc_devtbl_free(tbl, 1);
    tbl = reinterpret_cast<SCMC_OPENTBL *>(&d3);
    EXPECT_EQ(CLS_cmc_snd::cmc_devtbl_edit(&tbl, 0, 0), 0u);  // devmax 0 opens nothing
    EXPECT_EQ(tbl, nullptr);
}

TEST_F(CmcSnd, SearchProbesAtMost256Names) {
    ScriptDevice last, beyond;
    Plug p255(255, &last), p256(256, &beyond);
    for (unsigned long chkmax : {0ul, 256ul, 300ul, 100000ul}) {
        SCMC_OPENTBL *tbl = nullptr;
        ASSERT_EQ(CLS_cmc_snd::cmc_devtbl_edit(&tbl, 10, chkmax), 1u) << chkmax;
        EXPECT_EQ(tbl[0].thd_no, 256u);
        CLS_cmc_snd::cmc_devtbl_free(tbl, 1);
    }
    SCMC_OPENTBL *tbl = nullptr;
    EXPECT_EQ(CLS_cmc_snd::cmc_devtbl_edit(&tbl, 10, 255), 0u);
    EXPECT_EQ(tbl, nullptr);
    EXPECT_EQ(beyond.opens(), 0);
}

TEST_F(CmcSnd, SearchClosesADeviceItCannotAddToTheTable) {
    ScriptDevice d0, d1;
    Plug p0(0, &d0), p1(1, &d1);
    // The first growth works, the second fails: device 1 must not stay open.
    qvm_posix::fail_alloc_at(2, true);
    SCMC_OPENTBL *tbl = nullptr;
    ASSERT_EQ(CLS_cmc_snd::cmc_devtbl_edit(&tbl, 5, 0), 1u);
    qvm_posix::fail_alloc_at(0);
    EXPECT_EQ(tbl[0].thd_no, 1u);
    EXPECT_EQ(d1.opens(), 1);
    EXPECT_EQ(d1.closes(), 1);
    EXPECT_EQ(qvm_posix::open_device_handles(), 1);
    CLS_cmc_snd::cmc_devtbl_free(tbl, 1);

    qvm_posix::fail_alloc_at(1, true);
    tbl = nullptr;
    EXPECT_EQ(CLS_cmc_snd::cmc_devtbl_edit(&tbl, 5, 0), 0u);
    qvm_posix::fail_alloc_at(0);
    EXPECT_EQ(tbl, nullptr);
    EXPECT_EQ(qvm_posix::open_device_handles(), 0);
}

TEST_F(CmcSnd, CloseAndFreeAreHarmlessTwice) {
    ScriptDevice d;
    Plug p(0, &d);
    SCMC_OPENTBL *tbl = nullptr;
    ASSERT_EQ(CLS_cmc_snd::cmc_devtbl_edit(&tbl, 1, 1), 1u);
    CLS_cmc_snd::cmc_close_file(&tbl[0].open_hdl);
    EXPECT_EQ(tbl[0].open_hdl, INVALID_HANDLE_VALUE);
    CLS_cmc_snd::cmc_close_file(&tbl[0].open_hdl);
    EXPECT_EQ(d.closes(), 1);
    // A closed entry: no traffic, result 2.
    unsigned char rsp[21] = {};
    unsigned long len = 17;
    EXPECT_EQ(CLS_cmc_snd::cmc_cmd_send(tbl, 0x8009, 1, 0, nullptr, 0, rsp, &len), 2);
    EXPECT_TRUE(d.cmds().empty());
    CLS_cmc_snd::cmc_devtbl_free(tbl, 1);
    EXPECT_EQ(d.closes(), 1);
    CLS_cmc_snd::cmc_devtbl_free(nullptr, 0);
}

TEST_F(CmcSnd, CommandMessagesAreByteExact) {
    EXPECT_EQ(built(0x8006, 0, 0), (Bytes{0x02, 0x9C, 0x06, 0x80, 0x11, 0, 0, 0, 0, 0, 0, 0,
                                          0, 0, 0, 0, 0x03}));
    EXPECT_EQ(built(0x8009, 3, 0), (Bytes{0x02, 0xA2, 0x09, 0x80, 0x11, 0, 0, 0, 0x03, 0, 0, 0,
                                          0, 0, 0, 0, 0x03}));
    EXPECT_EQ(built(0x0001, 1, 0), (Bytes{0x02, 0x18, 0x01, 0x00, 0x11, 0, 0, 0, 0x01, 0, 0, 0,
                                          0, 0, 0, 0, 0x03}));
    EXPECT_EQ(built(0x0001, 3, 0), (Bytes{0x02, 0x1A, 0x01, 0x00, 0x11, 0, 0, 0, 0x03, 0, 0, 0,
                                          0, 0, 0, 0, 0x03}));

    unsigned char block[256];
    for (int i = 0; i < 256; ++i) block[i] = static_cast<unsigned char>(i * 7 + 1);
    Bytes payload(block, block + 256);
    Bytes msg = built(0x0001, 2, 0x7F00, 256, block);
    ASSERT_EQ(msg.size(), 273u);
    EXPECT_EQ(get32(msg, 4), 0x111u);
    EXPECT_EQ(get32(msg, 12), 0x7F00u);
    EXPECT_EQ(msg, make_frame(0x0001, 2, 0x7F00, payload));
}

TEST_F(CmcSnd, PayloadLengthWithoutPayloadIsRefused) {
    unsigned long len = 99;
    EXPECT_EQ(CLS_cmc_snd::cmc_send_msg_create(0x0001, 2, 0x4000, 256, nullptr, &len), nullptr);
    EXPECT_EQ(len, 0u);

    OneDevice one;
    ASSERT_EQ(one.n, 1u);
    unsigned char rsp[21] = {};
    unsigned long got = 17;
    EXPECT_EQ(CLS_cmc_snd::cmc_cmd_send(one.tbl, 0x0001, 2, 0x4000, nullptr, 256, rsp, &got), 1);
    EXPECT_TRUE(one.dev.cmds().empty());
}

TEST_F(CmcSnd, MessageOutOfMemoryWritesNothing) {
    OneDevice one;
    ASSERT_EQ(one.n, 1u);
    qvm_posix::fail_alloc_at(1);
    EXPECT_EQ(one.send(0x8009), 1);
    EXPECT_TRUE(one.dev.cmds().empty());
}

TEST_F(CmcSnd, ResponseCheckFlags) {
    const Bytes led_ok{0x02, 0xF4, 0x09, 0x80, 0x11, 0, 0, 0, 0x55, 0, 0, 0, 0, 0, 0, 0, 0x03};
    auto flags = [](Bytes b, long n = -1) {
        b.resize(b.size() + 8, 0);  // callers' buffers are larger than the read
        unsigned long len = n < 0 ? b.size() - 8 : static_cast<unsigned long>(n);
        Bytes before = b;
        unsigned short f = CLS_cmc_snd::cmc_recv_msg_chk(len, b.data());
        EXPECT_EQ(b, before) << "the check changed the response";
        return f;
    };
    EXPECT_EQ(flags(led_ok), 0);
    EXPECT_EQ(flags(make_frame(0x1234, 0x55, 7, Bytes(20, 0xEE))), 0);  // id not examined

    Bytes b = led_ok;
    b[0] = 0x03;
    EXPECT_EQ(flags(b), 0x0001 | 0x0004);
    b = led_ok;
    b[16] = 0x02;
    EXPECT_EQ(flags(b), 0x0002 | 0x0004);
    b = led_ok;
    b[1] ^= 0x01;
    EXPECT_EQ(flags(b), 0x0004);
    b = make_frame(0x8009, 0x01, 0x1234);
    EXPECT_EQ(flags(b), 0x8000);
    b = led_ok;
    b[4] = 0x12;  // len differs: end byte not tested
    b[16] = 0x00;
    EXPECT_EQ(flags(b) & (0x0008 | 0x0002), 0x0008);
    EXPECT_EQ(flags(led_ok, 16), 0x0008 | 0x0004);  // one byte short
    EXPECT_EQ(flags(Bytes{}, 0), 0x0001 | 0x8000);  // len 0 matches 0 bytes
}

TEST_F(CmcSnd, ExchangeResults) {
    OneDevice one;
    ASSERT_EQ(one.n, 1u);
    struct Case {
        const char *what;
        Reply reply;
        unsigned short result;
    };
    Reply ok;
    ok.bytes = {0x02, 0xF4, 0x09, 0x80, 0x11, 0, 0, 0, 0x55, 0, 0, 0, 0, 0, 0, 0, 0x03};
    Reply changed = ok;
    changed.bytes[12] = 0x01;
    Reply short_read = ok;
    short_read.bytes.resize(16);
    Reply empty = ok;
    empty.bytes.clear();
    Reply write_fails = ok;
    write_fails.write_ok = false;
    Reply short_write = ok;
    short_write.written = 16;
    Reply read_fails = ok;
    read_fails.read_ok = false;
    Reply long_answer;
    long_answer.bytes = make_frame(0x8009, 0x55, 0, Bytes(4, 0));
    const Case cases[] = {
        {"accepted", ok, 0},          {"one byte changed", changed, 3},
        {"short read", short_read, 3}, {"no bytes", empty, 3},
        {"write fails", write_fails, 3}, {"short write", short_write, 3},
        {"read fails", read_fails, 3}, {"longer than asked", long_answer, 3},
    };
    for (const Case &c : cases) {
        Reply r = c.reply;
        one.dev.set_responder([r](const Cmd &, std::size_t) { return r; });
        one.tbl[0].end_code = 0xABCD;
        EXPECT_EQ(one.send(0x8009), c.result) << c.what;
        EXPECT_EQ(one.tbl[0].end_code, 0xABCDu) << c.what;
    }
}

TEST_F(CmcSnd, DeviceErrorKeepsItsCode) {
    OneDevice one;
    ASSERT_EQ(one.n, 1u);
    one.dev.set_responder([](const Cmd &, std::size_t) {
        Reply r;
        r.bytes = make_frame(0x8009, 0x01, 0x1234);
        return r;
    });
    unsigned long got = 0;
    EXPECT_EQ(one.send(0x8009, &got), 4);
    EXPECT_EQ(got, 17u);
    EXPECT_EQ(one.tbl[0].end_code, 0x1234u);

    // The same answer with a bad checksum is a framing failure.
    one.dev.set_responder([](const Cmd &, std::size_t) {
        Reply r;
        r.bytes = make_frame(0x8009, 0x01, 0x5678);
        r.bytes[1] ^= 0x40;
        return r;
    });
    EXPECT_EQ(one.send(0x8009), 3);
    EXPECT_EQ(one.tbl[0].end_code, 0x1234u);
}
