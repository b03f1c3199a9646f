// The station window's command line, for a shortcut that IT sets up:
//   qvm_station.exe [--report FILE] [--timeout S] [--parallel K]
//                   [--operator TEXT] [--order TEXT] [--station-name TEXT]
//                   [--require-operator] [--require-order] [--halt-after N]
//                   [--database CS] [--database-required]
//                   [--mes URL] [--mes-down wait|allow] [--mes-header "N: V"]...
// Arguments arrive as UTF-8 (the shell converts the wide command line).
// The options are rows of the table qvm_cli reads too (stn_args.h), so
// "--timeout=5" and "--timeout 5" mean the same here as there, and a value
// never starts with "--". Pure; any thread.
#pragma once

#include <string>
#include <vector>

#include "stn_mes.h"

struct StwArgs {
    std::string report;     // UTF-8; empty: the dated file in Documents
    unsigned timeout_s = 5;  // deadline of one exchange, 1..600
    unsigned parallel = 0;  // most units written at once; 0: no cap
    std::string operator_name, order;  // what the fields start with
    std::string station_name;          // empty: the computer's name
    bool require_operator = false;     // Start waits until the field is filled
    bool require_order = false;
    unsigned halt_after = 5;           // failures in a row that stop the line; 0 never
    bool database_given = false;  // --database CS; else the machine's default
    std::string database;         // a secret: shown only through stn_db_redact
    bool database_required = false;
    // --mes URL (else the machine's default), --mes-header: secrets, shown
    // only through stn_mes_shown.
    bool mes_given = false;
    StnMesConfig mes;
    bool mes_down_allow = false;  // --mes-down allow
};

// args: without the program's name.
// Returns true   *out filled
//         false  *error says what is wrong, for a message box
bool stw_parse_args(const std::vector<std::string> &args, StwArgs *out, std::string *error);

// The usage text of the message box.
extern const char kStwUsage[];
