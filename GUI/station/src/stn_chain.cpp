#include "stn_chain.h"

#include <cstring>

#include "stn_sha256.h"

const char kStnEmptySha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

namespace {

constexpr char kSeqKey[] = ",\"seq\":";
constexpr char kPrevKey[] = ",\"prev\":\"";
constexpr char kCutKey[] = ",\"cut\":{";

std::string_view without_cr(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// The chain fields of a line as our writer lays them out at its end. A
// quote inside a JSON string is escaped, so ,"seq": outside our fields
// cannot be mistaken for them.
struct Fields {
    bool found = false;
    std::size_t at = 0;  // where they begin
    std::uint64_t seq = 0;
    std::string_view prev;  // within the line
};

Fields chain_fields(std::string_view line) {
    Fields f;
    const std::size_t at = line.rfind(kSeqKey);
    if (at == std::string::npos) return f;
    std::size_t p = at + std::strlen(kSeqKey);
    std::uint64_t seq = 0;
    const std::size_t digits = p;
    while (p < line.size() && line[p] >= '0' && line[p] <= '9' && p - digits < 19) {
        seq = seq * 10 + static_cast<std::uint64_t>(line[p] - '0');
        ++p;
    }
    if (p == digits || line.compare(p, std::strlen(kPrevKey), kPrevKey) != 0) return f;
    p += std::strlen(kPrevKey);
    const std::size_t close = line.find('"', p);
    if (close == std::string::npos || close - p != 64) return f;
    const std::string_view rest = line.substr(close + 1);
    if (rest != "}" && rest.substr(0, std::strlen(kCutKey)) != kCutKey) return f;
    f.found = true;
    f.at = at;
    f.seq = seq;
    f.prev = line.substr(p, 64);
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
    const std::size_t n = !line.empty() && line.back() == '\r' ? line.size() - 1 : line.size();
    return stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(line.data()), n);
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
    const std::string_view l = without_cr(line);
    const Fields f = chain_fields(l);
    return f.found ? std::string(l.substr(0, f.at)) + "}" : line;
}

void StnChainCheck::feed(std::string_view line) {
    const std::string_view l = without_cr(line);
    ++lines_;
    const Fields f = chain_fields(l);
    if (broken_at_ == 0) {
        const std::string k = std::to_string(lines_);
        const std::string before = std::to_string(lines_ - 1);
        if (!f.found) {
            if (chained_ != 0) {
                broken_at_ = lines_;
                unchained_after_ = true;
                why_ = "line " + k + " carries no chain after chained lines (added by hand?)";
            }
        } else if (f.seq != lines_) {
            broken_at_ = lines_;
            why_ = "its seq is " + std::to_string(f.seq) + ", not " + k + ": " +
                   (f.seq > lines_ ? "lines were removed there, or a later line was moved there"
                                   : "lines were inserted there, or an earlier line was moved "
                                     "there");
        } else if (f.prev != prev_hash_) {
            broken_at_ = lines_;
            why_ = lines_ == 1 ? "line 1 was changed"
                               : "line " + before +
                                     " was changed, or lines were removed or inserted there";
        }
        if (broken_at_ == lines_ && !unchained_after_) {
            const std::string id = id_of(l);
            why_ = (lines_ == 1 ? "at line 1" : "between lines " + before + " and " + k) +
                   (id.empty() ? std::string() : " (id " + id + ")") + ": " + why_;
        }
    }
    if (f.found) {
        if (first_chained_ == 0) first_chained_ = lines_;
        ++chained_;
    }
    stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(l.data()), l.size(), &prev_hash_);
}

std::string StnChainCheck::verdict() const {
    if (chained_ == 0) return "not chained: no line carries the chain";
    if (unchained_after_) return "not chained: " + why_;
    if (broken_at_ != 0) return "chain broken " + why_;
    std::string s = "chain intact: " + std::to_string(lines_) + " lines";
    if (unchained_before() != 0) {
        s += " (the first " + std::to_string(unchained_before()) +
             " written before lines were chained)";
    }
    return s;
}
