// A StnSql for tests that runs psql against a PostgreSQL server of the
// tests' own (scripts/pg-server.sh): QVM_PG_SOCKET when the session has
// one, else a server this process starts and stops. `?` parameters are
// put in as quoted literals (the test's own texts only; the program binds
// them through ODBC). Rows come back unaligned, columns split by 0x1F,
// rows by 0x1E, NULL as 0x01: texts holding those cannot be read here.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "stn_sql.h"

namespace stn_test {

// The server: started once per process when none was given.
class PgServer {
public:
    static PgServer &get() {
        static PgServer s;
        return s;
    }
    const std::string &socket() const { return socket_; }
    const std::string &why() const { return why_; }
    ~PgServer() {
        if (!dir_.empty()) {
            std::system(("'" + script() + "' stop '" + dir_ + "' >/dev/null 2>&1; rm -rf '" + dir_ + "'")
                            .c_str());
        }
    }

private:
    PgServer() {
        if (const char *s = std::getenv("QVM_PG_SOCKET")) {
            socket_ = s;
            return;
        }
        char tmpl[] = "/tmp/qvm-query-test.XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            why_ = "cannot make a folder for the server";
            return;
        }
        dir_ = tmpl;
        chmod(tmpl, 0755);  // the server runs as another user (pg-server.sh)
        const std::string out = dir_ + "/env";
        if (std::system(("'" + script() + "' start '" + dir_ + "/pg' >'" + out + "' 2>'" + dir_ +
                         "/err'")
                            .c_str()) != 0) {
            std::ifstream err(dir_ + "/err");
            std::stringstream ss;
            ss << err.rdbuf();
            why_ = "cannot start PostgreSQL (scripts/pg-server.sh): " + ss.str();
            return;
        }
        std::ifstream in(dir_ + "/pg/socket-dir");
        std::getline(in, socket_);
    }
    static std::string script() { return std::string(QVM_SOURCE_DIR) + "/scripts/pg-server.sh"; }

    std::string dir_, socket_, why_;
};

// A quoted SQL literal of s (standard strings: only ' is doubled).
inline std::string sql_literal(const std::string &s) {
    std::string out = "'";
    for (char c : s) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out + "'";
}

// sql with each `?` outside quoted literals replaced by the next param.
inline bool bind_params(const std::string &sql, const std::vector<std::string> &params,
                        std::string *out, std::string *why) {
    out->clear();
    std::size_t next = 0;
    bool quoted = false;
    for (char c : sql) {
        if (c == '\'') quoted = !quoted;
        if (c == '?' && !quoted) {
            if (next == params.size()) {
                *why = "more ? than parameters";
                return false;
            }
            *out += sql_literal(params[next++]);
        } else {
            *out += c;
        }
    }
    if (next != params.size()) {
        *why = "more parameters than ?";
        return false;
    }
    return true;
}

class PsqlSql : public StnSql {
public:
    explicit PsqlSql(std::string database) : database_(std::move(database)) {}

    // Runs sql (any statements) as the schema's owner; false with *why on an error.
    bool exec(const std::string &sql, std::string *out, std::string *why) const {
        char tmpl[] = "/tmp/qvm-query-sql.XXXXXX";
        const int fd = mkstemp(tmpl);
        if (fd < 0) {
            *why = "cannot make a file for the SQL";
            return false;
        }
        close(fd);
        const std::string file = tmpl;
        std::ofstream(file, std::ios::binary) << sql;
        const std::string bin =
            "$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)/psql";
        const std::string cmd = "PGPASSWORD=admin-pw PGCLIENTENCODING=UTF8 " + bin +
                                " -X -q -A -t -v ON_ERROR_STOP=1 -F $'\\x1f' -R $'\\x1e' "
                                "-P null=$'\\x01' -h '" + PgServer::get().socket() +
                                "' -U qvm_admin -d " + database_ + " -f '" + file + "' 2>&1";
        FILE *p = popen(("bash -c " + sql_literal_shell(cmd)).c_str(), "r");
        out->clear();
        if (p != nullptr) {
            char buf[65536];
            std::size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
        }
        const int rc = p != nullptr ? pclose(p) : -1;
        std::remove(file.c_str());
        if (rc != 0) {
            *why = "psql: " + *out;
            return false;
        }
        return true;
    }

    bool query(const std::string &sql, const std::vector<std::string> &params,
               const std::function<void(const std::vector<StnSqlValue> &)> &row,
               std::string *why) override {
        ++queries;
        std::string bound, out;
        if (!bind_params(sql, params, &bound, why) || !exec(bound + ";\n", &out, why)) return false;
        if (out.empty()) return true;  // no rows
        if (out.back() == '\n') out.pop_back();
        std::vector<StnSqlValue> values;
        std::size_t at = 0;
        while (at <= out.size()) {
            const std::size_t end = std::min(out.find('\x1e', at), out.size());
            const std::string rec = out.substr(at, end - at);
            values.clear();
            std::size_t c = 0;
            while (true) {
                const std::size_t e = std::min(rec.find('\x1f', c), rec.size());
                StnSqlValue v;
                v.text = rec.substr(c, e - c);
                v.null = v.text == "\x01";
                if (v.null) v.text.clear();
                values.push_back(v);
                if (e == rec.size()) break;
                c = e + 1;
            }
            row(values);
            at = end + 1;
        }
        return true;
    }

    std::uint64_t queries = 0;

private:
    static std::string sql_literal_shell(const std::string &s) {
        std::string out = "'";
        for (char c : s) {
            if (c == '\'') {
                out += "'\\''";
            } else {
                out += c;
            }
        }
        return out + "'";
    }
    std::string database_;
};

}  // namespace stn_test
