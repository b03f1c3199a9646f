#include "stn_chain.h"

#include <cstring>

#include "stn_json.h"
#include "stn_lines.h"
#include "stn_sha256.h"

const char kStnEmptySha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

namespace {

constexpr char kSeqKey[] = ",\"seq\":";
constexpr char kPrevKey[] = ",\"prev\":\"";
constexpr char kCutKey[] = ",\"cut\":{";

// The chain fields of a line as our writer lays them out at its end. A
// quote inside a JSON string is escaped, so ,"seq": outside our fields
// cannot be mistaken for them.
struct Fields {
    bool found = false;
    std::size_t at = 0;  // where they begin
    std::uint64_t seq = 0;
    std::string_view prev;  // within the line
    bool cut = false;       // it carries a cut
    bool cut_ok = false;    // ... of the writer's form
};

// digits (1 to 19 of them) at p, as a number; false when none.
bool number_at(std::string_view s, std::size_t *p, std::uint64_t *out) {
    const std::size_t from = *p;
    std::uint64_t v = 0;
    while (*p < s.size() && s[*p] >= '0' && s[*p] <= '9' && *p - from < 19) {
        v = v * 10 + static_cast<std::uint64_t>(s[*p] - '0');
        ++*p;
    }
    *out = v;
    return *p != from;
}

bool lower_hex(std::string_view s) {
    for (char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// A cut as stn_chain_line writes it: {"bytes":N,"sha256":"<64 hex>"}} to
// the line's end, N at least 1 (an open cuts only when there is a tail).
bool cut_form(std::string_view rest) {
    static constexpr std::string_view kBytes = "{\"bytes\":", kSha = ",\"sha256\":\"";
    if (rest.substr(0, kBytes.size()) != kBytes) return false;
    std::size_t p = kBytes.size();
    std::uint64_t bytes = 0;
    if (!number_at(rest, &p, &bytes) || bytes == 0 || rest.substr(p, kSha.size()) != kSha) {
        return false;
    }
    p += kSha.size();
    return rest.size() == p + 64 + 3 && lower_hex(rest.substr(p, 64)) &&
           rest.substr(p + 64) == "\"}}";
}

Fields chain_fields(std::string_view line) {
    Fields f;
    const std::size_t at = line.rfind(kSeqKey);
    if (at == std::string::npos) return f;
    std::size_t p = at + std::strlen(kSeqKey);
    std::uint64_t seq = 0;
    if (!number_at(line, &p, &seq) || line.compare(p, std::strlen(kPrevKey), kPrevKey) != 0) {
        return f;
    }
    p += std::strlen(kPrevKey);
    const std::size_t close = line.find('"', p);
    if (close == std::string::npos || close - p != 64) return f;
    const std::string_view rest = line.substr(close + 1);
    if (rest != "}" && rest.substr(0, std::strlen(kCutKey)) != kCutKey) return f;
    f.found = true;
    f.at = at;
    f.seq = seq;
    f.prev = line.substr(p, 64);
    f.cut = rest != "}";
    f.cut_ok = f.cut && cut_form(rest.substr(std::strlen(kCutKey) - 1));
    return f;
}

// The unit id a line carries, for people ("" when none).
std::string id_of(std::string_view line) {
    const std::size_t at = line.find("\"id\":");
    if (at == std::string::npos) return std::string();
    std::size_t end = at + 5;
    while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
    return std::string(line.substr(at + 5, end - at - 5));
}

}  // namespace

std::string stn_line_sha256(const std::string &line) {
    const std::string_view l = stn_without_cr(line);
    return stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(l.data()), l.size());
}

std::string stn_chain_line(const std::string &body, std::uint64_t seq, const std::string &prev,
                           const StnCut *cut) {
    std::string line = body.substr(0, body.size() - 1);  // without its closing brace
    line += kSeqKey + std::to_string(seq) + kPrevKey + prev + "\"";
    if (cut != nullptr) {
        line += std::string(kCutKey) + "\"bytes\":" + std::to_string(cut->bytes) +
                ",\"sha256\":\"" + cut->sha256 + "\"}";
    }
    return line + "}";
}

std::string stn_chain_body(const std::string &line) {
    const std::string_view l = stn_without_cr(line);
    const Fields f = chain_fields(l);
    return f.found ? std::string(l.substr(0, f.at)) + "}" : line;
}

void StnChainCheck::feed(std::string_view line) {
    const std::string_view l = stn_without_cr(line);
    before_last_ = all_;
    last_.assign(l.data(), l.size());
    State &s = all_;
    ++s.lines;
    const Fields f = chain_fields(l);
    if (s.broken_at == 0) {
        const std::string k = std::to_string(s.lines);
        const std::string before = std::to_string(s.lines - 1);
        if (!f.found) {
            if (s.chained != 0) {
                s.broken_at = s.lines;
                s.unchained_after = true;
                s.why = "line " + k + " carries no chain after chained lines (added by hand?)";
            }
        } else if (f.seq != s.lines) {
            s.broken_at = s.lines;
            s.why = "its seq is " + std::to_string(f.seq) + ", not " + k + ": " +
                    (f.seq > s.lines ? "lines were removed there, or a later line was moved there"
                                     : "lines were inserted there, or an earlier line was moved "
                                       "there");
        } else if (f.prev != s.prev_hash) {
            s.broken_at = s.lines;
            s.why = s.lines == 1 ? "line 1 was changed"
                                 : "line " + before +
                                       " was changed, or lines were removed or inserted there";
        } else if (f.cut && !f.cut_ok) {
            s.broken_at = s.lines;
            s.why = "line " + k + "'s cut is not as the station writes one (changed?)";
        }
        if (s.broken_at == s.lines && !s.unchained_after) {
            const std::string id = id_of(l);
            s.why = (s.lines == 1 ? "at line 1" : "between lines " + before + " and " + k) +
                    (id.empty() ? std::string() : " (id " + id + ")") + ": " + s.why;
        }
    }
    if (f.found) {
        if (s.first_chained == 0) s.first_chained = s.lines;
        ++s.chained;
    }
    if (f.cut_ok) ++s.cuts;
    stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(l.data()), l.size(), &s.prev_hash);
}

bool StnChainCheck::torn_tail() const {
    // As the open judges the last whole line.
    return !last_.empty() && !stn_json_is_object(last_);
}

std::string StnChainCheck::verdict() const {
    const State &s = judged();
    std::string v;
    if (s.chained == 0) {
        v = "not chained: no line carries the chain";
    } else if (s.unchained_after) {
        v = "not chained: " + s.why;
    } else if (s.broken_at != 0) {
        v = "chain broken " + s.why;
    } else {
        v = "chain intact: " + std::to_string(s.lines) + " lines";
        if (unchained_before() != 0) {
            v += " (the first " + std::to_string(unchained_before()) +
                 " written before lines were chained)";
        }
        // The file no longer holds those bytes: only their record is checked.
        if (s.cuts != 0) {
            v += "; " + std::to_string(s.cuts) +
                 (s.cuts == 1 ? " torn tail was" : " torn tails were") +
                 " set aside (FILE.torn holds the bytes; their length and SHA-256 are in the "
                 "line after)";
        }
    }
    if (torn_tail()) {
        v += "; the last line (" + std::to_string(last_.size()) +
             " bytes) is torn, no JSON object: the next open sets it aside";
    }
    return v;
}
