#include "stw_text.h"

#include <cmath>
#include <cstdio>

#include "stn_text.h"

StwTone stw_state_tone(StnTileState state) {
    switch (state) {
    case StnTileState::kWaiting:
    case StnTileState::kChecking:
    case StnTileState::kAsking: return StwTone::kIdle;
    case StnTileState::kWriting:
    case StnTileState::kVerifying: return StwTone::kRunning;
    case StnTileState::kUpdated:
    case StnTileState::kCurrent: return StwTone::kPass;
    case StnTileState::kFailed: return StwTone::kFail;
    case StnTileState::kBusy:
    case StnTileState::kInterrupted:
    case StnTileState::kMesWaiting: return StwTone::kAttention;
    case StnTileState::kRejected: return StwTone::kRejected;
    }
    return StwTone::kIdle;
}

StwCue stw_result_cue(StnOutcome outcome, bool recorded) {
    if (!recorded) return StwCue::kFail;
    switch (outcome) {
    case StnOutcome::kUpdated:
    case StnOutcome::kCurrent: return StwCue::kPass;
    case StnOutcome::kRejected: return StwCue::kNone;
    case StnOutcome::kFailed:
    case StnOutcome::kInterrupted: return StwCue::kFail;
    }
    return StwCue::kFail;
}

StwTileLines stw_tile_lines(const StnTile &tile, std::uint32_t image_version) {
    StwTileLines l;
    l.title = "Device " + std::to_string(tile.index);
    if (tile.identified) {
        l.serial = "serial " + std::to_string(tile.serial);
        l.versions = stn_version_text(tile.old_version);
        const bool writing =
            tile.state == StnTileState::kWriting || tile.state == StnTileState::kVerifying;
        // A current unit holds what it held: no arrow.
        if (tile.has_new && tile.state != StnTileState::kCurrent) {
            l.versions += " -> " + stn_version_text(tile.new_version);
        } else if (writing) {
            l.versions += " -> " + stn_version_text(image_version);
        }
    }
    l.state = stn_state_word(tile.state);
    switch (tile.state) {
    case StnTileState::kWriting:
        l.state += " " + std::to_string(stn_percent(tile.percent)) + "%";
        break;
    case StnTileState::kFailed:
        if (!tile.reason.empty()) l.state += ": " + tile.reason;
        break;
    case StnTileState::kBusy: l.state += ": another program holds the device"; break;
    case StnTileState::kRejected: l.state = "Rejected by the MES: " + tile.reason; break;
    case StnTileState::kMesWaiting:
        l.state = "waits for the MES";
        if (!tile.reason.empty()) l.state += " (" + tile.reason + ")";
        break;
    case StnTileState::kAsking: l.state = "asking the MES"; break;
    default: break;
    }
    return l;
}

std::string stw_tile_text(const StnTile &tile, std::uint32_t image_version) {
    const StwTileLines l = stw_tile_lines(tile, image_version);
    std::string text = l.title;
    for (const std::string *part : {&l.serial, &l.versions, &l.state}) {
        if (!part->empty()) text += "  " + *part;
    }
    return text;
}

std::string stw_yield_text(double share) {
    if (!(share >= 0)) return "-";
    if (share > 1) share = 1;
    // Tenths of a percent, rounded down (with a little slack for the
    // binary fraction of e.g. 39/40).
    const long tenths = static_cast<long>(std::floor(share * 1000.0 + 1e-6));
    char buf[48];
    std::snprintf(buf, sizeof buf, "%ld.%ld %%", tenths / 10, tenths % 10);
    return buf;
}

std::string stw_per_hour_text(double per_hour) {
    if (!(per_hour >= 0)) return "-";
    if (per_hour > 1e9) per_hour = 1e9;
    return std::to_string(static_cast<long>(std::lround(per_hour)));
}

std::string stw_duration_text(std::uint64_t ms) {
    const std::uint64_t s = ms / 1000;
    if (s < 60) return std::to_string(s) + " s";
    if (s < 3600) return std::to_string(s / 60) + " min";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%llu h %02u min", static_cast<unsigned long long>(s / 3600),
                  static_cast<unsigned>(s % 3600 / 60));
    return buf;
}

std::string stw_clock_text(const StnUtcTime &t) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t.hour % 100, t.minute % 100,
                  t.second % 100);
    return buf;
}

StwRecentRow stw_recent_row(const StnRecent &r) {
    StwRecentRow row;
    row.index = std::to_string(r.result.device.index);
    row.serial = r.result.identified ? std::to_string(r.result.device.serial) : "-";
    row.result = stn_outcome_name(r.result.outcome);
    row.reason = r.result.outcome == StnOutcome::kFailed || r.result.outcome == StnOutcome::kRejected
                     ? r.result.what
                     : "";
    return row;
}

unsigned stw_units_running(const StnSnapshot &snap) {
    unsigned n = 0;
    for (const StnTile &t : snap.tiles) n += stn_state_running(t.state);
    return n;
}

namespace {
std::string status_of_station(bool running, const StnSnapshot &snap, bool aborting);
}  // namespace

std::string stw_mes_notice_text(const StnMesState &m, const std::string &since) {
    if (!m.down) return "MES answering again.";
    std::string s = "MES not answering since " + since;
    if (!m.why.empty()) s += " (" + m.why + ")";
    if (m.waiting == 1) s += "; 1 unit waits unwritten";
    if (m.waiting > 1) s += "; " + std::to_string(m.waiting) + " units wait unwritten";
    return s + ".";
}

std::string stw_status_text(bool running, const StnSnapshot &snap, bool aborting,
                            const std::string &mes_since) {
    const std::string s = status_of_station(running, snap, aborting);
    if (!running || !snap.mes.down) return s;
    std::string mes = " MES not answering since " + (mes_since.empty() ? snap.mes.since : mes_since);
    if (snap.mes.waiting == 1) mes += "; 1 unit waits";
    if (snap.mes.waiting > 1) mes += "; " + std::to_string(snap.mes.waiting) + " units wait";
    return s + mes + ".";
}

namespace {
std::string status_of_station(bool running, const StnSnapshot &snap, bool aborting) {
    const unsigned busy = stw_units_running(snap);
    const std::string n = std::to_string(busy) + (busy == 1 ? " update" : " updates");
    if (!running && snap.spilled != 0) {
        return "Stopped: " + std::to_string(snap.spilled) +
               " result(s) could not be written to the report; kept in " + snap.spill_path +
               " until the next Start.";
    }
    if (running && snap.report_failed) {
        return "The report cannot be written: " + std::to_string(snap.report_waiting) +
               " result(s) kept and tried again every few seconds; no new units are taken; " + n +
               " still running.";
    }
    const std::string recorded = std::to_string(snap.recorded) + " units recorded in this run.";
    if (!running && snap.halted) return "Line stopped. " + recorded + " Press Start to go on.";
    if (!running) return snap.ended ? "Stopped. " + recorded : "Press Start to take units.";
    if (aborting) return "Stopping now: running units are recorded as interrupted.";
    if (snap.stopping) {
        const std::string head = snap.halted ? "Line stopped" : "Stopping";
        return busy == 0 ? head + ": no new units are taken."
                         : head + ": no new units are taken; waiting for " + n + " to finish.";
    }
    return busy == 0 ? "Running: plug in units to update them."
                     : "Running: " + n + " under way.";
}
}  // namespace

std::string stw_block_reason_text(unsigned units_busy) {
    return std::to_string(units_busy) +
           (units_busy == 1 ? " firmware update is" : " firmware updates are") +
           " running: a unit cut short holds no firmware.";
}

std::string stw_station_runs_text(const std::string &holder) {
    return "A station already runs on this computer" +
           (holder.empty() ? std::string(".") : ", writing the report\n" + holder) +
           "\n\nThis window does not start a second one.";
}

std::string stw_report_name(int year, int month, int day) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "station-%04d-%02d-%02d.jsonl", year % 10000, month % 100,
                  day % 100);
    return buf;
}

std::string stw_fields_hint(bool need_operator, bool need_order) {
    if (!need_operator && !need_order) return "";
    const char *what = need_operator && need_order ? "the operator and the work order"
                       : need_operator            ? "the operator"
                                                  : "the work order";
    return std::string("Scan or type ") + what + " to start.";
}

std::string stw_field_value(const std::string &typed) {
    const std::size_t first = typed.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return typed.substr(first, typed.find_last_not_of(" \t") - first + 1);
}

const char kStwMakingPage[] = "Making the report page...";

namespace {

// A few system errors in words (Win32 codes; the rest by number).
std::string error_words(unsigned long error) {
    switch (error) {
    case 2:
    case 3: return "not found";
    case 5: return "access denied";
    case 32:
    case 33: return "another program holds it";
    case 39:
    case 112: return "the disk is full";
    default: return "error " + std::to_string(error);
    }
}

std::string lower_ascii(std::string s) {
    for (char &c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

}  // namespace

std::string stw_page_path(const std::string &report, const std::string &folder) {
    const std::size_t slash = report.find_last_of("\\/");
    std::string name = slash == std::string::npos ? report : report.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    if (name.empty() || name == "." || name == "..") name = "station-report";
    std::string dir = folder;
    if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir += '\\';
    std::string page = dir + name + ".html";
    // Windows file names ignore case (ASCII is enough to tell a report
    // named *.html in the temporary folder).
    if (lower_ascii(page) == lower_ascii(report)) page = dir + name + "-page.html";
    return page;
}

std::string stw_line_page_path(const std::string &folder, int year, int month, int day) {
    char name[40];
    std::snprintf(name, sizeof name, "line-%04d-%02d-%02d.html", year, month, day);
    std::string dir = folder;
    if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir += '\\';
    return dir + name;
}

std::string stw_page_text(StwPageOutcome outcome, const std::string &report,
                          const std::string &page, unsigned long error) {
    const std::string why = error != 0 ? " (" + error_words(error) + ")" : "";
    switch (outcome) {
    case StwPageOutcome::kOpened: return "";
    case StwPageOutcome::kNoReport:
        return "There is no report to show: choose one with Change... first.";
    case StwPageOutcome::kNotFound:
        return "No units recorded yet: the report\n" + report + "\ndoes not exist.";
    case StwPageOutcome::kReadFailed: return "The report cannot be read" + why + ":\n" + report;
    case StwPageOutcome::kWriteFailed:
        return "The report page cannot be written" + why + ":\n" + page;
    case StwPageOutcome::kNoOpener:
        return "No program on this computer opens web pages. The report page was written "
               "to\n" + page;
    case StwPageOutcome::kOpenFailed:
        return "The report page could not be opened" + why + ". It was written to\n" + page;
    case StwPageOutcome::kDbUnreachable:
        return "The factory's database cannot be reached, so the line's page cannot be "
               "made:\n" + report;
    case StwPageOutcome::kDbFailed:
        return "The factory's database did not give the line's figures:\n" + report;
    }
    return "";
}
