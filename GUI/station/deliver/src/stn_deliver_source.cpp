// The report's lines as rows for the database: read a chunk at a time
// from where delivery stands, each with its hash, number, report and
// station. On the delivery thread (and ship/verify's caller).
#include "stn_deliver.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "stn_deliver_parts.h"
#include "stn_sha256.h"

using namespace stn_deliver_parts;

namespace {

constexpr std::size_t kStationMax = 200;       // the column's width (dist/sql)
constexpr std::size_t kTypeMax = 16;

// Cuts s to at most max bytes without splitting a UTF-8 sequence.
std::string utf8_cut(std::string s, std::size_t max) {
    if (s.size() <= max) return s;
    std::size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0u) == 0x80u) --n;
    s.resize(n);
    return s;
}

}  // namespace

namespace stn_deliver_parts {

std::string sha_hex(const std::string &bytes) {
    return stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
}

// The line's bytes without its LF and a CR before it.
std::string line_body(const std::string &buf, std::size_t begin, std::size_t lf) {
    std::size_t end = lf;
    if (end > begin && buf[end - 1] == '\r') --end;
    return buf.substr(begin, end - begin);
}

}  // namespace stn_deliver_parts

StnLineSource::StnLineSource(StnDeliverFiles *files, std::string station)
    : files_(files), station_(utf8_cut(std::move(station), kStationMax)) {}

void StnLineSource::seek(std::uint64_t offset, std::uint64_t seq, const std::string &report_id,
                         const std::string &last_key) {
    offset_ = offset;
    seq_ = seq;
    report_id_ = report_id;
    last_key_ = last_key;
    buf_.clear();
}

bool StnLineSource::take(std::size_t max, std::vector<StnDbRow> *rows, std::uint64_t *end) {
    rows->clear();
    std::size_t pos = 0;
    std::uint64_t seq = seq_;
    std::string report = report_id_;
    std::string key = last_key_;
    bool at_end = false;
    while (rows->size() < max) {
        std::size_t lf = buf_.find('\n', pos);
        if (lf == std::string::npos) {
            if (at_end) break;
            std::string more;
            if (!files_->read(offset_ + buf_.size(), kChunk, &more)) return false;
            if (more.empty()) at_end = true;
            buf_ += more;
            continue;
        }
        StnDbRow r;
        r.text = line_body(buf_, pos, lf);
        r.key = sha_hex(r.text);
        r.seq = ++seq;
        if (seq == 1) report = r.key;
        r.report_id = report;
        r.station = station_;
        const nlohmann::json j = nlohmann::json::parse(r.text, nullptr, false);
        if (j.is_object()) {
            const auto t = j.find("type");
            if (t != j.end() && t->is_string()) {
                const std::string type = t->get<std::string>();
                if (type.size() <= kTypeMax) r.type = type;
            }
            const auto s = j.find("station");
            if (s != j.end() && s->is_string() && !s->get<std::string>().empty()) {
                r.station = utf8_cut(s->get<std::string>(), kStationMax);
            }
        }
        key = r.key;
        rows->push_back(std::move(r));
        pos = lf + 1;
    }
    // Bytes after the last line end are not kept: a torn tail may be cut
    // and written anew.
    const std::size_t last_lf = buf_.rfind('\n');
    buf_.resize(last_lf == std::string::npos ? 0 : last_lf + 1);
    // The position after the rows given, for advance(); buf_ still starts
    // at offset_.
    next_offset_ = offset_ + pos;
    next_seq_ = seq;
    next_report_ = report;
    next_key_ = key;
    *end = next_offset_;
    return true;
}

void StnLineSource::advance() {
    const std::uint64_t used = next_offset_ - offset_;
    buf_.erase(0, static_cast<std::size_t>(std::min<std::uint64_t>(used, buf_.size())));
    offset_ = next_offset_;
    seq_ = next_seq_;
    report_id_ = next_report_;
    last_key_ = next_key_;
}
