// SHA-256 against published vectors, JSON strings and the line check, the
// words of results and failures, and the exit decision.
#include <gtest/gtest.h>

#include <string>

#include "stn_json.h"
#include "stn_sha256.h"
#include "cli_exit.h"
#include "stn_text.h"
#include "test_json_field.h"

using test_support::field;

namespace {

std::string sha(const std::string &s) {
    return stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(s.data()), s.size());
}

}  // namespace

TEST(CliSha256, KnownVectors) {
    EXPECT_EQ(sha(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the length needs a second padding block.
    EXPECT_EQ(sha("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // 55 and 64 bytes: the edges of one padding block.
    EXPECT_EQ(sha(std::string(55, 'a')),
              "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
    EXPECT_EQ(sha(std::string(64, 'a')),
              "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
    EXPECT_EQ(sha(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(CliSha256, TheCpusExtensionsGiveThePortableDigest) {
    if (!stn_sha256_accelerated()) GTEST_SKIP() << "this CPU has no SHA extensions";
    // Every length across a few blocks and their padding edges; bytes that
    // are not text.
    std::string s;
    for (int n = 0; n < 300; ++n) {
        const auto *p = reinterpret_cast<const std::uint8_t *>(s.data());
        ASSERT_EQ(stn_sha256_hex(p, s.size()), stn_sha256_hex_portable(p, s.size())) << n;
        s.push_back(static_cast<char>(n * 151 + 17));
    }
}

TEST(StnJson, ObjectsAndTheirCheck) {
    const std::string line = StnJson("result")
                                 .num("index", 3)
                                 .num("serial", -5)
                                 .str("text", std::string("a\"b\\c\n\x01\xff", 8))
                                 .null("n")
                                 .boolean("b", true)
                                 .line();
    EXPECT_EQ(line,
              "{\"type\":\"result\",\"index\":3,\"serial\":-5,"
              "\"text\":\"a\\\"b\\\\c\\u000a\\u0001\\u00ff\",\"n\":null,\"b\":true}");
    EXPECT_TRUE(stn_json_is_object(line));

    const char *good[] = {"{}", " {\"a\":[1,-2.5e3,true,false,null,{\"b\":\"\\u00e9\"}]} ",
                          "{\"a\":0}"};
    for (const char *g : good) EXPECT_TRUE(stn_json_is_object(g)) << g;
    const char *bad[] = {"",        "[]",           "{",         "{\"a\":1",   "{\"a\":1}}",
                         "{\"a\"}", "{\"a\":01}",   "{a:1}",     "{\"a\":tru}", "{\"a\":\"x}",
                         "{\"a\":1,}", "{\"a\":\"\\q\"}", "{\"a\":-}", "{\"a\":1.}",
                         "{\"type\":\"unit\",\"index\":3,\"ser"};
    for (const char *b : bad) EXPECT_FALSE(stn_json_is_object(b)) << b;
    EXPECT_FALSE(stn_json_is_object(std::string("{\"a\":\"\0\"}", 8)));
    EXPECT_FALSE(stn_json_is_object(std::string(100, '[') + std::string(100, ']')));
}

TEST(CliText, VersionsResultsAndFailures) {
    EXPECT_EQ(stn_version_text(350), "3.50");
    EXPECT_EQ(stn_version_text(0x0041015E), "3.50A");
    EXPECT_EQ(stn_version_text(0x4142016A), "3.62AB");
    EXPECT_EQ(stn_version_text(5), "0.05");
    EXPECT_EQ(stn_version_text(0xFFFFFFFF), "No firm");

    StnUnitResult r;
    r.device.index = 3;
    r.device.serial = 84600017;
    r.identified = true;
    r.device.firm_version = 340;
    r.new_version = 362;
    r.has_new = true;
    r.ms = 12;
    r.outcome = StnOutcome::kUpdated;
    EXPECT_EQ(stn_result_text(r), "device 3 (serial 84600017): updated 3.40 -> 3.62 (12 ms)");
    r.outcome = StnOutcome::kFailed;
    r.what = "block at 0x5200 refused by the device (error 0xE004)";
    r.detail = 0xE004;
    EXPECT_EQ(stn_result_text(r),
              "device 3 (serial 84600017): block at 0x5200 refused by the device (error 0xE004) "
              "(12 ms)");
    const std::string json = stn_json_result(r);
    EXPECT_TRUE(stn_json_is_object(json)) << json;
    EXPECT_NE(json.find("\"result\":\"failed\",\"detail\":57348"), std::string::npos) << json;
    EXPECT_NE(json.find("\"old_version\":\"3.40\""), std::string::npos) << json;

    StnUnitResult unknown;
    unknown.device.index = 7;
    unknown.what = "cannot be opened (unplugged?)";
    EXPECT_EQ(stn_device_name(7, unknown), "device 7");
    const std::string report = stn_json_report(unknown, "2026-12-08T19:00:00.000Z", "ab");
    EXPECT_TRUE(stn_json_is_object(report)) << report;
    EXPECT_NE(report.find("\"serial\":null"), std::string::npos) << report;
}

TEST(CliText, ExitCodeOfARun) {
    struct Case {
        unsigned updated, current, failed, interrupted;
        int exit;
    };
    const Case cases[] = {
        {0, 0, 0, 0, kCliExitOk},     {3, 1, 0, 0, kCliExitOk},
        {0, 4, 0, 0, kCliExitOk},     {7, 0, 1, 0, kCliExitFailed},
        {0, 0, 1, 1, kCliExitInterrupted}, {1, 0, 0, 1, kCliExitInterrupted},
    };
    for (const Case &c : cases) {
        StnTotals t;
        t.updated = c.updated;
        t.current = c.current;
        t.failed = c.failed;
        t.interrupted = c.interrupted;
        EXPECT_EQ(cli_exit_code(t), c.exit);
        EXPECT_TRUE(stn_json_is_object(cli_json_summary(t, c.exit)));
    }
}

TEST(CliText, TheSummaryCountsEachOutcome) {
    StnTotals t;
    t.updated = 1;
    t.current = 2;
    t.failed = 3;
    t.interrupted = 4;
    t.rejected = 5;
    const std::string s = cli_json_summary(t, kCliExitInterrupted);
    EXPECT_EQ(field(s, "updated"), "1") << s;
    EXPECT_EQ(field(s, "current"), "2") << s;
    EXPECT_EQ(field(s, "failed"), "3") << s;
    EXPECT_EQ(field(s, "interrupted"), "4") << s;
    EXPECT_EQ(field(s, "rejected"), "5") << s;
    EXPECT_EQ(field(s, "exit"), std::to_string(kCliExitInterrupted)) << s;
}

TEST(CliText, ExitCodeOfAStationThatEnded) {
    // Lines left in the spill beat a halt, which beats a stop by Ctrl+C.
    const struct {
        bool spilled, halted;
        int exit;
    } cases[] = {
        {false, false, kCliExitInterrupted},
        {false, true, kCliExitHalted},
        {true, false, kCliExitFailed},
        {true, true, kCliExitFailed},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(cli_station_exit_code(c.spilled, c.halted), c.exit)
            << c.spilled << " " << c.halted;
    }
    EXPECT_EQ(kCliExitHalted, 7);
}
