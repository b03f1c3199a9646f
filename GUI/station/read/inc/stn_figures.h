// The figures of a line's reports, as `qvm_cli report` (text, JSON, CSV
// aside), the line manager's page and the station window show them. Two
// makers fill them with the same meaning: StnTally from report files, and
// the database's aggregates (stn_db_figures) from the rows the stations
// delivered; one writer serves both. Plain data; any thread.
//
// The rules both makers follow:
// - A line's station is its "station"; a line without one is its report's
//   (from the database: the station that delivered it; from files: the
//   first line of the file that names one).
// - A serial's first pass is its earliest unit line by time that is not a
//   rejection, among the lines that count: earliest by the believed time
//   (a line without one after every timed one), then by its report's
//   identity (the SHA-256 of the report's first line, as hex), then by its
//   number in the report (from 1). Its last line is the latest by the same
//   order. Files and the database agree whatever order files are read in.
// - Running time is read per report, its lines in order (StnTally's rules:
//   a run from its open line to its stop line or, killed, to its latest
//   line; cut where the clock jumped or stepped back).
// - The page's zone is the UTC offset of the earliest run line by time.
// - Files: a line before the first line of its file that names a station
//   has the station "" (the file is read once, front to back).
// - Unidentified failures (failed, no serial) are first passes where
//   their line is; rejections are counted, never a pass.
// - The filter (StnFigureFilter): a line of another station than those
//   named counts nowhere, nor does a run whose run lines name another
//   station (a run whose lines name none is its units'). The order as
//   StnTally::only_order. The window: a unit or halt line counts only
//   when its believed time is in [from, to) (a line without one never);
//   every line of the stations and order kept still shapes the runs (a
//   run killed after the window still ran to its last line), and only the
//   part of each run inside the window is running time, in the sum and
//   in the timeline alike. bad_times and utc_offsets count the lines of
//   the stations (and, bad_times, the order) kept, whatever the window.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "stn_outcome.h"
#include "stn_timeline.h"

// Units and first passes of one work order or one station.
struct StnGroupFigures {
    std::uint64_t units = 0, updated = 0, current = 0, failed = 0, interrupted = 0;
    std::uint64_t rejected = 0;
    // Serials whose first pass is here and not "current" (plus unidentified
    // failures), and of those the ones "updated".
    std::uint64_t first_tried = 0, first_passed = 0;
    double first_pass_yield() const {
        return first_tried == 0 ? -1 : static_cast<double>(first_passed) / first_tried;
    }
};

// Which lines count. Empty / unset: all.
struct StnFigureFilter {
    std::vector<std::string> stations;  // only lines of these stations
    bool by_order = false;              // only this work order (StnTally::only_order)
    std::string order;
    // Only unit, start and halt lines whose believed time is in [from, to)
    // (UTC ms since 1970); running time only the part of each run inside it.
    std::int64_t from_ms = INT64_MIN, to_ms = INT64_MAX;
    bool windowed() const { return from_ms != INT64_MIN || to_ms != INT64_MAX; }
};

struct StnFigures {
    std::uint64_t units = 0;  // unit lines
    std::uint64_t updated = 0, current = 0, failed = 0, interrupted = 0, rejected = 0;
    std::uint64_t recovered = 0;            // interrupted lines written at a later start
    std::uint64_t unidentified_failed = 0;  // failed unit lines without a serial
    std::uint64_t failures[kStnFailureKinds] = {};  // by StnFailure
    // For the first-pass yield: serials whose first pass is not "current",
    // plus the unidentified failures; of those, the ones "updated".
    std::uint64_t first_tried = 0, first_passed = 0;
    std::uint64_t running_ms = 0;  // the runs, summed
    std::uint64_t halts = 0;       // line stops
    std::uint64_t bad_times = 0;   // start, unit and run lines whose time cannot be right
    std::map<std::string, StnGroupFigures> orders, stations;  // by name ("" for none)
    // Units, first passes and running time by quarter hour.
    StnTimeline timeline;
    // The UTC offsets the run lines name, each once (at most 16), in the
    // order of each one's earliest run line by time: the first is the zone.
    std::vector<std::string> utc_offsets;
    // Serials whose last line is neither "updated" nor "current", ascending.
    std::vector<std::int64_t> not_at_image;
    // Files only (0 from the database): torn lines and lines not records.
    std::uint64_t skipped_lines = 0;

    // first_passed / first_tried; -1 when none was tried.
    double first_pass_yield() const {
        return first_tried == 0 ? -1.0
                                : static_cast<double>(first_passed) / static_cast<double>(first_tried);
    }
    // Units per hour of running time; -1 when it ran under a minute.
    double units_per_hour() const {
        if (running_ms < 60000) return -1.0;
        return static_cast<double>(units) * 3600000.0 / static_cast<double>(running_ms);
    }
};
