// The command line of qvm_cli: what to do and with which options. Every
// command is one row of a table here and every option one row of the table
// both station programs share (stn_args.h); the parser and the --help text
// are made from them. Pure; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stn_mes.h"
#include "stn_text.h"

enum class CliCommand { kHelp, kVersion, kList, kInfo, kUpdate, kStation, kReport, kShip };

struct CliArgs {
    CliCommand command = CliCommand::kHelp;
    bool json = false;            // also for kHelp and kVersion: answer in one JSON line
    bool csv = false;             // report: --csv
    bool force = false;
    bool all = false;
    unsigned parallel = 0;        // 0: no cap
    unsigned timeout_s = 5;       // --timeout: the deadline of every exchange, 1..600
    std::vector<unsigned> devices;  // --device N ..., in the order given, no repeats
    std::string report;           // station: --report FILE
    std::vector<std::string> files;  // report, ship: FILE..., in the order given
    // update, station: --operator, --order, --station-name (the station
    // empty when not given: the computer's name then).
    StnWho who;
    unsigned halt_after = 0;      // station: --halt-after; 0 never
    bool database_given = false;  // --database CS (station, ship, report)
    std::string database;         // its connection string (a secret: see stn_db_redact)
    bool database_required = false;  // station: --database-required
    // station: --mes URL (else the machine's default), --mes-header (each
    // "Name: value"): secrets, shown only through stn_mes_shown.
    bool mes_given = false;
    StnMesConfig mes;
    bool mes_down_allow = false;     // station: --mes-down allow
    bool verify = false;          // report: --verify
    std::string html;             // report: --html FILE; empty: none
    // report: --station NAME (each once, in the order given), --from and
    // --to TIME as UTC ms since 1970 (none: INT64_MIN, INT64_MAX).
    std::vector<std::string> stations;
    std::int64_t from_ms = INT64_MIN, to_ms = INT64_MAX;
};

// Parses argv[1..argc-1] (UTF-8) into *args.
// Returns true   *args holds a valid request
//         false  *error says what is wrong, in words (usage error); even
//                then args->json says whether --json was asked for, so
//                that the error can go out as one JSON line
bool cli_parse_args(int argc, const char *const *argv, CliArgs *args, std::string *error);

// The --help text: every command, option and exit code.
const char *cli_usage();
