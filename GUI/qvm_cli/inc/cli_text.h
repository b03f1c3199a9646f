// The words and numbers qvm_cli prints: version texts, outcome names, the
// failure line, the JSON objects, and the exit code of a run. Pure; any
// thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli_unit.h"

// Exit codes (a documented contract).
constexpr int kCliExitOk = 0;          // every chosen device holds the image's version
constexpr int kCliExitUsage = 1;       // usage error; nothing sent
constexpr int kCliExitNoDevice = 2;    // no device, or a chosen one is not there
constexpr int kCliExitFailed = 3;      // at least one device failed
constexpr int kCliExitInterrupted = 4; // interrupted
constexpr int kCliExitNoImage = 5;     // the embedded image is unusable

// Firmware version text exactly as the main dialog shows it: "3.50",
// "3.50A", or "No firm" for 0xFFFFFFFF.
std::string cli_version_text(std::uint32_t version);
// "updated", "current", "failed", "interrupted".
const char *cli_outcome_name(CliOutcome outcome);
// "device 3 (serial 84600017)", or "device 3" before its serial is known.
std::string cli_device_name(unsigned index, const CliUnitResult &r);
// One line for people: "device 3 (serial 84600017): updated 3.40 -> 3.62
// (2210 ms)", or the failure in words.
std::string cli_result_text(const CliUnitResult &r);

// The JSON objects (one line each).
std::string cli_json_device(const CliDevice &d);
std::string cli_json_result(const CliUnitResult &r);
// The station's report line: also the time (UTC, ISO 8601) and the image.
std::string cli_json_report(const CliUnitResult &r, const std::string &utc_time,
                            const std::string &image_sha256);
std::string cli_json_error(const std::string &message, int exit_code);

// Counts of a run.
struct CliTotals {
    unsigned updated = 0, current = 0, failed = 0, interrupted = 0;
    void count(CliOutcome outcome);
};
std::string cli_json_summary(const CliTotals &t, int exit_code);
// "updated 3, current 1, failed 0"
std::string cli_totals_text(const CliTotals &t);

// The exit code of an update run over these outcomes: interrupted beats
// failed beats success.
int cli_exit_code(const CliTotals &t);
