#include "stn_fields.h"

#include <cstring>
#include <vector>

#include <nlohmann/json.hpp>

#include "stn_json_parse.h"

#include "stn_json.h"
#include "stn_lines.h"

namespace {

using Json = nlohmann::json;

// A literal at the start of s, compared inline: MinGW's C runtime would
// compare byte by byte in memcmp for every line of an open.
template <std::size_t N>
bool begins(std::string_view s, const char (&prefix)[N]) {
    return s.size() >= N - 1 && std::memcmp(s.data(), prefix, N - 1) == 0;
}

// The key's index, or -1 for a member no reader looks at.
int key_of(std::string_view key) {
    static constexpr std::string_view kNames[StnLineFields::kKeys] = {
        "type", "time", "id", "index", "serial", "old_version", "new_version",
        "result", "failure", "message", "detail", "ms", "recovered", "event",
        "operator", "order", "station", "utc_offset", "was"};
    // Most members of a line are looked up: the names by length first.
    static const struct ByLength {
        std::vector<int> of[12];
        ByLength() {
            for (int k = 0; k < StnLineFields::kKeys; ++k) of[kNames[k].size()].push_back(k);
        }
    } kByLength;
    if (key.size() >= 12) return -1;
    for (int k : kByLength.of[key.size()]) {
        if (key == kNames[k]) return k;
    }
    return -1;
}

}  // namespace

bool operator==(const StnLineHead &a, const StnLineHead &b) {
    return a.type == b.type && a.id == b.id;
}

bool stn_line_head_scan(std::string_view line, StnLineHead *h) {
    static constexpr char kUnit[] = "{\"type\":\"unit\",\"time\":\"";
    static constexpr char kStart[] = "{\"type\":\"start\",\"time\":\"";
    static constexpr char kId[] = ",\"id\":";
    line = stn_without_cr(line);
    if (line.empty() || line.back() != '}') return false;
    if (begins(line, kUnit)) {
        h->type = StnLineHead::kUnit;
        line.remove_prefix(sizeof kUnit - 1);
    } else if (begins(line, kStart)) {
        h->type = StnLineHead::kStart;
        line.remove_prefix(sizeof kStart - 1);
    } else {
        return false;
    }
    // The time: plain bytes up to its closing quote.
    const std::size_t at = stn_json_plain_run(line);
    if (at == line.size() || line[at] != '"' || !begins(line.substr(at + 1), kId)) return false;
    line.remove_prefix(at + sizeof kId);
    // At most 19 digits: always within 64 bits; longer ones are parsed.
    std::uint64_t id = 0;
    std::size_t n = 0;
    for (; n < line.size() && n < 20 && line[n] >= '0' && line[n] <= '9'; ++n) {
        id = id * 10 + static_cast<unsigned>(line[n] - '0');
    }
    if (n == 0 || n > 19 || (n > 1 && line[0] == '0') || n == line.size() ||
        (line[n] != ',' && line[n] != '}')) {
        return false;
    }
    h->id = id;
    return true;
}

StnLineHead stn_line_head_parsed(std::string_view line) {
    StnLineHead h;
    const Json j = stn_json_parse_object(line);
    if (j.is_discarded()) return h;
    const auto t = j.find("type");
    const std::string type = t != j.end() && t->is_string() ? t->get<std::string>() : "";
    h.type = type == "start" ? StnLineHead::kStart
             : type == "unit" ? StnLineHead::kUnit
                              : StnLineHead::kOther;
    const auto id = j.find("id");
    if (id != j.end() && id->is_number_unsigned()) h.id = id->get<std::uint64_t>();
    return h;
}

StnLineHead stn_line_head(std::string_view line) {
    StnLineHead h;
    if (stn_line_head_scan(line, &h)) return h;
    return stn_line_head_parsed(line);
}

// The flat scan's members into the values.
class StnLineFields::Scan : public StnJsonMembers {
public:
    explicit Scan(StnLineFields *f) : f_(f) {}
    void member(std::string_view key, const StnJsonScalar &s) override {
        const int k = key_of(key);
        if (k < 0) return;
        Value &v = f_->values_[k];
        const std::string_view line = f_->line_;
        switch (s.kind) {
        case StnJsonScalar::kString:
            v.kind = Value::kString;
            if (s.text.data() >= line.data() && s.text.data() <= line.data() + line.size()) {
                v.text = s.text;
            } else {
                v.own.assign(s.text.data(), s.text.size());
                v.text = v.own;
            }
            break;
        case StnJsonScalar::kUnsigned:
            v.kind = Value::kUnsigned;
            v.u = s.u;
            break;
        case StnJsonScalar::kNegative:
            v.kind = Value::kNegative;
            v.i = s.i;
            break;
        case StnJsonScalar::kTrue:
            v.kind = Value::kTrue;
            break;
        default:
            v.kind = Value::kOther;
            break;
        }
    }

private:
    StnLineFields *f_;
};

void StnLineFields::clear() {
    for (Value &v : values_) v.kind = Value::kAbsent;
}

bool StnLineFields::read(std::string_view line) {
    line_ = stn_without_cr(line);
    clear();
    Scan scan(this);
    switch (stn_json_read_flat(line_, &scan)) {
    case StnJsonFlat::kOk:
        return true;
    case StnJsonFlat::kNested:
        return read_parsed(line_);
    default:
        clear();
        return false;
    }
}

bool StnLineFields::read_parsed(std::string_view line) {
    line_ = stn_without_cr(line);
    clear();
    const Json obj = stn_json_parse_object(line_);
    if (obj.is_discarded()) return false;
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        const int k = key_of(it.key());
        if (k < 0) continue;
        Value &v = values_[k];
        const Json &j = it.value();
        if (j.is_string()) {
            v.kind = Value::kString;
            v.own = j.get<std::string>();
            v.text = v.own;
        } else if (j.is_number_unsigned()) {
            v.kind = Value::kUnsigned;
            v.u = j.get<std::uint64_t>();
        } else if (j.is_number_integer()) {
            v.kind = Value::kNegative;
            v.i = j.get<std::int64_t>();
        } else if (j.is_boolean() && j.get<bool>()) {
            v.kind = Value::kTrue;
        } else {
            v.kind = Value::kOther;
        }
    }
    return true;
}

bool StnLineFields::count(Key k, std::uint64_t *out) const {
    const Value &v = values_[k];
    if (v.kind == Value::kUnsigned) {
        *out = v.u;
        return true;
    }
    if (v.kind != Value::kNegative || v.i < 0) return false;
    *out = static_cast<std::uint64_t>(v.i);
    return true;
}
