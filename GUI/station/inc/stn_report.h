// The station's report: one JSON line per unit, each written and flushed to
// disk before the unit is counted. A torn last line (a crash or power cut
// in the middle of a write) is found when the report is opened and set
// aside, never appended to; nothing recorded is rewritten.
//
// Threads: one StnReport is used by one thread at a time (the station's
// main thread).
#pragma once

#include <cstdint>
#include <string>

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
};

// Where the recorded lines of a report end: the length of its longest
// prefix of whole lines, dropping a last line that lacks its line end or is
// not one JSON object.
std::uint64_t stn_report_recorded_size(const std::string &bytes);

class StnReport {
public:
    explicit StnReport(StnReportStore *store) : store_(store) {}

    // Opens the report for appending: a torn last line is set aside first,
    // then cut off. *torn_bytes (optional) receives how many bytes that was.
    // Returns false when the store failed (nothing is cut then).
    bool open(std::uint64_t *torn_bytes = nullptr);
    // Appends line and its line end, then flushes. True only when both
    // succeeded: only then may the unit be counted.
    bool write_line(const std::string &line);

private:
    StnReportStore *store_;
};
