#include "stn_page.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "stn_json.h"
#include "stn_text.h"
#include "stn_time.h"
#include "stn_timeline.h"

namespace {

// Groups (stations, work orders) listed at most; the rest are summed in one row.
constexpr std::size_t kGroupRows = 200;

// By StnOutcome: updated, current, failed, interrupted.
const char *const kOutcomeColour[] = {"#2e7d32", "#78909c", "#c62828", "#f9a825"};

std::string esc(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string n(std::uint64_t v) { return std::to_string(v); }

// A share as the JSON has it ("0.9700"), or "null".
std::string share_value(double v) { return v < 0 ? "null" : stn_decimal(v, 4); }
std::string percent_text(double v) { return v < 0 ? "none" : stn_decimal(v * 100.0, 1) + " %"; }
std::string per_hour_value(double v) { return v < 0 ? "null" : stn_decimal(v, 1); }
std::string per_hour_text(double v) { return v < 0 ? "none" : stn_decimal(v, 1); }

// An element that carries one figure: shown as text, its value in data-value.
std::string figure(const char *tag, const std::string &name, const std::string &value,
                   const std::string &text, const char *cls = nullptr) {
    std::string out = std::string("<") + tag;
    if (cls != nullptr) out += std::string(" class=\"") + cls + "\"";
    return out + " data-figure=\"" + name + "\" data-value=\"" + esc(value) + "\">" + esc(text) +
           "</" + tag + ">";
}

// The headline figure tiles.
std::string tile(const std::string &name, const std::string &value, const std::string &text,
                 const char *label, const char *cls = "") {
    return std::string("<div class=\"tile ") + cls + "\">" + figure("span", name, value, text, "v") +
           "<span class=\"k\">" + label + "</span></div>\n";
}

// A horizontal bar of n parts side by side, each as wide as its share of
// `most` (the largest row's total fills the bar).
std::string bar(const std::uint64_t *counts, const char *const *colours, int n,
                std::uint64_t most) {
    const double width = 240.0;
    std::string out = "<svg class=\"bar\" width=\"240\" height=\"14\" viewBox=\"0 0 240 14\" "
                      "preserveAspectRatio=\"none\" aria-hidden=\"true\">";
    double x = 0;
    for (int i = 0; i < n; ++i) {
        if (counts[i] == 0 || most == 0) continue;
        const double w = width * static_cast<double>(counts[i]) / static_cast<double>(most);
        out += "<rect x=\"" + stn_decimal(x, 1) + "\" y=\"1\" width=\"" + stn_decimal(w, 1) +
               "\" height=\"12\" fill=\"" + colours[i] + "\"/>";
        x += w;
    }
    return out + "</svg>";
}

std::string group_section(const char *id, const char *title, const char *what,
                          const std::map<std::string, StnGroupFigures> &groups) {
    std::vector<std::pair<std::string, const StnGroupFigures *>> rows;
    for (const auto &g : groups) rows.emplace_back(g.first, &g.second);
    // Largest first; a tie in name order.
    std::stable_sort(rows.begin(), rows.end(), [](const auto &a, const auto &b) {
        return a.second->units > b.second->units;
    });
    std::uint64_t most = rows.empty() ? 0 : rows.front().second->units;
    std::string out = std::string("<section id=\"") + id + "\"><h2>" + title + "</h2>\n";
    if (rows.empty()) return out + "<p class=\"none\">No units.</p></section>\n";
    out += "<p class=\"legend\" aria-hidden=\"true\">";
    for (int i = 0; i < 4; ++i) {
        out += std::string("<span><i style=\"background:") + kOutcomeColour[i] + "\"></i>" +
               stn_outcome_name(static_cast<StnOutcome>(i)) + "</span>";
    }
    out += "</p>\n";
    out += std::string("<table><thead><tr><th scope=\"col\">") + what +
           "</th><th scope=\"col\" class=\"num\">Units</th><th scope=\"col\" class=\"num\">"
           "Updated</th><th scope=\"col\" class=\"num\">Current</th><th scope=\"col\" "
           "class=\"num\">Failed</th><th scope=\"col\" class=\"num\">Interrupted</th><th "
           "scope=\"col\" class=\"num\">First-pass yield</th><th scope=\"col\">Units by "
           "result</th></tr></thead><tbody>\n";
    StnGroupFigures rest;
    std::size_t rest_count = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const StnGroupFigures &g = *rows[i].second;
        if (i >= kGroupRows) {
            ++rest_count;
            rest.units += g.units;
            rest.updated += g.updated;
            rest.current += g.current;
            rest.failed += g.failed;
            rest.interrupted += g.interrupted;
            continue;
        }
        const std::uint64_t counts[4] = {g.updated, g.current, g.failed, g.interrupted};
        out += std::string("<tr data-group=\"") + id + "\" data-name=\"" + esc(rows[i].first) +
               "\"><th scope=\"row\">" +
               (rows[i].first.empty() ? std::string("<i>none given</i>") : esc(rows[i].first)) +
               "</th>" + figure("td", "units", n(g.units), n(g.units), "num") +
               figure("td", "updated", n(g.updated), n(g.updated), "num") +
               figure("td", "current", n(g.current), n(g.current), "num") +
               figure("td", "failed", n(g.failed), n(g.failed), "num") +
               figure("td", "interrupted", n(g.interrupted), n(g.interrupted), "num") +
               figure("td", "first_pass_yield", share_value(g.first_pass_yield()),
                      percent_text(g.first_pass_yield()), "num") +
               "<td>" + bar(counts, kOutcomeColour, 4, most) + "</td></tr>\n";
    }
    if (rest_count != 0) {
        out += "<tr class=\"rest\"><th scope=\"row\">" + n(rest_count) + " more</th><td class=\"num\">" +
               n(rest.units) + "</td><td class=\"num\">" + n(rest.updated) +
               "</td><td class=\"num\">" + n(rest.current) + "</td><td class=\"num\">" +
               n(rest.failed) + "</td><td class=\"num\">" + n(rest.interrupted) +
               "</td><td></td><td></td></tr>\n";
    }
    return out + "</tbody></table></section>\n";
}

// The top of a scale for values up to v: 10, 20, 25, 50, 100, 200, ...
double round_top(double v) {
    double p = 10;
    while (p * 10 < v) p *= 10;
    for (double m : {1.0, 2.0, 2.5, 5.0}) {
        if (p * m >= v) return p * m;
    }
    return p * 10;
}

// The time axis of the charts: x of a UTC time within [first, end).
struct Axis {
    std::int64_t first = 0, end = 1;
    double left = 0, width = 1;
    double x(std::int64_t t) const {
        return left + width * static_cast<double>(t - first) / static_cast<double>(end - first);
    }
};

// One chart of the timeline: a bar per bucket of value(bucket) on a scale
// up to top; buckets whose value is negative (none) have no bar.
template <typename Value>
std::string time_chart(const char *title, const std::vector<StnTimeline::Bucket> &buckets,
                       const Axis &axis, double top, const std::string &top_text,
                       const char *colour, Value value) {
    const double height = 150, base = 170, chart_top = base - height;
    std::string out = std::string("<figure><figcaption>") + title + "</figcaption>" +
                      "<svg class=\"chart\" viewBox=\"0 0 600 210\" role=\"img\" aria-label=\"" +
                      title + "\">";
    // The scale: 0, half and the top.
    for (int i = 0; i <= 2; ++i) {
        const double y = base - height * i / 2.0;
        out += "<line x1=\"" + stn_decimal(axis.left, 0) + "\" x2=\"" +
               stn_decimal(axis.left + axis.width, 0) + "\" y1=\"" + stn_decimal(y, 1) +
               "\" y2=\"" + stn_decimal(y, 1) + "\" class=\"grid\"/>";
    }
    out += "<text x=\"" + stn_decimal(axis.left - 6, 0) + "\" y=\"" +
           stn_decimal(chart_top + 4, 0) + "\" class=\"ya\">" + esc(top_text) + "</text>";
    out += "<text x=\"" + stn_decimal(axis.left - 6, 0) + "\" y=\"" + stn_decimal(base + 4, 0) +
           "\" class=\"ya\">0</text>";
    for (const StnTimeline::Bucket &b : buckets) {
        const double v = value(b.slot);
        if (v < 0 || top <= 0) continue;
        const double x0 = axis.x(b.start_ms), x1 = axis.x(b.start_ms + b.width_ms);
        const double w = std::max(1.0, (x1 - x0) * 0.85);
        const double h = height * std::min(v, top) / top;
        out += "<rect x=\"" + stn_decimal(x0, 1) + "\" y=\"" + stn_decimal(base - h, 1) +
               "\" width=\"" + stn_decimal(w, 1) + "\" height=\"" + stn_decimal(h, 1) +
               "\" fill=\"" + colour + "\"/>";
    }
    return out;
}

// The timeline's figures, a row per bucket, under a fold that starts open.
std::string timeline_table(const std::vector<StnTimeline::Bucket> &buckets, bool by_day) {
    std::string out = std::string("<details open><summary>The figures ") + (by_day ? "per day" : "per hour") +
           "</summary><table class=\"compact\"><thead><tr><th scope=\"col\">" +
           (by_day ? "Day" : "Hour") +
           "</th><th scope=\"col\" class=\"num\">Units</th><th scope=\"col\" class=\"num\">"
           "Updated</th><th scope=\"col\" class=\"num\">Failed</th><th scope=\"col\" "
           "class=\"num\">First-pass yield</th><th scope=\"col\" class=\"num\">Units per "
           "hour</th><th scope=\"col\" class=\"num\">Running</th></tr></thead><tbody>\n";
    for (const auto &b : buckets) {
        const StnTimeline::Slot &s = b.slot;
        out += "<tr data-group=\"timeline\" data-name=\"" + esc(b.label) + "\"><th scope=\"row\">" +
               esc(b.label) + "</th>" + figure("td", "units", n(s.units), n(s.units), "num") +
               "<td class=\"num\">" + n(s.updated) + "</td><td class=\"num\">" + n(s.failed) +
               "</td>" +
               figure("td", "first_pass_yield", share_value(s.first_pass_yield()),
                      percent_text(s.first_pass_yield()), "num") +
               figure("td", "units_per_hour", per_hour_value(s.units_per_hour()),
                      per_hour_text(s.units_per_hour()), "num") +
               figure("td", "running_s", n(s.running_ms / 1000), stn_hours_text(s.running_ms),
                      "num") +
               "</tr>\n";
    }
    return out + "</tbody></table></details>";
}

std::string timeline_section(const StnFigures &t, int offset, const std::string &zone) {
    const std::vector<StnTimeline::Bucket> buckets = t.timeline.buckets(offset);
    std::string out = "<section id=\"timeline\"><h2>Over time</h2>\n";
    if (buckets.empty()) return out + "<p class=\"none\">No units.</p></section>\n";
    const bool by_day = buckets.front().width_ms > 3600000;
    out += std::string("<p class=\"note\">First-pass yield and units per hour of running time, ") +
           (by_day ? "per day" : "per hour") + " (" + esc(zone) + ").</p>\n";
    const StnTimeline::Slot &out_of_view = t.timeline.left_out;
    if (out_of_view.units != 0 || out_of_view.running_ms != 0) {
        out += "<p class=\"note\">Not in the charts: " + n(out_of_view.units) +
               " units and " + stn_hours_text(out_of_view.running_ms) +
               " of running time from before the latest two years, or early in a run longer "
               "than 31 days.</p>\n";
    }
    Axis axis;
    axis.first = buckets.front().start_ms;
    axis.end = buckets.back().start_ms + buckets.back().width_ms;
    axis.left = 48;
    axis.width = 544;
    double most = 0;
    for (const auto &b : buckets) most = std::max(most, b.slot.units_per_hour());
    // A round top for the units-per-hour scale.
    const double top = round_top(most);
    // The time labels, at most five, evenly spread over the buckets; an
    // hour's without its year ("12-08 15:00"), to fit.
    std::string labels;
    const std::size_t step = std::max<std::size_t>(1, (buckets.size() + 4) / 5);
    for (std::size_t i = 0; i < buckets.size(); i += step) {
        const double x = std::min(axis.x(buckets[i].start_ms), axis.left + axis.width - 80);
        labels += "<text x=\"" + stn_decimal(x, 1) + "\" y=\"195\">" +
                  esc(by_day ? buckets[i].label : buckets[i].label.substr(5)) + "</text>";
    }
    out += "<div class=\"charts\">";
    out += time_chart("First-pass yield", buckets, axis, 1.0, "100 %", "#2e7d32",
                      [](const StnTimeline::Slot &s) { return s.first_pass_yield(); }) +
           labels + "</svg></figure>";
    out += time_chart("Units per hour", buckets, axis, top, stn_decimal(top, 0), "#1565c0",
                      [](const StnTimeline::Slot &s) { return s.units_per_hour(); }) +
           labels + "</svg></figure></div>\n";
    return out + timeline_table(buckets, by_day) + "</section>\n";
}

std::string failures_section(const StnFigures &t) {
    std::vector<int> kinds;
    for (int k = 1; k < kStnFailureKinds; ++k) kinds.push_back(k);
    std::stable_sort(kinds.begin(), kinds.end(),
                     [&t](int a, int b) { return t.failures[a] > t.failures[b]; });
    const std::uint64_t most = t.failures[kinds.front()];
    std::string out = "<section id=\"failures\"><h2>Failures by kind</h2>\n";
    if (t.failed == 0) out += "<p class=\"none\">No unit failed.</p>\n";
    out += "<table><thead><tr><th scope=\"col\">Kind</th><th scope=\"col\" class=\"num\">Units"
           "</th><th scope=\"col\" class=\"num\">Share of failures</th><th scope=\"col\">"
           "</th></tr></thead><tbody>\n";
    for (int k : kinds) {
        const std::uint64_t count = t.failures[k];
        const double share = t.failed == 0 ? -1.0 : static_cast<double>(count) / t.failed;
        out += std::string("<tr data-group=\"failures\" data-name=\"") +
               stn_failure_name(static_cast<StnFailure>(k)) + "\"><th scope=\"row\">" +
               stn_failure_words(static_cast<StnFailure>(k)) + "</th>" +
               figure("td", "count", n(count), n(count), "num") +
               figure("td", "share", share_value(share), percent_text(share), "num") +
               "<td>" + bar(&count, &kOutcomeColour[static_cast<int>(StnOutcome::kFailed)], 1, most) + "</td></tr>\n";
    }
    return out + "</tbody></table></section>\n";
}

std::string serials_section(const StnFigures &t) {
    const std::vector<std::int64_t> serials = t.not_at_image;
    std::string out = "<section id=\"serials\"><h2>Serials not at the image</h2>\n";
    if (serials.empty()) {
        out += "<p class=\"none\">Every unit with a serial holds the image.</p>\n";
    } else {
        out += "<p>" + n(serials.size()) + (serials.size() == 1 ? " unit" : " units") +
               " whose last result is failed or interrupted:</p>\n";
    }
    out += "<ol class=\"serials\" data-figure=\"not_at_image\" data-value=\"" +
           n(serials.size()) + "\">";
    const std::size_t shown = std::min(serials.size(), kStnPageSerials);
    for (std::size_t i = 0; i < shown; ++i) {
        const std::string v = std::to_string(serials[i]);
        out += "<li data-value=\"" + v + "\">" + v + "</li>";
    }
    out += "</ol>\n";
    if (shown < serials.size()) {
        out += "<p class=\"note\">and " + n(serials.size() - shown) +
               " more (qvm_cli report --json lists them all).</p>\n";
    }
    return out + "</section>\n";
}

std::string files_section(const StnPageInput &in, const StnFigures &t) {
    if (!in.database.empty()) {
        // No files, no chains: what the rows' times say.
        return "<section id=\"times\"><p>" +
               figure("span", "bad_times", n(t.bad_times), n(t.bad_times)) +
               " lines with a time that cannot be right (before 2000 or after tomorrow), not "
               "used for times.</p></section>\n";
    }
    std::string out = "<section id=\"files\"><h2>Files read</h2>\n<table><thead><tr><th "
                      "scope=\"col\">File</th><th scope=\"col\">Chain</th><th scope=\"col\" "
                      "class=\"num\">Chained lines</th></tr></thead><tbody>\n";
    for (const StnPageFile &f : in.files) {
        out += "<tr data-group=\"chains\" data-name=\"" + esc(f.name) + "\"><th scope=\"row\">" +
               esc(f.name) + "</th>";
        if (!f.chain.checked) {
            out += "<td data-figure=\"intact\" data-value=\"null\">not checked</td><td></td>";
        } else {
            out += figure("td", "intact", f.chain.intact ? "true" : "false", f.chain.verdict,
                          f.chain.intact ? "ok" : "bad") +
                   figure("td", "lines", n(f.chain.lines), n(f.chain.lines), "num");
        }
        out += "</tr>\n";
    }
    out += "</tbody></table>\n<p>" +
           figure("span", "skipped_lines", n(t.skipped_lines), n(t.skipped_lines)) +
           " lines skipped (torn, or not a record). " +
           figure("span", "bad_times", n(t.bad_times), n(t.bad_times)) +
           " lines with a time that cannot be right (before 2000 or after tomorrow), not used "
           "for times. " +
           figure("span", "files", n(in.files.size()), n(in.files.size())) + " files.</p>\n";
    return out + "</section>\n";
}

// Where the figures came from: the files or the database, the stations
// and the window.
std::string source_text(const StnPageInput &in, int offset) {
    std::string out;
    if (in.database.empty()) {
        out = "From " + n(in.files.size()) +
              (in.files.size() == 1 ? " report file" : " report files");
    } else {
        out = "From the database " +
              figure("span", "database", in.database, in.database, "source");
    }
    if (in.stations.empty()) {
        out += in.database.empty() ? "" : ", every station";
    } else {
        std::string names;
        for (const std::string &s : in.stations) names += (names.empty() ? "" : ", ") + s;
        out += std::string(in.stations.size() == 1 ? ", station " : ", stations ") +
               figure("span", "stations", names, names);
    }
    const bool from = in.from_ms != INT64_MIN, to = in.to_ms != INT64_MAX;
    if (from || to) {
        // The window in the page's time, its bounds as given in data-value.
        out += ", lines";
        if (from) {
            out += " from " + figure("span", "from", stn_utc_text(in.from_ms),
                                     stn_local_time_text(in.from_ms, offset));
        }
        if (to) {
            out += " before " + figure("span", "to", stn_utc_text(in.to_ms),
                                       stn_local_time_text(in.to_ms, offset));
        }
    }
    return out + ".";
}

const char kStyle[] = R"(<style>
:root{--ok:#2e7d32;--bad:#c62828;--ink:#1d2329;--mute:#5f6b76;--line:#d5dbe0}
*{box-sizing:border-box}
body{margin:0;padding:24px 32px;font:14px/1.45 "Segoe UI",system-ui,-apple-system,"DejaVu Sans",sans-serif;color:var(--ink);background:#fff;max-width:1200px}
h1{font-size:22px;margin:0 0 4px}
h2{font-size:17px;margin:28px 0 8px;padding-bottom:4px;border-bottom:1px solid var(--line)}
.meta,.note{color:var(--mute);margin:0 0 8px}
.tiles{display:grid;grid-template-columns:repeat(auto-fill,minmax(160px,1fr));gap:10px;margin:16px 0}
.tile{border:1px solid var(--line);border-radius:6px;padding:10px 12px}
.tile .v{display:block;font-size:22px;font-weight:600;font-variant-numeric:tabular-nums;white-space:nowrap}
.tile .k{color:var(--mute)}
.tile.ok .v{color:var(--ok)}.tile.bad .v{color:var(--bad)}
.banner{border-left:4px solid var(--bad);background:#fdecea;padding:8px 12px;margin:8px 0}
table{border-collapse:collapse;width:100%;font-variant-numeric:tabular-nums}
th,td{text-align:left;padding:4px 8px;border-bottom:1px solid var(--line);vertical-align:middle}
thead th{font-weight:600;color:var(--mute);border-bottom:2px solid var(--line)}
tbody th{font-weight:normal;white-space:nowrap}
.num{text-align:right;white-space:nowrap}
td.ok{color:var(--ok)}td.bad{color:var(--bad);font-weight:600}
.rest th,.rest td{color:var(--mute)}
.charts{display:grid;grid-template-columns:1fr 1fr;gap:16px}
figure{margin:0}figcaption{font-weight:600;margin-bottom:2px}
svg.chart{width:100%;height:auto}
svg .grid{stroke:var(--line);stroke-width:1}
svg text{font-size:13px;fill:var(--mute)}
svg .ya{text-anchor:end}
svg.bar{display:block}
.legend span{display:inline-block;margin-right:14px}
.legend i{display:inline-block;width:10px;height:10px;margin-right:4px;vertical-align:middle}
.serials{columns:10 80px;padding-left:0;list-style:none;font-variant-numeric:tabular-nums;margin:0}
table.compact td,table.compact th{padding:2px 8px}
details summary{cursor:pointer;color:var(--mute);margin:8px 0}
.none{color:var(--mute);font-style:italic}
@media (max-width:900px){.charts{grid-template-columns:1fr}}
@page{size:A4;margin:12mm}
@media print{body{padding:0;max-width:none;font-size:10pt}
*{-webkit-print-color-adjust:exact;print-color-adjust:exact}
section{break-inside:avoid-page}#timeline,#serials,#stations,#orders{break-inside:auto}
tr{break-inside:avoid}thead{display:table-header-group}
.charts{grid-template-columns:1fr}svg.chart{max-height:62mm}summary{display:none}svg.bar{width:120px}}
</style>
)";

// The page up to its header's end: title, style, work order, when it was
// made and in which time zone its times are.
std::string page_head(const StnPageInput &in, const StnFigures &t, int offset,
                      const std::string &offset_text, const std::string &zone) {
    std::string made;
    std::int64_t made_ms = 0;
    if (stn_utc_ms(in.generated_utc, &made_ms)) made = stn_local_time_text(made_ms, offset);
    std::string page;
    page += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
            "style-src 'unsafe-inline'\">\n<meta name=\"viewport\" "
            "content=\"width=device-width, initial-scale=1\">\n<title>R846-QVM2K line report" +
            (in.order.empty() ? std::string() : ": " + esc(in.order)) + "</title>\n";
    page += kStyle;
    page += "</head><body>\n<header><h1>R846-QVM2K line report" +
            (in.order.empty() ? std::string() : ": work order " + esc(in.order)) + "</h1>\n";
    page += "<p class=\"meta\">" + (made.empty() ? std::string() : "Made " + esc(made) + ". ") +
            "Times are " + figure("span", "utc_offset", offset_text, zone) +
            (offset_text.empty() ? ": the reports name no time zone."
                                 : ", the stations' time zone.");
    if (t.utc_offsets.size() > 1) {
        std::string all;
        for (const std::string &o : t.utc_offsets) all += (all.empty() ? "" : ", ") + esc(o);
        page += " The reports name " + n(t.utc_offsets.size()) + " time zones (" + all +
                "); the one named first in time is used.";
    }
    page += "</p>\n<p class=\"meta\" id=\"source\">" + source_text(in, offset) + "</p></header>\n";
    return page;
}

// How the files' chains were found.
struct Chains {
    std::size_t broken = 0, unchained = 0, checked = 0;
};

// A file without a chain (older, or lines added by hand after it) is told
// apart from one whose chain breaks.
Chains chains_of(const StnPageInput &in) {
    Chains c;
    for (const StnPageFile &f : in.files) {
        if (!f.chain.checked) continue;
        ++c.checked;
        if (f.chain.intact) continue;
        if (f.chain.verdict.rfind("not chained", 0) == 0) {
            ++c.unchained;
        } else {
            ++c.broken;
        }
    }
    return c;
}

// The banners above the figures: chains that break or are missing, times
// not used, the line's stops.
std::string banners(const StnFigures &t, const Chains &c, std::size_t files) {
    const std::size_t broken = c.broken, unchained = c.unchained;
    std::string page;
    const std::string of_files = " of " + n(files) + " files";
    if (broken != 0) {
        page += "<p class=\"banner\"><strong>The chain breaks in " + n(broken) + of_files +
                "</strong>: lines were changed, removed or inserted there. See Files read.</p>\n";
    }
    if (unchained != 0) {
        page += "<p class=\"banner\"><strong>" + n(unchained) + of_files + " " +
                (unchained == 1 ? "is" : "are") +
                " not chained</strong>: written before lines were chained, or with lines added "
                "by hand. See Files read.</p>\n";
    }
    if (t.bad_times != 0) {
        page += "<p class=\"banner\">" + n(t.bad_times) + (t.bad_times == 1 ? " line" : " lines") +
                " with a time that cannot be right (before 2000 or after tomorrow) "
                "were not used for times.</p>\n";
    }
    if (t.halts != 0) {
        page += "<p class=\"banner\">The line stopped itself " + n(t.halts) +
                (t.halts == 1 ? " time" : " times") +
                " after failures in a row.</p>\n";
    }
    return page;
}

// Headline figures, a tile each.
std::string headline_section(const StnFigures &t, const Chains &c, bool from_database) {
    const std::size_t broken = c.broken, unchained = c.unchained, checked = c.checked;
    std::string page;
    const double yield = t.first_pass_yield(), per_hour = t.units_per_hour();
    page += "<section id=\"headline\" aria-label=\"Headline figures\"><div class=\"tiles\">\n";
    page += tile("units", n(t.units), n(t.units), "units");
    page += tile("updated", n(t.updated), n(t.updated), "updated", "ok");
    page += tile("current", n(t.current), n(t.current), "already current");
    page += tile("failed", n(t.failed), n(t.failed), "failed", t.failed != 0 ? "bad" : "");
    page += tile("interrupted", n(t.interrupted), n(t.interrupted), "interrupted");
    // Not the station's failures: the MES refused them before any write.
    page += tile("rejected", n(t.rejected), n(t.rejected), "rejected by the MES");
    page += tile("first_pass_yield", share_value(yield), percent_text(yield), "first-pass yield");
    page += tile("units_per_hour", per_hour_value(per_hour), per_hour_text(per_hour),
                 "units per hour");
    page += tile("running_s", n(t.running_ms / 1000), stn_hours_text(t.running_ms),
                 "running");
    page += tile("halts", n(t.halts), n(t.halts), "line stops", t.halts != 0 ? "bad" : "");
    page += tile("unidentified_failed", n(t.unidentified_failed), n(t.unidentified_failed),
                 "failed before the serial was read");
    // From the database: no files, no chains.
    if (from_database) return page + "</div></section>\n";
    std::string chains = checked == 0 ? "not checked" : "all " + n(checked) + " intact";
    if (broken + unchained != 0) {
        chains = broken != 0 ? n(broken) + " broken" : "";
        if (unchained != 0) chains += (chains.empty() ? "" : ", ") + n(unchained) + " not chained";
    }
    page += std::string("<div class=\"tile ") +
            (broken + unchained != 0 ? "bad" : (checked != 0 ? "ok" : "")) +
            "\"><span class=\"v\">" + esc(chains) +
            "</span><span class=\"k\">chains</span></div>\n";
    page += "</div></section>\n";
    return page;
}

}  // namespace

std::string stn_report_page(const StnPageInput &in) {
    static const StnFigures kEmpty;
    const StnFigures &t = in.figures != nullptr ? *in.figures : kEmpty;
    // The stations' time zone: the earliest run line's offset; UTC without one.
    int offset = 0;
    std::string offset_text;
    if (!t.utc_offsets.empty() && stn_parse_utc_offset(t.utc_offsets.front(), &offset)) {
        offset_text = t.utc_offsets.front();
    }
    const std::string zone = offset_text.empty() ? "UTC" : "UTC" + offset_text;
    std::string page;
    page.reserve(64 * 1024);
    page += page_head(in, t, offset, offset_text, zone);
    const Chains chains = chains_of(in);
    page += banners(t, chains, in.files.size());
    page += headline_section(t, chains, !in.database.empty());

    page += timeline_section(t, offset, zone);
    page += failures_section(t);
    page += group_section("stations", "Stations", "Station", t.stations);
    page += group_section("orders", "Work orders", "Work order", t.orders);
    page += serials_section(t);
    page += files_section(in, t);
    page += "</body></html>\n";
    return page;
}
