// What the station window says: tile texts for every state, the counters,
// the report's times and file name, the status line.
#include <gtest/gtest.h>

#include "stw_text.h"

namespace {

constexpr std::uint32_t kImage = 362;

StnTile tile(unsigned index, StnTileState state) {
    StnTile t;
    t.index = index;
    t.state = state;
    t.identified = true;
    t.serial = 84600003;
    t.old_version = 341;
    return t;
}

}  // namespace

TEST(StationText, TileTextSaysTheStateInWords) {
    StnTile unknown;
    unknown.index = 7;
    StnTile writing = tile(2, StnTileState::kWriting);
    writing.percent = 40;
    StnTile over = writing;
    over.percent = 130;  // never more than a whole
    StnTile updated = tile(2, StnTileState::kUpdated);
    updated.has_new = true;
    updated.new_version = 362;
    StnTile current = tile(1, StnTileState::kCurrent);
    current.old_version = 362;
    current.has_new = true;  // read back, the same
    current.new_version = 362;
    StnTile failed = tile(3, StnTileState::kFailed);
    failed.reason = "block at 0x5400 refused by the device (error 0xE004)";
    failed.has_new = true;
    failed.new_version = 0xFFFFFFFF;
    StnTile rejected = tile(6, StnTileState::kRejected);
    rejected.reason = "on hold (QA)";
    StnTile waits = tile(6, StnTileState::kMesWaiting);
    waits.reason = "status 500";
    StnTile bare_fail = failed;
    bare_fail.reason.clear();
    bare_fail.has_new = false;
    const struct {
        StnTile t;
        const char *text;
    } cases[] = {
        {unknown, "Device 7  waiting"},
        {tile(0, StnTileState::kChecking), "Device 0  serial 84600003  3.41  checking"},
        {writing, "Device 2  serial 84600003  3.41 -> 3.62  writing 40%"},
        {over, "Device 2  serial 84600003  3.41 -> 3.62  writing 100%"},
        {tile(2, StnTileState::kVerifying), "Device 2  serial 84600003  3.41 -> 3.62  verifying"},
        {updated, "Device 2  serial 84600003  3.41 -> 3.62  updated"},
        {current, "Device 1  serial 84600003  3.62  current"},
        {failed, "Device 3  serial 84600003  3.41 -> No firm  failed: block at 0x5400 refused "
                 "by the device (error 0xE004)"},
        {bare_fail, "Device 3  serial 84600003  3.41  failed"},
        {tile(4, StnTileState::kBusy),
         "Device 4  serial 84600003  3.41  busy: another program holds the device"},
        {tile(5, StnTileState::kInterrupted), "Device 5  serial 84600003  3.41  interrupted"},
        {rejected, "Device 6  serial 84600003  3.41  Rejected by the MES: on hold (QA)"},
        {waits, "Device 6  serial 84600003  3.41  waits for the MES (status 500)"},
        {tile(6, StnTileState::kAsking), "Device 6  serial 84600003  3.41  asking the MES"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(stw_tile_text(c.t, kImage), c.text);
    }
    // A rejected unit has a colour of its own.
    EXPECT_EQ(stw_state_tone(StnTileState::kRejected), StwTone::kRejected);
    for (StnTileState st : {StnTileState::kFailed, StnTileState::kMesWaiting,
                            StnTileState::kInterrupted, StnTileState::kUpdated}) {
        EXPECT_NE(stw_state_tone(st), StwTone::kRejected);
    }
    const StwTileLines l = stw_tile_lines(writing, kImage);
    EXPECT_EQ(l.title, "Device 2");
    EXPECT_EQ(l.serial, "serial 84600003");
    EXPECT_EQ(l.state, "writing 40%");
}

TEST(StationText, TheSoundOfAUnitsEnd) {
    const struct {
        StnOutcome outcome;
        bool recorded;
        StwCue cue;
    } cases[] = {
        {StnOutcome::kUpdated, true, StwCue::kPass},
        {StnOutcome::kCurrent, true, StwCue::kPass},
        {StnOutcome::kFailed, true, StwCue::kFail},
        {StnOutcome::kInterrupted, true, StwCue::kFail},
        {StnOutcome::kRejected, true, StwCue::kNone},
        {StnOutcome::kUpdated, false, StwCue::kFail},
        {StnOutcome::kRejected, false, StwCue::kFail},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(stw_result_cue(c.outcome, c.recorded), c.cue)
            << static_cast<int>(c.outcome) << " recorded " << c.recorded;
    }
}

TEST(StationText, Counters) {
    const struct {
        double share;
        const char *text;
    } yields[] = {{-1, "-"}, {0, "0.0 %"}, {39.0 / 40, "97.5 %"}, {1999.0 / 2000, "99.9 %"},
                  {1, "100.0 %"}, {2.0 / 3, "66.6 %"}};
    for (const auto &y : yields) EXPECT_EQ(stw_yield_text(y.share), y.text) << y.share;

    EXPECT_EQ(stw_per_hour_text(-1), "-");
    EXPECT_EQ(stw_per_hour_text(117.6), "118");
    EXPECT_EQ(stw_per_hour_text(0), "0");

    const struct {
        std::uint64_t ms;
        const char *text;
    } times[] = {{0, "0 s"}, {42999, "42 s"}, {60000, "1 min"}, {3599999, "59 min"},
                 {3900000, "1 h 05 min"}, {36000000 + 59 * 60000, "10 h 59 min"}};
    for (const auto &t : times) EXPECT_EQ(stw_duration_text(t.ms), t.text) << t.ms;
}

TEST(StationText, ClockReportNameAndNotices) {
    StnUtcTime t;
    t.hour = 19;
    t.minute = 40;
    t.second = 5;
    EXPECT_EQ(stw_clock_text(t), "19:40:05");
    EXPECT_EQ(stw_report_name(2026, 3, 7), "station-2026-03-07.jsonl");
    EXPECT_EQ(stw_block_reason_text(1),
              "1 firmware update is running: a unit cut short holds no firmware.");
    EXPECT_EQ(stw_block_reason_text(12),
              "12 firmware updates are running: a unit cut short holds no firmware.");
    EXPECT_EQ(stw_station_runs_text(""),
              "A station already runs on this computer.\n\nThis window does not start a second "
              "one.");
    EXPECT_EQ(stw_station_runs_text("C:\\r.jsonl"),
              "A station already runs on this computer, writing the report\nC:\\r.jsonl\n\nThis "
              "window does not start a second one.");
}

TEST(StationText, RecentRowAndStatus) {
    StnRecent r;
    r.result.device.index = 3;
    r.result.device.serial = 84600004;
    r.result.identified = true;
    r.result.outcome = StnOutcome::kFailed;
    r.result.what = "device unplugged during block at 0x4800";
    StwRecentRow row = stw_recent_row(r);
    EXPECT_EQ(row.index, "3");
    EXPECT_EQ(row.serial, "84600004");
    EXPECT_EQ(row.result, "failed");
    EXPECT_EQ(row.reason, r.result.what);
    r.result.outcome = StnOutcome::kUpdated;
    r.result.identified = false;
    row = stw_recent_row(r);
    EXPECT_EQ(row.serial, "-");
    EXPECT_EQ(row.reason, "");

    r.result.outcome = StnOutcome::kRejected;
    r.result.what = "on hold";
    EXPECT_EQ(stw_recent_row(r).reason, "on hold");

    StnSnapshot s;
    EXPECT_EQ(stw_status_text(false, s, false), "Press Start to take units.");
    s.tiles.push_back(tile(0, StnTileState::kWriting));
    s.tiles.push_back(tile(1, StnTileState::kUpdated));
    EXPECT_EQ(stw_status_text(true, s, false), "Running: 1 update under way.");
    // An MES that does not answer is said after what the station does.
    StnSnapshot m = s;
    m.mes.down = true;
    m.mes.since = "2026-12-09T08:00:00.000Z";
    m.mes.why = "no connection";
    m.mes.waiting = 2;
    EXPECT_EQ(stw_status_text(true, m, false, "09:00:00"),
              "Running: 1 update under way. MES not answering since 09:00:00; 2 units wait.");
    m.mes.waiting = 1;
    EXPECT_EQ(stw_status_text(true, m, false),
              "Running: 1 update under way. MES not answering since 2026-12-09T08:00:00.000Z; "
              "1 unit waits.");
    m.mes.waiting = 0;
    EXPECT_EQ(stw_status_text(true, m, false, "09:00:00"),
              "Running: 1 update under way. MES not answering since 09:00:00.");
    EXPECT_EQ(stw_status_text(false, m, false), "Press Start to take units.");
    EXPECT_EQ(stw_mes_notice_text(m.mes, "09:00:00"),
              "MES not answering since 09:00:00 (no connection).");
    m.mes.waiting = 2;
    EXPECT_EQ(stw_mes_notice_text(m.mes, "09:00:00"),
              "MES not answering since 09:00:00 (no connection); 2 units wait unwritten.");
    m.mes.waiting = 1;
    m.mes.why.clear();
    EXPECT_EQ(stw_mes_notice_text(m.mes, "09:00:00"),
              "MES not answering since 09:00:00; 1 unit waits unwritten.");
    m.mes.down = false;
    EXPECT_EQ(stw_mes_notice_text(m.mes, ""), "MES answering again.");
    s.stopping = true;
    EXPECT_EQ(stw_status_text(true, s, false),
              "Stopping: no new units are taken; waiting for 1 update to finish.");
    EXPECT_NE(stw_status_text(true, s, true).find("interrupted"), std::string::npos);
    s.ended = true;
    s.recorded = 5;
    EXPECT_EQ(stw_status_text(false, s, false), "Stopped. 5 units recorded in this run.");
    // The line stopped itself: while the last unit finishes, then for good.
    s.halted = true;
    EXPECT_EQ(stw_status_text(true, s, false),
              "Line stopped: no new units are taken; waiting for 1 update to finish.");
    EXPECT_EQ(stw_status_text(false, s, false),
              "Line stopped. 5 units recorded in this run. Press Start to go on.");
    s.report_failed = true;
    s.report_waiting = 2;
    EXPECT_EQ(stw_status_text(true, s, false),
              "The report cannot be written: 2 result(s) kept and tried again every few seconds; "
              "no new units are taken; 1 update still running.");
    s.spilled = 2;
    s.spill_path = "C:\\Users\\op\\unwritten.jsonl";
    EXPECT_EQ(stw_status_text(false, s, false),
              "Stopped: 2 result(s) could not be written to the report; kept in "
              "C:\\Users\\op\\unwritten.jsonl until the next Start.");
}

TEST(StationText, TheFieldsAndTheirHint) {
    EXPECT_EQ(stw_fields_hint(false, false), "");
    EXPECT_EQ(stw_fields_hint(true, false), "Scan or type the operator to start.");
    EXPECT_EQ(stw_fields_hint(false, true), "Scan or type the work order to start.");
    EXPECT_EQ(stw_fields_hint(true, true),
              "Scan or type the operator and the work order to start.");
    const struct {
        const char *typed, *value;
    } cases[] = {{"", ""}, {"  \t ", ""}, {" WO-7\t", "WO-7"}, {"Ana  M\xc3\xbcller ", "Ana  M\xc3\xbcller"}};
    for (const auto &c : cases) EXPECT_EQ(stw_field_value(c.typed), c.value) << c.typed;
}

// The page goes into the temporary folder under the report's name; it never
// replaces the report, whatever the report is called.
TEST(StationText, ThePagesFileIsNamedAfterTheReport) {
    const char kTemp[] = "C:\\Users\\op\\AppData\\Local\\Temp\\";
    const struct {
        const char *report, *folder, *page;
    } cases[] = {
        {"C:\\Users\\op\\Documents\\R846-QVM2K\\station-2026-12-08.jsonl", kTemp,
         "C:\\Users\\op\\AppData\\Local\\Temp\\station-2026-12-08.html"},
        // Only the last extension goes; a dot in a folder is not one.
        {"D:\\line 4.b\\report.v2.jsonl", kTemp, "C:\\Users\\op\\AppData\\Local\\Temp\\report.v2.html"},
        {"D:\\line 4.b\\report", kTemp, "C:\\Users\\op\\AppData\\Local\\Temp\\report.html"},
        {"//server/share/Pr\xc3\xbc" "fstand 2/a.jsonl", "C:\\Temp",
         "C:\\Temp\\a.html"},
        // A name that begins with its only dot is all name; no name at all.
        {"C:\\reports\\.jsonl", kTemp, "C:\\Users\\op\\AppData\\Local\\Temp\\.jsonl.html"},
        {"C:\\reports\\", kTemp, "C:\\Users\\op\\AppData\\Local\\Temp\\station-report.html"},
        {"", "C:\\Temp/", "C:\\Temp/station-report.html"},
        // A report kept in the temporary folder under a page's name.
        {"C:\\Temp\\Shift.HTML", "C:\\temp", "C:\\temp\\Shift-page.html"},
        {"C:\\Temp\\shift.html", "C:\\Temp\\", "C:\\Temp\\shift-page.html"},
    };
    for (const auto &c : cases) EXPECT_EQ(stw_page_path(c.report, c.folder), c.page) << c.report;
    EXPECT_EQ(stw_line_page_path("C:\\t\\", 2026, 12, 8), "C:\\t\\line-2026-12-08.html");
    EXPECT_EQ(stw_line_page_path("C:/t", 2027, 1, 31), "C:/t\\line-2027-01-31.html");
}

TEST(StationText, WhatTheWindowSaysOfThePage) {
    const std::string report = "C:\\r\\station.jsonl", page = "C:\\t\\station.html";
    const struct {
        StwPageOutcome outcome;
        unsigned long error;
        const char *text;
    } cases[] = {
        {StwPageOutcome::kOpened, 0, ""},
        {StwPageOutcome::kNoReport, 0,
         "There is no report to show: choose one with Change... first."},
        {StwPageOutcome::kNotFound, 2,
         "No units recorded yet: the report\nC:\\r\\station.jsonl\ndoes not exist."},
        {StwPageOutcome::kReadFailed, 5,
         "The report cannot be read (access denied):\nC:\\r\\station.jsonl"},
        {StwPageOutcome::kReadFailed, 0, "The report cannot be read:\nC:\\r\\station.jsonl"},
        {StwPageOutcome::kWriteFailed, 112,
         "The report page cannot be written (the disk is full):\nC:\\t\\station.html"},
        {StwPageOutcome::kOpenFailed, 1223,
         "The report page could not be opened (error 1223). It was written to\n"
         "C:\\t\\station.html"},
        {StwPageOutcome::kDbUnreachable, 0,
         "The factory's database cannot be reached, so the line's page cannot be made:\n"
         "C:\\r\\station.jsonl"},
        {StwPageOutcome::kDbFailed, 0,
         "The factory's database did not give the line's figures:\nC:\\r\\station.jsonl"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(stw_page_text(c.outcome, report, page, c.error), c.text)
            << static_cast<int>(c.outcome);
    }
}
