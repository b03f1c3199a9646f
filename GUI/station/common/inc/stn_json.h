// JSON Lines: one object per line, built field by field, and a check that a
// line is one well-formed JSON object. Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// value with that many digits after the point, as StnJson::real writes it.
std::string stn_decimal(double value, int decimals);

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

// How many bytes at the start of s stand for themselves inside a JSON
// string: printable ASCII but the quote and the backslash.
std::size_t stn_json_plain_run(std::string_view s);

// One member's value in a flat JSON object (stn_json_read_flat).
struct StnJsonScalar {
    enum Kind { kNull, kFalse, kTrue, kString, kUnsigned, kNegative, kReal };
    Kind kind = kNull;
    std::string_view text;  // kString: decoded (UTF-8); valid during the callback only
    std::uint64_t u = 0;    // kUnsigned: a whole number >= 0 that fits
    std::int64_t i = 0;     // kNegative: a whole number written with '-' that fits
};                          // kReal: any other number (a fraction, an exponent, too large)

class StnJsonMembers {
public:
    virtual ~StnJsonMembers() = default;
    // key decoded; both views are valid during the call only.
    virtual void member(std::string_view key, const StnJsonScalar &value) = 0;
};

enum class StnJsonFlat {
    kOk,       // one object, every member seen
    kNested,   // a member's value is an array or an object: read it in full instead
    kInvalid,  // not one JSON object
};

// Reads text as one JSON object whose values are scalars, handing each
// member to out in the order written (a name written twice comes twice: the
// last counts, as a full parse keeps it). It accepts and rejects exactly
// what nlohmann-json's parse does (RFC 8259, strings in UTF-8, a UTF-8 byte
// order mark first, blanks around, and its end at a NUL byte between
// tokens), a byte scan with no value built: the
// report reader's fast path. Members handed over before a kNested or
// kInvalid answer are to be dropped. Never throws.
StnJsonFlat stn_json_read_flat(std::string_view text, StnJsonMembers *out);
