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

#include <cstdlib>
#include <vector>

#include "stn_odbc_win.h"
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


const char kTable[] = "qvm_report_line";

const wchar_t kInsert[] =
    L"INSERT INTO qvm_report_line (line_sha256, station, report_id, seq, line_type, line_text) "
    L"SELECT ?, ?, ?, CAST(? AS BIGINT), ?, ? "
    L"WHERE NOT EXISTS (SELECT 1 FROM qvm_report_line WHERE line_sha256 = ?)";

class OdbcDatabase : public StnDatabase {
public:
    OdbcDatabase(const StnOdbc *api, const std::string &cs, unsigned timeout_s)
        : conn_(api, cs, timeout_s), timeout_s_(timeout_s == 0 ? 1 : timeout_s) {}

    bool connect(std::string *why) override { return conn_.connect(false, why); }

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
        conn_.end(false);
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
            if (insert_rows(rows, added, why, &state) && conn_.end(true, why)) return true;
            conn_.end(false);
            // Another session inserted one of these keys meanwhile: its row
            // is there now, so a second round counts it as held.
            if (state.compare(0, 2, "23") != 0) break;
        }
        return false;
    }

    bool held(const std::string &report_id,
              const std::function<void(std::uint64_t, const std::string &)> &row,
              std::string *why) override {
        StnOdbcStmt s(&conn_, timeout_s_);
        StnOdbcParam id;
        if (!s.prepare(L"SELECT seq, line_sha256 FROM qvm_report_line WHERE report_id = ? "
                       L"ORDER BY seq",
                       why) ||
            !s.bind_text(1, report_id, &id, why) || !s.execute(why)) {
            conn_.end(false);
            return false;
        }
        for (;;) {
            const int got = s.fetch(why);
            if (got == 0) break;
            std::string seq, key;
            bool null = false;
            if (got < 0 || !s.text(1, &seq, &null, why) || !s.text(2, &key, &null, why)) {
                conn_.end(false);
                return false;
            }
            row(std::strtoull(seq.c_str(), nullptr, 10), key);
        }
        conn_.end(false);
        return true;
    }

    bool report_of(const std::string &key, std::string *report_id, std::string *why) override {
        report_id->clear();
        StnOdbcStmt s(&conn_, timeout_s_);
        StnOdbcParam k;
        if (!s.prepare(L"SELECT report_id FROM qvm_report_line WHERE line_sha256 = ?", why) ||
            !s.bind_text(1, key, &k, why) || !s.execute(why)) {
            conn_.end(false);
            return false;
        }
        bool null = false;
        const bool ok = s.fetch(why) <= 0 || s.text(1, report_id, &null, why);
        conn_.end(false);
        return ok;
    }

    void disconnect() override { conn_.disconnect(); }

private:
    bool insert_rows(const std::vector<StnDbRow> &rows, std::size_t *added, std::string *why,
                     std::string *state) {
        *added = 0;
        if (!conn_.connected()) {
            *why = "not connected";
            return false;
        }
        const StnOdbc *api = conn_.api();
        StnOdbcStmt s(&conn_, timeout_s_);
        if (!s.prepare(kInsert, why, state)) return false;
        for (const StnDbRow &r : rows) {
            StnOdbcParam p[7];
            SQLBIGINT seq = static_cast<SQLBIGINT>(r.seq);
            SQLLEN seq_len = 0;
            if (!s.bind_text(1, r.key, &p[0], why) ||
                !s.bind_text(2, r.station, &p[1], why, true) ||
                !s.bind_text(3, r.report_id, &p[2], why) ||
                !stn_odbc_good(api->BindParameter(s.h, 4, SQL_PARAM_INPUT, SQL_C_SBIGINT,
                                                  SQL_BIGINT, 0, 0, &seq, 0, &seq_len)) ||
                !s.bind_text(5, r.type, &p[4], why) || !s.bind_text(6, r.text, &p[5], why) ||
                !s.bind_text(7, r.key, &p[6], why)) {
                if (why->empty()) *why = conn_.diag(SQL_HANDLE_STMT, s.h, state);
                return false;
            }
            if (!s.execute(why, state)) return false;
            SQLLEN n = 0;
            if (stn_odbc_good(api->RowCount(s.h, &n)) && n > 0) ++*added;
            s.close();
        }
        return true;
    }

    StnOdbcConn conn_;
    unsigned timeout_s_;
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
    const StnOdbc *api = stn_odbc();
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
        if (m != nullptr) stn_get_proc(m, "RegGetValueW", &g);
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

void *stn_dll_proc(void *module, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}
