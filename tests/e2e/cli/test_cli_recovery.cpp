// Interrupted updates with qvm_cli.exe: the device pulled out, or its power
// lost, at an exchange of the update. The run must fail (exit 3) and say
// where; after a re-plug the next run must succeed (exit 0) with the flash
// equal to the embedded window. The station records the unit as failed,
// then as updated when it comes back.
//
// The representative points run with the other end-to-end tests; the whole
// sweep (every exchange of an update) has the ctest label "recovery".
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "cli_e2e_run.h"
#include "stn_json.h"
#include "upd_support.h"

using cli_e2e::Output;
using upd_e2e::Devices;

namespace {

constexpr std::uint32_t kImageVersion = 362;
// Exchanges of an update after its version read: LED 2, begin, 64 blocks,
// end, LED 1.
constexpr unsigned kLed2 = 1, kBegin = 2, kFirstBlock = 3, kEnd = kFirstBlock + 64, kLed1 = kEnd + 1;

std::string point_name(unsigned k) {
    if (k == kLed2) return "LED 2";
    if (k == kBegin) return "begin";
    if (k == kEnd) return "end";
    if (k == kLed1) return "LED 1";
    char buf[32];
    std::snprintf(buf, sizeof(buf), "block at 0x%04X", 0x4000 + (k - kFirstBlock) * 0x100);
    return buf;
}

// What the failure must name: the step that broke, or for LED 2 the begin
// behind it (LED answers are not examined) and for LED 1 the version read
// that confirms the update.
std::string failure_names(unsigned k) {
    if (k == kLed2) return "begin";
    if (k == kLed1) return "version read after the update";
    return point_name(k);
}

struct Tally {
    unsigned points = 0;
    unsigned false_successes = 0;
    unsigned not_recovered = 0;
};

bool add_device(Devices &dev) {
    devsim::DeviceConfig c;
    c.firm_version = 340;
    c.serial_no = 84600001;
    return dev.ctl().add(0, c);
}

// Whether the driver can put a device back after an interruption. Until
// it can, these tests are skipped with a message, never passed.
bool driver_replugs(Devices &dev) {
    return dev.ctl().remove_all() && add_device(dev) && dev.ctl().replug(0);
}

// One interruption point: update, interrupted; re-plug; update again.
void one_point(Devices &dev, const std::vector<std::uint8_t> &window, std::uint32_t kind,
               unsigned k, Tally *tally) {
    SCOPED_TRACE(std::string(kind == DEVSIM_FAULT_UNPLUG ? "unplug" : "power loss") + " at " +
                 point_name(k));
    ++tally->points;
    ASSERT_TRUE(dev.ctl().remove_all());
    ASSERT_TRUE(add_device(dev));
    ASSERT_TRUE(dev.ctl().arm_fault(0, k, kind));

    const Output first = cli_e2e::run("update --json");
    devsim_ioc_state st{};
    ASSERT_TRUE(dev.ctl().state(0, &st));
    if (first.exit == 0 && st.firm_version != kImageVersion) ++tally->false_successes;
    EXPECT_EQ(first.exit, 3u) << first.err;
    EXPECT_NE(first.err.find("device 0 (serial 84600001): " + failure_names(k)), std::string::npos)
        << first.err;
    for (const std::string &l : first.out) EXPECT_TRUE(stn_json_is_object(l)) << l;

    ASSERT_TRUE(dev.ctl().replug(0));
    const Output second = cli_e2e::run("update --json");
    const bool recovered = second.exit == 0 && dev.flash(0) == window;
    if (!recovered) ++tally->not_recovered;
    EXPECT_TRUE(recovered) << "exit " << second.exit << ": " << second.err;
}

void sweep(const std::vector<unsigned> &points, const char *what) {
    Devices dev;
    ASSERT_TRUE(dev.ready()) << "the simulated device driver is not running";
    if (!driver_replugs(dev)) GTEST_SKIP() << "the driver cannot re-plug a device";
    const std::vector<std::uint8_t> window = upd_e2e::embedded_window();
    ASSERT_EQ(window.size(), 0x4000u);
    Tally tally;
    const auto start = std::chrono::steady_clock::now();
    for (std::uint32_t kind : {DEVSIM_FAULT_UNPLUG, DEVSIM_FAULT_POWER_LOSS}) {
        for (unsigned k : points) one_point(dev, window, kind, k, &tally);
    }
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("qvm_cli recovery (%s): %zu points x 2 kinds = %u, false successes %u, "
                "not recovered %u, %.1f s\n",
                what, points.size(), tally.points, tally.false_successes, tally.not_recovered, s);
    EXPECT_EQ(tally.false_successes, 0u);
    EXPECT_EQ(tally.not_recovered, 0u);
}

}  // namespace

TEST(CliRecovery, RepresentativePoints) {
    sweep({kLed2, kBegin, kFirstBlock, kFirstBlock + 31, kEnd - 1, kEnd, kLed1}, "representative");
}

TEST(CliRecovery, FullSweep) {
    std::vector<unsigned> all;
    for (unsigned k = kLed2; k <= kLed1; ++k) all.push_back(k);
    sweep(all, "every exchange");
}

TEST(CliRecovery, StationRecordsTheFailureThenTheUpdate) {
    Devices dev;
    ASSERT_TRUE(dev.ready());
    if (!driver_replugs(dev)) GTEST_SKIP() << "the driver cannot re-plug a device";
    const std::vector<std::uint8_t> window = upd_e2e::embedded_window();
    for (std::uint32_t kind : {DEVSIM_FAULT_UNPLUG, DEVSIM_FAULT_POWER_LOSS}) {
        SCOPED_TRACE(kind == DEVSIM_FAULT_UNPLUG ? "unplug" : "power loss");
        ASSERT_TRUE(dev.ctl().remove_all());
        ASSERT_TRUE(add_device(dev));
        ASSERT_TRUE(dev.ctl().arm_fault(0, kFirstBlock + 31, kind));
        const std::string report = cli_e2e::temp_path("recovery.jsonl");
        cli_e2e::Cli station("station --report \"" + report + "\"");
        ASSERT_TRUE(station.started());
        auto lines = [&] { return cli_e2e::report_lines(report, "unit"); };
        auto wait_lines = [&](std::size_t n) { return cli_e2e::wait_report(report, n, "unit"); };
        ASSERT_TRUE(wait_lines(1));
        EXPECT_NE(lines()[0].find("\"result\":\"failed\""), std::string::npos) << lines()[0];
        EXPECT_NE(lines()[0].find("block at 0x5F00"), std::string::npos) << lines()[0];
        // Long enough for the station to see the name gone.
        Sleep(1500);
        ASSERT_TRUE(dev.ctl().replug(0));
        ASSERT_TRUE(wait_lines(2));
        EXPECT_NE(lines()[1].find("\"result\":\"updated\""), std::string::npos) << lines()[1];
        EXPECT_NE(lines()[1].find("\"old_version\":\"No firm\""), std::string::npos) << lines()[1];
        EXPECT_EQ(dev.flash(0), window);
        station.kill();
        DeleteFileA(report.c_str());
    }
}
