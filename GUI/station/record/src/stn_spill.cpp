#include "stn_spill.h"

#include "stn_json.h"

#include <nlohmann/json.hpp>

namespace {

constexpr char kPrefix[] = "spill-";
constexpr char kSuffix[] = ".jsonl";
constexpr std::size_t kIdDigits = 64;

bool is_id(const std::string &s) {
    if (s.size() != kIdDigits) return false;
    for (char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// The report's path when line names one, else false (a line of the report).
bool naming_line(const std::string &line, std::string *report) {
    static constexpr char kHead[] = "{\"type\":\"spill\",";
    if (line.compare(0, sizeof kHead - 1, kHead) != 0) return false;
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_object()) return false;
    auto it = j.find("report");
    *report = it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
    return true;
}

// Calls each(line) for every line of the report in bytes (without its line
// end and a CR before it); *report: the last path named.
template <typename Each>
void each_line(const std::string &bytes, std::string *report, Each each) {
    std::size_t from = 0;
    while (from < bytes.size()) {
        std::size_t end = bytes.find('\n', from);
        if (end == std::string::npos) end = bytes.size();
        std::string l = bytes.substr(from, end - from);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        std::string named;
        if (naming_line(l, &named)) {
            *report = named;
        } else if (!l.empty()) {
            each(l);
        }
        from = end + 1;
    }
}

}  // namespace

std::string stn_spill_name(const std::string &report_id) {
    return is_id(report_id) ? kPrefix + report_id + kSuffix : std::string();
}

bool stn_spill_keep(StnSpillFolder *folder, const std::string &report_id,
                    const std::string &report_path, const std::string &lines, std::string *where) {
    const std::string name = stn_spill_name(report_id);
    if (name.empty() || folder == nullptr) return false;
    StnJson naming("spill");
    naming.str("report", report_path).str("id", report_id);
    if (!folder->append(name, naming.line() + "\n" + lines)) return false;
    *where = folder->where(name);
    return true;
}

bool stn_spill_read(StnSpillFolder *folder, const std::string &report_id, std::string *lines) {
    lines->clear();
    const std::string name = stn_spill_name(report_id);
    if (name.empty() || folder == nullptr) return true;
    std::string bytes;
    bool found = false;
    if (!folder->read(name, &bytes, &found)) return false;
    std::string report;
    each_line(bytes, &report, [&](const std::string &l) { *lines += l + "\n"; });
    return true;
}

bool stn_spill_retire(StnSpillFolder *folder, const std::string &report_id,
                      const std::string &stamp) {
    const std::string name = stn_spill_name(report_id);
    if (name.empty() || folder == nullptr) return true;
    std::string bytes;
    bool found = false;
    if (!folder->read(name, &bytes, &found)) return false;
    return !found || folder->rename(name, name + "." + stamp + ".added");
}

bool stn_spill_waiting(StnSpillFolder *folder, std::vector<StnSpillWaiting> *out) {
    out->clear();
    std::vector<std::string> names;
    if (folder == nullptr || !folder->list(&names)) return false;
    constexpr std::size_t kName = sizeof kPrefix - 1 + kIdDigits + sizeof kSuffix - 1;
    bool all = true;
    for (const std::string &name : names) {
        if (name.size() != kName || name.compare(0, sizeof kPrefix - 1, kPrefix) != 0 ||
            name.compare(kName - (sizeof kSuffix - 1), std::string::npos, kSuffix) != 0) {
            continue;
        }
        StnSpillWaiting w;
        w.report_id = name.substr(sizeof kPrefix - 1, kIdDigits);
        if (!is_id(w.report_id)) continue;
        std::string bytes;
        bool found = false;
        if (!folder->read(name, &bytes, &found)) {
            all = false;
            continue;
        }
        each_line(bytes, &w.report, [&](const std::string &l) {
            if (stn_json_is_object(l)) ++w.lines;
        });
        if (!found || w.lines == 0) continue;
        w.where = folder->where(name);
        out->push_back(std::move(w));
    }
    return all;
}

std::string stn_spill_notice(const StnSpillWaiting &w) {
    return "report: " + std::to_string(w.lines) + " line(s) of " +
           (w.report.empty() ? "the report " + w.report_id : w.report) + " wait in " + w.where +
           "; they are added when that report is opened";
}
