// The test session's PostgreSQL (scripts/pg-server.sh: QVM_PG_SOCKET,
// QVM_PG_DIR) for the end-to-end tests of qvm_cli.exe: the table read and
// written with psql, never with the program's own code, the server
// stopped and started, and the connection strings qvm_cli is given. Wine
// starts Unix programs from a Unix path (Z:\bin\sh), but neither waits for
// their end nor hands back their exit codes, so their output goes through
// a file renamed at the end (cli_e2e::unix_sh).
//
// Threads: the test thread only.
#pragma once

#include <cstdlib>
#include <string>

#include "cli_e2e_run.h"

namespace cli_e2e {

class Postgres {
public:
    static std::string env(const char *name) {
        const char *v = std::getenv(name);
        return v == nullptr ? std::string() : std::string(v);
    }
    bool ready() const { return !socket_.empty(); }
    const std::string &socket() const { return socket_; }
    // psql as the schema's owner: rows as "a|b" lines.
    std::string psql(const std::string &sql) const {
        return unix_sh("PGPASSWORD=admin-pw PGCLIENTENCODING=UTF8 psql -X -q -At -v ON_ERROR_STOP=1 -h '" +
                       socket_ + "' -U qvm_admin -d qvm_factory -c \\\"" + sql + "\\\"");
    }
    // pg-server.sh ctl: "stop" or "start" the server, its data kept.
    std::string ctl(const char *what) const {
        return unix_sh("'" QVM_SOURCE_DIR "/scripts/pg-server.sh' ctl '" + pg_dir_ + "' " + what);
    }
    // The stations' login (qvm_station) with this password.
    std::string cs(const char *pwd = "station-pw") const {
        return "Driver={PostgreSQL Unicode};Server=" + socket_ +
               ";Port=5432;Database=qvm_factory;Uid=qvm_station;Pwd=" + pwd + ";";
    }

private:
    const std::string socket_ = env("QVM_PG_SOCKET");
    const std::string pg_dir_ = env("QVM_PG_DIR");
};

}  // namespace cli_e2e
