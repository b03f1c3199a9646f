// The report on a Win32 file (Windows builds only). The path is UTF-8 and
// opened as UTF-16 (CreateFileW), so a folder such as "Prüfstand 2" works
// whatever the code page. Every write goes to the end of the file.
//
// Threads: the engine's thread opens the report; then the report's writer
// thread appends, flushes and cuts, while the engine's thread may spill at
// the end (the spill's folder shares nothing with the report's file).
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "stn_report.h"
#include "stn_spill.h"

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

// The machine's spill folder, shared by every user of it:
// "<base>\R846-QVM2K\Station\spill", base %ProgramData% unless given. Each
// missing level is made with an access list that lets Users change files in
// it (the system and administrators: everything), inherited by its files,
// so that a spill one user's station kept is added by another's. Empty when
// no base is known or the folder cannot be made.
std::wstring stn_spill_dir(const std::wstring &base = std::wstring());
// That access list (LocalFree it); null when it cannot be made.
PSECURITY_DESCRIPTOR stn_spill_security();

// A spill folder on Win32 files.
class StnWinSpillFolder : public StnSpillFolder {
public:
    explicit StnWinSpillFolder(std::wstring dir) : dir_(std::move(dir)) {}
    bool list(std::vector<std::string> *names) override;
    bool read(const std::string &name, std::string *bytes, bool *found) override;
    bool append(const std::string &name, const std::string &bytes) override;
    bool rename(const std::string &from, const std::string &to) override;
    std::string where(const std::string &name) const override;

private:
    std::wstring file(const std::string &name) const { return dir_ + L"\\" + stn_wide(name); }
    std::wstring dir_;  // empty: none, nothing can be kept
};

// A line for people for every spill that waits on this machine
// (stn_spill_notice), to be shown at every start until it is added.
std::vector<std::string> stn_spill_notices(const std::wstring &base = std::wstring());

class StnWinReportStore : public StnReportStore {
public:
    // Opens (creates when missing) the file for reading and appending;
    // others may read it meanwhile. ok() says whether that worked.
    // spill_base: where the spill folder is (stn_spill_dir).
    explicit StnWinReportStore(const std::string &utf8_path,
                               const std::wstring &spill_base = std::wstring());
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
    // The spill: in the machine's spill folder under the report's identity
    // (stn_spill.h), naming the report by its full path; once added,
    // renamed to "<it>.<time>.added".
    void identify(const std::string &report_id) override {
        std::lock_guard<std::mutex> lock(id_mu_);
        report_id_ = report_id;
    }
    bool spill(const std::string &bytes, std::string *where) override;
    bool read_spill(const std::string &report_id, std::string *bytes) override;
    bool retire_spill(const std::string &report_id) override;

private:
    std::wstring path_;
    std::string full_path_;  // UTF-8, for people
    StnWinSpillFolder spill_;
    std::mutex id_mu_;  // identify may come from the report's writer thread
    std::string report_id_;
    StnWinFile file_;
};
