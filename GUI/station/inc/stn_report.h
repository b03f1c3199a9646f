// The station's report: JSON Lines, each written and flushed to disk
// before it counts. A unit that is written gets a "start" line before its
// first write and a "unit" line at its end, both with the unit's "id"; a
// unit that is only looked at gets its "unit" line alone. A station's run
// is marked by "run" lines when it opens and when it stops. A torn last
// line (a crash or power cut in the middle of a write) is found when the
// report is opened and set aside, never appended to; a start without its
// unit (a crash while the unit was written) gets an interrupted unit line
// then. Nothing recorded is rewritten, and a file that is not a report is
// not touched at all. Opening reads the file once, a chunk at a time: its
// memory does not grow with the report.
//
// Threads: one StnReport is used by one thread at a time, or under its
// holder's lock (the station's workers write start lines).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stn_lines.h"

// The file under the report. The program's is the Win32 file; tests use
// one in memory. read (StnByteSource) reads what the file holds now.
class StnReportStore : public StnByteSource {
public:
    // Appends bytes at the end of the file, all or nothing reported.
    virtual bool append(const std::string &bytes) = 0;
    // Everything appended so far is on the disk (FlushFileBuffers).
    virtual bool flush() = 0;
    // Cuts the file to size bytes.
    virtual bool truncate(std::uint64_t size) = 0;
    // Copies the bytes from offset from to the end of the file into a file
    // of its own beside the report, flushed.
    virtual bool set_aside(std::uint64_t from) = 0;
};

// Whether a whole line is one of the report's records (a JSON object whose
// "type" is "start", "unit" or "run").
bool stn_report_is_record(const std::string &line);

// Ids stay below 2^53, so that every JSON reader (jq, a spreadsheet) reads
// them exactly; a report whose highest id leaves fewer than 2^32 new ones
// below that (an edited file) is not opened.
constexpr std::uint64_t kStnIdLimit = std::uint64_t(1) << 53;
constexpr std::uint64_t kStnIdHighest = kStnIdLimit - (std::uint64_t(1) << 32);

enum class StnReportOpen {
    kOk,
    kCannotRead,    // the store failed; nothing was touched
    kForeign,       // its first line is not a record; nothing was touched
    kIdsExhausted,  // its highest id is above kStnIdHighest; nothing was touched
    kCannotRepair,  // setting aside, cutting, or writing the run or recovered lines failed
};

struct StnReportOpened {
    std::uint64_t torn_bytes = 0;       // set aside and cut off
    unsigned recovered = 0;             // interrupted unit lines added for lone starts
    std::uint64_t highest_id = 0;       // the highest id found
    std::vector<std::string> written;   // the lines this open appended, in order
};

class StnReport {
public:
    explicit StnReport(StnReportStore *store) : store_(store) {}

    // Opens the report for appending: refuses a foreign file or one whose
    // ids are used up, sets a torn last line aside and cuts it off, appends
    // run_line (the run's open line; none when empty), then an interrupted
    // unit line ("recovered":true, time utc_now) for every start without
    // its unit. *opened (optional) says what was found and written.
    //
    // One pass over the file: the open starts and the highest id are all it
    // keeps. A line that begins as our writer begins a start or unit line
    // ({"type":"start","time":"...","id":N,) and ends in '}' is taken by
    // that head; any other line is parsed in full. A line longer than
    // StnLineReader::kChunk is no record.
    StnReportOpen open(const std::string &utc_now, StnReportOpened *opened = nullptr,
                       const std::string &run_line = std::string());
    // A unit id not yet used in this report (ids grow from 1).
    std::uint64_t new_id() { return ++last_id_; }
    // Appends line and its line end, then flushes. True only when both
    // succeeded: only then may the line count.
    bool write_line(const std::string &line);

private:
    StnReportStore *store_;
    std::uint64_t last_id_ = 0;
};
