// qvm_cli report FILE... [--json | --csv | --html FILE]: what station
// reports say, for the person who runs the line (StnTally over every line
// of the files; the figures do not depend on the files' order). It reads the files through CliIo::open_file a chunk at
// a time (its memory grows with the distinct serials, not with the lines)
// and never opens a device. Main thread.
#pragma once

#include <string>
#include <vector>

#include "cli_args.h"
#include "cli_run.h"
#include "stn_figures.h"
#include "stn_page.h"
#include "stn_tally.h"

// Prints the tally: aligned lines for people; with --json one "report"
// object; with --csv a header row and one row per unit line.
// Returns kCliExitOk, or kCliExitUsage when a file cannot be opened (then
// only the error is printed) or a read fails midway (the error follows
// what was printed).
int cli_report_command(const CliArgs &args, CliIo &io);

// Where a report's figures came from.
struct CliReportSource {
    // The files read, in order, with their chains (checked for the page).
    std::vector<StnPageFile> files;
    // Not empty: the database so described (its password left out); then
    // no files, and the figures that only files have are not written.
    std::string database;
};
// The lines the report's options keep: --station, --order, --from, --to.
StnFigureFilter cli_report_filter(const CliArgs &args);
// Writes figures as the report's options ask: aligned lines for people,
// one "report" JSON object (--json), the page (--html; --csv: nothing,
// the rows were written as read), and to standard error the lines
// skipped and the times not used. Returns kCliExitOk; kCliExitUsage when
// the page cannot be written; with --verify, kCliExitChainBroken when a
// file's chain does not hold.
int cli_report_write(const CliArgs &args, CliIo &io, const StnFigures &figures,
                     const CliReportSource &source);

// qvm_cli report --verify FILE...: each file's chain (stn_chain.h), one
// line per file ("FILE: chain intact: 12 lines", or where and how it
// breaks); with --json one "verify" object per file.
// Returns kCliExitOk when every chain holds, kCliExitChainBroken when one
// does not or a file is not chained, kCliExitUsage when a file cannot be
// read.
int cli_verify_command(const CliArgs &args, CliIo &io);

// text as one CSV field (RFC 4180): quoted when it holds a comma, a quote,
// CR or LF, with its quotes doubled. A text that begins with '=', '+', '-',
// '@', a tab or CR (a spreadsheet would take it for a formula) is quoted
// with a ' in front, so that it shows as text. Numbers are not passed
// through here.
std::string cli_csv_field(const std::string &text);

// The CSV's header row (without its CR), and one unit line as a row
// (attempt: its place among its serial's lines; 0: none).
extern const char kCliCsvHeader[];
std::string cli_csv_row(const StnReportLine &r, std::uint64_t attempt);
