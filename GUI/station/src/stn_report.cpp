#include "stn_report.h"

#include "stn_json.h"

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

bool StnReport::open(std::uint64_t *torn_bytes) {
    if (torn_bytes != nullptr) *torn_bytes = 0;
    std::string bytes;
    if (!store_->read_all(&bytes)) return false;
    const std::uint64_t keep = stn_report_recorded_size(bytes);
    if (keep == bytes.size()) return true;
    // Kept beside the report before it is cut: a crash in between leaves
    // it in both places, never in neither.
    if (!store_->set_aside(bytes.substr(static_cast<std::size_t>(keep)))) return false;
    if (!store_->truncate(keep) || !store_->flush()) return false;
    if (torn_bytes != nullptr) *torn_bytes = bytes.size() - keep;
    return true;
}

bool StnReport::write_line(const std::string &line) {
    if (!store_->append(line + "\n")) return false;
    return store_->flush();
}
