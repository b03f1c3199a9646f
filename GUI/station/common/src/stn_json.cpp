// The writer stays small and hand-made (fields in the order added, one
// string append each: faster than building a library value per line); the
// check is nlohmann-json's.
#include "stn_json.h"

#include <cstdio>
#include <cstring>

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

std::string stn_decimal(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%.*f", decimals, value);
    return buf;
}

StnJson &StnJson::real(const char *k, double value, int decimals) {
    key(k);
    text_ += stn_decimal(value, decimals);
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
    // A UTF-8 byte order mark may come first (an editor's), as the parse allows.
    const std::size_t bom = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    const std::size_t first = text.find_first_not_of(" \t\r\n", bom);
    if (first == std::string::npos || text[first] != '{') return false;
    return nlohmann::json::accept(text);
}

namespace {

using Byte = unsigned char;

void skip_blanks(const Byte *&p, const Byte *end) {
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
}

void put_utf8(std::string *out, std::uint32_t cp) {
    if (cp < 0x80) {
        *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out += static_cast<char>(0xC0 | (cp >> 6));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += static_cast<char>(0xE0 | (cp >> 12));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (cp >> 18));
        *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Four hex digits after "\u".
bool hex4(const Byte *&p, const Byte *end, std::uint32_t *v) {
    if (end - p < 4) return false;
    *v = 0;
    for (int k = 0; k < 4; ++k, ++p) {
        const Byte c = *p;
        std::uint32_t d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return false;
        }
        *v = *v << 4 | d;
    }
    return true;
}

// Whether one of the 8 bytes of w ends a run of plain string bytes: a
// control byte, a quote, a backslash or a byte above 0x7F.
bool special8(std::uint64_t w) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    const auto has_zero = [](std::uint64_t x) { return ((x - kOnes) & ~x & kHighs) != 0; };
    return (w & kHighs) != 0 || ((w - kOnes * 0x20) & ~w & kHighs) != 0 ||
           has_zero(w ^ (kOnes * '"')) || has_zero(w ^ (kOnes * '\\'));
}

// Bytes that stand for themselves in a string: printable ASCII but the
// quote and the backslash (a table: one look per byte).
struct PlainBytes {
    bool is[256] = {};
    PlainBytes() {
        for (int c = 0x20; c < 0x80; ++c) is[c] = c != '"' && c != '\\';
    }
};
const PlainBytes kPlain;

bool plain(Byte c) { return kPlain.is[c]; }

// The escape whose backslash is at q, decoded onto *scratch; q moves past it.
bool read_escape(const Byte *&q, const Byte *end, std::string *scratch) {
    if (++q >= end) return false;  // the escape
    const Byte e = *q++;
    switch (e) {
    case '"': case '\\': case '/':
        *scratch += static_cast<char>(e);
        break;
    case 'b': *scratch += '\b'; break;
    case 'f': *scratch += '\f'; break;
    case 'n': *scratch += '\n'; break;
    case 'r': *scratch += '\r'; break;
    case 't': *scratch += '\t'; break;
    case 'u': {
        std::uint32_t cp = 0, low = 0;
        if (!hex4(q, end, &cp) || (cp >= 0xDC00 && cp <= 0xDFFF)) return false;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (end - q < 2 || q[0] != '\\' || q[1] != 'u') return false;
            q += 2;
            if (!hex4(q, end, &low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        put_utf8(scratch, cp);
        break;
    }
    default:
        return false;
    }
    return true;
}

// The string whose opening quote is behind p; *out is a view of the input
// when nothing in it needs decoding, else of *scratch.
bool read_string(const Byte *&p, const Byte *end, std::string *scratch, std::string_view *out) {
    const Byte *const from = p;
    const Byte *q = p + stn_json_plain_run(std::string_view(
                            reinterpret_cast<const char *>(p), static_cast<std::size_t>(end - p)));
    if (q < end && *q == '"') {
        *out = std::string_view(reinterpret_cast<const char *>(from),
                                static_cast<std::size_t>(q - from));
        p = q + 1;
        return true;
    }
    scratch->assign(reinterpret_cast<const char *>(from), static_cast<std::size_t>(q - from));
    for (;;) {
        if (q >= end) return false;
        const Byte c = *q;
        if (c == '"') {
            p = q + 1;
            *out = *scratch;
            return true;
        }
        if (c < 0x20) return false;
        if (c < 0x80 && c != '\\') {
            *scratch += static_cast<char>(c);
            ++q;
            continue;
        }
        if (c >= 0x80) {
            std::uint32_t cp = 0;
            const std::size_t n = stn_utf8_sequence(q, static_cast<std::size_t>(end - q), &cp);
            if (n == 0) return false;
            scratch->append(reinterpret_cast<const char *>(q), n);
            q += n;
            continue;
        }
        if (!read_escape(q, end, scratch)) return false;
    }
}

bool digit(const Byte *p, const Byte *end) { return p < end && *p >= '0' && *p <= '9'; }

// A number at p (JSON's grammar), classified as a full parse stores it.
bool read_number(const Byte *&p, const Byte *end, StnJsonScalar *v) {
    const bool negative = *p == '-';
    if (negative) ++p;
    const Byte *digits = p;
    if (!digit(p, end)) return false;
    if (*p == '0') {
        ++p;
    } else {
        while (digit(p, end)) ++p;
    }
    const Byte *digits_end = p;
    bool whole = true;
    if (p < end && *p == '.') {
        ++p;
        if (!digit(p, end)) return false;
        while (digit(p, end)) ++p;
        whole = false;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-')) ++p;
        if (!digit(p, end)) return false;
        while (digit(p, end)) ++p;
        whole = false;
    }
    v->kind = StnJsonScalar::kReal;
    if (!whole) return true;
    std::uint64_t n = 0;
    constexpr std::uint64_t kTenth = UINT64_MAX / 10;  // 1844674407370955161, then at most 5
    for (const Byte *d = digits; d < digits_end; ++d) {
        const unsigned k = *d - '0';
        // Too large: a real, as a full parse has it.
        if (n > kTenth || (n == kTenth && k > UINT64_MAX % 10)) return true;
        n = n * 10 + k;
    }
    if (!negative) {
        v->kind = StnJsonScalar::kUnsigned;
        v->u = n;
    } else if (n <= static_cast<std::uint64_t>(INT64_MAX) + 1) {
        v->kind = StnJsonScalar::kNegative;
        v->i = n == static_cast<std::uint64_t>(INT64_MAX) + 1 ? INT64_MIN
                                                               : -static_cast<std::int64_t>(n);
    }
    return true;
}

bool literal(const Byte *&p, const Byte *end, const char *word) {
    const std::size_t n = std::strlen(word);
    if (static_cast<std::size_t>(end - p) < n || std::memcmp(p, word, n) != 0) return false;
    p += n;
    return true;
}

// The value at p (not at the end), into *v; kNested for an array or an object.
StnJsonFlat read_scalar(const Byte *&p, const Byte *end, std::string *scratch, StnJsonScalar *v) {
    bool ok = true;
    switch (*p) {
    case '"':
        ++p;
        v->kind = StnJsonScalar::kString;
        ok = read_string(p, end, scratch, &v->text);
        break;
    case 't':
        v->kind = StnJsonScalar::kTrue;
        ok = literal(p, end, "true");
        break;
    case 'f':
        v->kind = StnJsonScalar::kFalse;
        ok = literal(p, end, "false");
        break;
    case 'n':
        ok = literal(p, end, "null");
        break;
    case '[':
    case '{':
        return StnJsonFlat::kNested;
    default:
        ok = (*p == '-' || (*p >= '0' && *p <= '9')) && read_number(p, end, v);
        break;
    }
    return ok ? StnJsonFlat::kOk : StnJsonFlat::kInvalid;
}

}  // namespace

std::size_t stn_json_plain_run(std::string_view s) {
    const Byte *const from = reinterpret_cast<const Byte *>(s.data());
    const Byte *const end = from + s.size();
    const Byte *q = from;
    // Eight plain bytes at a time: most of a report line is such bytes.
    while (end - q >= 8) {
        std::uint64_t w;
        std::memcpy(&w, q, 8);
        if (special8(w)) break;
        q += 8;
    }
    while (q < end && plain(*q)) ++q;
    return static_cast<std::size_t>(q - from);
}

StnJsonFlat stn_json_read_flat(std::string_view text, StnJsonMembers *out) {
    const Byte *p = reinterpret_cast<const Byte *>(text.data());
    const Byte *const end = p + text.size();
    if (end - p >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) p += 3;
    skip_blanks(p, end);
    if (p >= end || *p != '{') return StnJsonFlat::kInvalid;
    ++p;
    skip_blanks(p, end);
    std::string key_scratch, value_scratch;
    if (p < end && *p == '}') {
        ++p;
    } else {
        for (;;) {
            std::string_view key;
            if (p >= end || *p != '"') return StnJsonFlat::kInvalid;
            ++p;
            if (!read_string(p, end, &key_scratch, &key)) return StnJsonFlat::kInvalid;
            skip_blanks(p, end);
            if (p >= end || *p != ':') return StnJsonFlat::kInvalid;
            ++p;
            skip_blanks(p, end);
            if (p >= end) return StnJsonFlat::kInvalid;
            StnJsonScalar v;
            const StnJsonFlat got = read_scalar(p, end, &value_scratch, &v);
            if (got != StnJsonFlat::kOk) return got;
            out->member(key, v);
            skip_blanks(p, end);
            if (p < end && *p == ',') {
                ++p;
                skip_blanks(p, end);
                continue;
            }
            if (p < end && *p == '}') {
                ++p;
                break;
            }
            return StnJsonFlat::kInvalid;
        }
    }
    skip_blanks(p, end);
    // nlohmann-json takes a NUL byte between tokens for the end of the
    // input (a power cut can leave zeros behind a line): so does this.
    return p == end || *p == '\0' ? StnJsonFlat::kOk : StnJsonFlat::kInvalid;
}
