// A database read by SQL for figures: one query at a time, its rows handed
// over one by one as texts, so that memory never grows with the rows. The
// SQL is portable between PostgreSQL and SQL Server (parameters are `?`,
// given as texts and cast in the SQL). On Windows it is ODBC
// (stn_sql_odbc_win.h); tests may run it through psql. One thread at a time.
#pragma once

#include <functional>
#include <string>
#include <vector>

// One column of a row: its text, or NULL.
struct StnSqlValue {
    bool null = true;
    std::string text;
};

class StnSql {
public:
    virtual ~StnSql() = default;
    // Runs sql with params bound in order; calls row for each row (its
    // columns in the select's order). False when the query failed (*why
    // says why, without secrets); rows already handed over stay handed.
    virtual bool query(const std::string &sql, const std::vector<std::string> &params,
                       const std::function<void(const std::vector<StnSqlValue> &)> &row,
                       std::string *why) = 0;
};
