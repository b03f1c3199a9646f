// JSON Lines: one object per line, built field by field, and a check that a
// line is one well-formed JSON object. Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One JSON object; fields appear in the order they are added.
class StnJson {
public:
    // {"type":"<type>" ...
    explicit StnJson(const char *type);
    StnJson &str(const char *key, const std::string &value);
    StnJson &num(const char *key, std::int64_t value);
    // value with that many digits after the point (finite values only).
    StnJson &real(const char *key, double value, int decimals);
    StnJson &boolean(const char *key, bool value);
    StnJson &null(const char *key);
    // json is put as it is: the caller makes it one JSON value (an array,
    // an object).
    StnJson &raw(const char *key, const std::string &json);
    // The object's text, without a line end.
    std::string line() const { return text_ + "}"; }

private:
    void key(const char *k);
    std::string text_;
};

// value as a JSON string literal, in printable ASCII: quotes and
// backslashes escaped, UTF-8 sequences as \uXXXX (surrogate pairs beyond
// U+FFFF), every other byte outside printable ASCII as \u00XX. Device texts
// are untrusted bytes: any input gives a valid literal.
std::string stn_json_quote(const std::string &value);

// The code point of the UTF-8 sequence of 2..4 bytes at p (left bytes
// there) and its length, or 0 when the bytes there are not one (overlong,
// a surrogate, cut short, or a single byte).
std::size_t stn_utf8_sequence(const unsigned char *p, std::size_t left, std::uint32_t *cp);

// Whether text is exactly one JSON object (RFC 8259; strings in UTF-8),
// with nothing after it but blanks. Never throws.
bool stn_json_is_object(const std::string &text);
