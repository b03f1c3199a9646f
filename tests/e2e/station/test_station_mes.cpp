// qvm_station.exe under Wine with an MES (the stand-in of tests/support,
// started around the test by with_mes_standin.sh): a unit the MES rejects
// and one it does not answer for, read through the tiles' and the status
// line's text at 96 and 144 dpi, with a screenshot of each; Stop ends the
// waiting unit with no line.
#include <gtest/gtest.h>

#include <windows.h>

#include <regex>

#include "mes_standin_client.h"
#include "station_e2e.h"
#include "stw_resource.h"
#include "upd_support.h"

using namespace station_e2e;
using mes_standin::Json;

namespace {

std::string serial_of(unsigned index) {
    return std::to_string(devsim::default_config(index).serial_no);
}

unsigned blocks(upd_e2e::Devices &dev, unsigned index) {
    unsigned n = 0;
    for (const std::string &s : dev.steps(index)) n += s.rfind("BLOCK", 0) == 0;
    return n;
}

bool item_holds(HWND main, int id, const std::string &part, std::string *seen) {
    return qvm_e2e::wait_until(
        [&] {
            *seen = qvm_e2e::item_text(main, id);
            return seen->find(part) != std::string::npos;
        },
        30000);
}

// The control's text, wrapped as a static control wraps it, fits its
// height: no line is cut off.
bool text_fits(HWND ctl, std::string *why) {
    RECT client{};
    GetClientRect(ctl, &client);
    const std::string text = qvm_e2e::window_text(ctl);
    HDC dc = GetDC(ctl);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(ctl, WM_GETFONT, 0, 0)));
    RECT need = client;
    DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &need,
              DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
    SelectObject(dc, old);
    ReleaseDC(ctl, dc);
    *why = "needs " + std::to_string(need.bottom - need.top) + " px of " +
           std::to_string(client.bottom - client.top) + ": " + text;
    return need.bottom - need.top <= client.bottom - client.top;
}

}  // namespace

TEST(StationMes, ARejectedAndAWaitingUnitAt96And144Dpi) {
    mes_standin::StandIn mes("QVM_MES_DIR");
    ASSERT_TRUE(mes.ok()) << "no stand-in: run through tests/support/with_mes_standin.sh";
    upd_e2e::Devices dev;
    ASSERT_TRUE(dev.ready()) << "the simulated device driver is not running";
    mes.script({{serial_of(0), {{"do", "reject"}, {"reason", "on hold by QA"}}},
                {serial_of(1), {{"do", "status"}, {"status", 500}}}});
    char dir[MAX_PATH] = {};
    GetTempPathA(sizeof dir, dir);
    const std::string report = std::string(dir) + "station-mes.jsonl";
    const std::string url = "http://127.0.0.1:" + std::to_string(mes.port()) + "/line";
    ScopedDpi screen;
    forget_placement();
    for (DWORD dpi : {96u, 144u}) {
        SCOPED_TRACE(std::to_string(dpi) + " dpi");
        DeleteFileA(report.c_str());
        ASSERT_TRUE(screen.set(dpi));
        for (unsigned i = 0; i < 2; ++i) {
            dev.remove(i);
            ASSERT_TRUE(dev.add(i, 340));
        }
        Station st;
        ASSERT_TRUE(st.start("--report \"" + report + "\" --timeout 2 --mes " + url));
        HWND main = st.wait_main();
        ASSERT_NE(main, nullptr);
        ASSERT_TRUE(x_press(GetDlgItem(main, IDC_START),
                            [&] { return !IsWindowEnabled(GetDlgItem(main, IDC_START)); }));

        std::string seen;
        ASSERT_TRUE(wait_tile(main, 0, "Rejected by the MES", &seen)) << seen;
        EXPECT_EQ(seen, "Device 0  serial " + serial_of(0) +
                            "  3.40  Rejected by the MES: on hold by QA");
        ASSERT_TRUE(wait_tile(main, 1, "waits for the MES", &seen)) << seen;
        EXPECT_EQ(seen.rfind("Device 1  serial " + serial_of(1) + "  3.40  waits for the MES", 0),
                  0u)
            << seen;
        ASSERT_TRUE(item_holds(main, IDC_STATUS, "MES not answering since ", &seen)) << seen;
        EXPECT_TRUE(std::regex_match(
            seen, std::regex("Running: plug in units to update them\\. MES not answering since "
                             "[0-9]{2}:[0-9]{2}:[0-9]{2}; 1 unit waits\\.")))
            << seen;
        std::string why;
        EXPECT_TRUE(text_fits(GetDlgItem(main, IDC_STATUS), &why)) << why;
        // The notice line gives the why, in the window's local time too.
        const std::string notice = qvm_e2e::item_text(main, IDC_NOTICE);
        EXPECT_TRUE(std::regex_match(
            notice, std::regex("MES not answering since [0-9]{2}:[0-9]{2}:[0-9]{2} \\(the MES "
                               "answered status 500: server error\\); 1 unit waits unwritten\\.")))
            << notice;
        EXPECT_TRUE(screenshot("station-mes-" + std::to_string(dpi) + "dpi"));

        // Stop ends the waiting unit with no line: nothing was written to it.
        ASSERT_TRUE(x_click(GetDlgItem(main, IDC_STOP)));
        ASSERT_TRUE(item_holds(main, IDC_STATUS, "Stopped.", &seen)) << seen;
        const std::vector<std::string> units = unit_lines(report);
        ASSERT_EQ(units.size(), 1u);
        EXPECT_EQ(field(units[0], "index"), "0") << units[0];
        EXPECT_EQ(field(units[0], "result"), "\"rejected\"") << units[0];
        EXPECT_EQ(blocks(dev, 0), 0u);
        EXPECT_EQ(blocks(dev, 1), 0u);
        qvm_e2e::close_box(main);
        EXPECT_TRUE(st.wait_exit(10000));
    }
    forget_placement();
    DeleteFileA(report.c_str());
}
