#include "stw_args.h"

const char kStwUsage[] =
    "qvm_station.exe [--report FILE] [--timeout S] [--parallel K] [--database CS]\n"
    "                [--database-required]\n"
    "  --report FILE   the station report (default: Documents\\R846-QVM2K\\"
    "station-YYYY-MM-DD.jsonl)\n"
    "  --timeout S     deadline of one exchange with a device, 1..600 seconds (default 5)\n"
    "  --parallel K    most units written at once, 1..256 (default: no limit)\n"
    "  --database CS   the factory's database, an ODBC connection string (default:\n"
    "                  HKLM\\Software\\R846-QVM2K\\Station, value Database)\n"
    "  --database-required  no new unit while report lines have waited for the\n"
    "                  database longer than a minute";

namespace {

// A whole decimal number in lo..hi.
bool number(const std::string &text, unsigned lo, unsigned hi, unsigned *out) {
    if (text.empty() || text.size() > 4) return false;
    unsigned v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v < lo || v > hi) return false;
    *out = v;
    return true;
}

}  // namespace

bool stw_parse_args(const std::vector<std::string> &args, StwArgs *out, std::string *error) {
    StwArgs a;
    bool seen_report = false, seen_timeout = false, seen_parallel = false;
    bool seen_database = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &opt = args[i];
        if (opt == "--database-required") {
            if (a.database_required) {
                *error = opt + " is given twice";
                return false;
            }
            a.database_required = true;
            continue;
        }
        bool *seen = opt == "--report"     ? &seen_report
                     : opt == "--timeout"  ? &seen_timeout
                     : opt == "--parallel" ? &seen_parallel
                     : opt == "--database" ? &seen_database
                                           : nullptr;
        if (seen == nullptr) {
            *error = "unknown argument \"" + opt + "\"";
            return false;
        }
        if (*seen) {
            *error = opt + " is given twice";
            return false;
        }
        *seen = true;
        if (i + 1 >= args.size()) {
            *error = opt + " needs a value";
            return false;
        }
        const std::string &v = args[++i];
        if (opt == "--report") {
            if (v.empty()) {
                *error = "--report needs a file name";
                return false;
            }
            a.report = v;
        } else if (opt == "--database") {
            if (v.empty()) {
                *error = "--database needs an ODBC connection string";
                return false;
            }
            a.database = v;
            a.database_given = true;
        } else if (opt == "--timeout") {
            if (!number(v, 1, 600, &a.timeout_s)) {
                *error = "--timeout wants whole seconds from 1 to 600, not \"" + v + "\"";
                return false;
            }
        } else if (!number(v, 1, 256, &a.parallel)) {
            *error = "--parallel wants a number from 1 to 256, not \"" + v + "\"";
            return false;
        }
    }
    *out = a;
    return true;
}
