// qvm_cli's exit codes (a documented contract) and the JSON lines that carry
// them. Pure; any thread.
#pragma once

#include <string>

#include "stn_text.h"

// Exit codes (a documented contract).
constexpr int kCliExitOk = 0;          // every chosen device holds the image's version
constexpr int kCliExitUsage = 1;       // usage error; nothing sent
constexpr int kCliExitNoDevice = 2;    // no device, or a chosen one is not there or busy
constexpr int kCliExitFailed = 3;      // at least one device failed
constexpr int kCliExitInterrupted = 4; // interrupted
constexpr int kCliExitNoImage = 5;     // the embedded image is unusable
constexpr int kCliExitStation = 6;     // a station runs on this machine; nothing sent
constexpr int kCliExitHalted = 7;      // station: the line stopped itself (--halt-after)
constexpr int kCliExitChainBroken = 8; // report --verify: a chain is broken, or a file is not chained

// The exit code of an update run over these outcomes: interrupted beats
// failed beats success.
int cli_exit_code(const StnTotals &t);

// The exit code of a station that has ended (it ends only when stopped,
// halted or cut short): lines kept in the spill because the report did not
// take them (kCliExitFailed) beat a halt (kCliExitHalted), which beats a
// stop by Ctrl+C or the console (kCliExitInterrupted).
int cli_station_exit_code(bool spilled, bool halted);

std::string cli_json_error(const std::string &message, int exit_code);
std::string cli_json_summary(const StnTotals &t, int exit_code);
