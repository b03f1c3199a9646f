// qvm_cli.exe station under Wine with an MES: the stand-in on the loopback
// address (with_mes_standin.sh) and the simulated devices through their
// driver. Whether a unit was written is read from the device's own log (a
// BLOCK exchange), not from what the station says.
#include <gtest/gtest.h>

#include <map>

#include "cli_mes_fixture.h"
#include "upd_support.h"

using cli_e2e::field;
using cli_e2e::Output;
using cli_e2e::quoted;
using cli_e2e::report_lines;
using cli_e2e::wait_for;
using mes_standin::Json;
using upd_e2e::Devices;

namespace {

// Device i's serial (the driver's default devices).
std::string serial_of(unsigned index) { return std::to_string(84600001u + index); }

// A stop ends the station within this, whatever the MES does.
constexpr DWORD kStopMs = 10000;

class CliMes : public CliMesTest {
protected:
    void SetUp() override {
        CliMesTest::SetUp();
        if (HasFatalFailure()) return;
        mes.requests();
    }
    std::string url(int port) const {
        return "http://127.0.0.1:" + std::to_string(port) + "/api";
    }
    // The station with --json against the stand-in (or another port).
    std::string station(const std::string &more, int timeout_s = 2, int port = 0) const {
        return "station --json --timeout " + std::to_string(timeout_s) + " --report " +
               quoted(report) + " --mes " + url(port != 0 ? port : mes.port()) + " " + more;
    }
    // Any block was written to the device.
    bool written(unsigned index) {
        for (const std::string &s : dev.steps(index)) {
            if (s.rfind("BLOCK", 0) == 0) return true;
        }
        return false;
    }
    // The report's unit lines by serial (the last one of each).
    std::map<std::string, std::string> units() const {
        std::map<std::string, std::string> by;
        for (const std::string &l : report_lines(report, "unit")) by[field(l, "serial")] = l;
        return by;
    }
    // Check-ins of each serial asked so far, counted across calls.
    std::map<std::string, unsigned> asked() {
        for (const Json &r : mes.requests()) {
            if (!r.is_object() || r.value("path", "") != "/api/check-in") continue;
            const Json body = Json::parse(r.value("body", ""), nullptr, false);
            if (body.is_object()) ++asked_[body.value("PrimaryIdentifier", "")];
        }
        return asked_;
    }
    // Ctrl+C, then the end within kStopMs.
    Output stop(cli_e2e::Cli &cli) {
        Output o;
        EXPECT_TRUE(cli.stop()) << GetLastError();
        EXPECT_TRUE(cli.wait(&o, kStopMs)) << "the station did not end promptly on a stop";
        return o;
    }
    // The JSON events "mes" of standard output.
    static std::vector<std::string> mes_events(const std::vector<std::string> &out) {
        std::vector<std::string> e;
        for (const std::string &l : out) {
            if (field(l, "type") == "\"mes\"") e.push_back(l);
        }
        return e;
    }

    std::map<std::string, unsigned> asked_;
};

}  // namespace

TEST_F(CliMes, ARejectedUnitIsNeverWrittenAndHasItsLine) {
    mes.script({{serial_of(0), {{"do", "reject"}, {"reason", "on hold by QA"}}}});
    ASSERT_TRUE(dev.add(0, 340));
    ASSERT_TRUE(dev.add(1, 340));
    cli_e2e::Cli cli(station(""));
    ASSERT_TRUE(cli.started());
    ASSERT_TRUE(cli_e2e::wait_report(report, 2, "unit")) << cli.err_so_far();
    const Output o = stop(cli);

    const auto by = units();
    ASSERT_EQ(by.count(serial_of(0)), 1u);
    const std::string rejected = by.at(serial_of(0));
    EXPECT_EQ(field(rejected, "result"), "\"rejected\"") << rejected;
    EXPECT_EQ(field(rejected, "reason"), "\"on hold by QA\"") << rejected;
    EXPECT_FALSE(written(0)) << upd_e2e::join(dev.steps(0));
    ASSERT_EQ(by.count(serial_of(1)), 1u);
    EXPECT_EQ(field(by.at(serial_of(1)), "result"), "\"updated\"");
    EXPECT_EQ(dev.flash(1), upd_e2e::embedded_window());
    EXPECT_TRUE(written(1)) << "the log shows no blocks: " << upd_e2e::join(dev.steps(1));
    EXPECT_EQ(asked()[serial_of(0)], 1u) << "a rejected unit is asked once while plugged in";
    ASSERT_FALSE(o.out.empty());
    EXPECT_EQ(field(o.out.back(), "type"), "\"summary\"") << o.out.back();
    EXPECT_EQ(field(o.out.back(), "rejected"), "1") << o.out.back();
    EXPECT_EQ(field(o.out.back(), "updated"), "1") << o.out.back();
}

// Each way of not answering holds its unit unwritten while the station
// asks again; once the MES answers, every held unit is written.
TEST_F(CliMes, AnMesThatDoesNotAnswerHoldsUnitsUntilItComesBack) {
    const struct {
        const char *what;
        Json step;
    } faults[] = {
        {"status 500", {{"do", "status"}, {"status", 500}}},
        {"a malformed body", {{"do", "malformed"}}},
        {"a redirect", {{"do", "redirect"}}},
        {"slower than --timeout", {{"do", "confirm"}, {"delay_ms", 3000}}},
        {"a closed connection", {{"do", "close"}}},
    };
    const unsigned n = sizeof faults / sizeof faults[0];
    Json script = Json::object();
    for (unsigned i = 0; i < n; ++i) {
        script[serial_of(i)] = faults[i].step;
        ASSERT_TRUE(dev.add(i, 340));
    }
    mes.script(script);
    cli_e2e::Cli cli(station("", 1));
    ASSERT_TRUE(cli.started());
    // Asked twice: held across a retry.
    ASSERT_TRUE(wait_for(
        [&] {
            const auto a = asked();
            for (unsigned i = 0; i < n; ++i) {
                if (a.count(serial_of(i)) == 0 || a.at(serial_of(i)) < 2) return false;
            }
            return true;
        },
        30000))
        << cli.err_so_far();
    for (unsigned i = 0; i < n; ++i) {
        EXPECT_FALSE(written(i)) << faults[i].what;
        EXPECT_EQ(units().count(serial_of(i)), 0u) << faults[i].what;
    }
    EXPECT_NE(cli.err_so_far().find("MES: not answering since "), std::string::npos)
        << cli.err_so_far();
    const std::vector<std::string> down = mes_events(cli.out_so_far());
    ASSERT_FALSE(down.empty());
    EXPECT_EQ(field(down[0], "event"), "\"down\"") << down[0];
    EXPECT_NE(field(down[0], "since"), "") << down[0];

    mes.script(Json::object());  // it answers again, at once
    ASSERT_TRUE(cli_e2e::wait_report(report, n, "unit", 30000)) << cli.err_so_far();
    const Output o = stop(cli);
    const auto by = units();
    for (unsigned i = 0; i < n; ++i) {
        SCOPED_TRACE(faults[i].what);
        ASSERT_EQ(by.count(serial_of(i)), 1u);
        EXPECT_EQ(field(by.at(serial_of(i)), "result"), "\"updated\"");
        EXPECT_EQ(field(by.at(serial_of(i)), "mes"), "");
        EXPECT_EQ(dev.flash(i), upd_e2e::embedded_window());
    }
    EXPECT_NE(o.err.find("MES: answering again"), std::string::npos) << o.err;
    const std::vector<std::string> events = mes_events(o.out);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(field(events.back(), "event"), "\"up\"") << events.back();
}

TEST_F(CliMes, WhenAllowedAUnitIsWrittenUncheckedWhileTheMesIsDown) {
    mes.script({{serial_of(0), {{"do", "status"}, {"status", 503}}}});
    ASSERT_TRUE(dev.add(0, 340));
    ASSERT_TRUE(dev.add(1, 340));
    cli_e2e::Cli cli(station("--mes-down allow"));
    ASSERT_TRUE(cli.started());
    ASSERT_TRUE(cli_e2e::wait_report(report, 2, "unit")) << cli.err_so_far();
    stop(cli);
    const auto by = units();
    ASSERT_EQ(by.count(serial_of(0)), 1u);
    ASSERT_EQ(by.count(serial_of(1)), 1u);
    EXPECT_EQ(field(by.at(serial_of(0)), "result"), "\"updated\"");
    EXPECT_EQ(field(by.at(serial_of(0)), "mes"), "\"unchecked\"") << by.at(serial_of(0));
    EXPECT_EQ(field(by.at(serial_of(1)), "mes"), "") << "the MES allowed it: "
                                                      << by.at(serial_of(1));
    EXPECT_EQ(dev.flash(0), upd_e2e::embedded_window());
}

// The MES hangs on one unit for longer than the test lasts: another unit
// is written meanwhile, and a stop ends the station at once with no line
// for the waiting unit (nothing was written to it).
TEST_F(CliMes, AnMesThatHangsHoldsNeitherOtherUnitsNorAStop) {
    mes.script({{serial_of(0), {{"do", "confirm"}, {"delay_ms", 120000}}}});
    ASSERT_TRUE(dev.add(0, 340));
    cli_e2e::Cli cli(station("", 60));
    ASSERT_TRUE(cli.started());
    ASSERT_TRUE(wait_for([&] { return asked()[serial_of(0)] >= 1; }, 30000)) << cli.err_so_far();
    ASSERT_TRUE(dev.add(1, 340));
    ASSERT_TRUE(cli_e2e::wait_report(report, 1, "unit")) << cli.err_so_far();
    const Output o = stop(cli);
    EXPECT_EQ(o.exit, 4u) << o.err;
    const auto by = units();
    EXPECT_EQ(by.count(serial_of(0)), 0u);
    ASSERT_EQ(by.count(serial_of(1)), 1u);
    EXPECT_EQ(field(by.at(serial_of(1)), "result"), "\"updated\"");
    EXPECT_FALSE(written(0)) << upd_e2e::join(dev.steps(0));
}
