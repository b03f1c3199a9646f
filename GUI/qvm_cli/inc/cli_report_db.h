// qvm_cli report --database CS [--station NAME]... [--order TEXT] [--from
// TIME] [--to TIME] [--json | --csv | --html FILE]: the figures of every
// station that delivered to the database (or the ones named), computed
// where the rows are, written as the files' are (cli_report_write).
// Main thread.
#pragma once

#include "cli_args.h"
#include "cli_run.h"

// Returns what cli_report_write returns; kCliExitFailed (as `ship`) when
// the database cannot be reached.
int cli_report_database(const CliArgs &args, CliIo &io);
