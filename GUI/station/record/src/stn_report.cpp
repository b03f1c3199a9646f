#include "stn_report.h"

#include <cstring>
#include <map>
#include <string_view>

#include "stn_fields.h"
#include "stn_json.h"
#include "stn_sha256.h"
#include "stn_text.h"

#include <nlohmann/json.hpp>

#include "stn_json_parse.h"

namespace {

using Json = nlohmann::json;

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool looks_torn(std::string_view line) {
    static constexpr std::string_view kStart = "{\"type\":";
    if (line.find_first_not_of('\0') == std::string_view::npos) return true;
    return starts_with(line, kStart) || starts_with(kStart, line);
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
        StnMemorySource source(bytes);
        StnLineReader reader(&source, bytes.size() + 1);
        StnLine line;
        while (reader.next(&line)) {
            std::string l(line.body());
            if (!stn_json_is_object(l)) continue;  // a torn last line, or none
            const std::size_t i = lines_.size();
            const StnLineHead h = stn_line_head(l);
            if (h.type != StnLineHead::kOther && h.id != 0) {
                by_id_[{h.type, h.id}].push_back(i);
                device_.push_back(device_of(stn_json_parse_object(l)));
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
    void match(std::string_view line, const StnLineHead &h, std::vector<std::size_t> *out) const {
        out->clear();
        if (h.type != StnLineHead::kOther) {
            auto it = by_id_.find({h.type, h.id});
            if (it == by_id_.end()) return;
            const std::string device = device_of(stn_json_parse_object(stn_without_cr(line)));
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

// What the open's one pass finds, and what its steps make of it.
struct Found {
    std::uint64_t last_id = 0;
    OpenStarts starts;
    // The spill of this report, read as soon as its first line names it,
    // so that the one pass finds which of its lines are already there.
    std::string report_id;
    SpillCheck spill;
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
    StnLineHead last_head;
    std::vector<std::size_t> last_in_spill;  // the spill's lines the last line is
    std::uint64_t size = 0;  // of the file
    std::uint64_t keep = 0;  // its bytes kept: the rest is torn

    // The pending line is kept.
    void commit() {
        ++kept_lines;
        tail = OpenStarts::Where{last.offset, last.size};
        if (!last_in_spill.empty()) spill.mark(last_in_spill);
        if (last_head.id > last_id) last_id = last_head.id;
        if (last_head.type == StnLineHead::kStart && last_head.id != 0) {
            starts.start(last_head.id, OpenStarts::Where{last.offset, last.size});
        } else if (last_head.type == StnLineHead::kUnit) {
            starts.unit(last_head.id);
        }
    }
};

// The first line: whether it is a record, and its report's spill.
StnReportOpen first_line(StnReportStore *store, const StnLine &line, Found *f) {
    f->any = true;
    const std::string first(line.body());
    f->first_record = line.whole && stn_report_is_record(first);
    if (!f->first_record && !looks_torn(first)) return StnReportOpen::kForeign;
    if (f->first_record && line.ended) {
        f->report_id = stn_report_id(first + "\n");
        std::string bytes;
        if (!store->read_spill(f->report_id, &bytes)) return StnReportOpen::kCannotRead;
        f->spill_waits = !bytes.empty();
        f->spill.load(bytes);
    }
    return StnReportOpen::kOk;
}

// Read: the one pass over the file.
StnReportOpen read_lines(StnReportStore *store, Found *f) {
    StnLineReader reader(store);
    StnLine line;
    while (reader.next(&line)) {
        if (!f->any) {
            const StnReportOpen r = first_line(store, line, f);
            if (r != StnReportOpen::kOk) return r;
        } else if (!f->first_record && line.ended) {
            return StnReportOpen::kForeign;  // the first line is kept: not torn
        }
        if (!line.ended) break;  // the last bytes, without their line end: torn
        if (f->pending) f->commit();
        f->pending = true;
        f->last = line;
        f->last.text = std::string_view();
        f->last_head = line.whole ? stn_line_head(line.text) : StnLineHead();
        f->last_in_spill.clear();
        if (!f->spill.empty() && line.whole) {
            f->spill.match(line.text, f->last_head, &f->last_in_spill);
        }
    }
    if (reader.failed()) return StnReportOpen::kCannotRead;
    f->size = reader.consumed();
    return StnReportOpen::kOk;
}

// Judge: the last whole line kept or torn (one that is no JSON object was
// torn too: a power cut can leave zeros in front of a line end); a file
// whose first line is no record, or whose ids are used up, refused.
StnReportOpen judge(StnReportStore *store, Found *f) {
    if (f->pending) {
        const StnLine &last = f->last;
        std::string text;
        if (last.whole &&
            !stn_read_at(store, last.offset, static_cast<std::size_t>(last.size), &text)) {
            return StnReportOpen::kCannotRead;
        }
        const std::string_view l = stn_without_cr(text);
        if (last.whole && (l.empty() || stn_json_is_object(std::string(l)))) {
            f->commit();
            f->keep = last.end();
        } else {
            f->keep = last.offset;
        }
    }
    if (f->any && !f->first_record && f->keep > 0) return StnReportOpen::kForeign;
    if (f->last_id > kStnIdHighest) return StnReportOpen::kIdsExhausted;
    return StnReportOpen::kOk;
}

// Set aside: the torn tail kept beside the report, then cut off; what the
// next line's cut says of it.
StnReportOpen set_aside(StnReportStore *store, const Found &f, StnCut *cut) {
    std::string torn;
    if (!stn_read_at(store, f.keep, static_cast<std::size_t>(f.size - f.keep), &torn)) {
        return StnReportOpen::kCannotRead;
    }
    // Kept beside the report before it is cut: a crash in between leaves
    // it in both places, never in neither.
    if (!store->set_aside(f.keep)) return StnReportOpen::kCannotRepair;
    if (!store->truncate(f.keep) || !store->flush()) return StnReportOpen::kCannotRepair;
    cut->bytes = f.size - f.keep;
    cut->sha256 = stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(torn.data()), torn.size());
    return StnReportOpen::kOk;
}

// line written, and listed in *o.
bool put(StnReport *report, const std::string &line, StnReportOpened *o) {
    if (!report->write_line(line)) return false;
    o->written.push_back(line);
    return true;
}

// The chain's last hash: of the last line kept.
bool chain_hash(StnReportStore *store, const Found &f, std::string *prev) {
    std::string tail_line;
    if (f.kept_lines != 0 && !stn_read_at(store, f.tail.offset,
                                          static_cast<std::size_t>(f.tail.size), &tail_line)) {
        return false;
    }
    *prev = f.kept_lines == 0 ? std::string(kStnEmptySha256) : stn_line_sha256(tail_line);
    return true;
}

// Add the spill: its lines the report does not hold, then the spill retired.
bool add_spill(StnReport *report, StnReportStore *store, Found *f, StnReportOpened *o) {
    for (std::size_t i = 0; i < f->spill.size(); ++i) {
        if (f->spill.found(i)) continue;
        const std::string &l = f->spill.line(i);
        if (!put(report, l, o)) return false;
        ++o->from_spill;
        // Its unit lines close their starts; its ids are used.
        const StnLineHead h = stn_line_head(l);
        if (h.type == StnLineHead::kUnit) f->starts.unit(h.id);
        if (h.id > f->last_id) f->last_id = h.id;
    }
    // Retired only once its lines are on the disk: a crash before leaves
    // them to be added again, and the check above keeps them once.
    return store->retire_spill(f->report_id);
}

// Recover: an interrupted unit line for every start still without its unit.
bool recover(StnReport *report, StnReportStore *store, const Found &f,
             const std::string &utc_now, StnReportOpened *o) {
    for (const auto &s : f.starts.all()) {
        std::string text;
        if (!stn_read_at(store, s.second.offset, static_cast<std::size_t>(s.second.size),
                         &text)) {
            return false;
        }
        const auto start = stn_json_parse_object(stn_without_cr(text));
        if (!put(report, recovered_line(start, s.first, utc_now), o)) return false;
        ++o->recovered;
    }
    return true;
}

}  // namespace

std::string stn_report_id(const std::string &head) {
    const std::size_t lf = head.find('\n');
    return lf == std::string::npos ? std::string() : stn_line_sha256(head.substr(0, lf));
}

bool stn_report_is_record(const std::string &line) {
    StnLineFields f;
    if (!f.read(line)) return false;
    const std::string_view t = f.text(StnLineFields::kType);
    return t == "unit" || t == "start" || t == "run";
}

StnReportOpen StnReport::open(const std::string &utc_now, StnReportOpened *opened,
                              const std::string &run_line) {
    StnReportOpened local;
    StnReportOpened &o = opened != nullptr ? *opened : local;
    o = StnReportOpened();
    Found f;
    f.last_id = last_id_;
    StnReportOpen r = read_lines(store_, &f);
    if (r == StnReportOpen::kOk) r = judge(store_, &f);
    if (r == StnReportOpen::kIdsExhausted) o.highest_id = f.last_id;
    if (r != StnReportOpen::kOk) return r;
    std::string prev;
    if (!chain_hash(store_, f, &prev)) return StnReportOpen::kCannotRead;
    if (f.keep != f.size) {
        r = set_aside(store_, f, &cut_);
        if (r != StnReportOpen::kOk) return r;
        o.torn_bytes = f.size - f.keep;
        has_cut_ = true;
    }
    size_ = f.keep;
    publish();
    seq_ = f.kept_lines;
    prev_ = prev;
    if (f.kept_lines != 0) store_->identify(f.report_id);
    if (f.spill_waits && !add_spill(this, store_, &f, &o)) return StnReportOpen::kCannotRepair;
    last_id_ = f.last_id;
    o.highest_id = f.last_id;
    if (!run_line.empty() && !put(this, run_line, &o)) return StnReportOpen::kCannotRepair;
    if (!recover(this, store_, f, utc_now, &o)) return StnReportOpen::kCannotRepair;
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
