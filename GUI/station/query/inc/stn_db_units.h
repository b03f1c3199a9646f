// The unit lines the stations delivered to the factory's database, one by
// one, for `qvm_cli report --database --csv`: the rows stream through, so
// the reader's memory does not grow with them. Portable (StnSql); the
// caller's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "stn_figures.h"
#include "stn_sql.h"
#include "stn_tally.h"

// Hands over every unit line that filter lets through, in the order of
// first passes (stn_figures.h: believed time, report, line number), each as
// the report reader reads it, its station the row's when the line names
// none, with its attempt: its place among its serial's lines in that order
// (from 1; 0 without a serial). now_ms: the reader's clock, which times are
// believed against. *rows counts the rows read. False with *why when a
// query fails.
bool stn_db_units(StnSql *db, const StnFigureFilter &filter, std::int64_t now_ms,
                  const std::function<void(const StnReportLine &, std::uint64_t attempt)> &unit,
                  std::uint64_t *rows, std::string *why);
