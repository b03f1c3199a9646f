// The writer stays small and hand-made (fields in the order added, one
// string append each: faster than building a library value per line); the
// check is nlohmann-json's.
#include "stn_json.h"

#include <cstdio>

#include <nlohmann/json.hpp>

StnJson::StnJson(const char *type) : text_("{\"type\":" + stn_json_quote(type)) {}

void StnJson::key(const char *k) {
    text_ += ',';
    text_ += stn_json_quote(k);
    text_ += ':';
}

StnJson &StnJson::str(const char *k, const std::string &value) {
    key(k);
    text_ += stn_json_quote(value);
    return *this;
}

StnJson &StnJson::num(const char *k, std::int64_t value) {
    key(k);
    text_ += std::to_string(value);
    return *this;
}

StnJson &StnJson::real(const char *k, double value, int decimals) {
    key(k);
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%.*f", decimals, value);
    text_ += buf;
    return *this;
}

StnJson &StnJson::boolean(const char *k, bool value) {
    key(k);
    text_ += value ? "true" : "false";
    return *this;
}

StnJson &StnJson::null(const char *k) {
    key(k);
    text_ += "null";
    return *this;
}

StnJson &StnJson::raw(const char *k, const std::string &json) {
    key(k);
    text_ += json;
    return *this;
}

std::size_t stn_utf8_sequence(const unsigned char *p, std::size_t left, std::uint32_t *cp) {
    std::size_t n = 0;
    std::uint32_t v = 0, min = 0;
    if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        n = 2, v = p[0] & 0x1Fu, min = 0x80;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        n = 3, v = p[0] & 0x0Fu, min = 0x800;
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        n = 4, v = p[0] & 0x07u, min = 0x10000;
    } else {
        return 0;
    }
    if (left < n) return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0u) != 0x80u) return 0;
        v = (v << 6) | (p[i] & 0x3Fu);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return n;
}

namespace {

void escape(std::string *out, std::uint32_t unit) {
    char buf[8];
    std::snprintf(buf, sizeof(buf), "\\u%04x", static_cast<unsigned>(unit));
    *out += buf;
}

}  // namespace

std::string stn_json_quote(const std::string &value) {
    std::string out;
    out.reserve(value.size() + 2);
    out += '"';
    const auto *p = reinterpret_cast<const unsigned char *>(value.data());
    const std::size_t size = value.size();
    for (std::size_t i = 0; i < size;) {
        const unsigned char c = p[i];
        if (c >= 0x20 && c < 0x7F) {
            if (c == '"' || c == '\\') out += '\\';
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        std::uint32_t cp = 0;
        const std::size_t n = c >= 0x80 ? stn_utf8_sequence(p + i, size - i, &cp) : 0;
        if (n == 0) {
            escape(&out, c);  // a control byte, or a byte that is not UTF-8
            ++i;
        } else if (cp < 0x10000) {
            escape(&out, cp);
            i += n;
        } else {
            escape(&out, 0xD800 + ((cp - 0x10000) >> 10));
            escape(&out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
            i += n;
        }
    }
    out += '"';
    return out;
}

bool stn_json_is_object(const std::string &text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || text[first] != '{') return false;
    return nlohmann::json::accept(text);
}
