// The words and figures of the station window: a tile's state, its one-line
// window text (what screen readers and tests read), the counters (yield,
// units per hour, time running), a row of the last results and the report's
// default file name, the line manager's page of a report (its file and what
// the window says of it). Pure; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "stn_engine.h"
#include "stn_time.h"

// What a tile's colour says, for the painter. kRejected: the MES refused
// the unit (no failure of the station, yet not to be passed on).
enum class StwTone { kIdle, kRunning, kPass, kFail, kAttention, kRejected };
StwTone stw_state_tone(StnTileState state);

// The sound at a unit's end: a unit the MES refused makes none, since the
// station did not fail it; a line that could not be recorded is a failure.
enum class StwCue { kNone, kPass, kFail };
StwCue stw_result_cue(StnOutcome outcome, bool recorded);

// The tile's lines, as painted.
struct StwTileLines {
    std::string title;     // "Device 2"
    std::string serial;    // "serial 84600003", "" before it is known
    std::string versions;  // "3.41 -> 3.62", "3.41", "" before it is known
    std::string state;     // "writing 40%", "failed: <reason>", "busy: ..."
};
// image_version: the version being written (shown as the target while
// writing and verifying, before the device reports its new one).
StwTileLines stw_tile_lines(const StnTile &tile, std::uint32_t image_version);
// The lines joined by two spaces, empty parts left out:
// "Device 2  serial 84600003  3.41 -> 3.62  writing 40%".
std::string stw_tile_text(const StnTile &tile, std::uint32_t image_version);

// First-pass yield (a share 0..1, < 0 for none): "97.5 %", "-". Rounded
// down to a tenth, so "100.0 %" means every unit passed.
std::string stw_yield_text(double share);
// Units per hour (< 0 for not yet known): "118", "-".
std::string stw_per_hour_text(double per_hour);
// Time running: "42 s", "12 min", "1 h 05 min".
std::string stw_duration_text(std::uint64_t ms);

// "19:40:00" of a time read by stn_parse_utc.
std::string stw_clock_text(const StnUtcTime &t);

// The columns of one row of the last results (time is given by the caller,
// converted to local time).
struct StwRecentRow {
    std::string index, serial, result, reason;
};
StwRecentRow stw_recent_row(const StnRecent &r);

// Tiles whose unit is being written (checking, writing or verifying).
unsigned stw_units_running(const StnSnapshot &snap);

// The notice line when the MES stops or starts answering: "MES not
// answering since 08:00:00 (<why>); 2 units wait unwritten.", "MES
// answering again." since: m.since as the window shows times (local).
std::string stw_mes_notice_text(const StnMesState &m, const std::string &since);

// The line beside the buttons: what the station does now.
//   running    the station thread runs; stopping/aborting as requested; a
//              line that stopped itself (snap.halted) says so; an MES that
//              does not answer is said after what the station does, briefly
//              ("MES not answering since 08:00:00; 2 units wait."), since the
//              line has room for two lines and the why is on the notice line
//              and the waiting tiles
//   mes_since  snap.mes.since as the window shows times (local); empty: as it is
std::string stw_status_text(bool running, const StnSnapshot &snap, bool aborting,
                            const std::string &mes_since = std::string());

// The hint beside the Operator and Work order fields while Start waits for
// them (--require-operator, --require-order): "" when none is missing.
std::string stw_fields_hint(bool need_operator, bool need_order);
// A field's value as typed or scanned, without blanks around it.
std::string stw_field_value(const std::string &typed);

// What Windows shows while the station holds up a logoff or shutdown
// (units_busy > 0, at most 255 characters).
std::string stw_block_reason_text(unsigned units_busy);

// Why a second station does not start: the holder's report when known.
std::string stw_station_runs_text(const std::string &holder);

// "station-2026-12-08.jsonl"
std::string stw_report_name(int year, int month, int day);

// The line manager's page of the report at `report`, in `folder` (the
// user's temporary folder; a separator at its end or not): the report's
// file name with ".html" for its last extension ("station-2026-12-08.jsonl"
// -> "station-2026-12-08.html"), "station-report.html" when the path ends
// in no name. Never the report itself: a report that would be its own page
// gets "<name>-page.html". Paths are UTF-8, '\\' or '/' between names.
std::string stw_page_path(const std::string &report, const std::string &folder);

// How making, writing and opening the page went.
enum class StwPageOutcome {
    kOpened,       // in the browser: nothing to say
    kNoReport,     // the window has no report (no Documents folder)
    kNotFound,     // the report does not exist (yet)
    kReadFailed,   // opening or reading the report failed
    kWriteFailed,  // the page could not be written
    kNoOpener,     // nothing on the computer opens web pages
    kOpenFailed,   // opening it failed otherwise
    // The whole line's page (report: the database's words, its password
    // left out):
    kDbUnreachable,  // the database could not be reached, or refused the login
    kDbFailed,       // it was reached, but its queries failed
};
// The page of the whole line on a day (local), in `folder`:
// "line-2026-12-08.html".
std::string stw_line_page_path(const std::string &folder, int year, int month, int day);
// What the window says of it (a message box's text; "" for kOpened).
// error: the system's error code, 0 when there is none.
std::string stw_page_text(StwPageOutcome outcome, const std::string &report,
                          const std::string &page, unsigned long error);
// On the status line, before what the station says, while the page is made.
extern const char kStwMakingPage[];
