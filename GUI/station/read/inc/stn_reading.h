// Reading whole reports for `qvm_cli report` and the line manager's page:
// each file a chunk at a time, every line into one StnTally, and, when
// asked, each file's chain checked in the same pass. Memory grows with the
// distinct serials and the span of time, never with the lines. Pure; one
// thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "stn_lines.h"
#include "stn_tally.h"

// One file's chain, as `report --verify` says it.
struct StnChainStatus {
    bool checked = false;  // false: not asked for
    bool intact = false;
    std::uint64_t lines = 0;
    std::string verdict;   // "chain intact: 12 lines", ...
};

class StnReading {
public:
    struct Options {
        bool chain = false;  // check each file's chain
        bool tally = true;   // false: only the chain
        // Which lines count (StnTally::filter).
        StnFigureFilter filter;
        // The reader's clock, UTC as the report's times
        // (StnTally::set_now); empty: none.
        std::string now;
        // Called for each unit line that counts, after it was added to
        // the tally (tally.attempt is its attempt); may be empty.
        std::function<void(const StnReportLine &, const StnTally &)> on_unit;
    };
    explicit StnReading(Options options);

    // Reads one file to its end, as one report: its identity is the
    // SHA-256 of its first line (stn_figures.h). A last line without its line end (torn,
    // or still being written) and a line longer than any record are
    // skipped and counted. False when a read failed: the tally then holds
    // the lines before it.
    bool read(StnByteSource *source, StnChainStatus *chain);

    StnTally tally;

private:
    Options options_;
};
