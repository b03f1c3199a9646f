// The MES's check-outs as delivery's destination: each unit line of the
// report, one check-out each, from a start of its own; its cursor. On the
// delivery thread.
#include "stn_mes.h"

#include <nlohmann/json.hpp>

#include "stn_deliver_parts.h"
#include "stn_fields.h"
#include "stn_lines.h"

using namespace stn_deliver_parts;

namespace {

bool is_hash(const std::string &s) { return s.size() == 64; }

// A place: offset 0 with nothing before it, or after a line with its hash.
bool place_ok(const StnDeliverCursor &c) {
    return c.offset == 0 ? c.seq == 0 && c.line_sha256.empty()
                         : c.seq > 0 && is_hash(c.line_sha256);
}

bool read_place(const nlohmann::json &j, StnDeliverCursor *c) {
    if (!j.is_object()) return false;
    const auto o = j.find("offset"), s = j.find("seq"), k = j.find("line_sha256");
    if (o == j.end() || s == j.end() || k == j.end() || !o->is_number_unsigned() ||
        !s->is_number_unsigned() || !k->is_string()) {
        return false;
    }
    c->offset = o->get<std::uint64_t>();
    c->seq = s->get<std::uint64_t>();
    c->line_sha256 = k->get<std::string>();
    return place_ok(*c);
}

nlohmann::json place_json(const StnDeliverCursor &c) {
    nlohmann::json j = nlohmann::json::object();
    j["offset"] = c.offset;
    j["seq"] = c.seq;
    j["line_sha256"] = c.line_sha256;
    return j;
}

// Whether the report still holds the line that ends at the place.
bool holds(StnDeliverFiles *files, const StnDeliverCursor &c) {
    return c.offset == 0 || hash_of_line_before(files, c.offset) == c.line_sha256;
}

// The place after the last whole line that ends at or before offset.
StnDeliverCursor place_at(StnDeliverFiles *files, std::uint64_t offset) {
    FilesSource source(files);
    StnLineReader reader(&source);
    StnLine line;
    StnDeliverCursor c;
    while (reader.next(&line) && line.ended && line.end() <= offset) {
        ++c.seq;
        c.offset = line.end();
    }
    if (c.offset > 0) c.line_sha256 = hash_of_line_before(files, c.offset);
    if (c.offset > 0 && c.line_sha256.empty()) c = StnDeliverCursor();  // unreadable: all of it
    return c;
}

class MesDestination : public StnDestination {
public:
    MesDestination(std::unique_ptr<StnHttp> http, const StnMesConfig &config, unsigned deadline_ms)
        : http_(std::move(http)), config_(config), deadline_ms_(deadline_ms) {}

    bool wants(std::string_view line) const override {
        StnLineFields f;
        return f.read(line) && f.text(StnLineFields::kType) == "unit";
    }
    bool ready(std::string *why) override { return (void)why, true; }
    bool put(const std::vector<StnDbRow> &rows, std::size_t *taken, std::size_t *added,
             std::string *why) override {
        *taken = *added = 0;
        for (const StnDbRow &row : rows) {
            StnCheckOut checkout;
            if (row.type == "unit" && stn_mes_check_out(row.text, &checkout)) {
                if (!stn_mes_send_check_out(http_.get(), config_, checkout, deadline_ms_, why)) {
                    return false;
                }
                ++*added;
            }
            ++*taken;
        }
        return true;
    }
    void resume(StnDeliverFiles *files, std::uint64_t opened_at, StnLineSource *src) override;
    bool back(StnDeliverFiles *files, StnLineSource *src, std::string *notice,
              std::string *why) override;
    std::string cursor_text(const StnLineSource &src) const override {
        StnMesCursor c;
        c.at.report_id = src.report_id();
        c.at.offset = src.offset();
        c.at.seq = src.seq();
        c.at.line_sha256 = src.last_key();
        c.start = start_;
        return stn_mes_cursor_text(c);
    }

private:
    // src at the start, when the report still holds its line; else at the
    // report's first line.
    void go_to_start(StnDeliverFiles *files, StnLineSource *src) {
        if (!holds(files, start_)) start_ = StnDeliverCursor();
        const std::string id = start_.offset == 0 ? "" : hash_of_first_line(files);
        src->seek(start_.offset, start_.seq, id, start_.line_sha256);
    }

    std::unique_ptr<StnHttp> http_;
    StnMesConfig config_;
    unsigned deadline_ms_;
    StnDeliverCursor start_;
};

void MesDestination::resume(StnDeliverFiles *files, std::uint64_t opened_at,
                            StnLineSource *src) {
    std::string text;
    StnMesCursor c;
    if (files->load_cursor(&text) && stn_mes_cursor_parse(text, &c) &&
        (c.at.report_id.empty() ? c.at.offset == 0
                                : hash_of_first_line(files) == c.at.report_id)) {
        start_ = c.start;
        if (holds(files, c.at)) {
            src->seek(c.at.offset, c.at.seq, c.at.report_id, c.at.line_sha256);
        } else {
            go_to_start(files, src);  // cut below it while we were away
        }
        return;
    }
    // No cursor of this report: its check-outs start now, at the lines
    // this open found (anything before went to no MES).
    start_ = place_at(files, opened_at);
    go_to_start(files, src);
}

// The MES cannot be asked which check-outs it holds, and a cut below the
// place means the lines sent last may be gone and others written where they
// were. Which of the lines after the start were sent is not known any more,
// so they all go again from the start (the keys make a repeat harmless): a
// few check-outs twice rather than one lost. When even the start's line is
// gone, only the report's first line is sure to come before every line not
// yet sent.
bool MesDestination::back(StnDeliverFiles *files, StnLineSource *src, std::string *notice,
                          std::string *why) {
    (void)notice, (void)why;
    go_to_start(files, src);
    return true;
}

}  // namespace

std::string stn_mes_cursor_text(const StnMesCursor &c) {
    nlohmann::json j = place_json(c.at);
    j["report"] = c.at.report_id;
    j["start"] = place_json(c.start);
    return j.dump() + "\n";
}

bool stn_mes_cursor_parse(const std::string &text, StnMesCursor *c) {
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_object() || !read_place(j, &c->at) || !j.contains("start") ||
        !read_place(j["start"], &c->start)) {
        return false;
    }
    const auto r = j.find("report");
    if (r == j.end() || !r->is_string()) return false;
    c->at.report_id = r->get<std::string>();
    // No report id only while nothing of it was passed; the start never
    // lies after the place.
    const bool report_ok = c->at.report_id.empty() ? c->at.offset == 0 : is_hash(c->at.report_id);
    return report_ok && c->start.offset <= c->at.offset && c->start.seq <= c->at.seq;
}

std::unique_ptr<StnDestination> stn_mes_destination(std::unique_ptr<StnHttp> http,
                                                    const StnMesConfig &config,
                                                    unsigned deadline_ms) {
    return std::unique_ptr<StnDestination>(
        new MesDestination(std::move(http), config, deadline_ms));
}
