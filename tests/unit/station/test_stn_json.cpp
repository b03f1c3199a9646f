// JSON string literals of untrusted bytes: UTF-8 becomes its code points,
// anything else a byte escape, and the result is always one valid literal.
#include <gtest/gtest.h>

#include "stn_json.h"

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
