#include "stn_report.h"

#include <map>
#include <set>

#include "stn_json.h"
#include "stn_sha256.h"
#include "stn_text.h"

#include <nlohmann/json.hpp>

std::uint64_t stn_report_recorded_size(const std::string &bytes) {
    const std::size_t last_end = bytes.rfind('\n');
    if (last_end == std::string::npos) return 0;
    // Whole lines up to last_end; the bytes after it are a torn line.
    const std::size_t line_start = last_end == 0 ? 0 : bytes.rfind('\n', last_end - 1);
    const std::size_t from = line_start == std::string::npos ? 0 : line_start + 1;
    std::string last = bytes.substr(from, last_end - from);
    if (!last.empty() && last.back() == '\r') last.pop_back();
    // A whole last line that is no JSON object was torn too (a power cut
    // can leave zeros in front of a line end).
    if (!last.empty() && !stn_json_is_object(last)) return from;
    return last_end + 1;
}

namespace {

using Json = nlohmann::json;

// The line as a JSON object, or a discarded value.
Json parse(const std::string &line) {
    Json j = Json::parse(line, nullptr, false);
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

bool looks_torn(const std::string &line) {
    static const std::string kStart = "{\"type\":";
    if (line.find_first_not_of('\0') == std::string::npos) return true;
    return line.compare(0, kStart.size(), kStart) == 0 || kStart.compare(0, line.size(), line) == 0;
}

std::vector<std::string> split_lines(const std::string &bytes) {
    std::vector<std::string> out;
    std::size_t from = 0;
    while (from < bytes.size()) {
        std::size_t end = bytes.find('\n', from);
        if (end == std::string::npos) end = bytes.size();
        std::string l = bytes.substr(from, end - from);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        out.push_back(l);
        from = end + 1;
    }
    return out;
}

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

}  // namespace

bool stn_report_is_record(const std::string &line) {
    const Json j = parse(line);
    if (j.is_discarded()) return false;
    const std::string t = type_of(j);
    return t == "unit" || t == "start";
}

StnReportOpen StnReport::open(const std::string &utc_now, StnReportOpened *opened) {
    StnReportOpened local;
    StnReportOpened &o = opened != nullptr ? *opened : local;
    o = StnReportOpened();
    std::string bytes;
    if (!store_->read_all(&bytes)) return StnReportOpen::kCannotRead;
    const std::uint64_t keep = stn_report_recorded_size(bytes);

    // Ours or not is told by the first line: it must be a record, unless
    // it is also the torn last line of a report cut short in its first
    // write (then it begins as every line of ours does, or is zeros).
    const std::size_t first_end = bytes.find('\n');
    std::string first = bytes.substr(0, first_end == std::string::npos ? bytes.size() : first_end);
    if (!first.empty() && first.back() == '\r') first.pop_back();
    if (!bytes.empty() && !stn_report_is_record(first) && (keep > 0 || !looks_torn(first))) {
        return StnReportOpen::kForeign;
    }

    if (keep != bytes.size()) {
        // Kept beside the report before it is cut: a crash in between
        // leaves it in both places, never in neither.
        if (!store_->set_aside(bytes.substr(static_cast<std::size_t>(keep)))) {
            return StnReportOpen::kCannotRepair;
        }
        if (!store_->truncate(keep) || !store_->flush()) return StnReportOpen::kCannotRepair;
        o.torn_bytes = bytes.size() - keep;
        has_cut_ = true;
        cut_.bytes = o.torn_bytes;
        cut_.sha256 = stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(bytes.data()) + keep,
                                     static_cast<std::size_t>(o.torn_bytes));
        bytes.resize(static_cast<std::size_t>(keep));
    }

    size_ = bytes.size();
    o.lines = split_lines(bytes);
    seq_ = o.lines.size();
    prev_ = o.lines.empty() ? std::string(kStnEmptySha256) : stn_line_sha256(o.lines.back());
    if (!add_spill(&o)) return StnReportOpen::kCannotRepair;
    std::map<std::uint64_t, Json> open_starts;
    for (const std::string &l : o.lines) {
        const Json j = parse(l);
        if (j.is_discarded()) continue;
        const std::uint64_t id = id_of(j);
        if (id > last_id_) last_id_ = id;
        const std::string t = type_of(j);
        if (t == "start" && id != 0) open_starts[id] = j;
        if (t == "unit") open_starts.erase(id);
    }
    for (const auto &s : open_starts) {
        const std::string line = recovered_line(s.second, s.first, utc_now);
        if (!write_line(line)) return StnReportOpen::kCannotRepair;
        o.lines.push_back(line);
        ++o.recovered;
    }
    return StnReportOpen::kOk;
}

bool StnReport::add_spill(StnReportOpened *o) {
    std::string spill;
    if (!store_->read_spill(&spill)) return false;
    if (spill.empty()) return true;
    // A line being written as the station gave up may have landed too
    // (with its chain fields; the spill keeps lines without them).
    std::set<std::string> have;
    for (const std::string &l : o->lines) have.insert(stn_chain_body(l));
    for (const std::string &l : split_lines(spill)) {
        if (!stn_json_is_object(l) || have.count(l) != 0) continue;
        if (!write_line(l)) return false;
        o->lines.push_back(l);
        ++o->from_spill;
    }
    // Retired only once its lines are on the disk: a crash before leaves
    // them to be added again, and the check above keeps them once.
    return store_->retire_spill();
}

bool StnReport::write_line(const std::string &body) {
    const std::string line = stn_chain_line(body, seq_ + 1, prev_, has_cut_ ? &cut_ : nullptr);
    if (!store_->append(line + "\n") || !store_->flush()) return false;
    size_ += line.size() + 1;
    ++seq_;
    prev_ = stn_line_sha256(line);
    has_cut_ = false;
    return true;
}

bool StnReport::cut_back() { return store_->truncate(size_) && store_->flush(); }
