// The command line of qvm_cli: its commands as a table over the options'
// table that both station programs share (stn_args.h); the parser and the
// --help text read the same rows, so a new option is one row and its usage
// cannot drift from what is accepted.
#include "cli_args.h"

#include <algorithm>
#include <cstring>

#include "stn_args.h"
#include "stn_deliver.h"
#include "stn_mes.h"

namespace {

constexpr unsigned bit(StnOpt o) { return stn_opt_bit(o); }

// Who, for which order, where: update and station carry them.
constexpr unsigned kWho = bit(kStnOptOperator) | bit(kStnOptOrder) | bit(kStnOptStationName);

struct CommandRow {
    const char *name;
    CliCommand command;
    unsigned options;      // bit(StnOpt) of each option it takes
    unsigned required;     // of those, the ones it needs
    const char *operands;  // what follows it as plain words ("FILE..."); nullptr: none
    const char *help;
};

const CommandRow kCommands[] = {
    {"list", CliCommand::kList, bit(kStnOptTimeout) | bit(kStnOptJson), 0, nullptr,
     "every device present: index, serial number, firmware, MCU version"},
    {"info", CliCommand::kInfo, bit(kStnOptJson), 0, nullptr,
     "this program's version, the image's version and the SHA-256 of the\n"
     "image window 0x4000..0x7FFF as written to a device"},
    {"update", CliCommand::kUpdate,
     bit(kStnOptDevice) | bit(kStnOptAll) | bit(kStnOptForce) | bit(kStnOptParallel) |
         bit(kStnOptTimeout) | kWho | bit(kStnOptJson),
     0,
     nullptr,
     "updates the chosen devices side by side (default: the first device\n"
     "found); a device that holds the image's version or a newer one is\n"
     "'current' and left alone unless --force is given"},
    {"station", CliCommand::kStation,
     bit(kStnOptReport) | bit(kStnOptForce) | bit(kStnOptParallel) | bit(kStnOptTimeout) |
         kWho | bit(kStnOptRequireOperator) | bit(kStnOptRequireOrder) | bit(kStnOptHaltAfter) |
         bit(kStnOptJson) | bit(kStnOptDatabase) | bit(kStnOptDatabaseRequired) |
         bit(kStnOptMes) | bit(kStnOptMesDown) | bit(kStnOptMesHeader),
     bit(kStnOptReport),
     nullptr,
     "waits for devices and updates each one that appears, once until it is\n"
     "unplugged. FILE gets a \"start\" line before a unit's first write and a\n"
     "\"unit\" line at its end, with the same \"id\"; a unit cut short by a\n"
     "crash is recorded as interrupted (\"recovered\":true) at the next start.\n"
     "Ctrl+C stops taking devices and lets running updates finish; a second\n"
     "Ctrl+C stops at once (those units are recorded as interrupted).\n"
     "With --halt-after N the line stops itself after N failures in a row\n"
     "(exit code 7). With a database, every line of FILE is delivered to it\n"
     "in order, on a thread of its own (FILE.dbcursor keeps how far); the\n"
     "station never waits for it. With an MES, each unit that needs writing\n"
     "is checked in first: one it refuses is not written (\"rejected\");\n"
     "each unit line is checked out to it once on the disk (FILE.mescursor)"},
    {"report", CliCommand::kReport,
     bit(kStnOptJson) | bit(kStnOptCsv) | bit(kStnOptVerify) | bit(kStnOptDatabase) |
         bit(kStnOptOrder) | bit(kStnOptHtml) | bit(kStnOptStation) | bit(kStnOptFrom) |
         bit(kStnOptTo),
     0,
     "FILE...",
     "what station reports say, for the person who runs the line: units by\n"
     "result, first-pass yield, failures by kind, units per hour, line stops,\n"
     "units and yield per work order and per station, and the serials not at\n"
     "the image; --order TEXT: only that order's units; --csv gives one row\n"
     "per unit (with operator, order, station and attempt). Opens no device.\n"
     "A serial's first pass is its earliest line by time in all FILEs.\n"
     "--station NAME (again for more), --from TIME, --to TIME: only those\n"
     "stations' lines, and the units, line stops and running time between.\n"
     "--database CS without --verify: the same figures, of every station\n"
     "(or those named) that delivered to the database; no FILE.\n"
     "--verify: each file's chain (exit 8 when one breaks or a file is not\n"
     "chained); with --database also the lines missing from the database, and\n"
     "rows it holds that the file lacks or holds changed.\n"
     "--html FILE: the same figures as a page with charts (yield and units per\n"
     "hour over time, failures by kind, stations, work orders) and each file's\n"
     "chain; one self-contained HTML file, in the stations' local time"},
    {"ship", CliCommand::kShip, bit(kStnOptDatabase) | bit(kStnOptTimeout) | bit(kStnOptJson),
     bit(kStnOptDatabase),
     "FILE...",
     "delivers reports made elsewhere (a station without network) to the\n"
     "database, every line once: prints how many were new and how many\n"
     "were there already"},
};

// Words that mean the same after any command: --help (or -h, /?) and
// --version.
const char *const kGlobals[] = {"--help", "-h", "/?", "--version", nullptr};

bool is_global(const std::string &word) {
    for (const char *const *g = kGlobals; *g != nullptr; ++g) {
        if (word == *g) return true;
    }
    return false;
}

const CommandRow *find_command(const std::string &a) {
    for (const CommandRow &c : kCommands) {
        if (a == c.name) return &c;
    }
    return nullptr;
}

std::string option_word(const StnOptRow &row) {
    return row.value == nullptr ? std::string(row.name) : std::string(row.name) + " " + row.value;
}

// A word of the command line as an error may show it: a connection string
// given where none is taken keeps its password unshown.
std::string shown(const std::string &word) { return stn_db_redact(word); }

// What is wrong, in qvm_cli's words.
std::string error_text(const StnArgError &e, const CommandRow &cmd) {
    const StnOptRow &row = stn_opt(e.opt);
    switch (e.kind) {
    case StnArgError::kUnknown:
        return "option '" + shown(e.word) + "' is not known to '" + cmd.name + "' (try --help)";
    case StnArgError::kUnexpected:
        return "unexpected argument '" + shown(e.word) + "' (try --help)";
    case StnArgError::kAfterDatabase:
        return e.opt == kStnOptDatabase
                   ? "unexpected argument after --database (not shown: it may hold a password); "
                     "quote the connection string"
                   : "unexpected argument after " + std::string(row.name) +
                         " (not shown: it may hold a secret); quote its value";
    case StnArgError::kEmptyOperand:
        return std::string(cmd.name) + ": an empty file name";
    case StnArgError::kExclusive:
        return std::string(stn_opt(e.other).name) + " and " + row.name + " exclude each other";
    case StnArgError::kTwice:
        return std::string(row.name) + " is given twice";
    case StnArgError::kFlagValue:
        return std::string(row.name) + " takes no value";
    case StnArgError::kBadValue:
        if (row.list) {
            return std::string(row.name) + ": '" + shown(e.word) + "' is not a device index from " +
                   std::to_string(row.lo) + " to " + std::to_string(row.hi);
        }
        break;
    default:
        break;
    }
    return std::string(row.name) + " needs " + row.needs;
}

// What the command needs and the line lacks; empty: nothing.
std::string missing_text(const CommandRow &cmd, const StnArgScan &scan) {
    for (unsigned o = 0; o < kStnOptCount; ++o) {
        const StnOpt opt = static_cast<StnOpt>(o);
        if ((cmd.required & bit(opt)) != 0 && (scan.seen & bit(opt)) == 0) {
            return std::string(cmd.name) + " needs " + option_word(stn_opt(opt));
        }
    }
    // A line that must know who runs it, or for which order, does not start without.
    const StnOpt needed[][2] = {{kStnOptRequireOperator, kStnOptOperator},
                                {kStnOptRequireOrder, kStnOptOrder}};
    for (const auto &n : needed) {
        if ((scan.seen & bit(n[0])) != 0 && (scan.seen & bit(n[1])) == 0) {
            return std::string(cmd.name) + " needs " + option_word(stn_opt(n[1])) +
                   " (" + stn_opt(n[0]).name + ")";
        }
    }
    // report --database reads the database, not files.
    const bool from_database = cmd.command == CliCommand::kReport &&
                               (scan.seen & bit(kStnOptDatabase)) != 0 &&
                               (scan.seen & bit(kStnOptVerify)) == 0;
    if (from_database) {
        return scan.operands.empty()
                   ? std::string()
                   : "report: --database reads no FILE (--verify compares FILE with it)";
    }
    if (cmd.operands != nullptr && scan.operands.empty()) {
        return std::string(cmd.name) + " needs " + cmd.operands;
    }
    return std::string();
}

// The flags and values the scan found, into args.
void take_values(const StnArgScan &scan, CliArgs *args) {
    args->json = (scan.seen & bit(kStnOptJson)) != 0;
    args->csv = (scan.seen & bit(kStnOptCsv)) != 0;
    args->force = (scan.seen & bit(kStnOptForce)) != 0;
    args->all = (scan.seen & bit(kStnOptAll)) != 0;
    for (const StnArgValue &v : scan.values) {
        switch (v.opt) {
        case kStnOptDevice:
            // In the order given, no repeats.
            if (std::find(args->devices.begin(), args->devices.end(), v.number) ==
                args->devices.end()) {
                args->devices.push_back(v.number);
            }
            break;
        case kStnOptReport: args->report = v.text; break;
        case kStnOptHtml: args->html = v.text; break;
        case kStnOptStation:
            if (std::find(args->stations.begin(), args->stations.end(), v.text) ==
                args->stations.end()) {
                args->stations.push_back(v.text);
            }
            break;
        case kStnOptFrom: args->from_ms = v.ms; break;
        case kStnOptTo: args->to_ms = v.ms; break;
        case kStnOptParallel: args->parallel = v.number; break;
        case kStnOptTimeout: args->timeout_s = v.number; break;
        case kStnOptOperator: args->who.operator_name = v.text; break;
        case kStnOptOrder: args->who.order = v.text; break;
        case kStnOptStationName: args->who.station = v.text; break;
        case kStnOptHaltAfter: args->halt_after = v.number; break;
        case kStnOptDatabase:
            args->database = v.text;
            args->database_given = true;
            break;
        case kStnOptMes:
            args->mes.url = v.text;
            args->mes_given = true;
            break;
        case kStnOptMesDown: args->mes_down_allow = v.text == "allow"; break;
        case kStnOptMesHeader: args->mes.headers.push_back(v.text); break;
        default: break;
        }
    }
}

}  // namespace

bool cli_parse_args(int argc, const char *const *argv, CliArgs *args, std::string *error) {
    *args = CliArgs();
    const std::vector<std::string> words(argv, argv + (argc > 0 ? argc : 0));
    const bool json_asked = std::find(words.begin(), words.end(), "--json") != words.end();
    const auto refuse = [&](const std::string &text) {
        *args = CliArgs();
        args->json = json_asked;
        *error = text;
        return false;
    };
    // --help and --version answer in JSON too when it was asked for.
    const auto global = [&](const std::string &word) {
        *args = CliArgs();
        args->command = word == "--version" ? CliCommand::kVersion : CliCommand::kHelp;
        args->json = json_asked;
        return true;
    };
    if (argc < 2) return refuse("no command given (try --help)");
    const std::string &first = words[1];
    if (first == "help" || is_global(first)) return global(first);
    const CommandRow *cmd = find_command(first);
    if (cmd == nullptr) return refuse("unknown command '" + shown(first) + "' (try --help)");

    StnArgRules rules;
    rules.options = cmd->options;
    rules.operands = cmd->operands != nullptr;
    rules.stop_words = kGlobals;
    StnArgScan scan;
    StnArgError problem;
    if (!stn_scan_args(words, 2, rules, &scan, &problem)) {
        return refuse(error_text(problem, *cmd));
    }
    if (scan.stop_word >= 0) return global(words[static_cast<std::size_t>(scan.stop_word)]);
    const std::string missing = missing_text(*cmd, scan);
    if (!missing.empty()) return refuse(missing);
    args->command = cmd->command;
    take_values(scan, args);
    args->database_required = (scan.seen & bit(kStnOptDatabaseRequired)) != 0;
    args->verify = (scan.seen & bit(kStnOptVerify)) != 0;
    args->files = scan.operands;
    if (args->verify && args->csv) return refuse("--verify and --csv exclude each other");
    if (!args->html.empty() && args->database_given && args->verify) {
        return refuse("report: --html and --verify --database exclude each other");
    }
    if (args->from_ms >= args->to_ms) return refuse("report: --from must be before --to");
    // The MES's URL and headers as given (the registry's URL is checked
    // when the station starts).
    std::string why;
    if (!stn_mes_config_ok(args->mes, &why)) return refuse(why);
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
    for (unsigned o = 0; o < kStnOptCount; ++o) {
        const StnOpt opt = static_cast<StnOpt>(o);
        if ((c.options & bit(opt)) == 0 || (shown & bit(opt)) != 0) continue;
        const StnOptRow &row = stn_opt(opt);
        shown |= bit(opt);
        if ((c.required & bit(opt)) != 0) {
            words.push_back(option_word(row));
            continue;
        }
        std::string w = "[" + option_word(row);
        if (row.excludes != kStnOptCount && (c.options & bit(row.excludes)) != 0) {
            w += "|" + option_word(stn_opt(row.excludes));
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
    for (unsigned o = 0; o < kStnOptCount; ++o) {
        const StnOptRow &row = stn_opt(static_cast<StnOpt>(o));
        std::string word = "  " + option_word(row);
        word.resize(std::max<std::size_t>(word.size() + 2, 24), ' ');
        add_lines(&u, row.help, word, std::string(word.size(), ' '));
    }
    u += "\nA value never starts with \"--\" (\"--report=--x\" names a file \"--x\").\n";
    u += "\nExit codes:\n"
         "  0  every chosen device holds the image's version (written now or current)\n"
         "  1  usage error, or a report file that cannot be read; nothing was sent\n"
         "     to any device\n"
         "  2  no device found, or a chosen device is not there or busy (another\n"
         "     program holds it); nothing was sent\n"
         "  3  at least one device failed (a missed deadline too); station: results\n"
         "     the report did not take are kept in a file of their own\n"
         "  4  interrupted (station: always, after Ctrl+C)\n"
         "  5  the embedded image is unusable\n"
         "  6  another station runs on this machine: nothing was sent; the message\n"
         "     names its report\n"
         "  7  station: the line stopped itself (--halt-after): N units in a row\n"
         "     failed; running units were recorded\n"
         "  8  report --verify: a report's chain is broken, or a report is not\n"
         "     chained (the line names where)\n"
         "A station that ends for several of these reasons exits with the first of\n"
         "3 (results kept aside), 7 (the line stopped itself), 4 (Ctrl+C).\n";
    return u;
}

}  // namespace

const char *cli_usage() {
    static const std::string usage = make_usage();
    return usage.c_str();
}
