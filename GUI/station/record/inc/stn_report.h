// The station's report: JSON Lines, each written and flushed to disk
// before it counts. A unit that is written gets a "start" line before its
// first write and a "unit" line at its end, both with the unit's "id"; a
// unit that is only looked at gets its "unit" line alone. A station's run
// is marked by "run" lines when it opens, when it stops and where the
// computer's clock jumped. A torn last
// line (a crash or power cut in the middle of a write) is found when the
// report is opened and set aside, never appended to; a start without its
// unit (a crash while the unit was written) gets an interrupted unit line
// then. Nothing recorded is rewritten, and a file that is not a report is
// not touched at all. Opening reads the file once, a chunk at a time: its
// memory does not grow with the report.
//
// Threads: one StnReport is used by one thread at a time: the station
// opens it on its engine thread, then only the report's writer
// (StnJournal) writes to it; workers hand their start lines to the writer.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "stn_chain.h"
#include "stn_lines.h"

// The file under the report. The program's is the Win32 file; tests use
// one in memory. read (StnByteSource) reads what the file holds now.
//
// Threads: the report's calls (read, append, flush, truncate, set_aside)
// come from one thread at a time. The spill's may come from another while
// one of those is under way: a station that ends keeps its lines in the
// spill while its writer may still hang in an append on a lost share. So
// the spill shares nothing with the report's file.
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

    // The spill: lines the report could not take when the station had to
    // end, kept where the report's disk or share is not needed (the
    // program's: a folder of the machine, stn_spill.h), under the report's
    // identity (stn_report_id), so that its next open by any path adds them.
    // StnReport tells the store the identity once the first line is on the
    // disk (at open, or when it writes that line).
    virtual void identify(const std::string &report_id) { (void)report_id; }
    // Appends bytes to the spill of the report identified, and flushes;
    // *where: the file, for people. False with no identity yet.
    virtual bool spill(const std::string &bytes, std::string *where) {
        (void)bytes;
        (void)where;
        return false;
    }
    // The bytes kept for report_id (empty when none wait).
    virtual bool read_spill(const std::string &report_id, std::string *bytes) {
        (void)report_id;
        bytes->clear();
        return true;
    }
    // Puts the spill of report_id aside once its lines are in the report.
    virtual bool retire_spill(const std::string &report_id) {
        (void)report_id;
        return true;
    }
};

// The report's identity: the SHA-256 (hex) of its first line as the chain
// hashes lines (stn_line_sha256), from head, the file's first bytes; empty
// when they hold no whole first line. A line once on the disk is never
// rewritten, so the identity stays whatever path the report is opened by.
std::string stn_report_id(const std::string &head);

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
    unsigned from_spill = 0;            // lines added from the spill
    std::vector<std::string> written;   // the lines this open appended, in order
};

// How much of the report is on the disk: the bytes of whole lines that the
// report's writer has flushed (after open, every written line, every cut).
// Delivery reads no further, so that it never sends a line that a power cut
// could still take away or a failed write could still cut off. Any thread.
class StnFlushed {
public:
    // The writer, after a flush or a cut.
    void set(std::uint64_t size) {
        size_.store(size, std::memory_order_release);
        if (!known_.load(std::memory_order_relaxed)) first_.store(size, std::memory_order_relaxed);
        known_.store(true, std::memory_order_release);
    }
    // false until the report was opened: nothing of it may be read yet.
    bool get(std::uint64_t *size) const {
        if (!known_.load(std::memory_order_acquire)) return false;
        *size = size_.load(std::memory_order_acquire);
        return true;
    }

    // The first size set: the report's whole lines when its writer opened
    // it, before that open added any. false until then.
    bool opened_at(std::uint64_t *size) const {
        if (!known_.load(std::memory_order_acquire)) return false;
        *size = first_.load(std::memory_order_relaxed);
        return true;
    }

private:
    std::atomic<std::uint64_t> size_{0};
    std::atomic<std::uint64_t> first_{0};
    std::atomic<bool> known_{false};
};

class StnReport {
public:
    explicit StnReport(StnReportStore *store) : store_(store) {}
    // Where the flushed size is published (optional; set before open).
    void publish_to(std::shared_ptr<StnFlushed> flushed) { flushed_ = std::move(flushed); }

    // Opens the report for appending: refuses a foreign file or one whose
    // ids are used up, sets a torn last line aside and cuts it off, adds
    // the lines kept in the spill under its identity that it does not hold
    // yet (in order; a start or unit line is held when one of its type,
    // id, "index" and "serial" is; any other when the same line is), and
    // retires the spill, appends run_line
    // (the run's open line; none when empty), then an interrupted unit line
    // ("recovered":true, time utc_now) for every start still without its
    // unit. *opened (optional) says what was found and written.
    //
    // One pass over the file: the open starts, the highest id and which
    // of the spill's lines it met are all it keeps. A line that begins as our writer begins a start or unit line
    // ({"type":"start","time":"...","id":N,) and ends in '}' is taken by
    // that head (stn_line_head); any other line is parsed in full. A line
    // longer than StnLineReader::kChunk is no record. Its steps: read (the
    // one pass), judge (the last whole line torn or kept; foreign; ids),
    // set aside (the torn tail), add the spill, recover.
    StnReportOpen open(const std::string &utc_now, StnReportOpened *opened = nullptr,
                       const std::string &run_line = std::string());
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
    void publish() {
        if (flushed_ != nullptr) flushed_->set(size_);
    }

    StnReportStore *store_;
    std::shared_ptr<StnFlushed> flushed_;
    std::uint64_t last_id_ = 0;
    std::uint64_t size_ = 0;  // bytes of whole lines in the file
    // The chain (stn_chain.h): lines in the file, the last one's hash, and
    // the torn tail the next line accounts for.
    std::uint64_t seq_ = 0;
    std::string prev_ = kStnEmptySha256;
    bool has_cut_ = false;
    StnCut cut_;
};
