// The unit lines from the database: see stn_db_units.h. One query, ordered
// and numbered by the database; each row is read with the report reader,
// so that its columns are those a file's line gives.
#include "stn_db_units.h"

#include <cstdlib>
#include <vector>

namespace {

// The line's time when it is believed, else NULL (stn_figures.h): params
// 1 and 2 are the earliest and latest believed ms.
const char kBelieved[] =
    "CASE WHEN line_ms >= CAST(? AS BIGINT) AND line_ms <= CAST(? AS BIGINT) THEN line_ms END";

}  // namespace

bool stn_db_units(StnSql *db, const StnFigureFilter &filter, std::int64_t now_ms,
                  const std::function<void(const StnReportLine &, std::uint64_t attempt)> &unit,
                  std::uint64_t *rows, std::string *why) {
    *rows = 0;
    const std::int64_t latest = now_ms >= kStnEarliestMs ? now_ms + 24 * 3600000LL : INT64_MAX;
    std::vector<std::string> params = {std::to_string(kStnEarliestMs), std::to_string(latest)};
    std::string where = "line_type = 'unit'";
    if (!filter.stations.empty()) {
        where += " AND station IN (";
        for (std::size_t i = 0; i < filter.stations.size(); ++i) {
            where += i == 0 ? "?" : ", ?";
            params.push_back(filter.stations[i]);
        }
        where += ")";
    }
    if (filter.by_order) {
        where += " AND work_order = ?";
        params.push_back(filter.order);
    }
    if (filter.windowed()) {
        // Only believed times fall in a window.
        where += " AND t.at >= CAST(? AS BIGINT) AND t.at < CAST(? AS BIGINT)";
        params.push_back(std::to_string(filter.from_ms));
        params.push_back(std::to_string(filter.to_ms));
    }
    // A line without a believed time after every timed one; NULLs sort
    // first or last by the server, hence the flag.
    const std::string order = "CASE WHEN t.at IS NULL THEN 1 ELSE 0 END, t.at, report_id, seq";
    const std::string sql =
        "SELECT line_text, station, CASE WHEN serial IS NULL THEN 0 ELSE ROW_NUMBER() OVER "
        "(PARTITION BY serial ORDER BY " + order + ") END FROM (SELECT line_text, station, "
        "serial, report_id, seq, work_order, line_type, " + std::string(kBelieved) +
        " AS at FROM qvm_report_line) t WHERE " + where + " ORDER BY " + order;
    StnReportLine line;
    return db->query(sql, params,
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
