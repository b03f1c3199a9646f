// Frame checks and the version and LED commands of the device model.
#include "devsim_frames.h"

#include <random>

namespace devsim_test {
namespace {

using Protocol = DeviceTest;

TEST_F(Protocol, BuilderMatchesTheDocumentedCommandBytes) {
    EXPECT_EQ(version_cmd(), (Bytes{0x02, 0x9C, 0x06, 0x80, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03}));
    EXPECT_EQ(led_cmd(3), (Bytes{0x02, 0xA2, 0x09, 0x80, 0x11, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0x03}));
    EXPECT_EQ(begin_cmd(), (Bytes{0x02, 0x18, 0x01, 0x00, 0x11, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x03}));
    EXPECT_EQ(end_cmd(), (Bytes{0x02, 0x1A, 0x01, 0x00, 0x11, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0x03}));
    Bytes block = block_cmd(0x4100, block_data(0x4100));
    EXPECT_EQ(block.size(), 273u);
    EXPECT_EQ(get32(block, 4), 0x111u);
}

TEST_F(Protocol, VersionAnswerCarriesTheConfiguredDevice) {
    devsim_config c{0x4100015E, 0xA1B2, 0x00020304, -42, 0x80000001u, -2};
    devsim_init(dev(), &c);
    const Bytes literal{0x02, 0x9C, 0x06, 0x80, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03};
    Response r = exchange(literal);
    ASSERT_TRUE(r.framed);
    ASSERT_EQ(r.raw.size(), 37u);
    EXPECT_EQ(r.id, 0x8006);
    EXPECT_EQ(r.code, DEVSIM_CODE_OK);
    EXPECT_EQ(r.param2, 0x00020304u);  // boot version
    ASSERT_EQ(r.payload.size(), 20u);
    EXPECT_EQ(get32(r.payload, 0), 0x4100015Eu);
    EXPECT_EQ(r.payload[4] | (r.payload[5] << 8), 0xA1B2);
    EXPECT_EQ(r.payload[6] | (r.payload[7] << 8), 0);
    // The host's unscrambling: XOR with the half's mask, then invert.
    EXPECT_EQ(~(get32(r.payload, 8) ^ DEVSIM_LICENSE_MASK_LOW), 0x80000001u);
    EXPECT_EQ(static_cast<std::int32_t>(~(get32(r.payload, 12) ^ DEVSIM_LICENSE_MASK_HIGH)), -2);
    EXPECT_NE(get32(r.payload, 8), 0x80000001u);  // not sent in the clear
    EXPECT_EQ(static_cast<std::int32_t>(get32(r.payload, 16)), -42);
}

TEST_F(Protocol, VersionGetTakesNoParametersOrPayload) {
    expect_error(command(DEVSIM_CMD_VER_GET, 1, 0), DEVSIM_ERR_BAD_PARAM);
    expect_error(command(DEVSIM_CMD_VER_GET, 0, 1), DEVSIM_ERR_BAD_PARAM);
    expect_error(command(DEVSIM_CMD_VER_GET, 0, 0, Bytes{0}), DEVSIM_ERR_BAD_PARAM);
}

TEST_F(Protocol, LedSetRecordsTypesOneToThreeOnly) {
    EXPECT_EQ(dev()->led, 0u);
    const Bytes literal{0x02, 0xA2, 0x09, 0x80, 0x11, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0x03};
    expect_ok(literal);
    EXPECT_EQ(dev()->led, 3u);
    expect_ok(led_cmd(1));
    EXPECT_EQ(dev()->led, 1u);
    expect_ok(led_cmd(2));
    EXPECT_EQ(dev()->led, 2u);
    for (std::uint32_t bad : {0u, 4u, 0xFFFFFFFFu}) {
        expect_error(led_cmd(bad), DEVSIM_ERR_BAD_PARAM);
        EXPECT_EQ(dev()->led, 2u) << bad;
    }
    expect_error(command(DEVSIM_CMD_LED_SET, 1, 7), DEVSIM_ERR_BAD_PARAM);
    expect_error(command(DEVSIM_CMD_LED_SET, 1, 0, Bytes{1, 2}), DEVSIM_ERR_BAD_PARAM);
    EXPECT_EQ(dev()->led, 2u);
}

TEST_F(Protocol, UnknownCommandIsRefusedAndItsIdEchoed) {
    for (std::uint16_t id : {0x0000, 0x0002, 0x8007, 0xFFFF}) {
        Response r = exchange(command(id, 0, 0));
        EXPECT_TRUE(r.framed);
        EXPECT_EQ(r.id, id);
        EXPECT_EQ(r.code, DEVSIM_CODE_ERROR);
        EXPECT_EQ(r.param2, DEVSIM_ERR_UNKNOWN_CMD);
    }
}

// Each broken frame gets its own code, and a broken LED command never
// reaches the LED.
TEST_F(Protocol, EveryFramingFaultHasItsOwnCode) {
    struct Case {
        const char *what;
        Bytes frame;
        std::uint32_t error;
    };
    Bytes good = led_cmd(3);
    auto with = [&](std::size_t at, std::uint8_t v) {
        Bytes b = good;
        b[at] = v;
        return b;
    };
    Bytes long_len = good;
    put32(long_len, 4, 18);
    long_len[1] = sum_of(long_len);
    Bytes short_len = good;
    put32(short_len, 4, 16);
    short_len[1] = sum_of(short_len);
    Bytes truncated = command(DEVSIM_CMD_BOOTDATA, 2, 0x4000, block_data(0x4000));
    truncated.resize(100);
    Bytes no_etx = with(16, 0x00);
    no_etx[1] = sum_of(no_etx);
    Bytes no_stx = with(0, 0x12);
    no_stx[1] = sum_of(no_stx);
    Bytes oversized = command(DEVSIM_CMD_BOOTDATA, 2, 0x4000, Bytes(DEVSIM_MAX_COMMAND - 16, 0));
    const Case cases[] = {
        {"start byte", no_stx, DEVSIM_ERR_BAD_STX},
        {"checksum", with(1, static_cast<std::uint8_t>(good[1] + 1)), DEVSIM_ERR_BAD_SUM},
        {"bit flip in a parameter", with(8, 0x07), DEVSIM_ERR_BAD_SUM},
        {"len above bytes", long_len, DEVSIM_ERR_BAD_LEN},
        {"len below bytes", short_len, DEVSIM_ERR_BAD_LEN},
        {"truncated block", truncated, DEVSIM_ERR_BAD_LEN},
        {"end byte", no_etx, DEVSIM_ERR_BAD_ETX},
        {"one byte", Bytes{0x02}, DEVSIM_ERR_BAD_LEN},
        {"header only", Bytes(good.begin(), good.end() - 1), DEVSIM_ERR_BAD_LEN},
        {"over the largest command", oversized, DEVSIM_ERR_TOO_LONG},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        expect_error(c.frame, c.error);
        EXPECT_EQ(dev()->led, 0u);
    }
    // A start byte is judged before the length.
    expect_error(Bytes{0x55}, DEVSIM_ERR_BAD_STX);
    // The largest command that fits is still judged on its content.
    expect_error(command(DEVSIM_CMD_LED_SET, 1, 0, Bytes(DEVSIM_MAX_COMMAND - 17, 0)),
                 DEVSIM_ERR_BAD_PARAM);
}

TEST_F(Protocol, EmptyNullAndHugeWritesAreAnsweredNotTrusted) {
    std::uint32_t written = 77;
    ASSERT_EQ(devsim_write(dev(), nullptr, 0, &written), 1);
    EXPECT_EQ(written, 0u);
    Response r = read_answer();
    EXPECT_TRUE(r.framed);
    EXPECT_EQ(r.id, 0);
    EXPECT_EQ(r.param2, DEVSIM_ERR_BAD_LEN);

    // Null data counts as nothing, whatever length comes with it.
    ASSERT_EQ(devsim_write(dev(), nullptr, 4096, &written), 1);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(read_answer().param2, DEVSIM_ERR_BAD_LEN);

    // A length far beyond the buffer: the device must look at no more than
    // it needs to refuse it (the sanitizer catches any read past the 17
    // real bytes).
    Bytes cmd = led_cmd(2);
    ASSERT_EQ(devsim_write(dev(), cmd.data(), 0xFFFFFFFFu, &written), 1);
    EXPECT_EQ(written, 0xFFFFFFFFu);
    r = read_answer();
    EXPECT_TRUE(r.framed);
    EXPECT_EQ(r.param2, DEVSIM_ERR_TOO_LONG);
    EXPECT_EQ(dev()->led, 0u);
}

TEST_F(Protocol, RandomBytesAlwaysGetAWellFramedRefusal) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 2000; ++round) {
        Bytes junk(rng() % 600);
        for (auto &b : junk) b = static_cast<std::uint8_t>(rng());
        if (!junk.empty() && round % 2 == 0) junk[0] = 0x02;  // get past the first check
        Response r = exchange(junk);
        ASSERT_TRUE(r.framed) << "round " << round;
        ASSERT_EQ(r.raw.size(), 17u);
        ASSERT_EQ(r.code, DEVSIM_CODE_ERROR);
        ASSERT_NE(r.param2, 0u);
    }
    EXPECT_EQ(dev()->led, 0u);
    EXPECT_EQ(dev()->firm_version, DEVSIM_DEFAULT_FIRM_VERSION);
}

}  // namespace
}  // namespace devsim_test
