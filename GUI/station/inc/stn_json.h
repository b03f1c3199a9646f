// JSON Lines: one object per line, built field by field, and a check that a
// line is one well-formed JSON object. Pure; any thread.
#pragma once

#include <cstdint>
#include <string>

// One JSON object; fields appear in the order they are added.
class StnJson {
public:
    // {"type":"<type>" ...
    explicit StnJson(const char *type);
    StnJson &str(const char *key, const std::string &value);
    StnJson &num(const char *key, std::int64_t value);
    StnJson &boolean(const char *key, bool value);
    StnJson &null(const char *key);
    // The object's text, without a line end.
    std::string line() const { return text_ + "}"; }

private:
    void key(const char *k);
    std::string text_;
};

// value as a JSON string literal: quotes, escapes, and every byte outside
// printable ASCII as \u00XX (device texts are untrusted bytes).
std::string stn_json_quote(const std::string &value);

// Whether text is exactly one JSON object (RFC 8259), with nothing after it
// but blanks.
bool stn_json_is_object(const std::string &text);
