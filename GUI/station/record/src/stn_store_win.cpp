#include "stn_store_win.h"

#include <sddl.h>

#include <algorithm>
#include <cstdio>

#include "stn_sha256.h"
#include "stn_text.h"

namespace {

bool write_end(HANDLE f, const std::string &bytes) {
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(f, zero, nullptr, FILE_END)) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD put = 0;
        if (!WriteFile(f, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &put,
                       nullptr) ||
            put == 0) {
            return false;
        }
        done += put;
    }
    return true;
}

// Users may read, write, append and delete (modify, not change the access
// list); the system and administrators everything; inherited by files and
// folders within.
constexpr wchar_t kSpillAccess[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)";

bool make_shared_dir(const std::wstring &dir) {
    PSECURITY_DESCRIPTOR sd = stn_spill_security();
    if (sd == nullptr) return false;
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = sd;
    const bool made = CreateDirectoryW(dir.c_str(), &sa) || GetLastError() == ERROR_ALREADY_EXISTS;
    LocalFree(sd);
    return made;
}

}  // namespace

std::wstring stn_wide(const std::string &utf8) {
    if (utf8.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                      nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &w[0], n);
    }
    return w;
}

std::string stn_utf8(const std::wstring &wide) {
    if (wide.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &s[0], n,
                            nullptr, nullptr);
    }
    return s;
}

std::string stn_utc_now() {
    SYSTEMTIME t;
    GetSystemTime(&t);
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.wYear, t.wMonth,
                  t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return buf;
}

std::string stn_computer_name() {
    // The host name as it was set (case kept, up to 63 characters), else
    // the NetBIOS name.
    wchar_t name[256] = {};
    DWORD n = sizeof name / sizeof name[0];
    std::string got;
    if (GetComputerNameExW(ComputerNameDnsHostname, name, &n)) got = stn_utf8(name);
    if (stn_printable_text(got, 1, 64)) return got;
    n = sizeof name / sizeof name[0];
    got = GetComputerNameW(name, &n) ? stn_utf8(name) : std::string();
    return stn_printable_text(got, 1, 64) ? got : std::string();
}

std::string stn_utc_offset() {
    TIME_ZONE_INFORMATION tz;
    const DWORD zone = GetTimeZoneInformation(&tz);
    if (zone == TIME_ZONE_ID_INVALID) return std::string();
    // UTC = local time + bias, in minutes.
    LONG bias = tz.Bias;
    if (zone == TIME_ZONE_ID_DAYLIGHT) bias += tz.DaylightBias;
    if (zone == TIME_ZONE_ID_STANDARD) bias += tz.StandardBias;
    return stn_utc_offset_text(-static_cast<int>(bias));
}

std::string stn_full_path(const std::string &utf8_path) {
    const std::wstring w = stn_wide(utf8_path);
    const DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
    if (n == 0) return utf8_path;
    std::wstring full(n, L'\0');
    const DWORD got = GetFullPathNameW(w.c_str(), n, &full[0], nullptr);
    if (got == 0 || got >= n) return utf8_path;
    full.resize(got);
    return stn_utf8(full);
}

StnWinFile::StnWinFile(const std::string &utf8_path, Mode mode) {
    const bool report = mode == kReport;
    file_ = CreateFileW(stn_wide(utf8_path).c_str(), GENERIC_READ | (report ? GENERIC_WRITE : 0u),
                        FILE_SHARE_READ | (report ? 0u : FILE_SHARE_WRITE), nullptr,
                        report ? OPEN_ALWAYS : OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL | (report ? 0u : FILE_FLAG_SEQUENTIAL_SCAN), nullptr);
}

StnWinFile::~StnWinFile() {
    if (ok()) CloseHandle(file_);
}

bool StnWinFile::read(std::uint64_t offset, char *buf, std::size_t n, std::size_t *got) {
    *got = 0;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file_, at, nullptr, FILE_BEGIN)) return false;
    DWORD read = 0;
    const DWORD ask = static_cast<DWORD>(n < (1u << 30) ? n : (1u << 30));
    if (!ReadFile(file_, buf, ask, &read, nullptr)) return false;
    *got = read;
    return true;
}

PSECURITY_DESCRIPTOR stn_spill_security() {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kSpillAccess, SDDL_REVISION_1, &sd,
                                                              nullptr)) {
        return nullptr;
    }
    return sd;
}

std::wstring stn_spill_dir(const std::wstring &base) {
    std::wstring dir = base;
    if (dir.empty()) {
        wchar_t buf[MAX_PATH];
        for (const wchar_t *name : {L"ProgramData", L"ALLUSERSPROFILE"}) {
            const DWORD n = GetEnvironmentVariableW(name, buf, MAX_PATH);
            if (n != 0 && n < MAX_PATH) {
                dir.assign(buf, n);
                break;
            }
        }
        if (dir.empty()) return std::wstring();
    }
    if (dir.back() == L'\\') dir.pop_back();
    for (const wchar_t *level : {L"\\R846-QVM2K", L"\\Station", L"\\spill"}) {
        dir += level;
        if (!make_shared_dir(dir)) return std::wstring();
    }
    return dir;
}

bool StnWinSpillFolder::list(std::vector<std::string> *names) {
    names->clear();
    if (dir_.empty()) return false;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((dir_ + L"\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            names->push_back(stn_utf8(found.cFileName));
        }
    } while (FindNextFileW(h, &found));
    const bool all = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(h);
    return all;
}

bool StnWinSpillFolder::read(const std::string &name, std::string *bytes, bool *found) {
    bytes->clear();
    *found = false;
    if (dir_.empty()) return true;
    StnWinFile f(stn_utf8(file(name)), StnWinFile::kRead);
    if (!f.ok()) {
        const DWORD e = GetLastError();
        return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
    }
    *found = true;
    char buf[4096];
    for (std::size_t got = 0;; bytes->append(buf, got)) {
        if (!f.read(bytes->size(), buf, sizeof buf, &got)) return false;
        if (got == 0) return true;
    }
}

bool StnWinSpillFolder::append(const std::string &name, const std::string &bytes) {
    if (dir_.empty()) return false;
    HANDLE f = CreateFileW(file(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    const bool done = write_end(f, bytes) && FlushFileBuffers(f);
    CloseHandle(f);
    return done;
}

bool StnWinSpillFolder::rename(const std::string &from, const std::string &to) {
    return !dir_.empty() &&
           MoveFileExW(file(from).c_str(), file(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::string StnWinSpillFolder::where(const std::string &name) const {
    return stn_utf8(file(name));
}

std::vector<std::string> stn_spill_notices(const std::wstring &base) {
    StnWinSpillFolder folder(stn_spill_dir(base));
    std::vector<StnSpillWaiting> waiting;
    stn_spill_waiting(&folder, &waiting);  // what could be read
    std::vector<std::string> out;
    for (const StnSpillWaiting &w : waiting) out.push_back(stn_spill_notice(w));
    return out;
}

StnWinReportStore::StnWinReportStore(const std::string &utf8_path, const std::wstring &spill_base)
    : path_(stn_wide(utf8_path)),
      full_path_(stn_full_path(utf8_path)),
      spill_(stn_spill_dir(spill_base)),
      file_(utf8_path, StnWinFile::kReport) {}

bool StnWinReportStore::append(const std::string &bytes) {
    return write_end(file_.handle(), bytes);
}

bool StnWinReportStore::flush() { return FlushFileBuffers(file_.handle()) != 0; }

bool StnWinReportStore::truncate(std::uint64_t size) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    const HANDLE f = file_.handle();
    return SetFilePointerEx(f, at, nullptr, FILE_BEGIN) && SetEndOfFile(f);
}

bool StnWinReportStore::set_aside(std::uint64_t from) {
    const std::wstring side = path_ + L".torn";
    HANDLE f = CreateFileW(side.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    // A chunk at a time: what a power cut leaves can be long.
    std::string chunk(1 << 16, '\0');
    bool done = true;
    for (std::uint64_t at = from;;) {
        std::size_t got = 0;
        if (!file_.read(at, &chunk[0], chunk.size(), &got)) {
            done = false;
            break;
        }
        if (got == 0) break;
        if (!write_end(f, chunk.substr(0, got))) {
            done = false;
            break;
        }
        at += got;
    }
    done = done && write_end(f, "\n") && FlushFileBuffers(f);
    CloseHandle(f);
    return done;
}

bool StnWinReportStore::spill(const std::string &bytes, std::string *where) {
    std::string id;
    {
        std::lock_guard<std::mutex> lock(id_mu_);
        id = report_id_;
    }
    return stn_spill_keep(&spill_, id, full_path_, bytes, where);
}

bool StnWinReportStore::read_spill(const std::string &report_id, std::string *bytes) {
    return stn_spill_read(&spill_, report_id, bytes);
}

bool StnWinReportStore::retire_spill(const std::string &report_id) {
    // Kept under a name of its own, so that its lines are never added twice.
    std::string stamp = stn_utc_now();
    for (char &c : stamp) {
        if (c == ':' || c == '.') c = '-';
    }
    return stn_spill_retire(&spill_, report_id, stamp);
}

bool stn_write_whole_file(const std::wstring &path, const std::string &bytes, bool durable) {
    const std::wstring tmp = path + L".new";
    HANDLE f = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD error = 0;
    // WriteFile takes a DWORD: a large file goes in pieces.
    for (std::size_t at = 0; error == 0 && at < bytes.size();) {
        const DWORD n = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - at, 1u << 24));
        DWORD put = 0;
        if (!WriteFile(f, bytes.data() + at, n, &put, nullptr)) error = GetLastError();
        else if (put != n) error = ERROR_WRITE_FAULT;
        at += n;
    }
    if (error == 0 && durable && !FlushFileBuffers(f)) error = GetLastError();
    CloseHandle(f);
    if (error == 0 && !MoveFileExW(tmp.c_str(), path.c_str(),
                                   MOVEFILE_REPLACE_EXISTING |
                                       (durable ? MOVEFILE_WRITE_THROUGH : 0))) {
        error = GetLastError();
    }
    if (error == 0) return true;
    DeleteFileW(tmp.c_str());
    SetLastError(error);  // the caller may say why
    return false;
}
