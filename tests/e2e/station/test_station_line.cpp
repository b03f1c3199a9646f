// The station window with a database (the test session's PostgreSQL):
// Report... asks for this station's report or the whole line from the
// database, laid out inside its dialog at 96 and 144 dpi; the line's page
// of today is made from what the stations shipped, and a database that
// cannot be reached is said so. Screenshots: station-line-*.png in shots/.
#include <gtest/gtest.h>

#include <cstdio>

#include "cli_e2e_run.h"
#include "cli_pg.h"
#include "station_e2e.h"
#include "stw_resource.h"

using namespace station_e2e;

namespace {

// The choice dialog of the station's process, waited for; null when none.
HWND wait_choice(const Station &st, DWORD ms = 10000) {
    HWND found = nullptr;
    qvm_e2e::wait_until(
        [&] {
            found = nullptr;
            for (HWND w = FindWindowExA(nullptr, nullptr, "#32770", nullptr); w != nullptr;
                 w = FindWindowExA(nullptr, w, "#32770", nullptr)) {
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                if (pid == st.pid() && IsWindowVisible(w) && GetDlgItem(w, IDC_SRC_LINE) != nullptr) {
                    found = w;
                }
            }
            return found != nullptr;
        },
        ms);
    return found;
}

// Today on this computer, as a report's UTC time at hh:mm (local noon on
// either side is the same day whatever the zone).
std::string today_utc(const char *hm) {
    SYSTEMTIME t{};
    GetSystemTime(&t);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02uT%s:00.000Z", t.wYear, t.wMonth, t.wDay, hm);
    return buf;
}

std::string line_page() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    char name[40];
    std::snprintf(name, sizeof name, "line-%04u-%02u-%02u.html", t.wYear, t.wMonth, t.wDay);
    char dir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + name;
}

std::string page_value(const std::string &html, const std::string &figure) {
    const std::string key = "data-figure=\"" + figure + "\"";
    const std::size_t at = html.find(key);
    if (at == std::string::npos) return "";
    const std::size_t v = html.find("data-value=\"", at);
    if (v == std::string::npos) return "";
    return html.substr(v + 12, html.find('"', v + 12) - v - 12);
}

class StationLine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pg_.ready()) << "no PostgreSQL server: run inside scripts/test-session.sh";
        ASSERT_EQ(pg_.psql("TRUNCATE qvm_report_line"), "");
        forget_placement();
    }
    void TearDown() override {
        DeleteFileA(report_.c_str());
        DeleteFileA(shipped_.c_str());
        DeleteFileA(line_page().c_str());
        forget_placement();
    }
    cli_e2e::Postgres pg_;
    const std::string report_ = cli_e2e::temp_path("station-line.jsonl");
    const std::string shipped_ = cli_e2e::temp_path("station-line-shipped.jsonl");
};

}  // namespace

TEST_F(StationLine, ReportOffersTheWholeLineFromTheDatabase) {
    // Two stations' units of today in the database.
    {
        FILE *f = std::fopen(shipped_.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        for (const char *st : {"PC-L1", "PC-L2"}) {
            for (const char *hm : {"11:00", "11:01", "11:02"}) {
                std::fprintf(f,
                             "{\"type\":\"unit\",\"time\":\"%s\",\"id\":1,\"serial\":%d,"
                             "\"result\":\"updated\",\"order\":\"WO-9\",\"station\":\"%s\"}\r\n",
                             today_utc(hm).c_str(), st[4] * 100 + hm[4], st);
            }
        }
        std::fclose(f);
    }
    const cli_e2e::Output shipped =
        cli_e2e::run("ship " + cli_e2e::quoted(shipped_) + " --database " + cli_e2e::quoted(pg_.cs()));
    ASSERT_EQ(shipped.exit, 0u) << shipped.err;

    ScopedDpi screen;
    ScopedNoHtmlOpener no_browser;
    ASSERT_TRUE(no_browser.ok());
    for (DWORD dpi : {96u, 144u}) {
        SCOPED_TRACE(std::to_string(dpi) + " dpi");
        ASSERT_TRUE(screen.set(dpi));
        Station st;
        ASSERT_TRUE(st.start("--report \"" + report_ + "\" --database \"" + pg_.cs() + "\""));
        HWND main = st.wait_main();
        ASSERT_NE(main, nullptr);
        ASSERT_TRUE(x_click(GetDlgItem(main, IDC_REPORT_PAGE)));
        HWND ask = wait_choice(st);
        ASSERT_NE(ask, nullptr);
        // Every control inside the dialog, none over another.
        RECT client{};
        GetClientRect(ask, &client);
        std::vector<std::pair<int, RECT>> items;
        for (HWND c : qvm_e2e::children(ask)) {
            const RECT r = qvm_e2e::rect_in(ask, c);
            EXPECT_TRUE(r.left >= 0 && r.top >= 0 && r.right <= client.right &&
                        r.bottom <= client.bottom)
                << GetDlgCtrlID(c);
            for (const auto &o : items) {
                RECT both{};
                EXPECT_FALSE(IntersectRect(&both, &r, &o.second))
                    << GetDlgCtrlID(c) << " over " << o.first;
            }
            items.emplace_back(GetDlgCtrlID(c), r);
        }
        EXPECT_EQ(items.size(), 7u);
        // The line and today are chosen; the day's picker waits for "Day:".
        EXPECT_EQ(IsDlgButtonChecked(ask, IDC_SRC_LINE), BST_CHECKED);
        EXPECT_EQ(IsDlgButtonChecked(ask, IDC_DAY_TODAY), BST_CHECKED);
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(ask, IDC_DAY_PICK)));
        EXPECT_TRUE(screenshot("station-line-choice-" + std::to_string(dpi) + "dpi"));
        SendMessageA(GetDlgItem(ask, IDOK), BM_CLICK, 0, 0);

        HWND box = st.wait_box("No program on this computer opens web pages", 60000);
        ASSERT_NE(box, nullptr);
        EXPECT_NE(box_text(box).find(line_page()), std::string::npos) << box_text(box);
        const std::string html = file_text(line_page());
        EXPECT_EQ(page_value(html, "units"), "6");
        EXPECT_EQ(html.find("station-pw"), std::string::npos) << "the password shows";
        EXPECT_TRUE(answer(box, IDOK));
        qvm_e2e::close_box(main);
        EXPECT_TRUE(st.wait_exit(10000));
    }
}

TEST_F(StationLine, ADatabaseThatCannotBeReachedIsSaid) {
    const std::string nowhere = "Driver={PostgreSQL Unicode};Server=/tmp/qvm-no-server-here;"
                                "Port=5432;Database=qvm_factory;Uid=qvm_station;Pwd=secret-pw;";
    Station st;
    ASSERT_TRUE(st.start("--report \"" + report_ + "\" --database \"" + nowhere + "\""));
    HWND main = st.wait_main();
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(x_click(GetDlgItem(main, IDC_REPORT_PAGE)));
    HWND ask = wait_choice(st);
    ASSERT_NE(ask, nullptr);
    SendMessageA(GetDlgItem(ask, IDOK), BM_CLICK, 0, 0);
    HWND box = st.wait_box("cannot be reached", 60000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box_text(box).find("secret-pw"), std::string::npos) << box_text(box);
    EXPECT_TRUE(screenshot("station-line-unreachable"));
    EXPECT_TRUE(answer(box, IDOK));
    qvm_e2e::close_box(main);
    EXPECT_TRUE(st.wait_exit(10000));
}
