#include "cli_report_db.h"

#include "cli_db.h"
#include "cli_exit.h"
#include "cli_report_cmd.h"
#include "stn_db_figures.h"
#include "stn_db_units.h"
#include "stn_time.h"

namespace {

int fail(const std::string &message, int code, const CliArgs &args, CliIo &io) {
    if (args.json) io.out(cli_json_error(message, code));
    io.err("qvm_cli: " + message);
    return code;
}

std::string rows_text(std::uint64_t rows) {
    return "report: " + std::to_string(rows) + (rows == 1 ? " row" : " rows") +
           " read from the database";
}

}  // namespace

int cli_report_database(const CliArgs &args, CliIo &io) {
    const std::string cs = cli_database(args, io);
    if (cs.empty()) {
        return fail("report: no database is configured (--database, or the registry value "
                    "Database)",
                    kCliExitUsage, args, io);
    }
    std::string why;
    bool unreachable = false;
    std::unique_ptr<StnSql> db = io.open_sql(cs, args.timeout_s, &why, &unreachable);
    if (db == nullptr) {
        // As ship: a database that is not there is a failure, not a usage error.
        return fail("report: " + stn_db_redact_in(why, cs),
                    unreachable ? kCliExitFailed : kCliExitUsage, args, io);
    }
    const StnFigureFilter filter = cli_report_filter(args);
    std::int64_t now_ms = 0;
    if (!stn_utc_ms(io.utc_now(), &now_ms)) now_ms = 0;
    if (args.csv) {
        io.out(std::string(kCliCsvHeader) + "\r");
        std::uint64_t rows = 0;
        const bool ok = stn_db_units(
            db.get(), filter, now_ms,
            [&io](const StnReportLine &line, std::uint64_t attempt) {
                io.out(cli_csv_row(line, attempt) + "\r");
            },
            &rows, &why);
        if (!ok) return fail("report: the database's query failed: " + stn_db_redact_in(why, cs),
                             kCliExitUsage, args, io);
        io.err(rows_text(rows));
        return kCliExitOk;
    }
    StnFigures figures;
    StnDbFiguresInfo info;
    if (!stn_db_figures(db.get(), filter, now_ms, &figures, &info, &why)) {
        return fail("report: the database's query failed: " + stn_db_redact_in(why, cs),
                    kCliExitUsage, args, io);
    }
    CliReportSource source;
    source.database = stn_db_redact(cs);
    const int code = cli_report_write(args, io, figures, source);
    if (args.json) io.err(rows_text(info.rows));
    return code;
}
