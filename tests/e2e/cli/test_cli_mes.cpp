// qvm_cli.exe under Wine with the MES stand-in (with_mes_standin.sh) and
// the simulated devices: the station killed while its check-outs wait, and
// started again once the MES takes them.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "cli_mes_fixture.h"
#include "stn_sha256.h"
#include "upd_support.h"

using cli_e2e::report_lines;
using mes_standin::Json;
using upd_e2e::Devices;

namespace {

std::string sha(const std::string &s) {
    return stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(s.data()), s.size());
}

class CliMes : public CliMesTest {
protected:
    std::string station_args() const {
        return "station --timeout 2 --report " + cli_e2e::quoted(report) +
               " --mes http://127.0.0.1:" + std::to_string(mes.port()) + "/mes";
    }
    // Every check-out the stand-in recorded so far: its key and body.
    std::vector<std::pair<std::string, std::string>> check_outs() {
        for (const Json &r : mes.requests()) {
            if (r["path"] == "/mes/check-out") {
                seen_.emplace_back(r["headers"].value("Idempotency-Key", ""),
                                   r["body"].get<std::string>());
            }
        }
        return seen_;
    }

private:
    std::vector<std::pair<std::string, std::string>> seen_;
};

}  // namespace

// The MES answers 500 to every check-out while the station writes units;
// the station is killed (TerminateProcess) with its check-outs waiting;
// started again with the MES answering, every unit line reaches it, and a
// key never comes with two bodies.
TEST_F(CliMes, AStationKilledWhileCheckOutsWaitSendsThemAllAfterItsRestart) {
    mes.script(Json::parse(R"({"@check-out": {"*": {"do": "status", "status": 500}}})"));
    ASSERT_TRUE(dev.add(0, 340));
    ASSERT_TRUE(dev.add(1, 340));
    std::size_t refused = 0;
    {
        cli_e2e::Cli station(station_args());
        ASSERT_TRUE(station.started());
        ASSERT_TRUE(cli_e2e::wait_report(report, 2, "unit"));
        ASSERT_TRUE(cli_e2e::wait_for(
            [&] {
                return station.err_so_far().find(" waiting (the MES answered status 500") !=
                       std::string::npos;
            },
            30000))
            << station.err_so_far();
        station.kill();
        Sleep(500);  // a request the stand-in was still taking is recorded
        refused = check_outs().size();
    }
    ASSERT_GT(refused, 0u);
    mes.script(Json::object());
    dev.remove(1);
    ASSERT_TRUE(dev.add(1, 340));  // one more unit after the restart
    const std::size_t before = report_lines(report, "unit").size();
    cli_e2e::Cli station(station_args());
    ASSERT_TRUE(station.started());
    ASSERT_TRUE(cli_e2e::wait_report(report, before + 1, "unit"));
    const std::vector<std::string> units = report_lines(report, "unit");
    const bool all = cli_e2e::wait_for(
        [&] {
            std::set<std::string> taken;  // keys sent since the MES answers
            const auto got = check_outs();
            for (std::size_t i = refused; i < got.size(); ++i) taken.insert(got[i].first);
            for (const std::string &u : units) {
                if (taken.count(sha(u)) == 0) return false;
            }
            return true;
        },
        30000);
    station.kill();
    cli_e2e::Output o;
    station.wait(&o, 5000);
    ASSERT_TRUE(all) << "not every unit line reached the MES: " << o.err;
    // Only unit lines; each key always with the same body, which holds the
    // line itself.
    std::map<std::string, std::string> line_of;
    for (const std::string &u : units) line_of[sha(u)] = u;
    std::map<std::string, std::string> body_of;
    for (const auto &c : check_outs()) {
        ASSERT_EQ(line_of.count(c.first), 1u) << "a check-out of no unit line: " << c.second;
        EXPECT_NE(c.second.find(line_of[c.first]), std::string::npos) << c.second;
        const auto held = body_of.emplace(c.first, c.second);
        EXPECT_EQ(held.first->second, c.second) << "two bodies under the key " << c.first;
    }
}
