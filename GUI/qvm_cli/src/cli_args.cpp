#include "cli_args.h"

#include <algorithm>
#include <cstring>

namespace {

// A decimal number in [lo, hi] and nothing else.
bool parse_number(const char *text, unsigned lo, unsigned hi, unsigned *out) {
    if (text == nullptr || *text == '\0') return false;
    unsigned long v = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + static_cast<unsigned long>(*p - '0');
        if (v > hi) return false;
    }
    if (v < lo) return false;
    *out = static_cast<unsigned>(v);
    return true;
}

bool fail(std::string *error, const std::string &text) {
    *error = text;
    return false;
}

}  // namespace

bool cli_parse_args(int argc, const char *const *argv, CliArgs *args, std::string *error) {
    *args = CliArgs();
    if (argc < 2) return fail(error, "no command given (try --help)");
    const std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        args->command = CliCommand::kHelp;
        return true;
    }
    if (cmd == "list") args->command = CliCommand::kList;
    else if (cmd == "info") args->command = CliCommand::kInfo;
    else if (cmd == "update") args->command = CliCommand::kUpdate;
    else if (cmd == "station") args->command = CliCommand::kStation;
    else return fail(error, "unknown command '" + cmd + "' (try --help)");

    const bool updates = args->command == CliCommand::kUpdate || args->command == CliCommand::kStation;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            args->command = CliCommand::kHelp;
            return true;
        } else if (a == "--json") {
            args->json = true;
        } else if (a == "--force" && updates) {
            args->force = true;
        } else if (a == "--all" && args->command == CliCommand::kUpdate) {
            args->all = true;
        } else if (a == "--parallel" && updates) {
            if (i + 1 >= argc || !parse_number(argv[i + 1], 1, 256, &args->parallel)) {
                return fail(error, "--parallel needs a number from 1 to 256");
            }
            ++i;
        } else if (a == "--device" && args->command == CliCommand::kUpdate) {
            // One or more indices follow.
            int taken = 0;
            while (i + 1 < argc && argv[i + 1][0] != '-') {
                unsigned n = 0;
                if (!parse_number(argv[i + 1], 0, 255, &n)) {
                    return fail(error, std::string("--device: '") + argv[i + 1] +
                                           "' is not a device index from 0 to 255");
                }
                if (std::find(args->devices.begin(), args->devices.end(), n) == args->devices.end()) {
                    args->devices.push_back(n);
                }
                ++i;
                ++taken;
            }
            if (taken == 0) return fail(error, "--device needs at least one device index");
        } else if (a == "--report" && args->command == CliCommand::kStation) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') return fail(error, "--report needs a file name");
            args->report = argv[++i];
        } else {
            return fail(error, "option '" + a + "' is not known to '" + cmd + "' (try --help)");
        }
    }
    if (args->all && !args->devices.empty()) return fail(error, "--all and --device exclude each other");
    if (args->command == CliCommand::kStation && args->report.empty()) {
        return fail(error, "station needs --report FILE");
    }
    return true;
}

const char *cli_usage() {
    return "qvm_cli: update R846-QVM2K firmware from the command line.\n"
           "\n"
           "  qvm_cli list [--json]\n"
           "      every device present: index, serial number, firmware, MCU version\n"
           "  qvm_cli info [--json]\n"
           "      this program's version, the image's version and the SHA-256 of the\n"
           "      image window 0x4000..0x7FFF as written to a device\n"
           "  qvm_cli update [--device N ...|--all] [--force] [--parallel K] [--json]\n"
           "      updates the chosen devices side by side (default: the first device\n"
           "      found); a device that holds the image's version or a newer one is\n"
           "      'current' and left alone unless --force is given\n"
           "  qvm_cli station --report FILE [--parallel K] [--force] [--json]\n"
           "      waits for devices and updates each one that appears, once until it\n"
           "      is unplugged; one JSON line per unit is added to FILE. Ctrl+C stops\n"
           "      taking devices and lets running updates finish; a second Ctrl+C\n"
           "      stops at once (those units are recorded as interrupted)\n"
           "  qvm_cli --help\n"
           "\n"
           "Options:\n"
           "  --device N ...  device indices 0..255 (\\\\.\\R846_QVM2K_N)\n"
           "  --all           every device present\n"
           "  --force         write the image even to a current device\n"
           "  --parallel K    at most K devices at once (default: all)\n"
           "  --json          standard output carries only JSON Lines, one object per\n"
           "                  line with a \"type\": device, progress, result, summary,\n"
           "                  error; messages for people go to standard error\n"
           "  --report FILE   the station's record, one JSON line per unit\n"
           "\n"
           "Exit codes:\n"
           "  0  every chosen device holds the image's version (written now or current)\n"
           "  1  usage error; nothing was sent to any device\n"
           "  2  no device found, or a chosen device is not there\n"
           "  3  at least one device failed\n"
           "  4  interrupted (station: always, after Ctrl+C)\n"
           "  5  the embedded image is unusable\n";
}
