// qvm_cli.exe under Wine delivering to a real PostgreSQL through Wine's
// odbc32, unixODBC and psqlODBC (the server the test session started:
// scripts/pg-server.sh, QVM_PG_SOCKET and QVM_PG_DIR). Each fault ends with
// every report line in the table once, in order; the table is read with
// psql, not with the program's own code. Wine starts Unix programs from a
// Unix path (Z:\bin\sh), but neither waits for their end nor hands back
// their exit codes, so their output goes through a file renamed at the end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "cli_e2e_run.h"
#include "cli_pg.h"
#include "stn_chain.h"
#include "stn_sha256.h"
#include "upd_support.h"

using cli_e2e::field;
using cli_e2e::Output;
using cli_e2e::report_lines;
using cli_e2e::unix_sh;
using upd_e2e::Devices;

namespace {

std::string sha(const std::string &s) {
    return stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(s.data()), s.size());
}

// A file's whole lines, without LF or a CR before it.
std::vector<std::string> whole_lines(const std::string &path) {
    std::vector<std::string> out;
    const std::string bytes = cli_e2e::read_file(path);
    std::size_t begin = 0;
    for (std::size_t lf = bytes.find('\n'); lf != std::string::npos;
         begin = lf + 1, lf = bytes.find('\n', begin)) {
        std::string l = bytes.substr(begin, lf - begin);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        out.push_back(l);
    }
    return out;
}

class CliDatabase : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pg_.ready())
            << "no PostgreSQL server: run inside scripts/test-session.sh (QVM_PG_SOCKET)";
        ASSERT_TRUE(dev.ready()) << "the simulated device driver is not running";
        ASSERT_EQ(psql("TRUNCATE qvm_report_line"), "");
    }
    void TearDown() override {
        ctl("start");  // whatever a test left stopped
        DeleteFileA(report.c_str());
        DeleteFileA((report + ".dbcursor").c_str());
    }
    std::string psql(const std::string &sql) { return pg_.psql(sql); }
    std::string ctl(const char *what) { return pg_.ctl(what); }
    std::string cs(const char *pwd = "station-pw") const { return pg_.cs(pwd); }
    // Every whole line of file is a row once, at its number, and the
    // report holds no other row.
    void expect_all_once(const std::string &file) {
        const std::vector<std::string> lines = whole_lines(file);
        ASSERT_FALSE(lines.empty());
        const std::string id = sha(lines[0]);
        std::istringstream rows(psql(
            "SELECT seq || ' ' || line_sha256 FROM qvm_report_line WHERE report_id = '" + id +
            "' ORDER BY seq"));
        std::vector<std::string> got;
        for (std::string r; std::getline(rows, r);) got.push_back(r);
        ASSERT_EQ(got.size(), lines.size()) << "rows of the report";
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(got[i], std::to_string(i + 1) + " " + sha(lines[i])) << lines[i];
        }
    }
    std::size_t rows() {
        return static_cast<std::size_t>(std::atoi(psql("SELECT count(*) FROM qvm_report_line").c_str()));
    }
    // Plugs a fresh unit in at index (an older firmware: it is written).
    void plug(unsigned index) {
        dev.remove(index);
        ASSERT_TRUE(dev.add(index, 340));
    }

    cli_e2e::Postgres pg_;
    const std::string socket_ = pg_.socket();
    Devices dev;
    const std::string report = cli_e2e::temp_path("db-station.jsonl");
};

}  // namespace

TEST_F(CliDatabase, TheDatabaseStopsAndStartsAndTheStationIsKilledWhileItDelivers) {
    ASSERT_TRUE(dev.add(0, 340));
    ASSERT_TRUE(dev.add(1, 340));
    {
        cli_e2e::Cli station("station --json --report " + cli_e2e::quoted(report) + " --database " +
                             cli_e2e::quoted(cs()));
        ASSERT_TRUE(station.started());
        ASSERT_TRUE(cli_e2e::wait_report(report, 2, "unit"));
        ASSERT_TRUE(cli_e2e::wait_for([&] { return rows() == report_lines(report).size(); }, 30000))
            << "not delivered";
        // The database stops: units go on and are recorded locally.
        ASSERT_EQ(ctl("stop"), "");
        plug(0);
        ASSERT_TRUE(cli_e2e::wait_report(report, 3, "unit")) << "a unit waited for the database";
        ASSERT_TRUE(cli_e2e::wait_for(
            [&] { return station.err_so_far().find("(cannot connect: ") != std::string::npos; },
            30000))
            << station.err_so_far();
        EXPECT_EQ(ctl("start"), "");
        const bool delivered =
            cli_e2e::wait_for([&] { return rows() == report_lines(report).size(); }, 30000);
        station.kill();
        Output o;
        station.wait(&o, 5000);
        ASSERT_TRUE(delivered) << "not delivered after the database came back: " << o.err;
        EXPECT_NE(o.err.find("database: delivering to Driver={PostgreSQL Unicode};Server=" +
                             socket_ + ";Port=5432;Database=qvm_factory;Uid=qvm_station;Pwd=***;"),
                  std::string::npos)
            << o.err;
        EXPECT_NE(o.err.find("database: up to date"), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("lines waiting (cannot connect: "), std::string::npos) << o.err;
        EXPECT_EQ(o.err.find("station-pw"), std::string::npos) << "the password shows";
        bool json_event = false;
        for (const std::string &l : o.out) {
            json_event = json_event || (field(l, "type") == "\"database\"" &&
                                        field(l, "state") == "\"waiting\"");
        }
        EXPECT_TRUE(json_event);
    }
    expect_all_once(report);

    // A table locked by another session past the deadline: the station goes
    // on and is killed while its lines wait; the next start delivers them.
    const std::string lock = "PGPASSWORD=admin-pw psql -X -q -h '" + socket_ +
                             "' -U qvm_admin -d qvm_factory -c \\\"BEGIN; LOCK TABLE "
                             "qvm_report_line IN EXCLUSIVE MODE; SELECT pg_sleep(8); "
                             "COMMIT;\\\" >/dev/null 2>&1 & sleep 1";
    const std::size_t before = report_lines(report, "unit").size();
    {
        cli_e2e::Cli station("station --timeout 2 --report " + cli_e2e::quoted(report) + " --database " +
                             cli_e2e::quoted(cs()));
        ASSERT_TRUE(station.started());
        // Both units still plugged in are looked at first ("current").
        ASSERT_TRUE(cli_e2e::wait_report(report, before + 2, "unit"));
        ASSERT_TRUE(cli_e2e::wait_for([&] { return rows() == report_lines(report).size(); }, 30000));
        unix_sh(lock);
        plug(1);
        ASSERT_TRUE(cli_e2e::wait_report(report, before + 3, "unit"))
            << "a unit waited for the locked table";
        EXPECT_LT(rows(), report_lines(report).size());
        station.kill();
    }
    {
        cli_e2e::Cli station("station --report " + cli_e2e::quoted(report) + " --database " +
                             cli_e2e::quoted(cs()));
        ASSERT_TRUE(cli_e2e::wait_for([&] { return rows() == report_lines(report).size(); }, 30000))
            << "the lines left by the killed station were not delivered";
        station.kill();
    }
    expect_all_once(report);
}

TEST_F(CliDatabase, WrongCredentialsAreSaidAtTheStartAndTheStationStillRecords) {
    ASSERT_TRUE(dev.add(0, 340));
    {
        cli_e2e::Cli station("station --report " + cli_e2e::quoted(report) + " --database " +
                             cli_e2e::quoted(cs("wrong-pw")));
        ASSERT_TRUE(cli_e2e::wait_report(report, 1, "unit"));
        cli_e2e::wait_for(
            [&] { return station.err_so_far().find("(cannot connect: ") != std::string::npos; },
            30000);
        station.kill();
        Output o;
        station.wait(&o, 5000);
        EXPECT_NE(o.err.find("(cannot connect: "), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("password authentication failed"), std::string::npos) << o.err;
        EXPECT_EQ(o.err.find("wrong-pw"), std::string::npos) << "the password shows";
    }
    EXPECT_EQ(rows(), 0u);
    // Required: it does not start at all, and says why.
    plug(0);
    const std::uint32_t exchanges = dev.state(0).exchanges;
    const Output o = cli_e2e::run("station --database-required --report " + cli_e2e::quoted(report) +
                                      " --database " + cli_e2e::quoted(cs("wrong-pw")),
                                  60000);
    EXPECT_EQ(o.exit, 1u) << o.err;
    EXPECT_NE(o.err.find("--database-required, and the database cannot take lines: cannot "
                         "connect: "),
              std::string::npos)
        << o.err;
    EXPECT_EQ(dev.state(0).exchanges, exchanges) << "a device was touched";
    // A login that may read but not insert is told what it lacks.
    const Output r = cli_e2e::run(
        "ship " + cli_e2e::quoted(report) + " --database " +
        cli_e2e::quoted("Driver={PostgreSQL Unicode};Server=" + socket_ +
               ";Port=5432;Database=qvm_factory;Uid=qvm_reader;Pwd=reader-pw;"));
    EXPECT_EQ(r.exit, 3u);
    EXPECT_NE(r.err.find("permission denied"), std::string::npos) << r.err;
}

TEST_F(CliDatabase, ShipIntoAnEmptyAndAFilledDatabaseAndVerifyAChangedLine) {
    // A report made elsewhere, by a station named in Unicode, chained as
    // a station writes it (one line copied with a CR).
    {
        const std::string bodies[] = {
            "{\"type\":\"start\",\"time\":\"2026-12-09T08:00:00.000Z\",\"id\":1,\"index\":0,"
            "\"serial\":84600001,\"station\":\"Pr\\u00fcfstand 2\"}",
            "{\"type\":\"unit\",\"time\":\"2026-12-09T08:00:02.000Z\",\"id\":1,\"index\":0,"
            "\"serial\":84600001,\"old_version\":\"3.40\",\"new_version\":\"3.62\","
            "\"result\":\"updated\",\"detail\":0,\"ms\":1800,\"image_sha256\":\"ab\","
            "\"operator\":\"Ana\",\"order\":\"WO-7\",\"station\":\"Pr\\u00fcfstand 2\"}",
            "{\"type\":\"unit\",\"time\":\"2026-12-09T08:00:03.000Z\",\"id\":2,\"index\":1,"
            "\"serial\":84600002,\"result\":\"failed\",\"failure\":\"refused\"}"};
        std::ofstream f(report, std::ios::binary);
        std::string prev = kStnEmptySha256;
        for (std::size_t i = 0; i < 3; ++i) {
            const std::string line = stn_chain_line(bodies[i], i + 1, prev, nullptr);
            f << line << (i == 1 ? "\r\n" : "\n");
            prev = stn_line_sha256(line);
        }
    }
    Output o = cli_e2e::run("ship " + cli_e2e::quoted(report) + " --database " + cli_e2e::quoted(cs()));
    EXPECT_EQ(o.exit, 0u) << o.err;
    ASSERT_EQ(o.out.size(), 1u);
    EXPECT_EQ(o.out[0], report + ": 3 lines new, 0 already there");
    o = cli_e2e::run("ship " + cli_e2e::quoted(report) + " --json --database " + cli_e2e::quoted(cs()));
    ASSERT_EQ(o.out.size(), 1u) << o.err;
    EXPECT_EQ(field(o.out[0], "new"), "0");
    EXPECT_EQ(field(o.out[0], "already"), "3");
    expect_all_once(report);
    EXPECT_EQ(psql("SELECT station, operator_name, work_order, serial, result, new_version, "
                   "unit_time FROM qvm_unit ORDER BY seq"),
              "Pr\xC3\xBC" "fstand 2|Ana|WO-7|84600001|updated|3.62|2026-12-09 08:00:02+00\n"
              "|||84600002|failed||2026-12-09 08:00:03+00\n");
    EXPECT_EQ(psql("SELECT DISTINCT station FROM qvm_report_line WHERE seq < 3"),
              "Pr\xC3\xBC" "fstand 2\n");

    o = cli_e2e::run("report --verify " + cli_e2e::quoted(report) + " --database " + cli_e2e::quoted(cs()));
    EXPECT_EQ(o.exit, 0u) << o.err;
    // One byte of line 2 changed in the file.
    std::string bytes = cli_e2e::read_file(report);
    bytes.replace(bytes.find("\"updated\""), 9, "\"current\"");
    std::ofstream(report, std::ios::binary) << bytes;
    o = cli_e2e::run("report --verify " + cli_e2e::quoted(report) + " --database " + cli_e2e::quoted(cs()));
    EXPECT_EQ(o.exit, 8u) << o.err;  // the chain breaks first; the database says where too
    std::string all;
    for (const std::string &l : o.out) all += l + "\n";
    EXPECT_NE(all.find("chain broken between lines 2 and 3"), std::string::npos) << all;
    EXPECT_NE(all.find("changed in the file since delivered (line): 2"), std::string::npos) << all;
}
