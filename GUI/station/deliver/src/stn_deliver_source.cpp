// The report's lines as rows for the database: read a chunk at a time
// from where delivery stands, each with its hash, number, report and
// station. On the delivery thread (and ship/verify's caller).
#include "stn_deliver.h"

#include <algorithm>
#include <cstring>

#include "stn_deliver_parts.h"
#include "stn_fields.h"
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

bool FilesSource::read(std::uint64_t offset, char *buf, std::size_t n, std::size_t *got) {
    *got = 0;
    if (keep_ != nullptr) {
        // The reader reads in order: from the kept bytes, then right after them.
        if (offset < keep_at_ || offset - keep_at_ > keep_->size()) return false;
        const auto in = static_cast<std::size_t>(offset - keep_at_);
        if (in < keep_->size()) {
            *got = std::min(n, keep_->size() - in);
            std::memcpy(buf, keep_->data() + in, *got);
            return true;
        }
    }
    std::string more;
    if (!files_->read(offset, std::min(n, kChunk), &more) || more.size() > n) return false;
    std::memcpy(buf, more.data(), more.size());
    *got = more.size();
    if (keep_ != nullptr) *keep_ += more;
    return true;
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
    std::uint64_t seq = seq_, next = offset_;
    std::string report = report_id_;
    std::string key = last_key_;
    FilesSource source(files_, &buf_, offset_);
    StnLineReader reader(&source, StnLineReader::kChunk, offset_);
    StnLine line;
    // A last line without its line feed is left for later.
    while (rows->size() < max && reader.next(&line) && line.ended) {
        StnDbRow r;
        // One longer than the reader's chunk is still all in buf_.
        r.text = line.whole ? std::string(line.body())
                            : std::string(stn_without_cr(std::string_view(buf_).substr(
                                  static_cast<std::size_t>(line.offset - offset_),
                                  static_cast<std::size_t>(line.size))));
        r.key = sha_hex(r.text);
        r.seq = ++seq;
        if (seq == 1) report = r.key;
        r.report_id = report;
        r.station = station_;
        StnLineFields f;
        if (f.read(r.text)) {
            const std::string_view type = f.text(StnLineFields::kType);
            if (type.size() <= kTypeMax) r.type = std::string(type);
            const std::string_view station = f.text(StnLineFields::kStation);
            if (!station.empty()) r.station = utf8_cut(std::string(station), kStationMax);
        }
        key = r.key;
        rows->push_back(std::move(r));
        next = line.end();
    }
    if (reader.failed()) return false;
    // Bytes after the last line end are not kept: a torn tail may be cut
    // and written anew.
    const std::size_t last_lf = buf_.rfind('\n');
    buf_.resize(last_lf == std::string::npos ? 0 : last_lf + 1);
    // The position after the rows given, for advance(); buf_ still starts
    // at offset_.
    next_offset_ = next;
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
