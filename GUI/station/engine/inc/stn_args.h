// The command-line options of both station programs, qvm_cli and
// qvm_station.exe, as one table, and the scanner that reads argument words
// against it, in the manner of git's parse-options: each program's parser
// and usage read the same rows, so an option's name, value and range are
// written once and cannot drift between the two. The scanner says what is
// wrong; each program puts that in its own words. A table rather than
// CLI11: usage texts stay exactly ours (Windows' "/?", exit codes), the
// rule that a value never starts with "--" is ours to state, errors are
// return values rather than exceptions, and the MinGW build compiles no
// large header. Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Every option either program takes, in the order qvm_cli's usage shows them.
enum StnOpt : unsigned {
    kStnOptDevice,
    kStnOptAll,
    kStnOptReport,
    kStnOptForce,
    kStnOptParallel,
    kStnOptTimeout,
    kStnOptOperator,
    kStnOptOrder,
    kStnOptStationName,
    kStnOptRequireOperator,
    kStnOptRequireOrder,
    kStnOptHaltAfter,
    kStnOptJson,
    kStnOptCsv,
    kStnOptDatabase,
    kStnOptDatabaseRequired,
    kStnOptVerify,
    kStnOptHtml,
    kStnOptStation,
    kStnOptFrom,
    kStnOptTo,
    kStnOptMes,
    kStnOptMesDown,
    kStnOptMesHeader,
    kStnOptCount
};
constexpr unsigned stn_opt_bit(StnOpt o) { return 1u << o; }

struct StnOptRow {
    const char *name;   // "--timeout"
    const char *value;  // what follows it in a usage ("SECONDS"); nullptr: a flag
    // number: its value is a whole number in lo..hi. Text: when hi is not
    // 0, printable text of lo..hi characters (stn_printable_text), else any
    // text but empty (a file name).
    bool number;
    unsigned lo, hi;
    bool list;          // takes several values ("N ...") and may be given again
    StnOpt excludes;    // the option it cannot go with; kStnOptCount: none
    const char *needs;  // what a missing or bad value should have been
    const char *help;   // qvm_cli's lines of help, '\n' between them
};
const StnOptRow &stn_opt(StnOpt o);

// A decimal number in lo..hi and nothing else (no sign, no blank).
bool stn_parse_number(const std::string &text, unsigned lo, unsigned hi, unsigned *out);

// What one program (or one of qvm_cli's commands) accepts.
struct StnArgRules {
    unsigned options = 0;    // stn_opt_bit of each option it takes
    bool operands = false;   // plain words are operands; "--" makes every later word one
    // Words that end the scan where they stand as an option would
    // (qvm_cli's "--help"); null-terminated, or null for none.
    const char *const *stop_words = nullptr;
};

struct StnArgValue {
    StnOpt opt = kStnOptCount;
    std::string text;     // as given
    unsigned number = 0;  // a number option's value
    std::int64_t ms = 0;  // --from, --to: UTC ms since 1970
};

struct StnArgScan {
    unsigned seen = 0;                // stn_opt_bit of each option given
    std::vector<StnArgValue> values;  // every value, in the order given
    std::vector<std::string> operands;
    int stop_word = -1;               // the index of the stop word met; -1: none
};

struct StnArgError {
    enum Kind {
        kNone,
        kUnknown,       // word: an option these rules do not take (the name before '=')
        kUnexpected,    // word: a plain word where no operands are taken
        kEmptyOperand,  // an empty word as an operand
        kExclusive,     // opt was given after other, which it excludes
        kTwice,         // opt, which is no list, was given again
        kFlagValue,     // opt, a flag, was given "=value"
        kNoValue,       // opt lacks its value (a value never starts with "--")
        kBadValue,      // word: a value opt does not take
        // A word after the value of --database, --mes or --mes-header (opt)
        // that names no option: the shell split an unquoted value ("{PostgreSQL
        // Unicode}", a password with a blank, "Authorization: Bearer x").
        // word stays empty: it may hold a secret.
        kAfterDatabase,
    };
    Kind kind = kNone;
    StnOpt opt = kStnOptCount, other = kStnOptCount;
    std::string word;
};

// Reads words[from..] against rules: "--name value", "--name=value" (the
// only way to give a value that starts with "--"), a list option's values
// up to the next word that starts with '-', flags, operands. The word after
// the value of --database, --mes or --mes-header (which may hold secrets)
// must name an option, be "--" or a stop word (operands go before them, or
// after "--"). --mes-header and --station may be given again (one value
// each time); --mes-down takes "wait" or "allow"; --from and --to a time
// (stn_utc_bound_ms).
// Returns true   *scan holds what was given (up to a stop word)
//         false  *error says what is wrong; *scan holds what came before
bool stn_scan_args(const std::vector<std::string> &words, std::size_t from,
                   const StnArgRules &rules, StnArgScan *scan, StnArgError *error);
