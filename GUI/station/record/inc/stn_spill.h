// The spill's folder: lines a report could not take when the station had
// to end, kept under the report's identity (stn_report_id: the SHA-256 of
// its first line), so that the report finds them whatever path it is
// opened by and whichever user of the machine opens it. One file a report,
// "spill-<id>.jsonl": each batch of the report's lines after a line of its
// own, {"type":"spill","report":"<path>","id":"<id>"}, that names the
// report as last known. Once its lines are in the report it is renamed
// "<name>.<stamp>.added" and no longer waits.
//
// Portable over a small folder interface: the program's is a folder of the
// machine (stn_store_win.h), tests use one in memory. Pure otherwise; one
// thread at a time per folder.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class StnSpillFolder {
public:
    virtual ~StnSpillFolder() = default;
    // The names of the files in the folder (none when it does not exist).
    virtual bool list(std::vector<std::string> *names) = 0;
    // The file's bytes; true with *found false when there is no such file.
    virtual bool read(const std::string &name, std::string *bytes, bool *found) = 0;
    // Appends bytes to the file (made when missing) and flushes.
    virtual bool append(const std::string &name, const std::string &bytes) = 0;
    // Renames the file, replacing to.
    virtual bool rename(const std::string &from, const std::string &to) = 0;
    // The file for people (its full path).
    virtual std::string where(const std::string &name) const = 0;
};

// A spill that waits for its report.
struct StnSpillWaiting {
    std::string report_id;
    std::string report;     // its path as last known
    std::size_t lines = 0;  // lines that wait
    std::string where;      // the spill's file
};

// The spill's file name for a report ("" for an id that is not 64 hex digits).
std::string stn_spill_name(const std::string &report_id);

// Appends lines (whole lines, each with its line end) after a line naming
// report_path; *where: the file. False when report_id is no id or the
// folder failed.
bool stn_spill_keep(StnSpillFolder *folder, const std::string &report_id,
                    const std::string &report_path, const std::string &lines, std::string *where);
// The lines kept for report_id, each with its line end (the naming lines
// left out; empty when none wait).
bool stn_spill_read(StnSpillFolder *folder, const std::string &report_id, std::string *lines);
// Renames the spill of report_id aside (stamp: in its new name, e.g. the
// time); true when there was none.
bool stn_spill_retire(StnSpillFolder *folder, const std::string &report_id,
                      const std::string &stamp);
// Every spill in the folder that still waits, by file name.
bool stn_spill_waiting(StnSpillFolder *folder, std::vector<StnSpillWaiting> *out);

// "report: 3 line(s) of C:\...\x.jsonl wait in <spill>; they are added
// when that report is opened"
std::string stn_spill_notice(const StnSpillWaiting &w);
