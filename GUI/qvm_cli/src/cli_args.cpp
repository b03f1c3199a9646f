// The command line from two tables, commands and options, in the manner of
// git's parse-options: the parser and the --help text read the same rows,
// so a new option is one row and its usage cannot drift from what is
// accepted. A table rather than CLI11: the usage text stays exactly ours
// (Windows' "/?", exit codes, the report's lines), the rule that a value
// never starts with "--" is ours to state, parse errors are return values
// rather than exceptions, and the MinGW build compiles no large header.
#include "cli_args.h"

#include <algorithm>
#include <cstring>

namespace {

enum Opt : unsigned {
    kDevice, kAll, kReport, kForce, kParallel, kTimeout, kJson, kCsv,
    kDatabase, kDatabaseRequired, kVerify, kOptCount
};

constexpr unsigned bit(Opt o) { return 1u << o; }

struct OptionRow {
    const char *name;
    const char *value;    // what follows it in the usage ("K"); nullptr: a flag
    bool CliArgs::*flag;  // a flag's field, set when it is given; nullptr: a value
    Opt excludes;         // the option it cannot go with; kOptCount: none
    unsigned lo, hi;      // a number's range (value options that are numbers)
    const char *needs;    // what a missing or bad value should have been
    const char *help;     // lines of help, '\n' between them
};

// In the order the usage shows them.
const OptionRow kOptions[kOptCount] = {
    {"--device", "N ...", nullptr, kAll, 0, 255, "at least one device index from 0 to 255",
     "device indices 0..255 (\\\\.\\R846_QVM2K_N)"},
    {"--all", nullptr, &CliArgs::all, kDevice, 0, 0, nullptr, "every device present"},
    {"--report", "FILE", nullptr, kOptCount, 0, 0, "a file name",
     "the station's record (JSON Lines), kept across runs"},
    {"--force", nullptr, &CliArgs::force, kOptCount, 0, 0, nullptr, "write the image even to a current device"},
    {"--parallel", "K", nullptr, kOptCount, 1, 256, "a number from 1 to 256",
     "at most K devices at once (default: all)"},
    {"--timeout", "SECONDS", nullptr, kOptCount, 1, 600, "a number of seconds from 1 to 600",
     "the deadline of every exchange with a device, in\n"
     "seconds, 1..600 (default 5); a device that misses it\n"
     "fails (\"deadline\")"},
    {"--json", nullptr, &CliArgs::json, kCsv, 0, 0, nullptr,
     "standard output carries only JSON Lines, one object\n"
     "per line with a \"type\": device, info, progress,\n"
     "result, summary, report, error; messages for people\n"
     "go to standard error"},
    {"--csv", nullptr, &CliArgs::csv, kJson, 0, 0, nullptr,
     "report: a header row, then one row per unit line"},
    {"--database", "CS", nullptr, kOptCount, 0, 0, "an ODBC connection string",
     "the factory's database (ODBC connection string); station:\n"
     "default HKLM\\Software\\R846-QVM2K\\Station value Database.\n"
     "Its password (PWD=, Password=) is never shown"},
    {"--database-required", nullptr, &CliArgs::database_required, kOptCount, 0, 0, nullptr,
     "station: take no new unit while report lines have\n"
     "waited for the database longer than a minute"},
    {"--verify", nullptr, &CliArgs::verify, kOptCount, 0, 0, nullptr,
     "report: compare each file's lines with the rows the\n"
     "database (--database) holds for that report"},
};

struct CommandRow {
    const char *name;
    CliCommand command;
    unsigned options;      // bit(Opt) of each option it takes
    unsigned required;     // of those, the ones it needs
    const char *operands;  // what follows it as plain words ("FILE..."); nullptr: none
    const char *help;
};

const CommandRow kCommands[] = {
    {"list", CliCommand::kList, bit(kTimeout) | bit(kJson), 0, nullptr,
     "every device present: index, serial number, firmware, MCU version"},
    {"info", CliCommand::kInfo, bit(kJson), 0, nullptr,
     "this program's version, the image's version and the SHA-256 of the\n"
     "image window 0x4000..0x7FFF as written to a device"},
    {"update", CliCommand::kUpdate,
     bit(kDevice) | bit(kAll) | bit(kForce) | bit(kParallel) | bit(kTimeout) | bit(kJson), 0,
     nullptr,
     "updates the chosen devices side by side (default: the first device\n"
     "found); a device that holds the image's version or a newer one is\n"
     "'current' and left alone unless --force is given"},
    {"station", CliCommand::kStation,
     bit(kReport) | bit(kForce) | bit(kParallel) | bit(kTimeout) | bit(kJson) | bit(kDatabase) |
         bit(kDatabaseRequired),
     bit(kReport),
     nullptr,
     "waits for devices and updates each one that appears, once until it is\n"
     "unplugged. FILE gets a \"start\" line before a unit's first write and a\n"
     "\"unit\" line at its end, with the same \"id\"; a unit cut short by a\n"
     "crash is recorded as interrupted (\"recovered\":true) at the next start.\n"
     "Ctrl+C stops taking devices and lets running updates finish; a second\n"
     "Ctrl+C stops at once (those units are recorded as interrupted).\n"
     "With a database, every line of FILE is delivered to it in order, on a\n"
     "thread of its own (FILE.dbcursor keeps how far); the station never\n"
     "waits for it"},
    {"report", CliCommand::kReport, bit(kJson) | bit(kCsv) | bit(kVerify) | bit(kDatabase), 0,
     "FILE...",
     "what station reports say, for the person who runs the line: units by\n"
     "result, first-pass yield, failures by kind, units per hour and the\n"
     "serials not at the image; --csv gives one row per unit. Opens no device.\n"
     "--verify --database: lines missing from the database, and rows it holds\n"
     "that the file lacks or holds changed"},
    {"ship", CliCommand::kShip, bit(kDatabase) | bit(kTimeout) | bit(kJson), bit(kDatabase),
     "FILE...",
     "delivers reports made elsewhere (a station without network) to the\n"
     "database, every line once: prints how many were new and how many\n"
     "were there already"},
};

// Words that mean the same after any command.
struct GlobalRow {
    const char *name;
    CliCommand command;
};
const GlobalRow kGlobals[] = {
    {"--help", CliCommand::kHelp},
    {"-h", CliCommand::kHelp},
    {"/?", CliCommand::kHelp},
    {"--version", CliCommand::kVersion},
};

const GlobalRow *find_global(const std::string &a) {
    for (const GlobalRow &g : kGlobals) {
        if (a == g.name) return &g;
    }
    return nullptr;
}

const CommandRow *find_command(const std::string &a) {
    for (const CommandRow &c : kCommands) {
        if (a == c.name) return &c;
    }
    return nullptr;
}

int find_option(const std::string &name) {
    for (unsigned o = 0; o < kOptCount; ++o) {
        if (name == kOptions[o].name) return static_cast<int>(o);
    }
    return -1;
}

bool starts_with(const std::string &s, const char *prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// A decimal number in [lo, hi] and nothing else.
bool parse_number(const std::string &text, unsigned lo, unsigned hi, unsigned *out) {
    if (text.empty()) return false;
    unsigned long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned long>(c - '0');
        if (v > hi) return false;
    }
    if (v < lo) return false;
    *out = static_cast<unsigned>(v);
    return true;
}

std::string option_word(const OptionRow &row) {
    return row.value == nullptr ? std::string(row.name) : std::string(row.name) + " " + row.value;
}

bool fail(std::string *error, const std::string &text) {
    *error = text;
    return false;
}

// Stores one value of option o.
bool take_value(Opt o, const std::string &value, CliArgs *args, std::string *error) {
    const OptionRow &row = kOptions[o];
    unsigned n = 0;
    switch (o) {
    case kReport:
        if (value.empty()) break;
        args->report = value;
        return true;
    case kDatabase:
        if (value.empty()) break;
        args->database = value;
        args->database_given = true;
        return true;
    case kDevice:
        if (!parse_number(value, row.lo, row.hi, &n)) {
            return fail(error, std::string(row.name) + ": '" + value +
                                   "' is not a device index from 0 to 255");
        }
        if (std::find(args->devices.begin(), args->devices.end(), n) == args->devices.end()) {
            args->devices.push_back(n);
        }
        return true;
    case kParallel:
        if (!parse_number(value, row.lo, row.hi, &args->parallel)) break;
        return true;
    case kTimeout:
        if (!parse_number(value, row.lo, row.hi, &args->timeout_s)) break;
        return true;
    default:
        break;
    }
    return fail(error, std::string(row.name) + " needs " + row.needs);
}

}  // namespace

bool cli_parse_args(int argc, const char *const *argv, CliArgs *args, std::string *error) {
    *args = CliArgs();
    bool json_asked = false;
    for (int i = 1; i < argc; ++i) json_asked = json_asked || std::strcmp(argv[i], "--json") == 0;
    const auto refuse = [&](const std::string &text) {
        *args = CliArgs();
        args->json = json_asked;
        return fail(error, text);
    };
    if (argc < 2) return refuse("no command given (try --help)");
    const std::string first = argv[1];
    if (const GlobalRow *g = find_global(first)) {
        args->command = g->command;
        return true;
    }
    if (first == "help") {
        args->command = CliCommand::kHelp;
        return true;
    }
    const CommandRow *cmd = find_command(first);
    if (cmd == nullptr) return refuse("unknown command '" + first + "' (try --help)");
    args->command = cmd->command;

    unsigned seen = 0;
    bool operands_only = false;  // after "--"
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (!operands_only) {
            if (const GlobalRow *g = find_global(a)) {
                *args = CliArgs();
                args->command = g->command;
                return true;
            }
            if (a == "--" && cmd->operands != nullptr) {
                operands_only = true;
                continue;
            }
        }
        if (operands_only || a.empty() || a[0] != '-') {
            if (cmd->operands == nullptr) {
                return refuse("unexpected argument '" + a + "' (try --help)");
            }
            if (a.empty()) return refuse(std::string(cmd->name) + ": an empty file name");
            args->files.push_back(a);
            continue;
        }
        // --name or --name=value
        const std::size_t eq = starts_with(a, "--") ? a.find('=') : std::string::npos;
        const std::string name = a.substr(0, eq);
        const int found = find_option(name);
        if (found < 0 || (cmd->options & bit(static_cast<Opt>(found))) == 0) {
            return refuse("option '" + name + "' is not known to '" + cmd->name + "' (try --help)");
        }
        const Opt o = static_cast<Opt>(found);
        const OptionRow &row = kOptions[o];
        if (row.excludes != kOptCount && (seen & bit(row.excludes)) != 0) {
            return refuse(std::string(kOptions[row.excludes].name) + " and " + row.name +
                          " exclude each other");
        }
        const bool again = (seen & bit(o)) != 0;
        seen |= bit(o);
        if (row.value == nullptr) {
            if (eq != std::string::npos) return refuse(std::string(row.name) + " takes no value");
            args->*row.flag = true;
            continue;
        }
        const bool list = o == kDevice;  // --device N ...: it alone may be given again
        if (!list && again) return refuse(std::string(row.name) + " is given twice");
        // A value never starts with "--": "--report --json" lacks its file
        // rather than naming one "--json" ("--report=--json" does name it).
        std::vector<std::string> values;
        if (eq != std::string::npos) values.push_back(a.substr(eq + 1));
        while (i + 1 < argc && (values.empty() || list)) {
            const char *next = argv[i + 1];
            if (std::strncmp(next, "--", 2) == 0 || (list && next[0] == '-')) break;
            values.push_back(next);
            ++i;
        }
        if (values.empty()) return refuse(std::string(row.name) + " needs " + row.needs);
        std::string problem;
        for (const std::string &v : values) {
            if (!take_value(o, v, args, &problem)) return refuse(problem);
        }
    }
    for (unsigned o = 0; o < kOptCount; ++o) {
        const Opt opt = static_cast<Opt>(o);
        if ((cmd->required & bit(opt)) != 0 && (seen & bit(opt)) == 0) {
            return refuse(std::string(cmd->name) + " needs " + option_word(kOptions[o]));
        }
    }
    if (cmd->operands != nullptr && args->files.empty()) {
        return refuse(std::string(cmd->name) + " needs " + cmd->operands);
    }
    if (args->command == CliCommand::kReport && args->verify != args->database_given) {
        return refuse("report: --verify and --database go together");
    }
    if (args->verify && args->csv) return refuse("--verify and --csv exclude each other");
    return true;
}

namespace {

// Each line of text: the first after first, the others after more.
void add_lines(std::string *out, const char *text, const std::string &first,
               const std::string &more) {
    const char *p = text;
    for (const std::string *indent = &first;; indent = &more) {
        const char *end = std::strchr(p, '\n');
        *out += *indent;
        out->append(p, end == nullptr ? std::strlen(p) : static_cast<std::size_t>(end - p));
        *out += '\n';
        if (end == nullptr) return;
        p = end + 1;
    }
}

// "qvm_cli update [--device N ...|--all] [--force] ...", wrapped under
// its first word at 78 columns.
std::string synopsis(const CommandRow &c) {
    std::vector<std::string> words;
    if (c.operands != nullptr) words.push_back(c.operands);
    unsigned shown = 0;
    for (unsigned o = 0; o < kOptCount; ++o) {
        const Opt opt = static_cast<Opt>(o);
        if ((c.options & bit(opt)) == 0 || (shown & bit(opt)) != 0) continue;
        const OptionRow &row = kOptions[o];
        shown |= bit(opt);
        if ((c.required & bit(opt)) != 0) {
            words.push_back(option_word(row));
            continue;
        }
        std::string w = "[" + option_word(row);
        if (row.excludes != kOptCount && (c.options & bit(row.excludes)) != 0) {
            w += "|" + option_word(kOptions[row.excludes]);
            shown |= bit(row.excludes);
        }
        words.push_back(w + "]");
    }
    const std::string head = std::string("  qvm_cli ") + c.name;
    std::string s = head;
    std::size_t line_start = 0;
    for (const std::string &w : words) {
        if (s.size() - line_start + 1 + w.size() > 78) {
            s += "\n";
            line_start = s.size();
            s += std::string(head.size(), ' ');
        }
        s += " " + w;
    }
    return s;
}

std::string make_usage() {
    std::string u = "qvm_cli: update R846-QVM2K firmware from the command line.\n\n";
    for (const CommandRow &c : kCommands) {
        u += synopsis(c) + "\n";
        add_lines(&u, c.help, "      ", "      ");
    }
    u += "  qvm_cli --help (or -h, /?)\n      this text\n";
    u += "  qvm_cli --version\n      the program's version\n";
    u += "\nOptions:\n";
    for (const OptionRow &row : kOptions) {
        std::string word = "  " + option_word(row);
        word.resize(std::max<std::size_t>(word.size() + 2, 22), ' ');
        add_lines(&u, row.help, word, std::string(word.size(), ' '));
    }
    u += "\nA value never starts with \"--\" (\"--report=--x\" names a file \"--x\").\n";
    u += "\nExit codes:\n"
         "  0  every chosen device holds the image's version (written now or current)\n"
         "  1  usage error, or a report file that cannot be read; nothing was sent\n"
         "     to any device\n"
         "  2  no device found, or a chosen device is not there\n"
         "  3  at least one device failed (a missed deadline too)\n"
         "  4  interrupted (station: always, after Ctrl+C)\n"
         "  5  the embedded image is unusable\n"
         "  6  another station runs on this machine: nothing was sent; the message\n"
         "     names its report\n";
    return u;
}

}  // namespace

const char *cli_usage() {
    static const std::string usage = make_usage();
    return usage.c_str();
}
