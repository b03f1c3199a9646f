// The readers of report lines as they were before the one line reader and
// the one field reader, kept only to show the new ones read every line the
// same. Test-only.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "stn_deliver.h"
#include "stn_json.h"
#include "stn_lines.h"
#include "stn_outcome.h"
#include "stn_sha256.h"
#include "stn_tally.h"
#include "stn_text.h"

namespace old_readers {

using Json = nlohmann::json;

inline StnFailure failure_of_word(std::string_view word) {
    for (int k = 1; k < kStnFailureKinds; ++k) {
        if (word == stn_failure_name(static_cast<StnFailure>(k))) return static_cast<StnFailure>(k);
    }
    return StnFailure::kOther;
}
inline bool outcome_of(std::string_view word, StnOutcome *out) {
    for (StnOutcome o : {StnOutcome::kUpdated, StnOutcome::kCurrent, StnOutcome::kFailed,
                         StnOutcome::kInterrupted}) {
        if (word == stn_outcome_name(o)) {
            *out = o;
            return true;
        }
    }
    return false;
}

// ---- stn_tally.cpp ----
// The members a report line is read by, as the last one of each name left
// them, whichever parse found them. Texts stay views of the line unless
// they had to be decoded.
class Fields : public StnJsonMembers {
public:
    enum Key {
        kType, kTime, kId, kIndex, kSerial, kOldVersion, kNewVersion, kResult, kFailure,
        kMessage, kDetail, kMs, kRecovered, kEvent, kOperator, kOrder, kStation, kUtcOffset,
        kWas, kKeys
    };
    struct Value {
        enum Kind { kAbsent, kOther, kString, kUnsigned, kNegative, kTrue } kind = kAbsent;
        std::string_view text;
        std::string own;  // text when it is not a view of the line
        std::uint64_t u = 0;
        std::int64_t i = 0;
    };

    explicit Fields(std::string_view line) : line_(line) {}

    void member(std::string_view key, const StnJsonScalar &s) override {
        const int k = key_of(key);
        if (k < 0) return;
        Value &v = values_[k];
        switch (s.kind) {
        case StnJsonScalar::kString:
            v.kind = Value::kString;
            if (s.text.data() >= line_.data() && s.text.data() <= line_.data() + line_.size()) {
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

    void from_json(const Json &obj) {
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
    }

    // *r reset, then filled (its strings keep their room).
    void line(StnReportLine *r) const {
        r->kind = StnReportLine::kSkipped;
        r->time.clear();
        r->has_id = r->has_index = r->has_serial = false;
        r->id = r->index = 0;
        r->serial = 0;
        r->old_version.clear();
        r->new_version.clear();
        r->message.clear();
        r->outcome = StnOutcome::kFailed;
        r->failure = StnFailure::kNone;
        r->detail = r->ms = 0;
        r->recovered = r->stop = r->clock = false;
        r->utc_offset.clear();
        r->was.clear();
        r->operator_name.assign(text(kOperator));
        r->order.assign(text(kOrder));
        r->has_order = values_[kOrder].kind == Value::kString;
        r->station.assign(text(kStation));

        const std::string_view type = text(kType);
        if (type == "start") {
            r->kind = StnReportLine::kStart;
            r->time.assign(text(kTime));
            return;
        }
        if (type == "halt") {
            r->kind = StnReportLine::kHalt;
            r->time.assign(text(kTime));
            return;
        }
        if (type == "run") {
            const std::string_view event = text(kEvent);
            if (event != "open" && event != "stop" && event != "clock") return;
            r->kind = StnReportLine::kRun;
            r->time.assign(text(kTime));
            r->stop = event == "stop";
            r->clock = event == "clock";
            r->utc_offset.assign(text(kUtcOffset));
            if (r->clock) r->was.assign(text(kWas));
            return;
        }
        if (type != "unit" || !outcome_of(text(kResult), &r->outcome)) return;
        r->kind = StnReportLine::kUnit;
        r->time.assign(text(kTime));
        r->has_id = count(kId, &r->id);
        r->has_index = count(kIndex, &r->index);
        const Value &s = values_[kSerial];
        if (s.kind == Value::kNegative) {
            r->serial = s.i;
            r->has_serial = true;
        } else if (s.kind == Value::kUnsigned && s.u <= static_cast<std::uint64_t>(INT64_MAX)) {
            r->serial = static_cast<std::int64_t>(s.u);
            r->has_serial = true;
        }
        r->old_version.assign(text(kOldVersion));
        r->new_version.assign(text(kNewVersion));
        r->message.assign(text(kMessage));
        count(kDetail, &r->detail);
        count(kMs, &r->ms);
        r->recovered = values_[kRecovered].kind == Value::kTrue;
        const std::string_view failure = text(kFailure);
        if (!failure.empty()) {
            r->failure = failure_of_word(failure);
        } else if (r->outcome == StnOutcome::kFailed) {
            r->failure = stn_failure_of_detail(r->detail);
            if (r->failure == StnFailure::kNone) r->failure = StnFailure::kOther;
        }
    }

private:
    static int key_of(std::string_view key) {
        static constexpr std::string_view kNames[kKeys] = {
            "type", "time", "id", "index", "serial", "old_version", "new_version",
            "result", "failure", "message", "detail", "ms", "recovered", "event",
            "operator", "order", "station", "utc_offset", "was"};
        // Most members of a line are looked up: the names by length first.
        static const struct ByLength {
            std::vector<int> of[12];
            ByLength() {
                for (int k = 0; k < kKeys; ++k) of[kNames[k].size()].push_back(k);
            }
        } kByLength;
        if (key.size() >= 12) return -1;
        for (int k : kByLength.of[key.size()]) {
            if (key == kNames[k]) return k;
        }
        return -1;
    }
    std::string_view text(Key k) const {
        return values_[k].kind == Value::kString ? values_[k].text : std::string_view();
    }
    // A whole number that is not negative.
    bool count(Key k, std::uint64_t *out) const {
        const Value &v = values_[k];
        if (v.kind == Value::kUnsigned) {
            *out = v.u;
            return true;
        }
        if (v.kind != Value::kNegative || v.i < 0) return false;
        *out = static_cast<std::uint64_t>(v.i);
        return true;
    }

    std::string_view line_;
    Value values_[kKeys];
};

// line without a trailing '\r'.
inline std::string_view without_cr(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

inline StnReportLine read_report_line_json(std::string_view line) {
    StnReportLine r;
    line = without_cr(line);
    const Json j = Json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
    if (!j.is_object()) return r;  // discarded (not JSON) or another value
    Fields f(line);
    f.from_json(j);
    f.line(&r);
    return r;
}

inline void read_report_line(std::string_view line, StnReportLine *out) {
    line = without_cr(line);
    Fields f(line);
    switch (stn_json_read_flat(line, &f)) {
    case StnJsonFlat::kOk:
        f.line(out);
        break;
    case StnJsonFlat::kNested:
        *out = read_report_line_json(line);
        break;
    default:
        Fields(line).line(out);  // nothing: skipped
        break;
    }
}

// ---- stn_lines.cpp ----
class LineReader {
public:
    static constexpr std::size_t kChunk = std::size_t(1) << 20;
    explicit LineReader(StnByteSource *source, std::size_t chunk = kChunk);

    // The next line: false at the end of the source or when a read failed
    // (failed() says which).
    bool next(StnLine *line);
    bool failed() const { return failed_; }
    // Bytes read so far: at the end, the size of the source.
    std::uint64_t consumed() const { return base_ + end_; }

private:
    bool fill();
    void grow();

    StnByteSource *source_;
    std::size_t max_;                 // the largest buf_ may grow to
    std::size_t size_;                // of buf_
    std::unique_ptr<char[]> buf_;     // not cleared: only what was read is looked at
    unsigned fills_ = 0;              // reads that brought bytes
    std::uint64_t base_ = 0;  // the offset of buf_[0] in the source
    std::size_t begin_ = 0;   // the next line starts at buf_[begin_]
    std::size_t end_ = 0;     // bytes read into buf_
    bool eof_ = false, failed_ = false;
    std::string head_;        // the first bytes of a line longer than a chunk
};

constexpr std::size_t kHead = 256;
// The first chunk.
constexpr std::size_t kFirst = std::size_t(1) << 12;

// The first '\n' in p[0..n), or nullptr. memchr of MinGW's C runtime
// (msvcrt) made most of the time of a long report's open under Wine, so
// here 64 bytes at a time, then 16.
inline const char *find_newline(const char *p, std::size_t n) {
    return static_cast<const char *>(std::memchr(p, '\n', n));
}



inline LineReader::LineReader(StnByteSource *source, std::size_t chunk)
    : source_(source),
      max_(std::max<std::size_t>(chunk, 2)),
      size_(std::min(kFirst, max_)),
      buf_(new char[size_]) {}

inline void LineReader::grow() {
    const std::size_t to = std::min(max_, size_ * 2);
    std::unique_ptr<char[]> bigger(new char[to]);
    std::memcpy(bigger.get(), buf_.get(), end_);
    buf_ = std::move(bigger);
    size_ = to;
}

inline bool LineReader::fill() {
    std::size_t got = 0;
    if (!source_->read(base_ + end_, buf_.get() + end_, size_ - end_, &got) ||
        got > size_ - end_) {
        failed_ = true;
        return false;
    }
    if (got == 0) eof_ = true;
    if (got != 0) ++fills_;
    end_ += got;
    return true;
}

inline bool LineReader::next(StnLine *line) {
    if (failed_) return false;
    for (;;) {
        const char *from = buf_.get() + begin_;
        const char *nl = begin_ < end_ ? find_newline(from, end_ - begin_) : nullptr;
        if (nl != nullptr || (eof_ && begin_ < end_)) {
            const std::size_t n =
                nl != nullptr ? static_cast<std::size_t>(nl - from) : end_ - begin_;
            line->offset = base_ + begin_;
            line->size = n;
            line->ended = nl != nullptr;
            line->whole = true;
            line->text = std::string_view(from, n);
            begin_ += n + (nl != nullptr ? 1 : 0);
            return true;
        }
        if (eof_) return false;
        // The line begun here moves to the front, then more is read.
        if (begin_ > 0) {
            std::memmove(buf_.get(), from, end_ - begin_);
            base_ += begin_;
            end_ -= begin_;
            begin_ = 0;
        }
        // A long source, or a line that does not fit yet: a larger buffer.
        if (size_ < max_ && (fills_ >= 2 || end_ == size_)) grow();
        if (end_ < size_) {
            if (!fill()) return false;
            continue;
        }
        // A line longer than the buffer: keep its head, pass over the rest.
        head_.assign(buf_.get(), std::min(kHead, end_));
        line->offset = base_;
        line->size = end_;
        line->ended = false;
        line->whole = false;
        base_ += end_;
        end_ = 0;
        while (!line->ended) {
            if (!fill()) return false;
            if (eof_) break;
            nl = find_newline(buf_.get(), end_);
            if (nl != nullptr) {
                const auto n = static_cast<std::size_t>(nl - buf_.get());
                line->size += n;
                line->ended = true;
                begin_ = n + 1;
            } else {
                line->size += end_;
                base_ += end_;
                end_ = 0;
            }
        }
        line->text = head_;
        return true;
    }
}


// ---- stn_report.cpp ----
inline Json parse(std::string_view line) {
    Json j = Json::parse(line.begin(), line.end(), nullptr, false);
    if (!j.is_object()) return Json(Json::value_t::discarded);
    return j;
}
inline std::string type_of(const Json &j) {
    auto it = j.find("type");
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}
inline std::uint64_t id_of(const Json &j) {
    auto it = j.find("id");
    return it != j.end() && it->is_number_unsigned() ? it->get<std::uint64_t>() : 0;
}
template <std::size_t N>
bool begins(std::string_view s, const char (&prefix)[N]) {
    return s.size() >= N - 1 && std::memcmp(s.data(), prefix, N - 1) == 0;
}
// What the open pass keeps of a line: whether it starts or ends a unit, and its id.
struct Head {
    enum Type { kOther, kStart, kUnit } type = kOther;
    std::uint64_t id = 0;
};

// The head of a start or unit line as stn_json_start and stn_json_report
// lay it out, read without a parse: {"type":"unit","time":"...","id":N, and
// the line ends in '}'. False for anything else.
inline bool our_head(std::string_view line, Head *h) {
    static constexpr char kUnit[] = "{\"type\":\"unit\",\"time\":\"";
    static constexpr char kStart[] = "{\"type\":\"start\",\"time\":\"";
    static constexpr char kId[] = ",\"id\":";
    line = without_cr(line);
    if (line.empty() || line.back() != '}') return false;
    if (begins(line, kUnit)) {
        h->type = Head::kUnit;
        line.remove_prefix(sizeof kUnit - 1);
    } else if (begins(line, kStart)) {
        h->type = Head::kStart;
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

inline Head head_of(std::string_view line) {
    Head h;
    if (our_head(line, &h)) return h;
    h = Head();
    const Json j = parse(line);
    if (j.is_discarded()) return h;
    const std::string t = type_of(j);
    h.type = t == "start" ? Head::kStart : t == "unit" ? Head::kUnit : Head::kOther;
    h.id = id_of(j);
    return h;
}


// ---- stn_deliver.cpp ----
// StnLineSource::take from offset_ with nothing read before; no advance.
class LineSource {
public:
    LineSource(StnDeliverFiles *files, std::string station, std::uint64_t offset, std::uint64_t seq,
               std::string report_id)
        : files_(files), station_(std::move(station)), offset_(offset), seq_(seq),
          report_id_(std::move(report_id)) {}
    std::string buf_;
    StnDeliverFiles *files_;
    std::string station_;
    std::uint64_t offset_, seq_;
    std::string report_id_, last_key_;
    std::uint64_t next_offset_ = 0, next_seq_ = 0;
    std::string next_report_, next_key_;
    static std::string line_body(const std::string &buf, std::size_t begin, std::size_t lf) {
        std::size_t end = lf;
        if (end > begin && buf[end - 1] == '\r') --end;
        return buf.substr(begin, end - begin);
    }
    static std::string sha_hex(const std::string &bytes) {
        return stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
    }
    static std::string utf8_cut(std::string s, std::size_t max) {
        if (s.size() <= max) return s;
        std::size_t n = max;
        while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0u) == 0x80u) --n;
        s.resize(n);
        return s;
    }
    static constexpr std::size_t kChunk = 64 * 1024, kStationMax = 200, kTypeMax = 16;
bool take(std::size_t max, std::vector<StnDbRow> *rows, std::uint64_t *end) {
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
};

}  // namespace old_readers
