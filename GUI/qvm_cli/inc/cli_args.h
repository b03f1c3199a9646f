// The command line of qvm_cli: what to do and with which options. Pure; any
// thread.
#pragma once

#include <string>
#include <vector>

enum class CliCommand { kHelp, kList, kInfo, kUpdate, kStation };

struct CliArgs {
    CliCommand command = CliCommand::kHelp;
    bool json = false;
    bool force = false;
    bool all = false;
    unsigned parallel = 0;        // 0: no cap
    std::vector<unsigned> devices;  // --device N ..., in the order given, no repeats
    std::string report;           // station: --report FILE
    unsigned timeout_s = 5;       // --timeout: the deadline of one exchange, 1..600
};

// Parses argv[1..argc-1] into *args.
// Returns true   *args holds a valid request
//         false  *error says what is wrong, in words (usage error)
bool cli_parse_args(int argc, const char *const *argv, CliArgs *args, std::string *error);

// The --help text: every command, option and exit code.
const char *cli_usage();
