#include "stn_report.h"

#include <cstring>
#include <map>
#include <string_view>

#include "stn_json.h"
#include "stn_sha256.h"
#include "stn_text.h"

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;

// The line as a JSON object, or a discarded value.
Json parse(std::string_view line) {
    Json j = Json::parse(line.begin(), line.end(), nullptr, false);
    if (!j.is_object()) return Json(Json::value_t::discarded);
    return j;
}

std::string type_of(const Json &j) {
    auto it = j.find("type");
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::uint64_t id_of(const Json &j) {
    auto it = j.find("id");
    return it != j.end() && it->is_number_unsigned() ? it->get<std::uint64_t>() : 0;
}

std::string_view without_cr(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// The same for a literal: compiled inline, where MinGW's C runtime would
// compare byte by byte in memcmp for every line of the open.
template <std::size_t N>
bool begins(std::string_view s, const char (&prefix)[N]) {
    return s.size() >= N - 1 && std::memcmp(s.data(), prefix, N - 1) == 0;
}

bool looks_torn(std::string_view line) {
    static constexpr std::string_view kStart = "{\"type\":";
    if (line.find_first_not_of('\0') == std::string_view::npos) return true;
    return starts_with(line, kStart) || starts_with(kStart, line);
}

// What the open pass keeps of a line: whether it starts or ends a unit, and its id.
struct Head {
    enum Type { kOther, kStart, kUnit } type = kOther;
    std::uint64_t id = 0;
};

// The head of a start or unit line as stn_json_start and stn_json_report
// lay it out, read without a parse: {"type":"unit","time":"...","id":N, and
// the line ends in '}'. False for anything else.
bool our_head(std::string_view line, Head *h) {
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

Head head_of(std::string_view line) {
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

// The starts without their unit line so far, and where each line is. A
// unit line mostly follows its start within a few lines, so the latest
// ones are in a short list (no allocation per unit); older ones in a map.
class OpenStarts {
public:
    struct Where {
        std::uint64_t offset, size;
    };
    void start(std::uint64_t id, Where w) {
        for (Entry &e : recent_) {
            if (e.id == id) {
                e.where = w;
                return;
            }
        }
        if (!older_.empty()) older_.erase(id);
        recent_.push_back(Entry{id, w});
        if (recent_.size() > kRecent) {
            for (std::size_t i = 0; i < kRecent / 2; ++i) older_[recent_[i].id] = recent_[i].where;
            recent_.erase(recent_.begin(), recent_.begin() + kRecent / 2);
        }
    }
    void unit(std::uint64_t id) {
        for (std::size_t i = recent_.size(); i-- > 0;) {
            if (recent_[i].id == id) {
                recent_[i] = recent_.back();
                recent_.pop_back();
                return;
            }
        }
        if (!older_.empty()) older_.erase(id);
    }
    // Every open start, by id.
    std::map<std::uint64_t, Where> all() const {
        std::map<std::uint64_t, Where> out = older_;
        for (const Entry &e : recent_) out[e.id] = e.where;
        return out;
    }

private:
    static constexpr std::size_t kRecent = 64;
    struct Entry {
        std::uint64_t id;
        Where where;
    };
    std::vector<Entry> recent_;
    std::map<std::uint64_t, Where> older_;
};

// The unit line that closes a start the station never finished.
std::string recovered_line(const Json &start, std::uint64_t id, const std::string &utc_now) {
    StnJson j("unit");
    j.str("time", utc_now).num("id", static_cast<std::int64_t>(id));
    auto copy = [&](const char *key) {
        auto it = start.find(key);
        if (it == start.end() || it->is_null()) {
            j.null(key);
        } else if (it->is_string()) {
            j.str(key, it->get<std::string>());
        } else if (it->is_number_integer()) {
            j.num(key, it->get<std::int64_t>());
        } else {
            j.null(key);
        }
    };
    copy("index");
    copy("serial");
    copy("mcu_version");
    copy("old_version");
    j.null("new_version").str("result", "interrupted").num("detail", 0);
    j.boolean("recovered", true);
    copy("image_sha256");
    // Who made it, as its start says (older starts have none: empty).
    for (const char *key : {"operator", "order", "station"}) {
        auto it = start.find(key);
        j.str(key, it != start.end() && it->is_string() ? it->get<std::string>() : std::string());
    }
    return j.line();
}

// The spill's lines, and which of them the report holds already (a line
// being written as the station gave up may have landed; a later open by
// another path or on another machine may have closed its unit as
// interrupted). A start or unit line is there when the report has one of
// its type with its id for the same device (its "index" and "serial"), so
// that an id a later run used again for another unit does not hide it; any
// other line (a run's stop, a halt: each with its time) when the report has
// the same line. What is kept grows with the spill, not the report.
class SpillCheck {
public:
    void load(const std::string &bytes) {
        std::size_t from = 0;
        while (from < bytes.size()) {
            std::size_t end = bytes.find('\n', from);
            if (end == std::string::npos) end = bytes.size();
            std::string l(without_cr(std::string_view(bytes).substr(from, end - from)));
            from = end + 1;
            if (!stn_json_is_object(l)) continue;  // a torn last line, or none
            const std::size_t i = lines_.size();
            const Head h = head_of(l);
            if (h.type != Head::kOther && h.id != 0) {
                by_id_[{h.type, h.id}].push_back(i);
                device_.push_back(device_of(parse(l)));
            } else {
                by_body_[l].push_back(i);
                device_.emplace_back();
            }
            lines_.push_back(std::move(l));
        }
        found_.assign(lines_.size(), false);
    }
    bool empty() const { return lines_.empty(); }
    std::size_t size() const { return lines_.size(); }
    const std::string &line(std::size_t i) const { return lines_[i]; }
    bool found(std::size_t i) const { return found_[i]; }
    // The spill's lines that the report's line (whole, as read) is.
    void match(std::string_view line, const Head &h, std::vector<std::size_t> *out) const {
        out->clear();
        if (h.type != Head::kOther) {
            auto it = by_id_.find({h.type, h.id});
            if (it == by_id_.end()) return;
            const std::string device = device_of(parse(without_cr(line)));
            for (std::size_t i : it->second) {
                if (device_[i] == device) out->push_back(i);
            }
            return;
        }
        if (by_body_.empty()) return;
        auto it = by_body_.find(stn_chain_body(std::string(line)));
        if (it != by_body_.end()) *out = it->second;
    }
    void mark(const std::vector<std::size_t> &lines) {
        for (std::size_t i : lines) found_[i] = true;
    }

private:
    static std::string device_of(const Json &j) {
        if (j.is_discarded()) return std::string();
        auto value = [&](const char *key) {
            auto it = j.find(key);
            return it == j.end() ? std::string("-") : it->dump();
        };
        return value("index") + " " + value("serial");
    }

    std::vector<std::string> lines_;
    std::vector<std::string> device_;
    std::vector<bool> found_;
    std::map<std::pair<int, std::uint64_t>, std::vector<std::size_t>> by_id_;
    std::map<std::string, std::vector<std::size_t>> by_body_;
};

}  // namespace

std::string stn_report_id(const std::string &head) {
    const std::size_t lf = head.find('\n');
    return lf == std::string::npos ? std::string() : stn_line_sha256(head.substr(0, lf));
}

bool stn_report_is_record(const std::string &line) {
    const Json j = parse(line);
    if (j.is_discarded()) return false;
    const std::string t = type_of(j);
    return t == "unit" || t == "start" || t == "run";
}

StnReportOpen StnReport::open(const std::string &utc_now, StnReportOpened *opened,
                              const std::string &run_line) {
    StnReportOpened local;
    StnReportOpened &o = opened != nullptr ? *opened : local;
    o = StnReportOpened();
    std::uint64_t last_id = last_id_;
    OpenStarts starts;
    // The spill of this report, read as soon as its first line names it,
    // so that the one pass finds which of its lines are already there.
    std::string report_id;
    SpillCheck spill;
    std::vector<std::size_t> last_in_spill;  // the spill's lines the last line is
    bool spill_waits = false;
    // The place of the last kept line (the chain's last hash), and how many
    // lines are kept.
    OpenStarts::Where tail{0, 0};
    std::uint64_t kept_lines = 0;
    // Ours or not is told by the first line: it must be a record, unless
    // it is also the torn last line of a report cut short in its first
    // write (then it begins as every line of ours does, or is zeros).
    bool any = false, first_record = false;
    // The last whole line so far is judged only once the next one comes:
    // the last whole line of the file may be torn (not one JSON object).
    bool pending = false;
    StnLine last;
    Head last_head;
    const auto commit = [&] {
        ++kept_lines;
        tail = OpenStarts::Where{last.offset, last.size};
        if (!last_in_spill.empty()) spill.mark(last_in_spill);
        if (last_head.id > last_id) last_id = last_head.id;
        if (last_head.type == Head::kStart && last_head.id != 0) {
            starts.start(last_head.id, OpenStarts::Where{last.offset, last.size});
        } else if (last_head.type == Head::kUnit) {
            starts.unit(last_head.id);
        }
    };
    StnLineReader reader(store_);
    StnLine line;
    while (reader.next(&line)) {
        if (!any) {
            any = true;
            const std::string first(without_cr(line.text));
            first_record = line.whole && stn_report_is_record(first);
            if (!first_record && !looks_torn(first)) return StnReportOpen::kForeign;
            if (first_record && line.ended) {
                report_id = stn_report_id(first + "\n");
                std::string bytes;
                if (!store_->read_spill(report_id, &bytes)) return StnReportOpen::kCannotRead;
                spill_waits = !bytes.empty();
                spill.load(bytes);
            }
        } else if (!first_record && line.ended) {
            return StnReportOpen::kForeign;  // the first line is kept: not torn
        }
        if (!line.ended) break;  // the last bytes, without their line end: torn
        if (pending) commit();
        pending = true;
        last = line;
        last.text = std::string_view();
        last_head = line.whole ? head_of(line.text) : Head();
        last_in_spill.clear();
        if (!spill.empty() && line.whole) spill.match(line.text, last_head, &last_in_spill);
    }
    if (reader.failed()) return StnReportOpen::kCannotRead;
    const std::uint64_t size = reader.consumed();
    std::uint64_t keep = 0;
    if (pending) {
        // A whole last line that is no JSON object was torn too (a power
        // cut can leave zeros in front of a line end).
        std::string text;
        if (last.whole &&
            !stn_read_at(store_, last.offset, static_cast<std::size_t>(last.size), &text)) {
            return StnReportOpen::kCannotRead;
        }
        const std::string_view l = without_cr(text);
        if (last.whole && (l.empty() || stn_json_is_object(std::string(l)))) {
            commit();
            keep = last.offset + last.size + 1;
        } else {
            keep = last.offset;
        }
    }
    if (any && !first_record && keep > 0) return StnReportOpen::kForeign;
    if (last_id > kStnIdHighest) {
        o.highest_id = last_id;
        return StnReportOpen::kIdsExhausted;
    }

    // The chain's last hash: of the last kept line.
    std::string tail_line;
    if (kept_lines != 0 &&
        !stn_read_at(store_, tail.offset, static_cast<std::size_t>(tail.size), &tail_line)) {
        return StnReportOpen::kCannotRead;
    }
    if (keep != size) {
        std::string torn;
        if (!stn_read_at(store_, keep, static_cast<std::size_t>(size - keep), &torn)) {
            return StnReportOpen::kCannotRead;
        }
        // Kept beside the report before it is cut: a crash in between
        // leaves it in both places, never in neither.
        if (!store_->set_aside(keep)) return StnReportOpen::kCannotRepair;
        if (!store_->truncate(keep) || !store_->flush()) return StnReportOpen::kCannotRepair;
        o.torn_bytes = size - keep;
        has_cut_ = true;
        cut_.bytes = o.torn_bytes;
        cut_.sha256 = stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(torn.data()),
                                     torn.size());
    }
    size_ = keep;
    publish();
    seq_ = kept_lines;
    prev_ = kept_lines == 0 ? std::string(kStnEmptySha256) : stn_line_sha256(tail_line);
    if (kept_lines != 0) store_->identify(report_id);
    const auto put = [&](const std::string &l) {
        if (!write_line(l)) return false;
        o.written.push_back(l);
        return true;
    };
    if (spill_waits) {
        for (std::size_t i = 0; i < spill.size(); ++i) {
            if (spill.found(i)) continue;
            const std::string &l = spill.line(i);
            if (!put(l)) return StnReportOpen::kCannotRepair;
            ++o.from_spill;
            // Its unit lines close their starts; its ids are used.
            const Head h = head_of(l);
            if (h.type == Head::kUnit) starts.unit(h.id);
            if (h.id > last_id) last_id = h.id;
        }
        // Retired only once its lines are on the disk: a crash before
        // leaves them to be added again, and the check above keeps them once.
        if (!store_->retire_spill(report_id)) return StnReportOpen::kCannotRepair;
    }
    last_id_ = last_id;
    o.highest_id = last_id;
    if (!run_line.empty() && !put(run_line)) return StnReportOpen::kCannotRepair;
    for (const auto &s : starts.all()) {
        std::string text;
        if (!stn_read_at(store_, s.second.offset, static_cast<std::size_t>(s.second.size), &text) ||
            !put(recovered_line(parse(without_cr(text)), s.first, utc_now))) {
            return StnReportOpen::kCannotRepair;
        }
        ++o.recovered;
    }
    return StnReportOpen::kOk;
}

bool StnReport::write_line(const std::string &body) {
    const std::string line = stn_chain_line(body, seq_ + 1, prev_, has_cut_ ? &cut_ : nullptr);
    if (!store_->append(line + "\n") || !store_->flush()) return false;
    // The first line on the disk names the report from now on.
    if (seq_ == 0) store_->identify(stn_report_id(line + "\n"));
    size_ += line.size() + 1;
    publish();
    ++seq_;
    prev_ = stn_line_sha256(line);
    has_cut_ = false;
    return true;
}

bool StnReport::cut_back() { return store_->truncate(size_) && store_->flush(); }
