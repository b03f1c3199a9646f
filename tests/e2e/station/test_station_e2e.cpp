// qvm_station.exe under Wine through the simulated device driver, driven
// with real X11 clicks and keys: four units of which one refuses a block
// and one is unplugged midway, a unit swapped for another, Stop; a second
// station window; a close that waits for a running update; the end of the
// session while a unit is written; the layout at 96 and 144 dpi; a
// scanner's codes in the fields starting a line that stops itself under a
// banner; 16 units in view in a maximized window, kept maximized; and
// Report..., the line manager's page of the report in the browser.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <regex>

#include "station_e2e.h"
#include "stw_resource.h"
#include "upd_support.h"

using namespace station_e2e;

namespace {

std::int32_t serial_of(unsigned index) { return devsim::default_config(index).serial_no; }

bool plug(upd_e2e::Devices &dev, unsigned index, std::uint32_t firm, std::int32_t serial = 0) {
    devsim::DeviceConfig c = devsim::default_config(index);
    c.firm_version = firm;
    if (serial != 0) c.serial_no = serial;
    return dev.ctl().add(index, c);
}

unsigned blocks(upd_e2e::Devices &dev, unsigned index) {
    unsigned n = 0;
    for (const std::string &s : dev.steps(index)) n += s.rfind("BLOCK", 0) == 0;
    return n;
}

std::string temp_report(const char *name) {
    char dir[MAX_PATH] = {};
    GetTempPathA(sizeof dir, dir);
    const std::string path = std::string(dir) + name;
    DeleteFileA(path.c_str());
    DeleteFileA((path + ".torn").c_str());
    return path;
}

std::string unit_of(const std::string &report, unsigned index, const char *result) {
    for (const std::string &l : unit_lines(report)) {
        if (field(l, "index") == std::to_string(index) &&
            field(l, "result") == std::string("\"") + result + "\"")
            return l;
    }
    return "";
}

std::string unquote(const std::string &s) {
    return s.size() >= 2 && s.front() == '"' ? s.substr(1, s.size() - 2) : s;
}

// A second station window says that a station runs, names its report, and
// ends without a window of its own.
void expect_second_window_refused(const std::string &report) {
    Station second;
    ASSERT_TRUE(second.start(""));
    HWND box = second.wait_box("already runs");
    ASSERT_NE(box, nullptr);
    EXPECT_NE(box_text(box).find(report), std::string::npos) << box_text(box);
    EXPECT_TRUE(answer(box, IDOK));
    EXPECT_TRUE(second.wait_exit(10000));
    EXPECT_EQ(second.wait_main(0), nullptr);
}

bool read_only(HWND edit) { return (GetWindowLongA(edit, GWL_STYLE) & ES_READONLY) != 0; }

class StationE2e : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dev.ready()) << "the simulated device driver is not running"; }
    upd_e2e::Devices dev;
};

}  // namespace

TEST_F(StationE2e, UnitsFailUnplugSwapStopAndACloseThatWaits) {
    const std::string report = temp_report("station-e2e.jsonl");
    ASSERT_TRUE(plug(dev, 0, 341));
    ASSERT_TRUE(plug(dev, 1, 341));
    ASSERT_TRUE(plug(dev, 2, 341));
    ASSERT_TRUE(plug(dev, 3, 362));
    // Device 1 refuses a block in the middle of its transfer; device 2 is
    // slow enough to be pulled out while it is written.
    ASSERT_TRUE(dev.ctl().arm_fault(1, 23, DEVSIM_FAULT_ERROR_ANSWER, 0xE004));
    ASSERT_TRUE(dev.ctl().set_delay(2, 25));

    Station st;
    ASSERT_TRUE(st.start("--report \"" + report + "\""));
    HWND main = st.wait_main();
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(qvm_e2e::item_text(main, IDC_REPORT), report);
    ASSERT_TRUE(x_click(GetDlgItem(main, IDC_START)));

    std::string seen;
    ASSERT_TRUE(qvm_e2e::wait_until([&] { return blocks(dev, 2) >= 6; }, 30000));
    ASSERT_TRUE(wait_tile(main, 2, "writing", &seen)) << seen;
    EXPECT_TRUE(std::regex_match(seen, std::regex("Device 2  serial " +
                                                  std::to_string(serial_of(2)) +
                                                  "  3\\.41 -> 3\\.62  writing [0-9]+%")))
        << seen;
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, IDC_START)));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main, IDC_STOP)));
    EXPECT_TRUE(screenshot("station-02-running"));

    // A second station window names this one's report and does not start.
    expect_second_window_refused(report);

    // Device 2 is pulled out midway.
    ASSERT_TRUE(dev.remove(2));
    ASSERT_TRUE(qvm_e2e::wait_until([&] { return !unit_of(report, 2, "failed").empty(); }, 30000));

    ASSERT_TRUE(wait_tile(main, 0, "updated", &seen)) << seen;
    EXPECT_EQ(seen, "Device 0  serial " + std::to_string(serial_of(0)) + "  3.41 -> 3.62  updated");
    ASSERT_TRUE(wait_tile(main, 3, "current", &seen)) << seen;
    EXPECT_EQ(seen, "Device 3  serial " + std::to_string(serial_of(3)) + "  3.62  current");
    ASSERT_TRUE(wait_tile(main, 1, "failed", &seen)) << seen;
    const std::string refused = unit_of(report, 1, "failed");
    ASSERT_FALSE(refused.empty());
    // The report's message is the whole line qvm_cli prints: the tile shows
    // what follows the unit's name, without the time.
    std::string message = unquote(field(refused, "message"));
    message = message.substr(message.find("): ") + 3);
    message = message.substr(0, message.rfind(" ("));
    EXPECT_NE(message.find("refused by the device (error 0xE004)"), std::string::npos) << refused;
    EXPECT_EQ(seen.rfind("Device 1  serial " + std::to_string(serial_of(1)) + "  3.41", 0), 0u)
        << seen;
    const std::string tail = "  failed: " + message;
    EXPECT_TRUE(seen.size() > tail.size() && seen.compare(seen.size() - tail.size(), tail.size(), tail) == 0)
        << seen << "\n" << refused;

    // A unit swapped for another at the same place is a new unit.
    const std::int32_t swapped = 84609999;
    ASSERT_TRUE(dev.remove(0));
    ASSERT_TRUE(plug(dev, 0, 341, swapped));
    ASSERT_TRUE(wait_tile(main, 0, "serial 84609999  3.41 -> 3.62  updated", &seen)) << seen;
    ASSERT_TRUE(qvm_e2e::wait_until([&] { return unit_lines(report).size() >= 5; }, 30000));

    // The counters of the report: five units, 2 of 4 serials passed first time.
    const struct {
        int id;
        const char *text;
    } counters[] = {{IDC_CNT_UPDATED, "2"}, {IDC_CNT_CURRENT, "1"}, {IDC_CNT_FAILED, "2"},
                    {IDC_CNT_YIELD, "50.0 %"}, {IDC_CNT_RATE, "-"}};
    for (const auto &c : counters) {
        EXPECT_TRUE(wait_item(main, c.id, c.text, &seen, 10000)) << c.id << ": " << seen;
    }
    EXPECT_TRUE(std::regex_match(qvm_e2e::item_text(main, IDC_CNT_TIME),
                                 std::regex("[0-9]+ s")));
    EXPECT_TRUE(qvm_e2e::wait_until([&] {
        return SendMessageA(GetDlgItem(main, IDC_RECENT), LVM_GETITEMCOUNT, 0, 0) == 5;
    }));

    // Stop from the keyboard (Alt+T).
    ASSERT_TRUE(x_keys(GetDlgItem(main, IDC_STATUS), "alt+t"));
    ASSERT_TRUE(wait_item(main, IDC_STATUS, "Stopped. 5 units recorded in this run.", &seen))
        << seen;
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main, IDC_START)));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, IDC_STOP)));
    // Finished tiles keep their result.
    EXPECT_NE(tile_text(main, 1).find("failed: " + message), std::string::npos);
    EXPECT_TRUE(screenshot("station-03-stopped"));

    std::vector<std::string> units = unit_lines(report);
    ASSERT_EQ(units.size(), 5u);
    EXPECT_FALSE(unit_of(report, 0, "updated").empty());
    EXPECT_EQ(field(unit_of(report, 3, "current"), "serial"), std::to_string(serial_of(3)));
    int swapped_lines = 0;
    for (const std::string &l : units) swapped_lines += field(l, "serial") == "84609999";
    EXPECT_EQ(swapped_lines, 1);
    EXPECT_EQ(dev.flash(0), upd_e2e::embedded_window());

    // Start again (Alt+S) with one slow unit; a close waits for it, and a
    // second close asks first: No lets the update finish.
    ASSERT_TRUE(dev.ctl().remove_all());
    ASSERT_TRUE(plug(dev, 5, 341));
    ASSERT_TRUE(dev.ctl().set_delay(5, 15));
    ASSERT_TRUE(x_keys(GetDlgItem(main, IDC_STATUS), "alt+s"));
    ASSERT_TRUE(qvm_e2e::wait_until([&] { return blocks(dev, 5) >= 4; }, 30000));
    qvm_e2e::close_box(main);
    ASSERT_TRUE(qvm_e2e::wait_until(
        [&] { return qvm_e2e::item_text(main, IDC_STATUS).find("Stopping") == 0; }));
    qvm_e2e::close_box(main);
    HWND ask = st.wait_box("1 update is still running");
    ASSERT_NE(ask, nullptr);
    EXPECT_TRUE(answer(ask, IDNO));
    ASSERT_TRUE(st.wait_exit(60000));
    EXPECT_EQ(st.exit_code(), 0u);
    EXPECT_FALSE(unit_of(report, 5, "updated").empty());
    for (const std::string &l : unit_lines(report)) {
        EXPECT_NE(field(l, "result"), "\"interrupted\"") << l;
    }
    EXPECT_EQ(dev.flash(5), upd_e2e::embedded_window());
    keep_report(report);
}

// Windows asks before a logoff or shutdown: while a unit is written the
// window holds the session up; ended anyway, the unit is recorded
// interrupted before WM_ENDSESSION returns (the test sends both messages,
// as Windows would; Wine cannot end a session with a program's consent).
TEST_F(StationE2e, TheSessionsEndIsHeldUpWhileUnitsRunAndRecordsThemIfForced) {
    // The report named as typed, relative to the working folder.
    const char kName[] = "station-session.jsonl";
    char full[MAX_PATH] = {};
    ASSERT_NE(GetFullPathNameA(kName, sizeof full, full, nullptr), 0u);
    const std::string report = full;
    DeleteFileA(report.c_str());
    ASSERT_TRUE(plug(dev, 0, 341));
    ASSERT_TRUE(dev.ctl().set_delay(0, 150));  // 64 blocks: far longer than the grace

    Station st;
    ASSERT_TRUE(st.start(std::string("--report ") + kName));
    HWND main = st.wait_main();
    ASSERT_NE(main, nullptr);
    const auto ask = [&](UINT msg, WPARAM wp, DWORD ms) {
        DWORD_PTR answer = 0xBAD;
        const LRESULT sent =
            SendMessageTimeoutA(main, msg, wp, ENDSESSION_LOGOFF, SMTO_NORMAL, ms, &answer);
        EXPECT_NE(sent, 0) << "message " << msg << " not answered within " << ms << " ms";
        return answer;
    };
    EXPECT_EQ(ask(WM_QUERYENDSESSION, 0, 10000), static_cast<DWORD_PTR>(TRUE));  // idle

    ASSERT_TRUE(x_click(GetDlgItem(main, IDC_START)));
    ASSERT_TRUE(qvm_e2e::wait_until([&] { return blocks(dev, 0) >= 2; }, 30000));
    EXPECT_EQ(ask(WM_QUERYENDSESSION, 0, 10000), static_cast<DWORD_PTR>(FALSE));
    EXPECT_TRUE(unit_lines(report).empty());
    // The claim carries the report's full path, as qvm_cli's does.
    expect_second_window_refused(report);

    ask(WM_ENDSESSION, TRUE, 30000);
    // Recorded by the time the message returned, not later.
    const std::vector<std::string> units = unit_lines(report);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(field(units[0], "result"), "\"interrupted\"") << units[0];
    EXPECT_EQ(field(units[0], "serial"), std::to_string(serial_of(0)));
    EXPECT_LT(blocks(dev, 0), 64u);
    ASSERT_TRUE(st.wait_exit(30000));
    ASSERT_TRUE(dev.ctl().set_delay(0, 0));
    DeleteFileA(report.c_str());
}

// Every control inside the window and none over another, at 96 and at
// 144 dpi (Wine takes the DPI from the prefix's LogPixels).
TEST(StationLayout, FitsAt96And144Dpi) {
    ScopedDpi screen;
    forget_placement();
    const std::string report = temp_report("station-layout.jsonl");
    for (DWORD dpi : {96u, 144u}) {
        SCOPED_TRACE(std::to_string(dpi) + " dpi");
        ASSERT_TRUE(screen.set(dpi));
        Station st;
        ASSERT_TRUE(st.start("--report \"" + report + "\""));
        HWND main = st.wait_main();
        ASSERT_NE(main, nullptr);
        RECT win{}, client{};
        GetWindowRect(main, &win);
        GetClientRect(main, &client);
        EXPECT_LE(win.right - win.left, GetSystemMetrics(SM_CXSCREEN));
        EXPECT_LE(win.bottom - win.top, GetSystemMetrics(SM_CYSCREEN));
        std::vector<std::pair<HWND, RECT>> items;
        for (HWND c : qvm_e2e::children(main)) {
            if (!IsWindowVisible(c)) continue;
            const RECT r = qvm_e2e::rect_in(main, c);
            EXPECT_TRUE(r.left >= 0 && r.top >= 0 && r.right <= client.right &&
                        r.bottom <= client.bottom)
                << GetDlgCtrlID(c) << " " << qvm_e2e::window_text(c);
            for (const auto &o : items) {
                RECT both{};
                EXPECT_FALSE(IntersectRect(&both, &r, &o.second))
                    << GetDlgCtrlID(c) << " over " << GetDlgCtrlID(o.first);
            }
            items.emplace_back(c, r);
        }
        EXPECT_GE(items.size(), 20u);
        EXPECT_TRUE(screenshot("station-01-idle-" + std::to_string(dpi) + "dpi"));
        qvm_e2e::close_box(main);
        EXPECT_TRUE(st.wait_exit(10000));
    }
    forget_placement();
    DeleteFileA(report.c_str());
}

// A scanner types the operator and the work order, each ended with Enter:
// the second Enter starts the line (Start waits for both fields until
// then). Two units in a row refuse a block: the line stops itself, a banner
// says why, the unit still running is finished and recorded, and Start
// takes the banner away.
TEST_F(StationE2e, ScannerCodesStartTheLineThatStopsItselfUnderABanner) {
    forget_placement();
    const std::string report = temp_report("station-halt.jsonl");
    for (unsigned i = 0; i < 3; ++i) ASSERT_TRUE(plug(dev, i, 341));
    ASSERT_TRUE(dev.ctl().arm_fault(0, 8, DEVSIM_FAULT_ERROR_ANSWER, 0xE004));
    ASSERT_TRUE(dev.ctl().arm_fault(1, 10, DEVSIM_FAULT_ERROR_ANSWER, 0xE004));
    ASSERT_TRUE(dev.ctl().set_delay(2, 25));  // still running at the halt

    Station st;
    ASSERT_TRUE(st.start("--report \"" + report + "\" --require-operator --require-order " +
                         "--halt-after 2 --station-name \"Bench 7\""));
    HWND main = st.wait_main();
    ASSERT_NE(main, nullptr);
    HWND op = GetDlgItem(main, IDC_OPERATOR), order = GetDlgItem(main, IDC_ORDER);
    HWND banner = GetDlgItem(main, IDC_HALT);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, IDC_START)));
    EXPECT_EQ(qvm_e2e::item_text(main, IDC_FIELD_HINT),
              "Scan or type the operator and the work order to start.");
    EXPECT_FALSE(IsWindowVisible(banner));
    EXPECT_TRUE(screenshot("station-04-fields"));

    ASSERT_TRUE(x_scan(op, {"OP-17", "WO-2026-0042"}));
    ASSERT_TRUE(qvm_e2e::wait_until([&] { return IsWindowEnabled(GetDlgItem(main, IDC_STOP)); }))
        << "the second Enter did not start the line";
    EXPECT_EQ(qvm_e2e::window_text(op), "OP-17");
    EXPECT_EQ(qvm_e2e::window_text(order), "WO-2026-0042");
    EXPECT_TRUE(read_only(op) && read_only(order));  // locked while the line runs
    EXPECT_EQ(qvm_e2e::item_text(main, IDC_FIELD_HINT), "");

    ASSERT_TRUE(qvm_e2e::wait_until([&] { return IsWindowVisible(banner) != FALSE; }, 30000));
    const std::string words = qvm_e2e::window_text(banner);
    EXPECT_EQ(words.rfind("Line stopped: 2 units in a row failed (last: device ", 0), 0u) << words;
    EXPECT_NE(words.find("refused by the device (error 0xE004)). Check the fixture, the cables "
                         "and the units, then press Start."),
              std::string::npos)
        << words;
    // Across the window, over the grid, which moved down below it.
    const RECT b = qvm_e2e::rect_in(main, banner);
    const RECT g = qvm_e2e::rect_in(main, GetDlgItem(main, IDC_GRID));
    const RECT c = qvm_e2e::rect_in(main, GetDlgItem(main, IDC_CNT_UPDATED));
    EXPECT_LE(b.bottom, g.top);
    EXPECT_GE(b.right - b.left, (g.right - g.left) - 2);
    EXPECT_GT(b.bottom - b.top, c.bottom - c.top) << "the banner is smaller than a counter";
    std::string seen;
    ASSERT_TRUE(wait_item(main, IDC_STATUS,
                          "Line stopped. 3 units recorded in this run. Press Start to go on.",
                          &seen, 60000))
        << seen;
    EXPECT_TRUE(screenshot("station-05-halt"));

    // In the report: the halt after both failures, the running unit
    // finished, and every start and unit line says who, which order, where.
    unsigned halts = 0, units = 0, records = 0;
    for (const std::string &l : report_lines(report)) {
        const std::string type = field(l, "type");
        halts += type == "\"halt\"";
        units += type == "\"unit\"";
        if (type != "\"start\"" && type != "\"unit\"") continue;
        ++records;
        EXPECT_EQ(field(l, "operator"), "\"OP-17\"") << l;
        EXPECT_EQ(field(l, "order"), "\"WO-2026-0042\"") << l;
        EXPECT_EQ(field(l, "station"), "\"Bench 7\"") << l;
    }
    EXPECT_EQ(halts, 1u);
    EXPECT_EQ(units, 3u);
    EXPECT_EQ(records, 6u);
    EXPECT_FALSE(unit_of(report, 2, "updated").empty());
    EXPECT_EQ(dev.flash(2), upd_e2e::embedded_window());

    // Start goes on: a new run, without the banner.
    ASSERT_TRUE(dev.ctl().remove_all());
    EXPECT_FALSE(read_only(op) || read_only(order));
    ASSERT_TRUE(x_press(GetDlgItem(main, IDC_START),
                        [&] { return IsWindowEnabled(GetDlgItem(main, IDC_STOP)) != FALSE; }));
    EXPECT_FALSE(IsWindowVisible(banner));
    qvm_e2e::close_box(main);
    ASSERT_TRUE(st.wait_exit(30000));
    forget_placement();
    DeleteFileA(report.c_str());
}

// 16 units in a maximized window on the 1280x1024 screen: every tile in
// view without scrolling, at 96 and at 144 dpi (smaller tiles at 144), a
// failed tile's reason in the lines it has, the database's line beside
// "Last results" below the grid; the window opens maximized again the next
// time.
TEST_F(StationE2e, SixteenUnitsAllInViewInAMaximizedWindow) {
    ScopedDpi screen;
    for (DWORD dpi : {96u, 144u}) {
        SCOPED_TRACE(std::to_string(dpi) + " dpi");
        const std::string report =
            temp_report(("station-sixteen-" + std::to_string(dpi) + ".jsonl").c_str());
        forget_placement();
        ASSERT_TRUE(screen.set(dpi));
        ASSERT_TRUE(dev.ctl().remove_all());
        // Current units, and two that refuse a block (long reasons).
        for (unsigned i = 0; i < 16; ++i) ASSERT_TRUE(plug(dev, i, i % 9 == 4 ? 341 : 362));
        ASSERT_TRUE(dev.ctl().arm_fault(4, 12, DEVSIM_FAULT_ERROR_ANSWER, 0xE004));
        ASSERT_TRUE(dev.ctl().arm_fault(13, 30, DEVSIM_FAULT_ERROR_ANSWER, 0xE004));

        // A database that cannot be reached: its line under the grid says
        // so, without the password.
        Station st;
        ASSERT_TRUE(st.start("--report \"" + report + "\" --operator OP-17 --order WO-42 " +
                             "--database \"Driver={QVM none};PWD=hunter2\""));
        HWND main = st.wait_main();
        ASSERT_NE(main, nullptr);
        PostMessageA(main, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
        ASSERT_TRUE(qvm_e2e::wait_until([&] { return IsZoomed(main) != FALSE; }));
        ASSERT_TRUE(x_press(GetDlgItem(main, IDC_START),
                            [&] { return IsWindowEnabled(GetDlgItem(main, IDC_STOP)) != FALSE; }))
            << "Start was not pressed";
        std::string seen;
        for (unsigned i = 0; i < 16; ++i) {
            const char *end = i % 9 == 4 ? "  failed: " : "  current";
            ASSERT_TRUE(wait_tile(main, i, end, &seen)) << i << ": " << seen;
        }
        RECT win{}, grid{};
        GetWindowRect(main, &win);
        EXPECT_LE(win.right - win.left, GetSystemMetrics(SM_CXSCREEN) + 16);
        HWND g = GetDlgItem(main, IDC_GRID);
        GetClientRect(g, &grid);
        MapWindowPoints(g, nullptr, reinterpret_cast<POINT *>(&grid), 2);
        for (unsigned i = 0; i < 16; ++i) {
            RECT t{};
            GetWindowRect(tile(main, i), &t);
            EXPECT_TRUE(t.left >= grid.left && t.top >= grid.top && t.right <= grid.right &&
                        t.bottom <= grid.bottom)
                << "device " << i << " is not in view";
        }
        const std::string db = qvm_e2e::item_text(main, IDC_DATABASE);
        EXPECT_EQ(db.rfind("Database: ", 0), 0u) << db;
        EXPECT_NE(db.find("cannot connect"), std::string::npos) << db;
        EXPECT_EQ(db.find("hunter2"), std::string::npos) << db;
        RECT client{};
        GetClientRect(main, &client);
        const RECT line = qvm_e2e::rect_in(main, GetDlgItem(main, IDC_DATABASE));
        const RECT cap = qvm_e2e::rect_in(main, GetDlgItem(main, IDC_CAP_RECENT));
        const RECT list = qvm_e2e::rect_in(main, GetDlgItem(main, IDC_RECENT));
        EXPECT_EQ(line.top, cap.top);
        EXPECT_GT(line.left, cap.right);
        EXPECT_EQ(line.right, list.right);
        EXPECT_LE(line.bottom, list.top);
        EXPECT_GE(line.top, qvm_e2e::rect_in(main, g).bottom);
        EXPECT_TRUE(screenshot("station-06-sixteen-" + std::to_string(dpi) + "dpi"));
        qvm_e2e::close_box(main);
        ASSERT_TRUE(st.wait_exit(30000));

        if (dpi == 96) {
            Station again;  // kept: it opens maximized
            ASSERT_TRUE(again.start("--report \"" + report + "\""));
            HWND w = again.wait_main();
            ASSERT_NE(w, nullptr);
            EXPECT_TRUE(qvm_e2e::wait_until([&] { return IsZoomed(w) != FALSE; }, 3000));
            qvm_e2e::close_box(w);
            ASSERT_TRUE(again.wait_exit(30000));
        }
        DeleteFileA(report.c_str());
    }
    forget_placement();
}

namespace {

// The page's figure `name`: the data-value of the first element that
// carries it, the headline's (the page begins with its headline figures).
std::string page_figure(const std::string &html, const std::string &name) {
    const std::size_t at = html.find("data-figure=\"" + name + "\"");
    if (at == std::string::npos) return "<no figure " + name + ">";
    const std::size_t open = html.rfind('<', at), close = html.find('>', at);
    if (open == std::string::npos || close == std::string::npos) return "<no tag>";
    const std::string tag = html.substr(open, close - open);
    const std::size_t v = tag.find("data-value=\"");
    if (v == std::string::npos) return "<no data-value in " + tag + ">";
    return tag.substr(v + 12, tag.find('"', v + 12) - (v + 12));
}

}  // namespace

// Report... while the station runs: the line manager's page of the report
// in %TEMP% under the report's name, holding the report's figures. With
// nothing to open .html files (what Wine's prefix has here, mshtml being
// off; made sure of below) the window says so and names the page, without
// a box of the shell's. With the association, pressed again from the
// keyboard (Alt+E), the page is made anew and handed to the browser: Wine
// opens it with winebrowser, which runs the Unix programs that
// HKCU\Software\Wine\WineBrowser "Browsers" names with the page's file://
// address (by default xdg-open, which would start a real browser here); the
// test's browser is a script that writes down what it was given.
TEST_F(StationE2e, ReportOpensTheLineManagersPageOfTheReport) {
    forget_placement();
    const std::string report = temp_report("station-page.jsonl");
    char dir[MAX_PATH] = {};
    GetTempPathA(sizeof dir, dir);
    const std::string page = std::string(dir) + "station-page.html";
    DeleteFileA(page.c_str());

    const std::string unix_base = "/tmp/qvm-station-browser-" + std::to_string(GetCurrentProcessId());
    const std::string script = qvm_e2e::windows_path(unix_base + ".sh");
    const std::string opened = qvm_e2e::windows_path(unix_base + ".txt");
    DeleteFileA(opened.c_str());
    {
        FILE *f = std::fopen(script.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        const std::string body = "#!/bin/sh\necho \"$1\" >" + unix_base + ".tmp && mv " + unix_base +
                                 ".tmp " + unix_base + ".txt\n";
        std::fwrite(body.data(), 1, body.size(), f);
        std::fclose(f);
    }
    ASSERT_TRUE(run_unix("chmod +x " + unix_base + ".sh"));
    ScopedValue browsers(HKEY_CURRENT_USER, "Software\\Wine\\WineBrowser", "Browsers");
    ASSERT_TRUE(browsers.set(unix_base + ".sh"));
    ScopedNoHtmlOpener html;
    ASSERT_TRUE(html.ok());

    ASSERT_TRUE(plug(dev, 0, 341));
    ASSERT_TRUE(plug(dev, 1, 341));
    ASSERT_TRUE(plug(dev, 2, 362));
    Station st;
    ASSERT_TRUE(st.start("--report \"" + report + "\""));
    HWND main = st.wait_main();
    ASSERT_NE(main, nullptr);
    HWND button = GetDlgItem(main, IDC_REPORT_PAGE);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(qvm_e2e::window_text(button), "R&eport...");
    ASSERT_TRUE(x_press(GetDlgItem(main, IDC_START),
                        [&] { return IsWindowEnabled(GetDlgItem(main, IDC_STOP)) != FALSE; }));
    ASSERT_TRUE(qvm_e2e::wait_until([&] { return unit_lines(report).size() >= 3; }, 60000));

    // The page's figures are the report's; the station went on meanwhile.
    const auto expect_figures = [&] {
        const std::string html = file_text(page);
        const struct {
            const char *figure, *value;
        } figures[] = {{"units", "3"}, {"updated", "2"}, {"current", "1"}, {"failed", "0"}};
        for (const auto &f : figures) EXPECT_EQ(page_figure(html, f.figure), f.value) << f.figure;
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main, IDC_STOP)));
    };

    ASSERT_TRUE(x_click(button));
    HWND box = st.wait_box("No program on this computer opens web pages", 30000);
    ASSERT_NE(box, nullptr);
    EXPECT_NE(box_text(box).find(page), std::string::npos) << box_text(box);
    EXPECT_TRUE(screenshot("station-07-report-page-unopened"));
    EXPECT_TRUE(answer(box, IDOK));
    EXPECT_TRUE(qvm_e2e::wait_until([&] { return IsWindowEnabled(button) != FALSE; }));
    expect_figures();
    EXPECT_EQ(GetFileAttributesA(opened.c_str()), INVALID_FILE_ATTRIBUTES);
    // The status line is the station's again.
    EXPECT_EQ(qvm_e2e::item_text(main, IDC_STATUS), "Running: plug in units to update them.");

    // Made anew each time: what stands in the page's place is replaced.
    {
        FILE *f = std::fopen(page.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("an older page", f);
        std::fclose(f);
    }
    ASSERT_TRUE(html.browser());
    ASSERT_TRUE(x_keys(GetDlgItem(main, IDC_STATUS), "alt+e"));
    EXPECT_TRUE(qvm_e2e::wait_until(
        [&] { return GetFileAttributesA(opened.c_str()) != INVALID_FILE_ATTRIBUTES; }, 30000))
        << "the browser was not started";
    EXPECT_TRUE(qvm_e2e::wait_until([&] { return IsWindowEnabled(button) != FALSE; }, 30000));
    std::string handed = file_text(opened);
    while (!handed.empty() && (handed.back() == '\n' || handed.back() == '\r')) handed.pop_back();
    const std::string tail = "/station-page.html";
    EXPECT_EQ(handed.rfind("file:///", 0), 0u) << handed;
    EXPECT_TRUE(handed.size() > tail.size() &&
                handed.compare(handed.size() - tail.size(), tail.size(), tail) == 0)
        << handed;
    expect_figures();
    if (HWND stray = st.wait_box("", 1000)) {
        ADD_FAILURE() << "a box came when the page was opened: " << box_text(stray);
        answer(stray, IDOK);
    }

    qvm_e2e::close_box(main);
    ASSERT_TRUE(st.wait_exit(30000));
    DeleteFileA(page.c_str());
    DeleteFileA(opened.c_str());
    DeleteFileA(script.c_str());
    DeleteFileA(report.c_str());
    forget_placement();
}
