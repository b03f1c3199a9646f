#include "stn_json.h"

#include <cstdio>

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

std::string stn_json_quote(const std::string &value) {
    std::string out = "\"";
    for (unsigned char c : value) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        }
    }
    return out + "\"";
}

namespace {

// A recursive-descent checker over [p, end); depth-limited.
class Checker {
public:
    Checker(const char *p, const char *end) : p_(p), end_(end) {}

    bool object_only() {
        blanks();
        if (!at('{') || !value(0)) return false;
        blanks();
        return p_ == end_;
    }

private:
    bool at(char c) const { return p_ < end_ && *p_ == c; }
    void blanks() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n')) ++p_;
    }
    bool word(const char *w) {
        for (; *w != '\0'; ++w, ++p_) {
            if (p_ >= end_ || *p_ != *w) return false;
        }
        return true;
    }
    bool digits() {
        const char *start = p_;
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        return p_ > start;
    }
    bool number() {
        if (at('-')) ++p_;
        if (at('0')) {
            ++p_;
        } else if (!digits()) {
            return false;
        }
        if (at('.')) {
            ++p_;
            if (!digits()) return false;
        }
        if (at('e') || at('E')) {
            ++p_;
            if (at('+') || at('-')) ++p_;
            if (!digits()) return false;
        }
        return true;
    }
    bool string() {
        if (!at('"')) return false;
        ++p_;
        while (p_ < end_) {
            const unsigned char c = static_cast<unsigned char>(*p_++);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c == '\\') {
                if (p_ >= end_) return false;
                const char e = *p_++;
                if (e == 'u') {
                    for (int i = 0; i < 4; ++i, ++p_) {
                        if (p_ >= end_) return false;
                        const char h = *p_;
                        const bool hex = (h >= '0' && h <= '9') || (h >= 'a' && h <= 'f') ||
                                         (h >= 'A' && h <= 'F');
                        if (!hex) return false;
                    }
                } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
                    return false;
                }
            }
        }
        return false;
    }
    bool value(int depth) {
        if (depth > 64) return false;
        blanks();
        if (p_ >= end_) return false;
        if (at('{') || at('[')) {
            const char close = *p_ == '{' ? '}' : ']';
            const bool obj = close == '}';
            ++p_;
            blanks();
            if (at(close)) {
                ++p_;
                return true;
            }
            for (;;) {
                if (obj) {
                    blanks();
                    if (!string()) return false;
                    blanks();
                    if (!at(':')) return false;
                    ++p_;
                }
                if (!value(depth + 1)) return false;
                blanks();
                if (at(',')) {
                    ++p_;
                    continue;
                }
                if (!at(close)) return false;
                ++p_;
                return true;
            }
        }
        if (at('"')) return string();
        if (at('t')) return word("true");
        if (at('f')) return word("false");
        if (at('n')) return word("null");
        return number();
    }

    const char *p_;
    const char *end_;
};

}  // namespace

bool stn_json_is_object(const std::string &text) {
    return Checker(text.data(), text.data() + text.size()).object_only();
}
