#include "cli_db.h"

#include <chrono>

#include "cli_exit.h"
#include "stn_json.h"

namespace {

// How long delivery may go on once the station has ended: short, so that a
// database that is away never holds the program's end (the cursor lets the
// next start resume).
constexpr unsigned kFinishMs = 3000;
constexpr unsigned kFinishAbortMs = 1000;
// With --database-required, how long the start waits for the first answer
// beyond the login deadline.
constexpr unsigned kSettleExtraMs = 2000;
// Check-outs in a row between two saves of the MES's cursor: a kill costs
// at most these again.
constexpr std::size_t kMesBatch = 20;

const char *state_name(StnDeliverState s) {
    switch (s) {
    case StnDeliverState::kUpToDate:
        return "up_to_date";
    case StnDeliverState::kWaiting:
        return "waiting";
    default:
        return "connecting";
    }
}

int fail(const std::string &message, int code, const CliArgs &args, CliIo &io) {
    if (args.json) io.out(cli_json_error(message, code));
    io.err("qvm_cli: " + message);
    return code;
}

// A list of numbers as "3, 7, 12" (at most max, then "and N more").
std::string number_list(const std::vector<std::uint64_t> &v, std::size_t max = 20) {
    std::string s;
    for (std::size_t i = 0; i < v.size() && i < max; ++i) {
        s += (i == 0 ? "" : ", ") + std::to_string(v[i]);
    }
    if (v.size() > max) s += " and " + std::to_string(v.size() - max) + " more";
    return s;
}

std::string json_numbers(const std::vector<std::uint64_t> &v) {
    std::string s = "[";
    for (std::size_t i = 0; i < v.size(); ++i) s += (i == 0 ? "" : ",") + std::to_string(v[i]);
    return s + "]";
}

}  // namespace

std::string cli_database(const CliArgs &args, CliIo &io) {
    return args.database_given ? args.database : io.default_database();
}

std::string cli_json_database(const StnDeliverStatus &s, const char *type) {
    StnJson j(type);
    j.str("state", state_name(s.state)).num("waiting", static_cast<std::int64_t>(s.waiting));
    if (!s.problem.empty()) j.str("problem", s.problem);
    return j.num("delivered", static_cast<std::int64_t>(s.delivered)).line();
}

bool CliDelivery::start(const CliArgs &args, CliIo &io) {
    const std::string cs = cli_database(args, io);
    if (cs.empty()) {
        if (!args.database_required) return true;
        fail("--database-required, but no database is configured (--database, or the "
             "registry value Database)",
             kCliExitUsage, args, io);
        return false;
    }
    std::string why;
    std::unique_ptr<StnDatabase> db = io.open_database(cs, args.timeout_s, &why);
    std::unique_ptr<StnDeliverFiles> files;
    if (db != nullptr) files = io.open_deliver_files(args.report, kStnDbCursor, &why);
    if (db == nullptr || files == nullptr) {
        const std::string text = "database: cannot deliver the report: " + stn_db_redact_in(why, cs);
        if (args.database_required) {
            fail(text, kCliExitUsage, args, io);
            return false;
        }
        io.err(text + "; the station records locally");
        return true;
    }
    StnDeliverConfig config;
    config.station = io.station_name();
    config.required = args.database_required;
    config.flushed = flushed_;
    io.err("database: delivering to " + stn_db_redact(cs));
    delivery_.reset(new StnDelivery(std::move(db), std::move(files), config));
    if (!args.database_required) return true;
    // Required: the database must take lines before the first unit.
    const StnDeliverStatus s =
        delivery_->settle(args.timeout_s * 1000u * 2 + kSettleExtraMs);
    if (s.state == StnDeliverState::kUpToDate ||
        (s.state == StnDeliverState::kWaiting && s.problem.empty())) {
        return true;
    }
    delivery_->finish(0);
    delivery_.reset();
    fail("--database-required, and the database cannot take lines: " +
             (s.problem.empty() ? std::string("no answer") : s.problem),
         kCliExitUsage, args, io);
    return false;
}

void CliDelivery::start_mes(const CliArgs &args, const StnMesConfig &mes, CliIo &io) {
    std::string why;
    std::unique_ptr<StnHttp> http = io.open_http(mes.url, &why);
    std::unique_ptr<StnDeliverFiles> files;
    if (http != nullptr) files = io.open_deliver_files(args.report, kStnMesCursor, &why);
    if (http == nullptr || files == nullptr) {
        io.err("mes: cannot check units out: " + stn_mes_redact_in(why, mes) +
               "; the report keeps them for the next start");
        return;
    }
    StnDeliverConfig config;
    config.station = io.station_name();
    config.batch = kMesBatch;
    config.flushed = flushed_;
    delivery_.reset(new StnDelivery(
        stn_mes_destination(std::move(http), mes, args.timeout_s * 1000u), std::move(files),
        config));
}

std::string CliDelivery::words(const StnDeliverStatus &s) const {
    const bool mes = std::string(name_) == "mes";
    return std::string(name_) + ": " + stn_deliver_words(s, mes ? "check-out" : "line");
}

void CliDelivery::wake() {
    if (delivery_ != nullptr) delivery_->wake();
}

bool CliDelivery::may_take_units() {
    return delivery_ == nullptr || delivery_->may_take_units();
}

void CliDelivery::show(const CliArgs &args, CliIo &io) {
    if (delivery_ == nullptr) return;
    const StnDeliverStatus s = delivery_->status();
    const bool held = !delivery_->may_take_units();
    if (held != held_said_) {
        held_said_ = held;
        io.err(held ? "station: no new units: report lines have waited for the database longer "
                      "than a minute (--database-required)"
                    : "station: the database has the report's lines again; taking units");
    }
    if (s.changes == shown_) return;
    shown_ = s.changes;
    if (args.json) io.out(cli_json_database(s, json_type()));
    io.err(words(s));
}

void CliDelivery::finish(unsigned ms, const CliArgs &args, CliIo &io) {
    if (delivery_ == nullptr) return;
    delivery_->wake();
    const bool done = delivery_->finish(ms);
    const StnDeliverStatus s = delivery_->status();
    shown_ = ~0ull;
    if (args.json) io.out(cli_json_database(s, json_type()));
    io.err(words(s) + (done ? "" : "; delivered at the next start"));
}

void cli_finish_deliveries(const std::vector<CliDelivery *> &all, bool aborted,
                           const CliArgs &args, CliIo &io) {
    // Woken together, they deliver side by side; each then gets what is
    // left of the one end time.
    for (CliDelivery *d : all) d->wake();
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(aborted ? kFinishAbortMs : kFinishMs);
    for (CliDelivery *d : all) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        d->finish(left.count() > 0 ? static_cast<unsigned>(left.count()) : 0u, args, io);
    }
}

int cli_ship_command(const CliArgs &args, CliIo &io) {
    const std::string &cs = args.database;
    std::string why;
    std::unique_ptr<StnDatabase> db = io.open_database(cs, args.timeout_s, &why);
    if (db == nullptr) return fail(stn_db_redact_in(why, cs), kCliExitUsage, args, io);
    std::uint64_t all_added = 0, all_held = 0;
    for (const std::string &file : args.files) {
        std::unique_ptr<StnDeliverFiles> files = io.open_deliver_files(file, nullptr, &why);
        if (files == nullptr) return fail(why, kCliExitUsage, args, io);
        std::uint64_t added = 0, held = 0;
        // Made elsewhere: a line that names no station gets none.
        if (!stn_ship(files.get(), db.get(), "", &added, &held, &why)) {
            return fail(file + ": " + stn_db_redact_in(why, cs) + " (" + std::to_string(added) +
                            " lines were new before that)",
                        kCliExitFailed, args, io);
        }
        all_added += added;
        all_held += held;
        if (args.json) {
            io.out(StnJson("ship")
                       .str("file", file)
                       .num("new", static_cast<std::int64_t>(added))
                       .num("already", static_cast<std::int64_t>(held))
                       .line());
        } else {
            io.out(file + ": " + std::to_string(added) + " lines new, " + std::to_string(held) +
                   " already there");
        }
    }
    if (args.files.size() > 1 && !args.json) {
        io.out("in all: " + std::to_string(all_added) + " lines new, " +
               std::to_string(all_held) + " already there");
    }
    return kCliExitOk;
}

int cli_verify_db_command(const CliArgs &args, CliIo &io) {
    const std::string &cs = args.database;
    std::string why;
    std::unique_ptr<StnDatabase> db = io.open_database(cs, args.timeout_s, &why);
    if (db == nullptr) return fail(stn_db_redact_in(why, cs), kCliExitUsage, args, io);
    bool all_ok = true;
    for (const std::string &file : args.files) {
        std::unique_ptr<StnDeliverFiles> files = io.open_deliver_files(file, nullptr, &why);
        if (files == nullptr) return fail(why, kCliExitUsage, args, io);
        StnVerifyDb v;
        if (!stn_verify_db(files.get(), db.get(), &v, &why)) {
            return fail(file + ": " + stn_db_redact_in(why, cs), kCliExitFailed, args, io);
        }
        all_ok = all_ok && v.ok();
        if (args.json) {
            io.out(StnJson("verify_database")
                       .str("file", file)
                       .str("report_id", v.report_id)
                       .num("lines", static_cast<std::int64_t>(v.lines))
                       .num("rows", static_cast<std::int64_t>(v.rows))
                       .raw("missing_from_database", json_numbers(v.missing))
                       .raw("changed_in_file", json_numbers(v.changed))
                       .raw("missing_from_file", json_numbers(v.not_in_file))
                       .boolean("ok", v.ok())
                       .line());
            continue;
        }
        if (v.ok()) {
            io.out(file + ": the database holds every line (" + std::to_string(v.lines) +
                   " lines), and nothing else");
            continue;
        }
        io.out(file + ": " + std::to_string(v.lines) + " lines, the database holds " +
               std::to_string(v.rows) + " rows of this report");
        if (!v.changed.empty()) {
            io.out("  changed in the file since delivered (line): " + number_list(v.changed));
        }
        if (!v.missing.empty()) {
            io.out("  missing from the database (line): " + number_list(v.missing));
        }
        if (!v.not_in_file.empty()) {
            io.out("  held by the database, not in the file (line): " +
                   number_list(v.not_in_file));
        }
    }
    return all_ok ? kCliExitOk : kCliExitFailed;
}
