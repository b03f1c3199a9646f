// The line manager's page: one self-contained HTML file (styles inline,
// charts as inline SVG, no script, nothing fetched from anywhere) of what
// a tally of one or more reports says: the headline figures and each
// file's chain, first-pass yield and units per hour over time, failures by
// kind, units and yield per station and per work order, the serials not at
// the image, the files read and the lines skipped. Every chart has its
// figures beside it in a table. Every figure also stands in a data-value
// attribute, as `report --json` writes it, named by data-figure (and the
// row's data-group and data-name), so that a program can read the page.
// Times are local to the station (the first "run" line's UTC offset; UTC
// when there is none), and the page says which. The page stays small
// however long the history: charts are aggregated, the serials listed are
// capped with a count of the rest. Pure; any thread.
#pragma once

#include <string>
#include <vector>

#include "stn_reading.h"
#include "stn_tally.h"

struct StnPageFile {
    std::string name;      // as given (a path)
    StnChainStatus chain;  // chain.checked false: not checked
};

struct StnPageInput {
    const StnTally *tally = nullptr;
    std::vector<StnPageFile> files;
    std::string generated_utc;  // when the page was made, as the report's times
    std::string order;          // not empty: the page is of this work order only
};

// At most this many serials not at the image are listed; the rest are counted.
constexpr std::size_t kStnPageSerials = 500;

std::string stn_report_page(const StnPageInput &input);
