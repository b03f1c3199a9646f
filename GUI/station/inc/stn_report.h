// The station's report: JSON Lines, each written and flushed to disk
// before it counts. A unit that is written gets a "start" line before its
// first write and a "unit" line at its end, both with the unit's "id"; a
// unit that is only looked at gets its "unit" line alone. A torn last line
// (a crash or power cut in the middle of a write) is found when the report
// is opened and set aside, never appended to; a start without its unit
// (a crash while the unit was written) gets an interrupted unit line then.
// Nothing recorded is rewritten, and a file that is not a report is not
// touched at all.
//
// Threads: one StnReport is used by one thread at a time, or under its
// holder's lock (the station's workers write start lines).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stn_chain.h"

// The file under the report. The program's is the Win32 file; tests use
// one in memory.
class StnReportStore {
public:
    virtual ~StnReportStore() = default;
    // The whole file as it is now (empty when it does not exist yet).
    virtual bool read_all(std::string *bytes) = 0;
    // Appends bytes at the end of the file, all or nothing reported.
    virtual bool append(const std::string &bytes) = 0;
    // Everything appended so far is on the disk (FlushFileBuffers).
    virtual bool flush() = 0;
    // Cuts the file to size bytes.
    virtual bool truncate(std::uint64_t size) = 0;
    // Keeps bytes in a file of its own beside the report, flushed.
    virtual bool set_aside(const std::string &bytes) = 0;

    // The spill: lines the report could not take when the station had to
    // end, kept in a file of their own where the report's disk or share is
    // not needed (the program's: in the user's local application data).
    // The next open of the report adds them and retires the file.
    // Appends bytes to the spill and flushes; *where: the file, for people.
    virtual bool spill(const std::string &bytes, std::string *where) {
        (void)bytes;
        (void)where;
        return false;
    }
    // The spill's bytes (empty when there is none).
    virtual bool read_spill(std::string *bytes) {
        bytes->clear();
        return true;
    }
    // Renames the spill aside once its lines are in the report.
    virtual bool retire_spill() { return true; }
};

// Where the recorded lines of a report end: the length of its longest
// prefix of whole lines, dropping a last line that lacks its line end or is
// not one JSON object.
std::uint64_t stn_report_recorded_size(const std::string &bytes);

// Whether a whole line is one of the report's records (a JSON object whose
// "type" is "start" or "unit").
bool stn_report_is_record(const std::string &line);

enum class StnReportOpen {
    kOk,
    kCannotRead,    // the store failed; nothing was touched
    kForeign,       // its first line is not a record; nothing was touched
    kCannotRepair,  // setting aside, cutting or recovering failed
};

struct StnReportOpened {
    std::uint64_t torn_bytes = 0;    // set aside and cut off
    unsigned recovered = 0;          // interrupted unit lines added for lone starts
    unsigned from_spill = 0;         // lines added from the spill
    std::vector<std::string> lines;  // every recorded line, the added ones included
};

class StnReport {
public:
    explicit StnReport(StnReportStore *store) : store_(store) {}

    // Opens the report for appending: refuses a foreign file, sets a torn
    // last line aside and cuts it off, adds the lines kept in the spill
    // (in order, each once), then appends an interrupted unit line
    // ("recovered":true, time utc_now) for every start still without its
    // unit. *opened (optional) says what was found.
    StnReportOpen open(const std::string &utc_now, StnReportOpened *opened = nullptr);
    // A unit id not yet used in this report (ids grow from 1).
    std::uint64_t new_id() { return ++last_id_; }
    // The highest id the report holds (after open).
    std::uint64_t last_id() const { return last_id_; }
    // Appends line (one JSON object) with its chain fields and its line
    // end, then flushes. True only when both succeeded: only then may the
    // line count.
    bool write_line(const std::string &line);
    // Cuts the file back to its last whole line (what open found and every
    // line written since), dropping what a failed write left; then flushes.
    bool cut_back();

private:
    // Appends the spill's lines that the report lacks, then retires it.
    bool add_spill(StnReportOpened *o);

    StnReportStore *store_;
    std::uint64_t last_id_ = 0;
    std::uint64_t size_ = 0;  // bytes of whole lines in the file
    // The chain (stn_chain.h): lines in the file, the last one's hash, and
    // the torn tail the next line accounts for.
    std::uint64_t seq_ = 0;
    std::string prev_;
    bool has_cut_ = false;
    StnCut cut_;
};
