// The words the station and the command line show: version texts, outcome
// names, the failure line, the JSON objects of a unit, and the totals.
// Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "stn_outcome.h"

// Firmware version text exactly as the main dialog shows it: "3.50",
// "3.50A", or "No firm" for 0xFFFFFFFF.
std::string stn_version_text(std::uint32_t version);
// Whether text is lo..hi characters (code points) of valid UTF-8 with no
// control character (C0, DEL, C1): a name a person typed or scanned, fit
// for a report line and a window.
bool stn_printable_text(const std::string &text, unsigned lo, unsigned hi);
// text made fit for a line and a window whoever wrote it: a control
// character becomes a blank, a byte that is not valid UTF-8 a '?', and it
// is cut after max characters.
std::string stn_printable_clip(const std::string &text, unsigned max);

// "updated", "current", "failed", "interrupted", "rejected".
const char *stn_outcome_name(StnOutcome outcome);
// "device 3 (serial 84600017)", or "device 3" before its serial is known.
std::string stn_device_name(unsigned index, const StnUnitResult &r);
// One line for people: "device 3 (serial 84600017): updated 3.40 -> 3.62
// (2210 ms)", or the failure in words.
std::string stn_result_text(const StnUnitResult &r);

// Who made a unit, for which order, where: carried by every start and
// unit line (empty texts as they are) and by update's result lines.
struct StnWho {
    std::string operator_name;  // "operator"
    std::string order;          // "order": the work order
    std::string station;        // "station": its name (the computer's by default)
};

// The JSON objects (one line each).
std::string stn_json_device(const StnDevice &d);
std::string stn_json_result(const StnUnitResult &r, const StnWho &who = StnWho());
// The station's unit line: also the time (UTC, ISO 8601), the unit's id
// (when it has one) and the image.
std::string stn_json_report(const StnUnitResult &r, const std::string &utc_time,
                            const std::string &image_sha256, const StnWho &who = StnWho());
// The station's start line, before a unit's first write; mes_unchecked:
// "mes":"unchecked" (written although the MES did not answer).
std::string stn_json_start(const StnDevice &d, std::uint64_t id, const std::string &utc_time,
                           const std::string &image_sha256, const StnWho &who = StnWho(),
                           bool mes_unchecked = false);
// The station's run line, when it opens (event "open"), when it stops
// ("stop") and when the computer's clock jumped ("clock"): the computer's
// name, its offset from UTC ("+01:00"; null when empty), the program's
// version and the work order ("" when none).
std::string stn_json_run(const char *event, const std::string &utc_time,
                         const std::string &station, const std::string &utc_offset,
                         const std::string &version, const std::string &order,
                         const std::string &was = std::string());
// minutes east of UTC as "+01:00", "-05:30".
std::string stn_utc_offset_text(int minutes_east);
// Running time for people: "3 h 05 min".
std::string stn_hours_text(std::uint64_t ms);

// One more unit of outcome, in whichever counters the caller keeps. A
// rejected unit is none of the station's failures.
template <class N>
void stn_count(StnOutcome outcome, N &updated, N &current, N &failed, N &interrupted,
               N &rejected) {
    // In the enum's order; anything else counts as failed.
    N *const by_outcome[] = {&updated, &current, &failed, &interrupted, &rejected};
    const auto i = static_cast<std::size_t>(outcome);
    ++*(i < sizeof by_outcome / sizeof by_outcome[0] ? by_outcome[i] : &failed);
}

// Counts of a run.
struct StnTotals {
    unsigned updated = 0, current = 0, failed = 0, interrupted = 0, rejected = 0;
    void count(StnOutcome outcome) {
        stn_count(outcome, updated, current, failed, interrupted, rejected);
    }
};
// "updated 3, current 1, failed 0" (", interrupted 2", ", rejected 1" when not 0)
std::string stn_totals_text(const StnTotals &t);

