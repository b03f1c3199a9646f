// The Windows side of delivery: files, ODBC, the registry. See
// stn_deliver_win.h. What the driver chain was found to do (checked under
// Wine 8 through unixODBC and psqlODBC against PostgreSQL 15, and the
// documented behaviour of Windows' ODBC):
// - SQLBindParameter with SQL_C_WCHAR text and SQL_C_SBIGINT numbers works,
//   and text arrives as Unicode ("Prüfstand 2");
// - SQL_ATTR_LOGIN_TIMEOUT bounds a connect to a server that does not
//   answer (3 s asked, 3.0 s taken); SQL_ATTR_QUERY_TIMEOUT ends a statement
//   that waits on a locked table (SQLSTATE 57014 after the time asked);
// - autocommit off with SQLEndTran commits and rolls back;
// - SQLRowCount tells a row inserted (1) from one already there (0).
// So every row goes in with one prepared statement, an INSERT ... SELECT
// ... WHERE NOT EXISTS on its key, which both PostgreSQL and SQL Server
// take; a key inserted by another session in between (a unique violation,
// SQLSTATE 23xxx) makes the batch roll back and go again once.
#include "stn_deliver_win.h"

#include <windows.h>

#include <sql.h>
#include <sqlext.h>

#include <mutex>
#include <vector>

#include "stn_store_win.h"

namespace {

// ---- Loading system DLLs by name, from the system folder only ----

HMODULE load_system(const wchar_t *name) {
    HMODULE m = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Windows 7 without KB2533623 knows no such flag.
    if (m == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        wchar_t dir[MAX_PATH];
        const UINT n = GetSystemDirectoryW(dir, MAX_PATH);
        if (n > 0 && n < MAX_PATH) {
            m = LoadLibraryW((std::wstring(dir, n) + L"\\" + name).c_str());
        }
    }
    return m;
}

template <typename F>
bool get_proc(HMODULE m, const char *name, F *out) {
    FARPROC p = GetProcAddress(m, name);
    *out = reinterpret_cast<F>(reinterpret_cast<void *>(p));
    return p != nullptr;
}

// ---- The ODBC calls ----

struct Odbc {
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
};

// odbc32.dll, loaded once on first use; nullptr when it cannot be.
const Odbc *odbc() {
    static std::once_flag once;
    static Odbc api;
    static bool ok = false;
    std::call_once(once, [] {
        HMODULE m = load_system(L"odbc32.dll");
        if (m == nullptr) return;
        ok = get_proc(m, "SQLAllocHandle", &api.AllocHandle) &&
             get_proc(m, "SQLFreeHandle", &api.FreeHandle) &&
             get_proc(m, "SQLSetEnvAttr", &api.SetEnvAttr) &&
             get_proc(m, "SQLSetConnectAttrW", &api.SetConnectAttrW) &&
             get_proc(m, "SQLDriverConnectW", &api.DriverConnectW) &&
             get_proc(m, "SQLDisconnect", &api.Disconnect) &&
             get_proc(m, "SQLSetStmtAttrW", &api.SetStmtAttrW) &&
             get_proc(m, "SQLPrepareW", &api.PrepareW) &&
             get_proc(m, "SQLBindParameter", &api.BindParameter) &&
             get_proc(m, "SQLExecute", &api.Execute) &&
             get_proc(m, "SQLRowCount", &api.RowCount) &&
             get_proc(m, "SQLEndTran", &api.EndTran) &&
             get_proc(m, "SQLGetDiagRecW", &api.GetDiagRecW) &&
             get_proc(m, "SQLFetch", &api.Fetch) &&
             get_proc(m, "SQLGetData", &api.GetData) &&
             get_proc(m, "SQLFreeStmt", &api.FreeStmt);
    });
    return ok ? &api : nullptr;
}

bool good(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

const char kTable[] = "qvm_report_line";

const wchar_t kInsert[] =
    L"INSERT INTO qvm_report_line (line_sha256, station, report_id, seq, line_type, line_text) "
    L"SELECT ?, ?, ?, CAST(? AS BIGINT), ?, ? "
    L"WHERE NOT EXISTS (SELECT 1 FROM qvm_report_line WHERE line_sha256 = ?)";

// One text parameter: its UTF-16 bytes and indicator stay put until the
// statement has run.
struct Param {
    std::wstring text;
    SQLLEN len = 0;
};

class OdbcDatabase : public StnDatabase {
public:
    OdbcDatabase(const Odbc *api, const std::string &cs, unsigned timeout_s)
        : api_(api), cs_(cs), timeout_s_(timeout_s == 0 ? 1 : timeout_s) {}
    ~OdbcDatabase() override {
        disconnect();
        if (env_ != nullptr) api_->FreeHandle(SQL_HANDLE_ENV, env_);
    }

    bool connect(std::string *why) override {
        if (dbc_ != nullptr) return true;
        if (env_ == nullptr) {
            if (!good(api_->AllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_))) {
                env_ = nullptr;
                *why = "ODBC has no environment";
                return false;
            }
            api_->SetEnvAttr(env_, SQL_ATTR_ODBC_VERSION,
                             reinterpret_cast<SQLPOINTER>(static_cast<ULONG_PTR>(SQL_OV_ODBC3)), 0);
        }
        if (!good(api_->AllocHandle(SQL_HANDLE_DBC, env_, &dbc_))) {
            dbc_ = nullptr;
            *why = "ODBC has no connection handle";
            return false;
        }
        api_->SetConnectAttrW(dbc_, SQL_ATTR_LOGIN_TIMEOUT,
                              reinterpret_cast<SQLPOINTER>(static_cast<ULONG_PTR>(timeout_s_)), 0);
        std::wstring w = stn_wide(cs_);
        const SQLRETURN rc =
            api_->DriverConnectW(dbc_, nullptr, reinterpret_cast<SQLWCHAR *>(&w[0]), SQL_NTS,
                                 nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
        SecureZeroMemory(&w[0], w.size() * sizeof(wchar_t));
        if (!good(rc)) {
            *why = diag(SQL_HANDLE_DBC, dbc_, nullptr);
            api_->FreeHandle(SQL_HANDLE_DBC, dbc_);
            dbc_ = nullptr;
            return false;
        }
        if (!good(api_->SetConnectAttrW(
                dbc_, SQL_ATTR_AUTOCOMMIT,
                reinterpret_cast<SQLPOINTER>(static_cast<ULONG_PTR>(SQL_AUTOCOMMIT_OFF)), 0))) {
            *why = "the driver cannot turn off autocommit: " + diag(SQL_HANDLE_DBC, dbc_, nullptr);
            disconnect();
            return false;
        }
        return true;
    }

    bool check(std::string *why) override {
        StnDbRow probe;
        probe.key = std::string(64, '0');
        probe.report_id = probe.key;
        probe.seq = 1;
        probe.type = "check";
        probe.text = "{}";
        std::string state;
        std::size_t added = 0;
        const bool ok = insert_rows({probe}, &added, why, &state);
        end(false);
        if (ok) return true;
        const std::string table = std::string("the table ") + kTable;
        if (state == "42S02" || state == "42P01") {
            *why = table + " is missing (IT creates it with dist/sql/): " + *why;
        } else if (state == "42501" || state == "42000") {
            *why = "this login may not insert into or read " + table +
                   " (it needs SELECT and INSERT): " + *why;
        } else {
            *why = "cannot insert into " + table + ": " + *why;
        }
        return false;
    }

    bool insert(const std::vector<StnDbRow> &rows, std::size_t *added, std::string *why) override {
        for (int round = 0; round < 2; ++round) {
            std::string state;
            if (insert_rows(rows, added, why, &state) && end(true, why)) return true;
            end(false);
            // Another session inserted one of these keys meanwhile: its row
            // is there now, so a second round counts it as held.
            if (state.compare(0, 2, "23") != 0) break;
        }
        return false;
    }

    bool held(const std::string &report_id,
              const std::function<void(std::uint64_t, const std::string &)> &row,
              std::string *why) override {
        Stmt s(this);
        Param id;
        if (!s.prepare(L"SELECT seq, line_sha256 FROM qvm_report_line WHERE report_id = ? "
                       L"ORDER BY seq",
                       why) ||
            !s.bind_text(1, report_id, &id, why) || !s.execute(why)) {
            end(false);
            return false;
        }
        for (;;) {
            const SQLRETURN rc = api_->Fetch(s.h);
            if (rc == SQL_NO_DATA) break;
            if (!good(rc)) {
                *why = diag(SQL_HANDLE_STMT, s.h, nullptr);
                end(false);
                return false;
            }
            SQLBIGINT seq = 0;
            SQLLEN ind = 0;
            wchar_t key[80] = {};
            api_->GetData(s.h, 1, SQL_C_SBIGINT, &seq, 0, &ind);
            api_->GetData(s.h, 2, SQL_C_WCHAR, key, sizeof key, &ind);
            row(static_cast<std::uint64_t>(seq), stn_utf8(key));
        }
        end(false);
        return true;
    }

    bool report_of(const std::string &key, std::string *report_id, std::string *why) override {
        report_id->clear();
        Stmt s(this);
        Param k;
        if (!s.prepare(L"SELECT report_id FROM qvm_report_line WHERE line_sha256 = ?", why) ||
            !s.bind_text(1, key, &k, why) || !s.execute(why)) {
            end(false);
            return false;
        }
        if (good(api_->Fetch(s.h))) {
            wchar_t id[80] = {};
            SQLLEN ind = 0;
            api_->GetData(s.h, 1, SQL_C_WCHAR, id, sizeof id, &ind);
            *report_id = stn_utf8(id);
        }
        end(false);
        return true;
    }

    void disconnect() override {
        if (dbc_ == nullptr) return;
        api_->EndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
        api_->Disconnect(dbc_);
        api_->FreeHandle(SQL_HANDLE_DBC, dbc_);
        dbc_ = nullptr;
    }

private:
    // A statement with the deadline, freed when it goes.
    struct Stmt {
        explicit Stmt(OdbcDatabase *d) : db(d) {
            if (!good(db->api_->AllocHandle(SQL_HANDLE_STMT, db->dbc_, &h))) h = nullptr;
            if (h != nullptr) {
                db->api_->SetStmtAttrW(
                    h, SQL_ATTR_QUERY_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(static_cast<ULONG_PTR>(db->timeout_s_)), 0);
            }
        }
        ~Stmt() {
            if (h != nullptr) db->api_->FreeHandle(SQL_HANDLE_STMT, h);
        }
        Stmt(const Stmt &) = delete;
        Stmt &operator=(const Stmt &) = delete;
        bool prepare(const wchar_t *sql, std::string *why, std::string *state = nullptr) {
            if (h == nullptr) {
                *why = "no statement handle";
                return false;
            }
            std::wstring text(sql);
            if (good(db->api_->PrepareW(h, reinterpret_cast<SQLWCHAR *>(&text[0]), SQL_NTS))) {
                return true;
            }
            *why = db->diag(SQL_HANDLE_STMT, h, state);
            return false;
        }
        // An empty text goes in as NULL when null_if_empty.
        bool bind_text(SQLUSMALLINT n, const std::string &utf8, Param *p, std::string *why,
                       bool null_if_empty = false) {
            p->text = stn_wide(utf8);
            const SQLULEN chars = p->text.empty() ? 1 : p->text.size();
            p->len = null_if_empty && p->text.empty()
                         ? SQL_NULL_DATA
                         : static_cast<SQLLEN>(p->text.size() * sizeof(wchar_t));
            if (p->text.empty()) p->text.push_back(L'\0');
            const SQLSMALLINT type = chars > 4000 ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
            if (good(db->api_->BindParameter(h, n, SQL_PARAM_INPUT, SQL_C_WCHAR, type, chars, 0,
                                             &p->text[0], p->len < 0 ? 0 : p->len, &p->len))) {
                return true;
            }
            *why = db->diag(SQL_HANDLE_STMT, h, nullptr);
            return false;
        }
        bool execute(std::string *why, std::string *state = nullptr) {
            const SQLRETURN rc = db->api_->Execute(h);
            if (good(rc) || rc == SQL_NO_DATA) return true;
            *why = db->diag(SQL_HANDLE_STMT, h, state);
            return false;
        }
        OdbcDatabase *db;
        SQLHSTMT h = nullptr;
    };

    bool insert_rows(const std::vector<StnDbRow> &rows, std::size_t *added, std::string *why,
                     std::string *state) {
        *added = 0;
        if (dbc_ == nullptr) {
            *why = "not connected";
            return false;
        }
        Stmt s(this);
        if (!s.prepare(kInsert, why, state)) return false;
        for (const StnDbRow &r : rows) {
            Param p[7];
            SQLBIGINT seq = static_cast<SQLBIGINT>(r.seq);
            SQLLEN seq_len = 0;
            if (!s.bind_text(1, r.key, &p[0], why) ||
                !s.bind_text(2, r.station, &p[1], why, true) ||
                !s.bind_text(3, r.report_id, &p[2], why) ||
                !good(api_->BindParameter(s.h, 4, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0,
                                          0, &seq, 0, &seq_len)) ||
                !s.bind_text(5, r.type, &p[4], why) || !s.bind_text(6, r.text, &p[5], why) ||
                !s.bind_text(7, r.key, &p[6], why)) {
                if (why->empty()) *why = diag(SQL_HANDLE_STMT, s.h, state);
                return false;
            }
            if (!s.execute(why, state)) return false;
            SQLLEN n = 0;
            if (good(api_->RowCount(s.h, &n)) && n > 0) ++*added;
            api_->FreeStmt(s.h, SQL_CLOSE);
        }
        return true;
    }

    // Commits (or rolls back) the transaction.
    bool end(bool commit, std::string *why = nullptr) {
        if (dbc_ == nullptr) return false;
        const SQLRETURN rc = api_->EndTran(SQL_HANDLE_DBC, dbc_, commit ? SQL_COMMIT : SQL_ROLLBACK);
        if (good(rc)) return true;
        if (why != nullptr) *why = "commit failed: " + diag(SQL_HANDLE_DBC, dbc_, nullptr);
        return false;
    }

    // The driver's first message (and its SQLSTATE in *state), redacted.
    std::string diag(SQLSMALLINT type, SQLHANDLE h, std::string *state) {
        SQLWCHAR st[6] = {};
        SQLWCHAR msg[1024] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT len = 0;
        if (h == nullptr ||
            !good(api_->GetDiagRecW(type, h, 1, st, &native, msg, 1024, &len))) {
            return "no reason given by the driver";
        }
        if (state != nullptr) state->assign(stn_utf8(reinterpret_cast<wchar_t *>(st)));
        std::string text = stn_utf8(reinterpret_cast<wchar_t *>(msg));
        // One line: the drivers' second lines are hints.
        const std::size_t nl = text.find_first_of("\r\n");
        if (nl != std::string::npos) text.resize(nl);
        while (!text.empty() && (text.back() == ' ' || text.back() == ';')) text.pop_back();
        return stn_db_redact_in(text, cs_) + " [" + stn_utf8(reinterpret_cast<wchar_t *>(st)) + "]";
    }

    const Odbc *api_;
    std::string cs_;
    unsigned timeout_s_;
    SQLHENV env_ = nullptr;
    SQLHDBC dbc_ = nullptr;
};

// ---- The report and its cursor ----

class WinFiles : public StnDeliverFiles {
public:
    WinFiles(HANDLE f, std::wstring cursor) : file_(f), cursor_(std::move(cursor)) {}
    ~WinFiles() override { CloseHandle(file_); }
    WinFiles(const WinFiles &) = delete;
    WinFiles &operator=(const WinFiles &) = delete;

    bool read(std::uint64_t offset, std::size_t max, std::string *out) override {
        out->assign(max, '\0');
        std::size_t got_total = 0;
        while (got_total < max) {
            OVERLAPPED at{};
            const std::uint64_t pos = offset + got_total;
            at.Offset = static_cast<DWORD>(pos);
            at.OffsetHigh = static_cast<DWORD>(pos >> 32);
            DWORD got = 0;
            if (!ReadFile(file_, &(*out)[got_total], static_cast<DWORD>(max - got_total), &got,
                          &at)) {
                if (GetLastError() == ERROR_HANDLE_EOF) break;
                out->clear();
                return false;
            }
            if (got == 0) break;
            got_total += got;
        }
        out->resize(got_total);
        return true;
    }

    bool load_cursor(std::string *text) override {
        text->clear();
        if (cursor_.empty()) return false;
        HANDLE f = CreateFileW(cursor_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f == INVALID_HANDLE_VALUE) return false;
        char buf[1024];
        DWORD got = 0;
        const bool ok = ReadFile(f, buf, sizeof buf, &got, nullptr) != 0;
        CloseHandle(f);
        if (ok) text->assign(buf, got);
        return ok;
    }

    bool save_cursor(const std::string &text) override {
        return !cursor_.empty() && stn_write_whole_file(cursor_, text, /*durable=*/true);
    }

private:
    HANDLE file_;
    std::wstring cursor_;
};

}  // namespace

std::unique_ptr<StnDeliverFiles> stn_win_deliver_files(const std::string &utf8_path,
                                                       const char *cursor, std::string *why) {
    const std::wstring path = stn_wide(utf8_path);
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           cursor != nullptr ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        *why = "cannot open " + utf8_path + " (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    return std::unique_ptr<StnDeliverFiles>(
        new WinFiles(f, cursor != nullptr ? path + stn_wide(cursor) : std::wstring()));
}

std::unique_ptr<StnDatabase> stn_odbc_database(const std::string &connection_string,
                                               unsigned timeout_s, std::string *why) {
    const Odbc *api = odbc();
    if (api == nullptr) {
        *why = "ODBC (odbc32.dll) cannot be loaded";
        return nullptr;
    }
    return std::unique_ptr<StnDatabase>(new OdbcDatabase(api, connection_string, timeout_s));
}

std::string stn_station_machine_value(const wchar_t *name) {
    using GetValue = LSTATUS(WINAPI *)(HKEY, LPCWSTR, LPCWSTR, DWORD, LPDWORD, PVOID, LPDWORD);
    static GetValue get = [] {
        GetValue g = nullptr;
        HMODULE m = load_system(L"advapi32.dll");
        if (m != nullptr) get_proc(m, "RegGetValueW", &g);
        return g;
    }();
    if (get == nullptr) return "";
    const wchar_t kKey[] = L"Software\\R846-QVM2K\\Station";
    DWORD bytes = 0;
    if (get(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) !=
            ERROR_SUCCESS ||
        bytes < sizeof(wchar_t)) {
        return "";
    }
    std::wstring value(bytes / sizeof(wchar_t), L'\0');
    if (get(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_REG_SZ, nullptr, &value[0], &bytes) !=
        ERROR_SUCCESS) {
        return "";
    }
    value.resize(wcsnlen(value.c_str(), value.size()));
    return stn_utf8(value);
}

std::string stn_db_machine_default() { return stn_station_machine_value(L"Database"); }

void *stn_load_system_dll(const wchar_t *name) { return load_system(name); }
