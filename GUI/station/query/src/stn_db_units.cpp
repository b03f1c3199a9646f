// The unit lines from the database: see stn_db_units.h. One query, ordered
// and numbered by the database, over the columns the upgrade script fills;
// each row is read with the report reader, so that its columns are those
// a file's line gives.
#include "stn_db_units.h"

#include <cstdlib>
#include <vector>

#include "stn_db_where.h"

bool stn_db_units(StnSql *db, const StnFigureFilter &filter, std::int64_t now_ms,
                  const std::function<void(const StnReportLine &, std::uint64_t attempt)> &unit,
                  std::uint64_t *rows, std::string *why) {
    *rows = 0;
    const stn_db::Where w(filter, now_ms);
    // A line without a believed time after every timed one; NULLs sort
    // first or last by the server, hence the flag.
    const char *const order = "CASE WHEN t IS NULL THEN 1 ELSE 0 END, t, rid, seq";
    stn_db::Sql q;
    q << "SELECT txt, st, CASE WHEN ser IS NULL THEN 0 ELSE ROW_NUMBER() OVER (PARTITION BY ser "
         "ORDER BY " << order << ") END FROM (SELECT l.line_text AS txt, l.station AS st, "
         "l.serial AS ser, l.report_id AS rid, l.seq AS seq, ";
    w.time(q);
    q << " AS t FROM qvm_report_line l WHERE l.line_kind = 'unit'";
    w.stations(q);
    w.order(q);
    w.window(q);
    q << ") u ORDER BY " << order;
    StnReportLine line;
    return db->query(q.text, q.params,
                     [&](const std::vector<StnSqlValue> &row) {
                         ++*rows;
                         if (row.size() < 3 || row[0].null) return;
                         stn_read_report_line(row[0].text, &line);
                         if (line.kind != StnReportLine::kUnit) return;
                         if (line.station.empty() && !row[1].null) line.station = row[1].text;
                         unit(line, row[2].null ? 0 : std::strtoull(row[2].text.c_str(), nullptr, 10));
                     },
                     why);
}
