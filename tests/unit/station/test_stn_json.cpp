// JSON string literals of untrusted bytes: UTF-8 becomes its code points,
// anything else a byte escape, and the result is always one valid literal.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "stn_json.h"

#include <string>
#include <vector>

TEST(StnJson, QuotesUtf8AsCodePointsAndOtherBytesOneByOne) {
    struct Case {
        std::string in;
        const char *out;
    };
    const Case cases[] = {
        {"Pr\xC3\xBC" "fstand 2", "\"Pr\\u00fcfstand 2\""},      // two bytes
        {"\xE2\x82\xAC", "\"\\u20ac\""},                          // three
        {"\xF0\x9F\x98\x80", "\"\\ud83d\\ude00\""},               // four: a surrogate pair
        {"\xC3", "\"\\u00c3\""},                                  // cut short at the end
        {"\xC3x", "\"\\u00c3x\""},                                // cut short by ASCII
        {"\xC0\x80", "\"\\u00c0\\u0080\""},                       // overlong
        {"\xED\xA0\x80", "\"\\u00ed\\u00a0\\u0080\""},            // a surrogate's bytes
        {"\xF4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""}, // beyond U+10FFFF
        {std::string("\x7F\0", 2), "\"\\u007f\\u0000\""},
    };
    for (const Case &c : cases) {
        const std::string q = stn_json_quote(c.in);
        EXPECT_EQ(q, c.out);
        EXPECT_TRUE(stn_json_is_object("{\"a\":" + q + "}")) << q;
    }
    // Raw UTF-8 inside a line is valid JSON; bytes that are not UTF-8 are not.
    EXPECT_TRUE(stn_json_is_object("{\"a\":\"Pr\xC3\xBC" "f\"}"));
    EXPECT_FALSE(stn_json_is_object("{\"a\":\"\xFF\"}"));
    EXPECT_FALSE(stn_json_is_object("{\"a\":\"\\ud800\"}"));  // a lone surrogate
}

TEST(StnJson, RealAndRawFields) {
    EXPECT_EQ(StnJson("report").real("y", 0.81818, 4).real("h", 42.0, 1).raw("s", "[1,2]").line(),
              "{\"type\":\"report\",\"y\":0.8182,\"h\":42.0,\"s\":[1,2]}");
}

namespace {

// Every member as "key=kind:value".
class Members : public StnJsonMembers {
public:
    std::vector<std::string> seen;
    void member(std::string_view key, const StnJsonScalar &v) override {
        std::string value;
        switch (v.kind) {
        case StnJsonScalar::kString: value = "s:" + std::string(v.text); break;
        case StnJsonScalar::kUnsigned: value = "u:" + std::to_string(v.u); break;
        case StnJsonScalar::kNegative: value = "i:" + std::to_string(v.i); break;
        case StnJsonScalar::kReal: value = "real"; break;
        case StnJsonScalar::kTrue: value = "true"; break;
        case StnJsonScalar::kFalse: value = "false"; break;
        default: value = "null"; break;
        }
        seen.push_back(std::string(key) + "=" + value);
    }
};

}  // namespace

TEST(StnJson, TheFlatReadHandsOverEachMemberDecoded) {
    struct Case {
        std::string text;
        StnJsonFlat result;
        std::vector<std::string> members;  // when kOk
    };
    const Case cases[] = {
        {"{\"type\":\"unit\",\"id\":7,\"serial\":-3,\"x\":null,\"ok\":true,\"no\":false}",
         StnJsonFlat::kOk,
         {"type=s:unit", "id=u:7", "serial=i:-3", "x=null", "ok=true", "no=false"}},
        {"\xEF\xBB\xBF { \"\\u0074ype\" : \"a\\\"b\\\\c\\u00e9\" } ", StnJsonFlat::kOk,
         {"type=s:a\"b\\c\xC3\xA9"}},
        {"{\"a\":18446744073709551615,\"b\":18446744073709551616,\"c\":-9223372036854775808,"
         "\"d\":-9223372036854775809,\"e\":-0,\"f\":1.0,\"g\":2e3}",
         StnJsonFlat::kOk,
         {"a=u:18446744073709551615", "b=real", "c=i:-9223372036854775808", "d=real", "e=i:0",
          "f=real", "g=real"}},
        {"{\"a\":1,\"a\":2}", StnJsonFlat::kOk, {"a=u:1", "a=u:2"}},
        {"{}", StnJsonFlat::kOk, {}},
        // What follows a NUL byte is not read, as a full parse has it.
        {std::string("{\"a\":1} \0x}", 11), StnJsonFlat::kOk, {"a=u:1"}},
        {std::string("{\"a\":\0}", 7), StnJsonFlat::kInvalid, {}},
        {"{\"a\":[1]}", StnJsonFlat::kNested, {}},
        {"{\"a\":{}}", StnJsonFlat::kNested, {}},
        {"{\"a\":1,}", StnJsonFlat::kInvalid, {}},
        {"{\"a\" 1}", StnJsonFlat::kInvalid, {}},
        {"{\"a\":1}}", StnJsonFlat::kInvalid, {}},
        {"[]", StnJsonFlat::kInvalid, {}},
        {"{\"a\":\"\\ud83d\"}", StnJsonFlat::kInvalid, {}},
        {"{\"a\":\"\xC3\"}", StnJsonFlat::kInvalid, {}},
        {"{\"a\":+1}", StnJsonFlat::kInvalid, {}},
    };
    for (const Case &c : cases) {
        Members m;
        const StnJsonFlat r = stn_json_read_flat(c.text, &m);
        EXPECT_EQ(r, c.result) << c.text;
        if (r == StnJsonFlat::kOk) {
            EXPECT_EQ(m.seen, c.members) << c.text;
        }
        // What it accepts is exactly one JSON object.
        if (r != StnJsonFlat::kNested) {
            EXPECT_EQ(r == StnJsonFlat::kOk,
                      nlohmann::json::parse(c.text, nullptr, false).is_object())
                << c.text;
        }
    }
}
