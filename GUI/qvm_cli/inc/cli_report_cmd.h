// qvm_cli report FILE... [--json | --csv]: what station reports say, for
// the person who runs the line (StnTally over every line of the files, in
// the order given). It reads the files through CliIo::open_file a chunk at
// a time (its memory grows with the distinct serials, not with the lines)
// and never opens a device. Main thread.
#pragma once

#include <string>

#include "cli_args.h"
#include "cli_run.h"

// Prints the tally: aligned lines for people; with --json one "report"
// object; with --csv a header row and one row per unit line.
// Returns kCliExitOk, or kCliExitUsage when a file cannot be opened (then
// only the error is printed) or a read fails midway (the error follows
// what was printed).
int cli_report_command(const CliArgs &args, CliIo &io);

// text as one CSV field (RFC 4180): quoted when it holds a comma, a quote,
// CR or LF, with its quotes doubled. A text that begins with '=', '+', '-',
// '@', a tab or CR (a spreadsheet would take it for a formula) is quoted
// with a ' in front, so that it shows as text. Numbers are not passed
// through here.
std::string cli_csv_field(const std::string &text);
