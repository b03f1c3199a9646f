// The line's figures (StnFigures) computed by the factory's database from
// the rows the stations delivered, with the rules of stn_figures.h: a few
// aggregate queries over the columns upgrade-*.sql fills at insert, in SQL
// that PostgreSQL and SQL Server both take. The rows they hand back grow
// with the groups (stations, orders, quarter hours, runs, offsets) and the
// serials not at the image, never with the units.
//
// Two choices the files' tally makes the same way: a time window (from_ms,
// to_ms) leaves out the unit, start and halt lines outside it, while the
// runs are read whole and only their part inside the window counts; and
// bad_times counts the start, unit and run lines of the stations and order
// asked, whatever the window. One thread at a time (the StnSql's).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stn_figures.h"
#include "stn_sql.h"

// What the queries did, for the page and for whoever measures them.
struct StnDbFiguresInfo {
    std::uint64_t queries = 0;  // queries run
    std::uint64_t rows = 0;     // rows they handed back, in all
    // The stations that delivered lines (of the filter's stations), ascending.
    std::vector<std::string> stations;
};

// Fills *out (reset first) from the database; now_ms: the reader's clock, as
// StnTally::set_now. False when a query failed or answered what cannot be
// (*why says which); *out is then incomplete. info may be null.
bool stn_db_figures(StnSql *db, const StnFigureFilter &filter, std::int64_t now_ms,
                    StnFigures *out, StnDbFiguresInfo *info, std::string *why);
