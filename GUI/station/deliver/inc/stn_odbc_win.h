// ODBC for the station's programs (Windows builds only): odbc32.dll loaded
// on first use (never imported, see stn_deliver_win.h), one thin owner per
// handle, and the driver's diagnostics in one line without the password.
// Only the wide calls are used (Wine's SQLDriverConnectA ends the process).
// Used by delivery (stn_deliver_win.cpp) and by the figures' reader
// (stn_sql_odbc_win.h).
//
// Threads: a StnOdbcConn and its statements are used by one thread at a
// time; stn_odbc() may be called from any thread.
#pragma once

#include <windows.h>

#include <sql.h>
#include <sqlext.h>

#include <string>

struct StnOdbc {
    SQLRETURN(SQL_API *AllocHandle)(SQLSMALLINT, SQLHANDLE, SQLHANDLE *);
    SQLRETURN(SQL_API *FreeHandle)(SQLSMALLINT, SQLHANDLE);
    SQLRETURN(SQL_API *SetEnvAttr)(SQLHENV, SQLINTEGER, SQLPOINTER, SQLINTEGER);
    SQLRETURN(SQL_API *SetConnectAttrW)(SQLHDBC, SQLINTEGER, SQLPOINTER, SQLINTEGER);
    SQLRETURN(SQL_API *DriverConnectW)(SQLHDBC, SQLHWND, SQLWCHAR *, SQLSMALLINT, SQLWCHAR *,
                                       SQLSMALLINT, SQLSMALLINT *, SQLUSMALLINT);
    SQLRETURN(SQL_API *Disconnect)(SQLHDBC);
    SQLRETURN(SQL_API *SetStmtAttrW)(SQLHSTMT, SQLINTEGER, SQLPOINTER, SQLINTEGER);
    SQLRETURN(SQL_API *PrepareW)(SQLHSTMT, SQLWCHAR *, SQLINTEGER);
    SQLRETURN(SQL_API *BindParameter)(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLSMALLINT,
                                      SQLSMALLINT, SQLULEN, SQLSMALLINT, SQLPOINTER, SQLLEN,
                                      SQLLEN *);
    SQLRETURN(SQL_API *Execute)(SQLHSTMT);
    SQLRETURN(SQL_API *RowCount)(SQLHSTMT, SQLLEN *);
    SQLRETURN(SQL_API *EndTran)(SQLSMALLINT, SQLHANDLE, SQLSMALLINT);
    SQLRETURN(SQL_API *GetDiagRecW)(SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLWCHAR *,
                                    SQLINTEGER *, SQLWCHAR *, SQLSMALLINT, SQLSMALLINT *);
    SQLRETURN(SQL_API *Fetch)(SQLHSTMT);
    SQLRETURN(SQL_API *GetData)(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER, SQLLEN,
                                SQLLEN *);
    SQLRETURN(SQL_API *FreeStmt)(SQLHSTMT, SQLUSMALLINT);
    SQLRETURN(SQL_API *NumResultCols)(SQLHSTMT, SQLSMALLINT *);
};

// odbc32.dll's calls, loaded once; nullptr when it cannot be loaded.
const StnOdbc *stn_odbc();

inline bool stn_odbc_good(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// One text parameter: its UTF-16 and indicator stay put until the
// statement has run.
struct StnOdbcParam {
    std::wstring text;
    SQLLEN len = 0;
};

// An environment and a connection to the database at a connection string
// (UTF-8); the login within timeout_s seconds.
class StnOdbcConn {
public:
    StnOdbcConn(const StnOdbc *api, const std::string &connection_string, unsigned timeout_s);
    ~StnOdbcConn();
    StnOdbcConn(const StnOdbcConn &) = delete;
    StnOdbcConn &operator=(const StnOdbcConn &) = delete;

    // Connects (nothing when connected already); autocommit off when
    // !autocommit. False with *why (and the SQLSTATE in *state) when not.
    bool connect(bool autocommit, std::string *why, std::string *state = nullptr);
    bool connected() const { return dbc_ != nullptr; }
    // Rolls back what is open and disconnects.
    void disconnect();
    // Commits (or rolls back) the transaction.
    bool end(bool commit, std::string *why = nullptr);
    // The driver's first message on the handle, one line, the connection
    // string's secrets replaced, its SQLSTATE after it in brackets (and in
    // *state).
    std::string diag(SQLSMALLINT type, SQLHANDLE h, std::string *state = nullptr) const;

    const StnOdbc *api() const { return api_; }
    SQLHDBC dbc() const { return dbc_; }
    const std::string &connection_string() const { return cs_; }

private:
    const StnOdbc *api_;
    std::string cs_;
    unsigned timeout_s_;
    SQLHENV env_ = nullptr;
    SQLHDBC dbc_ = nullptr;
};

// A statement on a connected StnOdbcConn, freed when it goes; each run
// within timeout_s seconds (0: no limit).
class StnOdbcStmt {
public:
    StnOdbcStmt(StnOdbcConn *conn, unsigned timeout_s);
    ~StnOdbcStmt();
    StnOdbcStmt(const StnOdbcStmt &) = delete;
    StnOdbcStmt &operator=(const StnOdbcStmt &) = delete;

    bool prepare(const std::wstring &sql, std::string *why, std::string *state = nullptr);
    // Binds parameter n (from 1) to utf8, kept in *p; an empty text goes in
    // as NULL when null_if_empty.
    bool bind_text(SQLUSMALLINT n, const std::string &utf8, StnOdbcParam *p, std::string *why,
                   bool null_if_empty = false);
    bool execute(std::string *why, std::string *state = nullptr);
    // The next row: 1, none left: 0, a failure: -1 with *why.
    int fetch(std::string *why);
    // Column col (from 1) of the fetched row as UTF-8, read piece by piece
    // whatever its length; *null when it is NULL. False with *why.
    bool text(SQLUSMALLINT col, std::string *out, bool *null, std::string *why);
    // The result's columns (0 when the statement gives no rows).
    int columns();
    // Ends the result, so that the statement runs again.
    void close();

    SQLHSTMT h = nullptr;

private:
    StnOdbcConn *conn_;
};
