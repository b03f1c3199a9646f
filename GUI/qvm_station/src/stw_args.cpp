#include "stw_args.h"

#include "stn_args.h"
#include "stn_deliver.h"
#include "stn_mes.h"

const char kStwUsage[] =
    "qvm_station.exe [--report FILE] [--timeout S] [--parallel K]\n"
    "    [--operator TEXT] [--order TEXT] [--station-name TEXT]\n"
    "    [--require-operator] [--require-order] [--halt-after N]\n"
    "    [--database CS] [--database-required]\n"
    "    [--mes URL] [--mes-down wait|allow] [--mes-header \"NAME: VALUE\"]...\n"
    "  --report FILE   the station report (default: Documents\\R846-QVM2K\\"
    "station-YYYY-MM-DD.jsonl)\n"
    "  --timeout S     deadline of one exchange with a device, 1..600 seconds (default 5)\n"
    "  --parallel K    most units written at once, 1..256 (default: no limit)\n"
    "  --operator TEXT, --order TEXT   what the Operator and Work order fields start with\n"
    "  --station-name TEXT   this station's name in the report (default: the computer's)\n"
    "  --require-operator, --require-order   Start waits until that field is filled\n"
    "  --halt-after N  stop the line after N units in a row failed, 0..1000 (default 5;\n"
    "                  0: never)\n"
    "  --database CS   the factory's database, an ODBC connection string (default:\n"
    "                  HKLM\\Software\\R846-QVM2K\\Station, value Database)\n"
    "  --database-required  no new unit while report lines have waited for the\n"
    "                  database longer than a minute\n"
    "  --mes URL       the factory's MES, asked before each unit is written (default:\n"
    "                  HKLM\\Software\\R846-QVM2K\\Station, value Mes)\n"
    "  --mes-down wait|allow  when the MES does not answer: the unit waits (default)\n"
    "                  or is written anyway, marked unchecked\n"
    "  --mes-header \"NAME: VALUE\"  a header for every request to the MES (its token)\n"
    "Texts: printable, 1 to 64 characters.";

namespace {

// What is wrong, in the window's words (shown in a message box). A word it
// shows keeps a connection string's password unshown.
std::string error_text(const StnArgError &e) {
    const StnOptRow &row = stn_opt(e.opt);
    const std::string name = e.opt < kStnOptCount ? row.name : "";
    switch (e.kind) {
    case StnArgError::kTwice: return name + " is given twice";
    case StnArgError::kFlagValue: return name + " takes no value";
    case StnArgError::kNoValue: return name + " needs a value";
    case StnArgError::kBadValue:
        if (!row.number) return name + " needs " + row.needs;
        return name + " wants " + (e.opt == kStnOptTimeout ? "whole seconds" : "a number") +
               " from " + std::to_string(row.lo) + " to " + std::to_string(row.hi) + ", not \"" +
               stn_db_redact(e.word) + "\"";
    case StnArgError::kAfterDatabase:
        if (e.opt != kStnOptDatabase) {
            return "unexpected argument after " + name +
                   " (not shown: it may hold a secret); quote its value";
        }
        return "unexpected argument after --database (not shown: it may hold a password); "
               "quote the connection string";
    default: return "unknown argument \"" + stn_db_redact(e.word) + "\"";
    }
}

}  // namespace

bool stw_parse_args(const std::vector<std::string> &args, StwArgs *out, std::string *error) {
    StnArgRules rules;
    rules.options = stn_opt_bit(kStnOptReport) | stn_opt_bit(kStnOptTimeout) |
                    stn_opt_bit(kStnOptParallel) | stn_opt_bit(kStnOptOperator) |
                    stn_opt_bit(kStnOptOrder) | stn_opt_bit(kStnOptStationName) |
                    stn_opt_bit(kStnOptRequireOperator) | stn_opt_bit(kStnOptRequireOrder) |
                    stn_opt_bit(kStnOptHaltAfter) | stn_opt_bit(kStnOptDatabase) |
                    stn_opt_bit(kStnOptDatabaseRequired) | stn_opt_bit(kStnOptMes) |
                    stn_opt_bit(kStnOptMesDown) | stn_opt_bit(kStnOptMesHeader);
    StnArgScan scan;
    StnArgError problem;
    if (!stn_scan_args(args, 0, rules, &scan, &problem)) {
        *error = error_text(problem);
        return false;
    }
    StwArgs a;
    for (const StnArgValue &v : scan.values) {
        switch (v.opt) {
        case kStnOptReport: a.report = v.text; break;
        case kStnOptTimeout: a.timeout_s = v.number; break;
        case kStnOptParallel: a.parallel = v.number; break;
        case kStnOptOperator: a.operator_name = v.text; break;
        case kStnOptOrder: a.order = v.text; break;
        case kStnOptStationName: a.station_name = v.text; break;
        case kStnOptHaltAfter: a.halt_after = v.number; break;
        case kStnOptDatabase:
            a.database = v.text;
            a.database_given = true;
            break;
        case kStnOptMes:
            a.mes.url = v.text;
            a.mes_given = true;
            break;
        case kStnOptMesDown: a.mes_down_allow = v.text == "allow"; break;
        case kStnOptMesHeader: a.mes.headers.push_back(v.text); break;
        default: break;
        }
    }
    // The URL and headers as given; the registry's URL is checked at Start.
    if (!stn_mes_config_ok(a.mes, error)) return false;
    a.require_operator = (scan.seen & stn_opt_bit(kStnOptRequireOperator)) != 0;
    a.require_order = (scan.seen & stn_opt_bit(kStnOptRequireOrder)) != 0;
    a.database_required = (scan.seen & stn_opt_bit(kStnOptDatabaseRequired)) != 0;
    *out = a;
    return true;
}
