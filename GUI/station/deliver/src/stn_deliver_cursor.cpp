// Where delivery stands in the report: the cursor's text, and the place
// delivery resumes from (the cursor's own when the report still holds its
// lines; after a cut, the last line the file and the database agree on).
// On the delivery thread.
#include "stn_deliver.h"

#include <map>

#include <nlohmann/json.hpp>

#include "stn_deliver_parts.h"
#include "stn_report.h"

using namespace stn_deliver_parts;

std::string stn_cursor_text(const StnDeliverCursor &c) {
    nlohmann::json j = nlohmann::json::object();
    j["report"] = c.report_id;
    j["offset"] = c.offset;
    j["seq"] = c.seq;
    j["line_sha256"] = c.line_sha256;
    return j.dump() + "\n";
}

bool stn_cursor_parse(const std::string &text, StnDeliverCursor *c) {
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_object()) return false;
    const auto r = j.find("report"), o = j.find("offset"), s = j.find("seq"),
               k = j.find("line_sha256");
    if (r == j.end() || o == j.end() || s == j.end() || k == j.end()) return false;
    if (!r->is_string() || !o->is_number_unsigned() || !s->is_number_unsigned() ||
        !k->is_string()) {
        return false;
    }
    c->report_id = r->get<std::string>();
    c->offset = o->get<std::uint64_t>();
    c->seq = s->get<std::uint64_t>();
    c->line_sha256 = k->get<std::string>();
    return c->report_id.size() == 64 && c->line_sha256.size() == 64 && c->offset > 0 &&
           c->seq > 0;
}

namespace stn_deliver_parts {

std::string hash_of_first_line(StnDeliverFiles *files) {
    std::string bytes;
    if (!files->read(0, kChunk, &bytes)) return "";
    return stn_report_id(bytes);
}

// The hash of the whole line that ends (with its LF) at offset; empty when
// there is none (the file is shorter) or it cannot be read. Looks back a
// little first: it runs at every attempt.
std::string hash_of_line_before(StnDeliverFiles *files, std::uint64_t offset) {
    for (std::size_t window = 4096;; window *= 2) {
        if (window > kChunk) window = kChunk;
        const std::uint64_t from = offset > window ? offset - window : 0;
        std::string bytes;
        if (!files->read(from, static_cast<std::size_t>(offset - from), &bytes)) return "";
        if (bytes.size() != offset - from || bytes.empty() || bytes.back() != '\n') return "";
        const std::size_t prev = bytes.size() >= 2 ? bytes.rfind('\n', bytes.size() - 2)
                                                   : std::string::npos;
        if (prev == std::string::npos && from != 0) {
            if (window == kChunk) return "";  // longer than we look back
            continue;
        }
        const std::size_t begin = prev == std::string::npos ? 0 : prev + 1;
        return sha_hex(std::string(
            stn_without_cr(std::string_view(bytes).substr(begin, bytes.size() - 1 - begin))));
    }
}

// Where a cursor lets delivery resume: its own place when the report still
// holds the same first line and the same line before the offset; else the
// start.
void resume(StnDeliverFiles *files, StnLineSource *src) {
    std::string text;
    StnDeliverCursor c;
    if (files->load_cursor(&text) && stn_cursor_parse(text, &c) &&
        hash_of_first_line(files) == c.report_id &&
        hash_of_line_before(files, c.offset) == c.line_sha256) {
        src->seek(c.offset, c.seq, c.report_id, c.line_sha256);
        return;
    }
    src->seek(0, 0, "");
}

// After a cut below the last line delivered: the place after the last line
// that the file and the rows held for its report agree on, line by line
// from the first; *gone: the numbers of held rows whose line the file no
// longer has. false: the database or the file cannot be read.
bool walk_back(StnDeliverFiles *files, StnDatabase *db, const std::string &report_id,
               StnLineSource *src, std::vector<std::uint64_t> *gone, std::string *why) {
    std::map<std::uint64_t, std::string> held;  // seq -> key
    if (!db->held(report_id, [&](std::uint64_t seq, const std::string &key) {
            held.emplace(seq, key);
        }, why)) {
        return false;
    }
    const auto cannot_read = [&] {
        *why = "cannot read the report";
        return false;
    };
    StnLineSource scan(files, "");
    scan.seek(0, 0, "");
    std::uint64_t offset = 0, seq = 0;  // after the last line that agrees
    std::string key;
    bool agree = true;
    std::map<std::string, std::uint64_t> in_file;  // keys of the file's lines after it
    for (;;) {
        std::vector<StnDbRow> rows;
        std::uint64_t end = 0;
        if (!scan.take(1000, &rows, &end)) return cannot_read();
        if (rows.empty()) break;
        std::size_t agreeing = 0;
        for (const StnDbRow &r : rows) {
            if (agree) {
                const auto h = held.find(r.seq);
                agree = h != held.end() && h->second == r.key && r.report_id == report_id;
            }
            if (agree) {
                ++agreeing;
                seq = r.seq;
                key = r.key;
            } else {
                in_file.emplace(r.key, r.seq);
            }
        }
        if (agreeing == rows.size()) {
            offset = end;
        } else if (agreeing > 0) {
            // Where the agreeing lines of this batch end (a CR LF is two bytes).
            StnLineSource part(files, "");
            part.seek(scan.offset(), 0, report_id);
            if (!part.take(agreeing, &rows, &offset)) return cannot_read();
        }
        scan.advance();
    }
    gone->clear();
    for (const auto &h : held) {
        if (h.first > seq && in_file.find(h.second) == in_file.end()) gone->push_back(h.first);
    }
    if (seq == 0) {
        src->seek(0, 0, "");
    } else {
        src->seek(offset, seq, report_id, key);
    }
    return true;
}

}  // namespace stn_deliver_parts
