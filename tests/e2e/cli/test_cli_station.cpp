// qvm_cli.exe under Wine through the simulated device driver, where a real
// process and the driver are needed: an update that meets a device which
// never answers ends at its deadline; a running station keeps every other
// command away from the devices, and a killed one leaves no claim behind;
// a station killed at any moment of its units and started again on the
// same report ends every started unit exactly once; a line that stops
// itself after failures in a row, and its report's chain checked before
// and after a byte is changed.
#include <gtest/gtest.h>

#include <fstream>

#include <chrono>
#include <functional>
#include <map>
#include <set>

#include "cli_e2e_run.h"
#include "upd_support.h"

using cli_e2e::field;
using cli_e2e::quoted;
using cli_e2e::wait_for;
using cli_e2e::Output;
using cli_e2e::report_lines;
using upd_e2e::Devices;

namespace {

constexpr unsigned kDevices = 4;
// Exchanges of an update before its 21st block: version read, LED 2,
// begin, 20 blocks.
constexpr unsigned kBlock21 = 1 + 1 + 1 + 20;
constexpr DWORD kDeadlineMs = 5000;  // qvm_cli's deadline of one exchange

double ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
        .count();
}


class CliStation : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dev.ready()) << "the simulated device driver is not running";
        ASSERT_EQ(window.size(), 0x4000u);
    }
    void TearDown() override {
        for (unsigned i = 0; i < kDevices; ++i) dev.ctl().set_delay(i, 0);
        DeleteFileA(report.c_str());
    }
    Devices dev;
    const std::vector<std::uint8_t> window = upd_e2e::embedded_window();
    const std::string report = cli_e2e::temp_path("station.jsonl");
};

}  // namespace

TEST_F(CliStation, UpdateEndsAtTheDeadlineOfADeviceThatNeverAnswers) {
    for (unsigned i = 0; i < kDevices; ++i) ASSERT_TRUE(dev.add(i, 340));
    // Device 2 takes its 21st block and never answers it.
    ASSERT_TRUE(dev.ctl().arm_fault(2, kBlock21, DEVSIM_FAULT_HANG, 0));
    const auto t0 = std::chrono::steady_clock::now();
    const Output o = cli_e2e::run("update --all --json", 60000);
    const double took = ms_since(t0);
    ASSERT_FALSE(o.timed_out) << "qvm_cli update hung";
    EXPECT_EQ(o.exit, 3u) << o.err;
    EXPECT_LT(took, kDeadlineMs + 10000.0);
    EXPECT_NE(o.err.find("device 2 (serial 84600003): block at 0x5400 got no answer within 5 s"),
              std::string::npos)
        << o.err;
    for (unsigned i = 0; i < kDevices; ++i) {
        if (i != 2) {
            EXPECT_EQ(dev.flash(i), window) << "device " << i;
        }
    }
}

TEST_F(CliStation, OneOwnerWhileAStationRunsAndNoClaimAfterItIsKilled) {
    ASSERT_TRUE(dev.add(0, 340));
    const std::string other = cli_e2e::temp_path("other.jsonl");
    cli_e2e::Cli station("station --report " + quoted(report));
    ASSERT_TRUE(station.started());
    ASSERT_TRUE(cli_e2e::wait_report(report, 1, "unit")) << "device 0 was not recorded";
    // Each command runs while the station's look at device 0 hangs, so any
    // exchange or open counted meanwhile is the command's.
    const std::vector<std::string> commands = {"list", "update --all --json",
                                               "station --report " + quoted(other)};
    for (const std::string &args : commands) {
        SCOPED_TRACE(args);
        const std::uint32_t next = dev.state(0).exchanges;
        ASSERT_TRUE(dev.ctl().arm_fault(0, 0, DEVSIM_FAULT_HANG, 0));
        ASSERT_TRUE(wait_for(
            [&] {
                const devsim_ioc_state st = dev.state(0);
                return st.exchanges > next && st.reads_pending != 0;
            },
            kDeadlineMs + 5000));
        const devsim_ioc_state before = dev.state(0);
        const Output o = cli_e2e::run(args, 30000);
        const devsim_ioc_state after = dev.state(0);
        ASSERT_NE(after.reads_pending, 0u) << "the station's deadline passed before the check";
        EXPECT_EQ(o.exit, 6u) << o.err;
        EXPECT_EQ(after.exchanges, before.exchanges);
        EXPECT_EQ(after.open_handles, before.open_handles);
        EXPECT_NE(o.err.find("a station runs on this machine (report " + report + ")"),
                  std::string::npos)
            << o.err;
        if (args.find("--json") != std::string::npos) {
            ASSERT_EQ(o.out.size(), 1u);
            EXPECT_EQ(field(o.out[0], "type"), "\"error\"");
        }
    }
    EXPECT_EQ(GetFileAttributesA(other.c_str()), INVALID_FILE_ATTRIBUTES);
    station.kill();
    const Output o = cli_e2e::run("list --json");
    EXPECT_EQ(o.exit, 0u) << o.err;
    ASSERT_FALSE(o.out.empty());
    EXPECT_EQ(field(o.out[0], "type"), "\"device\"");
    EXPECT_EQ(field(o.out[0], "index"), "0");
}

TEST_F(CliStation, KilledAtAnyMomentEveryStartedUnitEndsOnce) {
    // Slow devices, each slower than the last, so that units are midway
    // and end one after the other.
    for (unsigned i = 0; i < kDevices; ++i) {
        ASSERT_TRUE(dev.add(i, 340));
        ASSERT_TRUE(dev.ctl().set_delay(i, 10 * (i + 1)));
    }
    auto count = [&](const char *type) { return report_lines(report, type).size(); };
    auto exchanges = [&] {
        std::uint32_t n = 0;
        for (unsigned i = 0; i < kDevices; ++i) n += dev.state(i).exchanges;
        return n;
    };
    // Starts whose unit line is not there yet.
    auto open_starts = [&] {
        std::set<std::string> open;
        for (const std::string &l : report_lines(report)) {
            if (field(l, "type") == "\"start\"") open.insert(field(l, "id"));
            if (field(l, "type") == "\"unit\"") open.erase(field(l, "id"));
        }
        return open.size();
    };
    auto all_written = [&] {
        for (unsigned i = 0; i < kDevices; ++i) {
            if (dev.state(i).firm_version != upd_e2e::kImageVersion) return false;
        }
        return true;
    };
    struct Moment {
        const char *what;
        std::function<bool()> reached;
    };
    std::uint32_t slowest_from = 0;  // exchanges of the slowest device when its run began
    std::size_t units_from = 0;
    const std::vector<Moment> moments = {
        {"the first start line", [&] { return count("start") >= 1; }},
        {"midway through writing",
         [&] { return dev.state(kDevices - 1).exchanges >= slowest_from + kBlock21; }},
        {"right after a unit line", [&] { return count("unit") > units_from; }},
        {"every device written and recorded", [&] { return all_written() && open_starts() == 0; }},
    };
    for (const Moment &m : moments) {
        SCOPED_TRACE(m.what);
        slowest_from = dev.state(kDevices - 1).exchanges;
        const std::uint32_t before = exchanges();
        cli_e2e::Cli station("station --report " + quoted(report));
        ASSERT_TRUE(station.started());
        // The recovered lines are written before the station turns to devices.
        ASSERT_TRUE(wait_for([&] { return exchanges() > before; }, 30000));
        units_from = count("unit");
        ASSERT_TRUE(wait_for(m.reached, 60000));
        station.kill();
    }

    std::map<std::string, unsigned> units_of_id;  // "id" -> unit lines
    std::set<std::string> started;
    std::map<std::string, unsigned> updated_of_serial;
    std::map<std::string, std::string> last_of_serial;
    unsigned recovered = 0;
    std::size_t runs = 0;
    for (const std::string &l : report_lines(report)) {
        const std::string type = field(l, "type");
        const std::string id = field(l, "id");
        if (type == "\"start\"") {
            EXPECT_TRUE(started.insert(id).second) << "a start id twice: " << l;
        } else if (type == "\"unit\"") {
            ++units_of_id[id];
            const std::string serial = field(l, "serial");
            updated_of_serial[serial] += field(l, "result") == "\"updated\"";
            last_of_serial[serial] = field(l, "result");
            if (field(l, "recovered") == "true") {
                ++recovered;
                EXPECT_EQ(field(l, "result"), "\"interrupted\"") << l;
                EXPECT_EQ(started.count(id), 1u) << "recovered without a start: " << l;
            }
        } else if (type == "\"run\"") {
            // Each start opens a run; a killed station writes no stop line.
            EXPECT_EQ(field(l, "event"), "\"open\"") << l;
            EXPECT_NE(field(l, "station"), "\"\"") << l;
            EXPECT_NE(field(l, "version"), "\"\"") << l;
            ++runs;
        } else {
            ADD_FAILURE() << "not a record: " << l;
        }
    }
    EXPECT_EQ(runs, moments.size());
    for (const std::string &id : started) EXPECT_EQ(units_of_id[id], 1u) << "start " << id;
    for (const auto &u : units_of_id) EXPECT_EQ(u.second, 1u) << "unit lines of id " << u.first;
    EXPECT_GE(recovered, 2u) << "the kills cut no unit short";
    EXPECT_EQ(last_of_serial.size(), kDevices);
    for (const auto &s : last_of_serial) {
        EXPECT_LE(updated_of_serial[s.first], 1u) << "serial " << s.first << " written twice";
        EXPECT_TRUE(s.second == "\"updated\"" || s.second == "\"current\"")
            << "serial " << s.first << " ends " << s.second;
    }
    for (unsigned i = 0; i < kDevices; ++i) EXPECT_EQ(dev.flash(i), window) << "device " << i;
}

// Two units in a row refuse a block while a third, slow one is written:
// the line stops itself (--halt-after 2), says so on both outputs, lets
// the third finish and record, and ends with exit code 7; every start and
// unit line says who, for which order, on which station.
TEST_F(CliStation, TheLineStopsItselfAfterFailuresInARow) {
    for (unsigned i = 0; i < 3; ++i) ASSERT_TRUE(dev.add(i, 340));
    ASSERT_TRUE(dev.ctl().arm_fault(0, 8, DEVSIM_FAULT_ERROR_ANSWER, 0xE004));
    ASSERT_TRUE(dev.ctl().arm_fault(1, 10, DEVSIM_FAULT_ERROR_ANSWER, 0xE004));
    ASSERT_TRUE(dev.ctl().set_delay(2, 20));
    const Output o = cli_e2e::run("station --report " + quoted(report) +
                                      " --json --halt-after 2 --operator \"Ana M\" --order WO-7",
                                  90000);
    ASSERT_FALSE(o.timed_out) << "the station did not end after the halt";
    EXPECT_EQ(o.exit, 7u) << o.err;
    std::string halt;
    for (const std::string &l : o.out) {
        if (field(l, "type") == "\"halt\"") halt = l;
    }
    EXPECT_EQ(field(halt, "count"), "2") << halt;
    EXPECT_NE(o.err.find("Line stopped: 2 units in a row failed (last: device "),
              std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find("then start the station again."), std::string::npos) << o.err;
    ASSERT_FALSE(o.out.empty());
    EXPECT_EQ(field(o.out.back(), "exit"), "7");

    char name[256] = {};
    DWORD size = sizeof name;
    ASSERT_TRUE(GetComputerNameExA(ComputerNameDnsHostname, name, &size));
    unsigned records = 0, updated = 0;
    for (const std::string &l : report_lines(report)) {
        const std::string type = field(l, "type");
        if (type != "\"start\"" && type != "\"unit\"") continue;
        ++records;
        updated += field(l, "result") == "\"updated\"";
        EXPECT_EQ(field(l, "operator"), "\"Ana M\"") << l;
        EXPECT_EQ(field(l, "order"), "\"WO-7\"") << l;
        EXPECT_EQ(field(l, "station"), "\"" + std::string(name) + "\"") << l;
    }
    EXPECT_EQ(records, 6u);  // three units, each started
    EXPECT_EQ(updated, 1u);  // the one still running at the halt
    EXPECT_EQ(report_lines(report, "halt").size(), 1u);
    EXPECT_EQ(dev.flash(2), window);

    // Its chain holds; one byte changed in its second line breaks it there.
    const Output intact = cli_e2e::run("report --verify " + quoted(report));
    EXPECT_EQ(intact.exit, 0u) << intact.err;
    ASSERT_EQ(intact.out.size(), 1u);
    EXPECT_NE(intact.out[0].find(": chain intact: "), std::string::npos) << intact.out[0];
    std::string bytes = cli_e2e::read_file(report);
    const std::size_t second = bytes.find('\n') + 1;
    const std::size_t at = bytes.find("WO-7", second);
    ASSERT_LT(at, bytes.find('\n', second));
    bytes[at + 3] = '8';
    {
        std::ofstream f(report, std::ios::binary | std::ios::trunc);
        f << bytes;
    }
    const Output broken = cli_e2e::run("report --verify " + quoted(report));
    EXPECT_EQ(broken.exit, 8u) << broken.err;
    ASSERT_EQ(broken.out.size(), 1u);
    EXPECT_NE(broken.out[0].find("chain broken between lines 2 and 3"), std::string::npos)
        << broken.out[0];
}
