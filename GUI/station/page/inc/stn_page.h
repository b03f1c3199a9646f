// The line manager's page: one self-contained HTML file (styles inline,
// charts as inline SVG, no script, nothing fetched from anywhere) of what
// the figures of one or more reports say (read from their files, or from
// the database they were delivered to; the page says which, and when): the headline figures and each
// file's chain, first-pass yield and units per hour over time, failures by
// kind, units and yield per station and per work order, the serials not at
// the image, the files read and the lines skipped. Every chart has its
// figures beside it in a table. Every figure also stands in a data-value
// attribute, as `report --json` writes it, named by data-figure (and the
// row's data-group and data-name), so that a program can read the page.
// Times are local to the station (the earliest "run" line's UTC offset; UTC
// when there is none), and the page says which. The page stays small
// however long the history: charts are aggregated, the serials listed are
// capped with a count of the rest. Pure; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stn_figures.h"
#include "stn_reading.h"

struct StnPageFile {
    std::string name;      // as given (a path)
    StnChainStatus chain;  // chain.checked false: not checked
};

struct StnPageInput {
    const StnFigures *figures = nullptr;  // null: none (an empty page)
    // Where the figures came from: these files, or (database not empty)
    // the database so described (its password left out), with no files.
    std::vector<StnPageFile> files;
    std::string database;
    // The lines kept (StnFigureFilter): only these stations (empty: every
    // one), only the lines in [from_ms, to_ms) (UTC ms).
    std::vector<std::string> stations;
    std::int64_t from_ms = INT64_MIN, to_ms = INT64_MAX;
    std::string generated_utc;  // when the page was made, as the report's times
    std::string order;          // not empty: the page is of this work order only
};

// At most this many serials not at the image are listed; the rest are counted.
constexpr std::size_t kStnPageSerials = 500;

std::string stn_report_page(const StnPageInput &input);
