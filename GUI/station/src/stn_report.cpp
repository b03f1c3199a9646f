#include "stn_report.h"

#include <cstring>
#include <deque>
#include <map>
#include <set>
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

std::vector<std::string> split_lines(const std::string &bytes) {
    std::vector<std::string> out;
    std::size_t from = 0;
    while (from < bytes.size()) {
        std::size_t end = bytes.find('\n', from);
        if (end == std::string::npos) end = bytes.size();
        std::string l = bytes.substr(from, end - from);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        if (!l.empty()) out.push_back(l);
        from = end + 1;
    }
    return out;
}

}  // namespace

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
    // The spill, read first: a line of it that was being written as the
    // station gave up may have landed too, at the report's end.
    std::string spill_bytes;
    if (!store_->read_spill(&spill_bytes)) return StnReportOpen::kCannotRead;
    const std::vector<std::string> spill = split_lines(spill_bytes);
    // The places of the last whole lines (as many as the spill has, and one
    // more for the chain's last hash), and how many lines are kept.
    std::deque<OpenStarts::Where> tail;
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
        tail.push_back(OpenStarts::Where{last.offset, last.size});
        if (tail.size() > spill.size() + 1) tail.pop_front();
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
        } else if (!first_record && line.ended) {
            return StnReportOpen::kForeign;  // the first line is kept: not torn
        }
        if (!line.ended) break;  // the last bytes, without their line end: torn
        if (pending) commit();
        pending = true;
        last = line;
        last.text = std::string_view();
        last_head = line.whole ? head_of(line.text) : Head();
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

    // The kept lines' bodies at the end (for the spill) and the chain's
    // last hash.
    std::vector<std::string> tail_lines;
    for (const OpenStarts::Where &w : tail) {
        std::string text;
        if (!stn_read_at(store_, w.offset, static_cast<std::size_t>(w.size), &text)) {
            return StnReportOpen::kCannotRead;
        }
        tail_lines.emplace_back(without_cr(text));
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
    prev_ = tail_lines.empty() ? std::string(kStnEmptySha256) : stn_line_sha256(tail_lines.back());
    const auto put = [&](const std::string &l) {
        if (!write_line(l)) return false;
        o.written.push_back(l);
        return true;
    };
    if (!spill.empty()) {
        std::set<std::string> have;
        for (const std::string &l : tail_lines) have.insert(stn_chain_body(l));
        for (const std::string &l : spill) {
            if (!stn_json_is_object(l) || have.count(l) != 0) continue;
            if (!put(l)) return StnReportOpen::kCannotRepair;
            ++o.from_spill;
            // Its unit lines close their starts; its ids are used.
            const Head h = head_of(l);
            if (h.type == Head::kUnit) starts.unit(h.id);
            if (h.id > last_id) last_id = h.id;
        }
        // Retired only once its lines are on the disk: a crash before
        // leaves them to be added again, and the check above keeps them once.
        if (!store_->retire_spill()) return StnReportOpen::kCannotRepair;
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
    size_ += line.size() + 1;
    publish();
    ++seq_;
    prev_ = stn_line_sha256(line);
    has_cut_ = false;
    return true;
}

bool StnReport::cut_back() { return store_->truncate(size_) && store_->flush(); }
