// StnSql over ODBC (Windows builds only): one connection, each query a
// prepared statement with its parameters bound as Unicode texts, every
// column fetched as text (a long one piece by piece), NULL as null.
// Messages carry the driver's SQLSTATE and never the password.
//
// Threads: one thread at a time, as StnSql.
#pragma once

#include <memory>
#include <string>

#include "stn_sql.h"

// Connects to the database at connection_string (UTF-8), the login within
// login_timeout_s seconds, every query within query_timeout_s (0: no
// limit). nullptr with *why when it cannot; then *unreachable tells a
// database that could not be reached (or refused the login) from ODBC
// missing on this computer.
// The connection string as it is connected with: a PostgreSQL driver
// (psqlODBC) that is not told otherwise gets UseDeclareFetch=1, so that it
// fetches the rows a batch at a time through a cursor instead of holding
// the whole result in memory.
std::string stn_sql_odbc_connection(const std::string &connection_string);

std::unique_ptr<StnSql> stn_sql_odbc(const std::string &connection_string,
                                     unsigned login_timeout_s, unsigned query_timeout_s,
                                     bool *unreachable, std::string *why);
