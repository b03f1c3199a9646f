#include "cli_report_cmd.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "cli_exit.h"
#include "stn_json.h"
#include "stn_page.h"
#include "stn_reading.h"
#include "stn_tally.h"
#include "stn_text.h"
#include "stn_time.h"

const char kCliCsvHeader[] =
    "time,id,index,serial,old_version,new_version,result,failure,detail,ms,message,"
    "recovered,operator,order,station,attempt";

std::string cli_csv_row(const StnReportLine &r, std::uint64_t attempt) {
    // Numbers as they are (a negative serial stays a number); texts quoted
    // and kept from being read as formulas.
    const auto number = [](bool has, auto v) { return has ? std::to_string(v) : std::string(); };
    const std::string fields[] = {
        cli_csv_field(r.time),
        number(r.has_id, r.id),
        number(r.has_index, r.index),
        number(r.has_serial, r.serial),
        cli_csv_field(r.old_version),
        cli_csv_field(r.new_version),
        stn_outcome_name(r.outcome),
        stn_failure_name(r.failure),
        std::to_string(r.detail),
        std::to_string(r.ms),
        cli_csv_field(r.message),
        r.recovered ? "true" : "false",
        cli_csv_field(r.operator_name),
        cli_csv_field(r.order),
        cli_csv_field(r.station),
        attempt == 0 ? std::string() : std::to_string(attempt),
    };
    std::string row;
    for (const std::string &f : fields) row += (row.empty() ? "" : ",") + f;
    return row;
}

namespace {

std::string serial_list(const std::vector<std::int64_t> &serials, const char *sep) {
    std::string s;
    for (std::int64_t v : serials) s += (s.empty() ? "" : sep) + std::to_string(v);
    return s;
}

// [{"name":"WO-17","units":3,...,"first_pass_yield":0.5}, ...]
std::string json_groups(const std::map<std::string, StnGroupFigures> &groups) {
    std::string out;
    for (const auto &g : groups) {
        StnJson j("group");
        j.str("name", g.first)
            .num("units", static_cast<std::int64_t>(g.second.units))
            .num("updated", static_cast<std::int64_t>(g.second.updated))
            .num("current", static_cast<std::int64_t>(g.second.current))
            .num("failed", static_cast<std::int64_t>(g.second.failed))
            .num("interrupted", static_cast<std::int64_t>(g.second.interrupted))
            .num("rejected", static_cast<std::int64_t>(g.second.rejected));
        const double yield = g.second.first_pass_yield();
        if (yield < 0) j.null("first_pass_yield");
        else j.real("first_pass_yield", yield, 4);
        // An element of the array: without its "type".
        const std::string text = j.line();
        out += (out.empty() ? "" : ",") + ("{" + text.substr(text.find(',') + 1));
    }
    return "[" + out + "]";
}

std::string json_report(const StnFigures &t, const CliArgs &args, const CliReportSource &source) {
    std::string kinds;
    for (int k = 1; k < kStnFailureKinds; ++k) {
        kinds += (kinds.empty() ? "{" : ",") +
                 stn_json_quote(stn_failure_name(static_cast<StnFailure>(k))) + ":" +
                 std::to_string(t.failures[k]);
    }
    StnJson j("report");
    j.num("units", static_cast<std::int64_t>(t.units))
        .num("updated", static_cast<std::int64_t>(t.updated))
        .num("current", static_cast<std::int64_t>(t.current))
        .num("failed", static_cast<std::int64_t>(t.failed))
        .num("interrupted", static_cast<std::int64_t>(t.interrupted))
        .num("rejected", static_cast<std::int64_t>(t.rejected))
        .num("unidentified_failed", static_cast<std::int64_t>(t.unidentified_failed));
    const double yield = t.first_pass_yield();
    if (yield < 0) j.null("first_pass_yield");
    else j.real("first_pass_yield", yield, 4);
    const double per_hour = t.units_per_hour();
    if (per_hour < 0) j.null("units_per_hour");
    else j.real("units_per_hour", per_hour, 1);
    j.num("running_s", static_cast<std::int64_t>(t.running_ms / 1000));
    j.raw("failures", kinds + "}")
        .raw("not_at_image", "[" + serial_list(t.not_at_image, ",") + "]")
        .raw("orders", json_groups(t.orders))
        .raw("stations", json_groups(t.stations))
        .num("halts", static_cast<std::int64_t>(t.halts));
    if (source.database.empty()) j.num("skipped_lines", static_cast<std::int64_t>(t.skipped_lines));
    j.num("bad_times", static_cast<std::int64_t>(t.bad_times));
    if (source.database.empty()) {
        j.num("files", static_cast<std::int64_t>(source.files.size()));
    } else {
        j.str("database", source.database);
    }
    // The lines kept, when not all.
    if (!args.stations.empty()) {
        std::string names;
        for (const std::string &s : args.stations) names += (names.empty() ? "" : ",") + stn_json_quote(s);
        j.raw("only_stations", "[" + names + "]");
    }
    if (args.from_ms != INT64_MIN) j.str("from", stn_utc_text(args.from_ms));
    if (args.to_ms != INT64_MAX) j.str("to", stn_utc_text(args.to_ms));
    return j.line();
}

std::string bad_times_text(std::uint64_t n) {
    return std::to_string(n) + (n == 1 ? " line" : " lines") +
           " with a time that cannot be right (before 2000 or after tomorrow)";
}

void text_report(const StnFigures &t, const CliArgs &args, const CliReportSource &source,
                 CliIo &io) {
    const auto row = [&io](const char *name, const std::string &value) {
        char buf[40];
        std::snprintf(buf, sizeof(buf), "%-26s ", name);
        io.out(buf + value);
    };
    if (source.database.empty()) {
        row("files", std::to_string(source.files.size()));
    } else {
        row("database", source.database);
    }
    if (!args.stations.empty()) {
        std::string names;
        for (const std::string &s : args.stations) names += (names.empty() ? "" : ", ") + s;
        row("stations", names);
    }
    if (args.from_ms != INT64_MIN) row("from", stn_utc_text(args.from_ms));
    if (args.to_ms != INT64_MAX) row("before", stn_utc_text(args.to_ms));
    row("units", std::to_string(t.units));
    row("  updated", std::to_string(t.updated));
    row("  current", std::to_string(t.current));
    row("  failed", std::to_string(t.failed));
    row("  failed, serial unknown", std::to_string(t.unidentified_failed));
    row("  interrupted", std::to_string(t.interrupted) +
                             (t.recovered != 0 ? " (" + std::to_string(t.recovered) +
                                                     " recorded at a later start)"
                                               : std::string()));
    // Not a failure and not in the yield: the station did not touch them.
    row("  rejected by the MES", std::to_string(t.rejected));
    const double yield = t.first_pass_yield();
    row("first-pass yield", yield < 0 ? "none" : stn_decimal(yield * 100.0, 1) + " %");
    const double per_hour = t.units_per_hour();
    row("units per hour", per_hour < 0 ? "none (under a minute)" : stn_decimal(per_hour, 1));
    row("time running", stn_hours_text(t.running_ms));
    io.out("failures by kind");
    for (int k = 1; k < kStnFailureKinds; ++k) {
        row((std::string("  ") + stn_failure_words(static_cast<StnFailure>(k))).c_str(), std::to_string(t.failures[k]));
    }
    row("line stops", std::to_string(t.halts));
    const auto groups = [&](const char *title, const std::map<std::string, StnGroupFigures> &g) {
        io.out(title);
        for (const auto &e : g) {
            const double y = e.second.first_pass_yield();
            row(("  " + (e.first.empty() ? std::string("(none)") : e.first)).c_str(),
                std::to_string(e.second.units) + " units, " + std::to_string(e.second.updated) +
                    " updated, " + std::to_string(e.second.failed) + " failed, first-pass yield " +
                    (y < 0 ? std::string("none") : stn_decimal(y * 100.0, 1) + " %"));
        }
    };
    groups("by work order", t.orders);
    groups("by station", t.stations);
    const std::vector<std::int64_t> missing = t.not_at_image;
    row("not at the image", missing.empty() ? "none" : serial_list(missing, " "));
    if (source.database.empty()) row("lines skipped", std::to_string(t.skipped_lines));
    row("times not used", t.bad_times == 0 ? std::string("0") : bad_times_text(t.bad_times));
}

}  // namespace

std::string cli_csv_field(const std::string &text) {
    // A spreadsheet reads a cell that begins so as a formula: a quote in
    // front makes it text (a report can be edited by hand before export).
    const bool formula = !text.empty() && std::strchr("=+-@\t\r", text[0]) != nullptr;
    if (!formula && text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = formula ? "\"'" : "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

namespace {

int refuse(const CliArgs &args, CliIo &io, const std::string &message) {
    if (args.json) io.out(cli_json_error(message, kCliExitUsage));
    io.err("qvm_cli: " + message);
    return kCliExitUsage;
}

// Every file is opened before anything is printed: one that cannot be
// leaves only its error.
bool open_all(const CliArgs &args, CliIo &io, std::vector<std::unique_ptr<StnByteSource>> *files,
              std::string *failed) {
    for (const std::string &path : args.files) {
        files->push_back(io.open_file(path));
        if (files->back() == nullptr) {
            *failed = path;
            return false;
        }
    }
    return true;
}

}  // namespace

StnFigureFilter cli_report_filter(const CliArgs &args) {
    StnFigureFilter f;
    f.stations = args.stations;
    f.by_order = !args.who.order.empty();
    f.order = args.who.order;
    f.from_ms = args.from_ms;
    f.to_ms = args.to_ms;
    return f;
}

int cli_report_write(const CliArgs &args, CliIo &io, const StnFigures &figures,
                     const CliReportSource &source) {
    bool broken = false;
    if (!args.html.empty()) {
        StnPageInput page;
        page.figures = &figures;
        page.files = source.files;
        page.database = source.database;
        page.stations = args.stations;
        page.from_ms = args.from_ms;
        page.to_ms = args.to_ms;
        page.generated_utc = io.utc_now();
        page.order = args.who.order;
        if (!io.write_file(args.html, stn_report_page(page))) {
            return refuse(args, io, "cannot write the page " + args.html);
        }
        for (const StnPageFile &f : source.files) broken = broken || !f.chain.intact;
        if (!args.json) {
            io.out("report: the page is " + args.html);
            if (broken) io.err("report: a chain does not hold; the page says which");
        }
    }
    if (args.json) {
        io.out(json_report(figures, args, source));
    } else if (!args.csv && args.html.empty()) {
        text_report(figures, args, source, io);
    }
    if (figures.skipped_lines != 0 && (args.json || args.csv)) {
        io.err("report: " + std::to_string(figures.skipped_lines) +
               " lines skipped (torn, or not a record)");
    }
    if (figures.bad_times != 0 && (args.json || args.csv)) {
        io.err("report: " + bad_times_text(figures.bad_times) + " were not used for times");
    }
    // With --verify, a page whose chains do not all hold says so in its code.
    return args.verify && broken ? kCliExitChainBroken : kCliExitOk;
}

int cli_report_command(const CliArgs &args, CliIo &io) {
    std::vector<std::unique_ptr<StnByteSource>> files;
    std::string failed;
    if (!open_all(args, io, &files, &failed)) {
        return refuse(args, io, "cannot read the report " + failed);
    }
    // Rows end in CR LF, as RFC 4180 and spreadsheets have them.
    if (args.csv) {
        io.out(std::string(kCliCsvHeader) + "\r");
    }
    StnReading::Options options;
    // The page shows each file's chain: checked in the same pass.
    options.chain = !args.html.empty();
    options.filter = cli_report_filter(args);
    options.now = io.utc_now();
    if (args.csv) {
        // attempt: in the order the lines are read (a serial's first pass
        // is by time: the figures, not this column).
        options.on_unit = [&io](const StnReportLine &r, const StnTally &t) {
            io.out(cli_csv_row(r, t.attempt) + "\r");
        };
    }
    StnReading reading(std::move(options));
    CliReportSource source;
    source.files.resize(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        source.files[i].name = args.files[i];
        if (!reading.read(files[i].get(), &source.files[i].chain)) {
            return refuse(args, io, "cannot read the report " + args.files[i]);
        }
        files[i].reset();
    }
    return cli_report_write(args, io, reading.tally.summary(), source);
}

int cli_verify_command(const CliArgs &args, CliIo &io) {
    int code = kCliExitOk;
    for (const std::string &path : args.files) {
        const std::unique_ptr<StnByteSource> file = io.open_file(path);
        StnReading::Options options;
        options.chain = true;
        options.tally = false;
        StnReading reading(std::move(options));
        StnChainStatus chain;
        if (file == nullptr || !reading.read(file.get(), &chain)) {
            return refuse(args, io, "cannot read the report " + path);
        }
        if (!chain.intact) code = kCliExitChainBroken;
        if (args.json) {
            io.out(StnJson("verify")
                       .str("file", path)
                       .boolean("intact", chain.intact)
                       .num("lines", static_cast<std::int64_t>(chain.lines))
                       .str("verdict", chain.verdict)
                       .line());
        } else {
            io.out(path + ": " + chain.verdict);
        }
    }
    return code;
}
