// ODBC's handles and diagnostics: see stn_odbc_win.h.
#include "stn_odbc_win.h"

#include <mutex>
#include <vector>

#include "stn_deliver.h"
#include "stn_deliver_win.h"
#include "stn_store_win.h"

namespace {

template <typename T>
SQLPOINTER as_attr(T v) {
    return reinterpret_cast<SQLPOINTER>(static_cast<ULONG_PTR>(v));
}

}  // namespace

const StnOdbc *stn_odbc() {
    static std::once_flag once;
    static StnOdbc api;
    static bool ok = false;
    std::call_once(once, [] {
        void *m = stn_load_system_dll(L"odbc32.dll");
        if (m == nullptr) return;
        ok = stn_get_proc(m, "SQLAllocHandle", &api.AllocHandle) &&
             stn_get_proc(m, "SQLFreeHandle", &api.FreeHandle) &&
             stn_get_proc(m, "SQLSetEnvAttr", &api.SetEnvAttr) &&
             stn_get_proc(m, "SQLSetConnectAttrW", &api.SetConnectAttrW) &&
             stn_get_proc(m, "SQLDriverConnectW", &api.DriverConnectW) &&
             stn_get_proc(m, "SQLDisconnect", &api.Disconnect) &&
             stn_get_proc(m, "SQLSetStmtAttrW", &api.SetStmtAttrW) &&
             stn_get_proc(m, "SQLPrepareW", &api.PrepareW) &&
             stn_get_proc(m, "SQLBindParameter", &api.BindParameter) &&
             stn_get_proc(m, "SQLExecute", &api.Execute) &&
             stn_get_proc(m, "SQLRowCount", &api.RowCount) &&
             stn_get_proc(m, "SQLEndTran", &api.EndTran) &&
             stn_get_proc(m, "SQLGetDiagRecW", &api.GetDiagRecW) &&
             stn_get_proc(m, "SQLFetch", &api.Fetch) &&
             stn_get_proc(m, "SQLGetData", &api.GetData) &&
             stn_get_proc(m, "SQLFreeStmt", &api.FreeStmt) &&
             stn_get_proc(m, "SQLNumResultCols", &api.NumResultCols);
    });
    return ok ? &api : nullptr;
}

// ---- The connection ----

StnOdbcConn::StnOdbcConn(const StnOdbc *api, const std::string &cs, unsigned timeout_s)
    : api_(api), cs_(cs), timeout_s_(timeout_s == 0 ? 1 : timeout_s) {}

StnOdbcConn::~StnOdbcConn() {
    disconnect();
    if (env_ != nullptr) api_->FreeHandle(SQL_HANDLE_ENV, env_);
}

bool StnOdbcConn::connect(bool autocommit, std::string *why, std::string *state) {
    if (dbc_ != nullptr) return true;
    if (env_ == nullptr) {
        if (!stn_odbc_good(api_->AllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_))) {
            env_ = nullptr;
            *why = "ODBC has no environment";
            return false;
        }
        api_->SetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, as_attr(SQL_OV_ODBC3), 0);
    }
    if (!stn_odbc_good(api_->AllocHandle(SQL_HANDLE_DBC, env_, &dbc_))) {
        dbc_ = nullptr;
        *why = "ODBC has no connection handle";
        return false;
    }
    api_->SetConnectAttrW(dbc_, SQL_ATTR_LOGIN_TIMEOUT, as_attr(timeout_s_), 0);
    std::wstring w = stn_wide(cs_);
    w.push_back(L'\0');
    const SQLRETURN rc = api_->DriverConnectW(dbc_, nullptr, reinterpret_cast<SQLWCHAR *>(&w[0]),
                                              SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    SecureZeroMemory(&w[0], w.size() * sizeof(wchar_t));
    if (!stn_odbc_good(rc)) {
        *why = diag(SQL_HANDLE_DBC, dbc_, state);
        api_->FreeHandle(SQL_HANDLE_DBC, dbc_);
        dbc_ = nullptr;
        return false;
    }
    if (!autocommit &&
        !stn_odbc_good(api_->SetConnectAttrW(dbc_, SQL_ATTR_AUTOCOMMIT,
                                             as_attr(SQL_AUTOCOMMIT_OFF), 0))) {
        *why = "the driver cannot turn off autocommit: " + diag(SQL_HANDLE_DBC, dbc_, state);
        disconnect();
        return false;
    }
    return true;
}

void StnOdbcConn::disconnect() {
    if (dbc_ == nullptr) return;
    api_->EndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
    api_->Disconnect(dbc_);
    api_->FreeHandle(SQL_HANDLE_DBC, dbc_);
    dbc_ = nullptr;
}

bool StnOdbcConn::end(bool commit, std::string *why) {
    if (dbc_ == nullptr) return false;
    const SQLRETURN rc = api_->EndTran(SQL_HANDLE_DBC, dbc_, commit ? SQL_COMMIT : SQL_ROLLBACK);
    if (stn_odbc_good(rc)) return true;
    if (why != nullptr) *why = "commit failed: " + diag(SQL_HANDLE_DBC, dbc_);
    return false;
}

std::string StnOdbcConn::diag(SQLSMALLINT type, SQLHANDLE h, std::string *state) const {
    SQLWCHAR st[6] = {};
    SQLWCHAR msg[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    if (h == nullptr ||
        !stn_odbc_good(api_->GetDiagRecW(type, h, 1, st, &native, msg, 1024, &len))) {
        return "no reason given by the driver";
    }
    const std::string code = stn_utf8(reinterpret_cast<wchar_t *>(st));
    if (state != nullptr) *state = code;
    std::string text = stn_utf8(reinterpret_cast<wchar_t *>(msg));
    // One line: the drivers' second lines are hints.
    const std::size_t nl = text.find_first_of("\r\n");
    if (nl != std::string::npos) text.resize(nl);
    while (!text.empty() && (text.back() == ' ' || text.back() == ';')) text.pop_back();
    return stn_db_redact_in(text, cs_) + " [" + code + "]";
}

// ---- A statement ----

StnOdbcStmt::StnOdbcStmt(StnOdbcConn *conn, unsigned timeout_s) : conn_(conn) {
    const StnOdbc *api = conn_->api();
    if (conn_->dbc() == nullptr || !stn_odbc_good(api->AllocHandle(SQL_HANDLE_STMT, conn_->dbc(), &h))) {
        h = nullptr;
        return;
    }
    if (timeout_s != 0) api->SetStmtAttrW(h, SQL_ATTR_QUERY_TIMEOUT, as_attr(timeout_s), 0);
}

StnOdbcStmt::~StnOdbcStmt() {
    if (h != nullptr) conn_->api()->FreeHandle(SQL_HANDLE_STMT, h);
}

bool StnOdbcStmt::prepare(const std::wstring &sql, std::string *why, std::string *state) {
    if (h == nullptr) {
        *why = "no statement handle";
        return false;
    }
    std::wstring text = sql;
    text.push_back(L'\0');
    if (stn_odbc_good(conn_->api()->PrepareW(h, reinterpret_cast<SQLWCHAR *>(&text[0]), SQL_NTS))) {
        return true;
    }
    *why = conn_->diag(SQL_HANDLE_STMT, h, state);
    return false;
}

bool StnOdbcStmt::bind_text(SQLUSMALLINT n, const std::string &utf8, StnOdbcParam *p,
                            std::string *why, bool null_if_empty) {
    p->text = stn_wide(utf8);
    const SQLULEN chars = p->text.empty() ? 1 : p->text.size();
    p->len = null_if_empty && p->text.empty()
                 ? SQL_NULL_DATA
                 : static_cast<SQLLEN>(p->text.size() * sizeof(wchar_t));
    if (p->text.empty()) p->text.push_back(L'\0');
    const SQLSMALLINT type = chars > 4000 ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
    if (stn_odbc_good(conn_->api()->BindParameter(h, n, SQL_PARAM_INPUT, SQL_C_WCHAR, type, chars,
                                                  0, &p->text[0], p->len < 0 ? 0 : p->len,
                                                  &p->len))) {
        return true;
    }
    *why = conn_->diag(SQL_HANDLE_STMT, h);
    return false;
}

bool StnOdbcStmt::execute(std::string *why, std::string *state) {
    const SQLRETURN rc = conn_->api()->Execute(h);
    if (stn_odbc_good(rc) || rc == SQL_NO_DATA) return true;
    *why = conn_->diag(SQL_HANDLE_STMT, h, state);
    return false;
}

int StnOdbcStmt::fetch(std::string *why) {
    const SQLRETURN rc = conn_->api()->Fetch(h);
    if (rc == SQL_NO_DATA) return 0;
    if (stn_odbc_good(rc)) return 1;
    *why = conn_->diag(SQL_HANDLE_STMT, h);
    return -1;
}

bool StnOdbcStmt::text(SQLUSMALLINT col, std::string *out, bool *null, std::string *why) {
    // A long value comes in pieces: each call hands the next part, the
    // buffer's last character being the terminator.
    std::wstring all;
    wchar_t buf[512];
    *null = false;
    for (;;) {
        SQLLEN ind = 0;
        const SQLRETURN rc = conn_->api()->GetData(h, col, SQL_C_WCHAR, buf, sizeof buf, &ind);
        if (rc == SQL_NO_DATA) break;
        if (!stn_odbc_good(rc)) {
            *why = conn_->diag(SQL_HANDLE_STMT, h);
            return false;
        }
        if (ind == SQL_NULL_DATA) {
            *null = true;
            out->clear();
            return true;
        }
        const std::size_t room = sizeof buf / sizeof buf[0] - 1;
        std::size_t got = room;
        if (ind != SQL_NO_TOTAL && static_cast<std::size_t>(ind) / sizeof(wchar_t) < room) {
            got = static_cast<std::size_t>(ind) / sizeof(wchar_t);
        }
        all.append(buf, got);
        if (rc == SQL_SUCCESS) break;
    }
    *out = stn_utf8(all);
    return true;
}

int StnOdbcStmt::columns() {
    SQLSMALLINT n = 0;
    if (!stn_odbc_good(conn_->api()->NumResultCols(h, &n))) return 0;
    return n;
}

void StnOdbcStmt::close() { conn_->api()->FreeStmt(h, SQL_CLOSE); }
