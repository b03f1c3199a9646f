// qvm_cli.exe under Wine through the simulated device driver: exit codes,
// JSON Lines on standard output, side-by-side updates where one device
// fails, and the station with plugging, a kill and a torn report line.
#include <gtest/gtest.h>

#include <algorithm>

#include "cli_e2e_run.h"
#include "stn_json.h"
#include "stn_sha256.h"
#include "upd_support.h"

using cli_e2e::field;
using cli_e2e::Output;
using cli_e2e::report_lines;
using cli_e2e::wait_report;
using upd_e2e::Devices;

namespace {

constexpr std::int32_t kSerialBase = 84600001;

bool add(Devices &dev, std::uint32_t index, std::uint32_t firm) {
    devsim::DeviceConfig c;
    c.firm_version = firm;
    c.serial_no = kSerialBase + static_cast<std::int32_t>(index);
    return dev.ctl().add(index, c);
}

std::vector<std::string> of_type(const Output &o, const char *type) {
    std::vector<std::string> r;
    for (const std::string &l : o.out) {
        if (field(l, "type") == std::string("\"") + type + "\"") r.push_back(l);
    }
    return r;
}

std::string result_of(const Output &o, unsigned index) {
    for (const std::string &l : of_type(o, "result")) {
        if (field(l, "index") == std::to_string(index)) return l;
    }
    return "";
}

::testing::AssertionResult all_json(const Output &o) {
    for (const std::string &l : o.out) {
        if (!stn_json_is_object(l)) return ::testing::AssertionFailure() << "not JSON: " << l;
    }
    return ::testing::AssertionSuccess();
}

std::uint32_t exchanges(Devices &dev, std::uint32_t index) {
    std::vector<devsim_ioc_log_entry> log;
    std::uint32_t total = 0;
    dev.ctl().log(index, &log, &total);
    return total;
}

unsigned blocks(Devices &dev, std::uint32_t index) {
    std::vector<devsim_ioc_log_entry> log;
    dev.ctl().log(index, &log);
    unsigned n = 0;
    for (const auto &e : log) n += e.cmd_id == 0x0001 && e.param1 == 2 && e.code == 0x55;
    return n;
}

class CliE2e : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dev.ready()) << "the simulated device driver is not running"; }
    Devices dev;
    const std::vector<std::uint8_t> window = upd_e2e::embedded_window();
};

}  // namespace

TEST_F(CliE2e, ListInfoUsageAndNoDevice) {
    Output o = cli_e2e::run("update");
    EXPECT_EQ(o.exit, 2u) << o.err;
    o = cli_e2e::run("list --json");
    EXPECT_EQ(o.exit, 2u) << o.err;
    ASSERT_EQ(o.out.size(), 1u);
    EXPECT_EQ(field(o.out[0], "type"), "\"error\"");

    ASSERT_TRUE(add(dev, 0, 340));
    ASSERT_TRUE(add(dev, 2, 0xFFFFFFFF));
    ASSERT_TRUE(add(dev, 3, 0x0041015E));
    o = cli_e2e::run("list --json");
    EXPECT_EQ(o.exit, 0u) << o.err;
    EXPECT_TRUE(all_json(o));
    const auto devices = of_type(o, "device");
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(field(devices[0], "index"), "0");
    EXPECT_EQ(field(devices[0], "serial"), "84600001");
    EXPECT_EQ(field(devices[0], "firmware"), "\"3.40\"");
    EXPECT_EQ(field(devices[1], "firmware"), "\"No firm\"");
    EXPECT_EQ(field(devices[2], "index"), "3");
    EXPECT_EQ(field(devices[2], "firmware"), "\"3.50A\"");
    EXPECT_EQ(field(devices[2], "mcu_version"), "258");

    o = cli_e2e::run("info --json");
    EXPECT_EQ(o.exit, 0u) << o.err;
    ASSERT_EQ(o.out.size(), 1u);
    EXPECT_EQ(field(o.out[0], "program_version"), "\"3.50\"");
    EXPECT_EQ(field(o.out[0], "image_version"), "\"3.62\"");
    ASSERT_EQ(window.size(), 0x4000u);
    EXPECT_EQ(field(o.out[0], "image_sha256"),
              "\"" + stn_sha256_hex(window.data(), window.size()) + "\"");

    // Usage errors send nothing; --help waits for no key.
    const std::uint32_t before = exchanges(dev, 0);
    o = cli_e2e::run("update --device 300 --json");
    EXPECT_EQ(o.exit, 1u);
    ASSERT_EQ(o.out.size(), 1u);
    EXPECT_EQ(field(o.out[0], "type"), "\"error\"");
    EXPECT_EQ(cli_e2e::run("update --device 0 --all").exit, 1u);
    EXPECT_EQ(exchanges(dev, 0), before);
    o = cli_e2e::run("--help");
    EXPECT_EQ(o.exit, 0u);
    EXPECT_GE(o.out.size(), 20u);
    // A chosen device that is not there: nothing sent to the others.
    EXPECT_EQ(cli_e2e::run("update --device 0 1").exit, 2u);
    EXPECT_EQ(exchanges(dev, 0), before);
}

TEST_F(CliE2e, UpdateAllWhileOneDeviceFailsMidway) {
    for (std::uint32_t i = 0; i < 4; ++i) ASSERT_TRUE(add(dev, i, 340));
    // Device 2 refuses its 21st block (after LED 2, begin and 20 blocks;
    // the version read comes first).
    ASSERT_TRUE(dev.ctl().arm_fault(2, 1 + 1 + 1 + 20, DEVSIM_FAULT_ERROR_ANSWER, 0xE004));
    Output o = cli_e2e::run("update --all --json");
    EXPECT_EQ(o.exit, 3u) << o.err;
    EXPECT_TRUE(all_json(o));
    EXPECT_EQ(of_type(o, "result").size(), 4u);
    for (std::uint32_t i = 0; i < 4; ++i) {
        SCOPED_TRACE("device " + std::to_string(i));
        const std::string r = result_of(o, i);
        EXPECT_EQ(field(r, "serial"), std::to_string(kSerialBase + static_cast<std::int32_t>(i)));
        EXPECT_EQ(field(r, "old_version"), "\"3.40\"");
        if (i == 2) {
            EXPECT_EQ(field(r, "result"), "\"failed\"") << r;
            EXPECT_EQ(field(r, "detail"), std::to_string(0xE004));
            EXPECT_NE(o.err.find("device 2 (serial 84600003): block at 0x5400 refused by the "
                                 "device (error 0xE004)"),
                      std::string::npos)
                << o.err;
            const auto steps = dev.steps(2);
            ASSERT_GE(steps.size(), 2u);
            EXPECT_EQ(steps[steps.size() - 2], "LED3");
            EXPECT_EQ(steps.back(), "LED1");
        } else {
            EXPECT_EQ(field(r, "result"), "\"updated\"") << r;
            EXPECT_EQ(field(r, "new_version"), "\"3.62\"");
            EXPECT_EQ(dev.flash(i), window);
        }
    }
    const auto summary = of_type(o, "summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(field(summary[0], "updated"), "3");
    EXPECT_EQ(field(summary[0], "failed"), "1");
    EXPECT_EQ(field(summary[0], "exit"), "3");

    // The next update brings the failed device to the image; the others are
    // current and get no boot data.
    const unsigned before = blocks(dev, 0);
    o = cli_e2e::run("update --all");
    EXPECT_EQ(o.exit, 0u) << o.err;
    EXPECT_EQ(dev.flash(2), window);
    EXPECT_EQ(blocks(dev, 0), before);
    EXPECT_NE(o.out.back().find("updated 1, current 3, failed 0"), std::string::npos);
}

TEST_F(CliE2e, StationUnitsPluggingAKillAndATornLine) {
    const std::string report = cli_e2e::temp_path("report.jsonl");
    ASSERT_TRUE(add(dev, 0, 340));
    ASSERT_TRUE(add(dev, 1, 340));
    {
        cli_e2e::Cli station("station --report \"" + report + "\"");
        ASSERT_TRUE(station.started());
        ASSERT_TRUE(wait_report(report, 2, "unit"));
        // Unplugged, then plugged in again as it was before the update.
        ASSERT_TRUE(dev.remove(1));
        Sleep(1500);
        ASSERT_TRUE(add(dev, 1, 340));
        ASSERT_TRUE(wait_report(report, 3, "unit"));
        // A unit that is killed mid-update leaves no unit line.
        ASSERT_TRUE(add(dev, 2, 340));
        ASSERT_TRUE(dev.ctl().set_delay(2, 20));
        for (int i = 0; i < 600 && blocks(dev, 2) < 8; ++i) Sleep(50);
        ASSERT_GE(blocks(dev, 2), 8u);
        station.kill();
    }
    ASSERT_TRUE(dev.ctl().set_delay(2, 0));
    // Its start line stays alone.
    EXPECT_EQ(report_lines(report, "start").size(), 4u);
    auto lines = report_lines(report, "unit");
    ASSERT_EQ(lines.size(), 3u);
    std::vector<std::string> units;
    for (const std::string &l : lines) {
        EXPECT_TRUE(stn_json_is_object(l)) << l;
        units.push_back(field(l, "index") + field(l, "result"));
        EXPECT_EQ(field(l, "image_sha256").size(), 66u);
        EXPECT_EQ(field(l, "time").size(), 26u) << l;
    }
    std::sort(units.begin(), units.end());
    EXPECT_EQ(units, (std::vector<std::string>{"0\"updated\"", "1\"updated\"", "1\"updated\""}));

    // A torn line from a crash is set aside and not counted; the killed
    // unit is recorded as interrupted, and its device, back without
    // firmware, is updated.
    {
        FILE *f = std::fopen(report.c_str(), "ab");
        ASSERT_NE(f, nullptr);
        std::fputs("{\"type\":\"unit\",\"time\":\"2026-", f);
        std::fclose(f);
    }
    {
        cli_e2e::Cli station("station --report \"" + report + "\" --json");
        ASSERT_TRUE(station.started());
        ASSERT_TRUE(wait_report(report, 7, "unit"));
        station.kill();
        Output o;
        station.wait(&o, 10000);
        EXPECT_NE(o.err.find("torn"), std::string::npos) << o.err;
        EXPECT_TRUE(all_json(o));
    }
    lines = report_lines(report, "unit");
    ASSERT_EQ(lines.size(), 7u);
    units.clear();
    for (std::size_t i = 3; i < lines.size(); ++i) {
        EXPECT_TRUE(stn_json_is_object(lines[i])) << lines[i];
        units.push_back(field(lines[i], "index") + field(lines[i], "result"));
    }
    std::sort(units.begin(), units.end());
    EXPECT_EQ(units, (std::vector<std::string>{"0\"current\"", "1\"current\"", "2\"interrupted\"",
                                               "2\"updated\""}));
    EXPECT_EQ(dev.flash(2), window);
    EXPECT_EQ(cli_e2e::read_file(report + ".torn"), "{\"type\":\"unit\",\"time\":\"2026-\n");
    DeleteFileA((report + ".torn").c_str());
    DeleteFileA(report.c_str());
}
