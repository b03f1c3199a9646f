// StnSql over ODBC: see stn_sql_odbc_win.h. Autocommit stays on: every
// query only reads.
#include "stn_sql_odbc_win.h"

#include "stn_odbc_win.h"
#include "stn_store_win.h"

namespace {

class OdbcSql : public StnSql {
public:
    OdbcSql(const StnOdbc *api, const std::string &cs, unsigned login_s, unsigned query_s)
        : conn_(api, cs, login_s), query_s_(query_s) {}

    bool connect(std::string *why) { return conn_.connect(true, why); }

    bool query(const std::string &sql, const std::vector<std::string> &params,
               const std::function<void(const std::vector<StnSqlValue> &)> &row,
               std::string *why) override {
        StnOdbcStmt s(&conn_, query_s_);
        std::vector<StnOdbcParam> bound(params.size());
        if (!s.prepare(stn_wide(sql), why)) return false;
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (!s.bind_text(static_cast<SQLUSMALLINT>(i + 1), params[i], &bound[i], why)) {
                return false;
            }
        }
        if (!s.execute(why)) return false;
        const int n = s.columns();
        if (n == 0) return true;  // a statement that gives no rows
        std::vector<StnSqlValue> values(static_cast<std::size_t>(n));
        for (;;) {
            const int got = s.fetch(why);
            if (got < 0) return false;
            if (got == 0) return true;
            for (int c = 0; c < n; ++c) {
                StnSqlValue &v = values[static_cast<std::size_t>(c)];
                if (!s.text(static_cast<SQLUSMALLINT>(c + 1), &v.text, &v.null, why)) return false;
            }
            row(values);
        }
    }

private:
    StnOdbcConn conn_;
    unsigned query_s_;
};

std::string lower(std::string s) {
    for (char &c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

}  // namespace

std::string stn_sql_odbc_connection(const std::string &cs) {
    const std::string l = lower(cs);
    const std::size_t at = l.find("driver=");
    if (at == std::string::npos || l.find("usedeclarefetch") != std::string::npos) return cs;
    // The driver's name: in braces, or up to the next ';'.
    const std::size_t from = at + 7;
    const std::size_t end = l.find(l.compare(from, 1, "{") == 0 ? '}' : ';', from);
    if (l.substr(from, end == std::string::npos ? std::string::npos : end - from)
            .find("postgresql") == std::string::npos) {
        return cs;
    }
    return cs + (cs.empty() || cs.back() == ';' ? "" : ";") + "UseDeclareFetch=1;";
}

std::unique_ptr<StnSql> stn_sql_odbc(const std::string &connection_string,
                                     unsigned login_timeout_s, unsigned query_timeout_s,
                                     bool *unreachable, std::string *why) {
    *unreachable = false;
    const StnOdbc *api = stn_odbc();
    if (api == nullptr) {
        *why = "ODBC (odbc32.dll) cannot be loaded";
        return nullptr;
    }
    std::unique_ptr<OdbcSql> sql(
        new OdbcSql(api, stn_sql_odbc_connection(connection_string), login_timeout_s,
                    query_timeout_s));
    std::string reason;
    if (!sql->connect(&reason)) {
        *unreachable = true;
        *why = "cannot connect: " + reason;
        return nullptr;
    }
    return sql;
}
