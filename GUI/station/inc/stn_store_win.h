// The report on a Win32 file (Windows builds only). The path is UTF-8 and
// opened as UTF-16 (CreateFileW), so a folder such as "Prüfstand 2" works
// whatever the code page. Every write goes to the end of the file.
//
// Threads: one thread at a time (the engine's).
#pragma once

#include <windows.h>

#include <string>

#include "stn_report.h"

// UTF-8 to UTF-16 and back (invalid bytes become U+FFFD).
std::wstring stn_wide(const std::string &utf8);
std::string stn_utf8(const std::wstring &wide);
// Now, UTC, ISO 8601 with milliseconds ("2026-12-08T19:40:00.123Z"), for
// the report's lines. Any thread.
std::string stn_utc_now();
// This computer's name (kernel32 only), UTF-8: the station's name in the
// report unless one is given; "" when it has none fit for a report line.
std::string stn_computer_name();
// The computer's offset from UTC now, "+01:00"; empty when unknown.
std::string stn_utc_offset();
// Replaces the file at path with bytes as a whole: written beside it as
// "<path>.new" then moved over it, so that a reader never sees half of it.
// durable: flushed to the disk first (a cursor; a page that can be made
// again need not wait for the disk). False when any step failed (the old
// file, if any, stays; GetLastError says why).
bool stn_write_whole_file(const std::wstring &path, const std::string &bytes, bool durable);
// path made absolute (GetFullPathNameW), UTF-8; path itself when that fails.
std::string stn_full_path(const std::string &utf8_path);

// A file read a chunk at a time. kRead: only read, for `qvm_cli report`,
// while others may go on writing it (a station appending to its report);
// kReport: read and written, created when missing, while others may only
// read it.
class StnWinFile : public StnByteSource {
public:
    enum Mode { kRead, kReport };
    StnWinFile(const std::string &utf8_path, Mode mode);
    ~StnWinFile() override;
    StnWinFile(const StnWinFile &) = delete;
    StnWinFile &operator=(const StnWinFile &) = delete;
    bool ok() const { return file_ != INVALID_HANDLE_VALUE; }
    HANDLE handle() const { return file_; }
    bool read(std::uint64_t offset, char *buf, std::size_t n, std::size_t *got) override;

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

class StnWinReportStore : public StnReportStore {
public:
    // Opens (creates when missing) the file for reading and appending;
    // others may read it meanwhile. ok() says whether that worked.
    explicit StnWinReportStore(const std::string &utf8_path);
    bool ok() const { return file_.ok(); }

    bool read(std::uint64_t offset, char *buf, std::size_t n, std::size_t *got) override {
        return file_.read(offset, buf, n, got);
    }
    bool append(const std::string &bytes) override;
    bool flush() override;
    bool truncate(std::uint64_t size) override;
    // Appends the bytes from offset from on, and a line end, to
    // "<path>.torn", flushed.
    bool set_aside(std::uint64_t from) override;
    // The spill: %LOCALAPPDATA%\R846-QVM2K\Station\unwritten-<hash of the
    // report's full path>.jsonl; once added, renamed to "<it>.<time>.added".
    bool spill(const std::string &bytes, std::string *where) override;
    bool read_spill(std::string *bytes) override;
    bool retire_spill() override;

private:
    std::wstring path_;
    std::wstring spill_;  // empty when no folder for it was found
    StnWinFile file_;
};
