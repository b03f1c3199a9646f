#include "stn_store_win.h"

#include <algorithm>
#include <cstdio>

#include "stn_args.h"
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

// The spill of the report at full_path: in the user's local application
// data, named after the path (case folded), so that the next start with the
// same report finds it whatever became of the report's disk or share.
std::wstring spill_path_of(const std::wstring &full_path) {
    wchar_t base[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", base, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) n = GetTempPathW(MAX_PATH, base);
    if (n == 0 || n >= MAX_PATH) return std::wstring();
    std::wstring dir(base, n);
    if (dir.back() != L'\\') dir += L'\\';
    dir += L"R846-QVM2K";
    CreateDirectoryW(dir.c_str(), nullptr);
    dir += L"\\Station";
    CreateDirectoryW(dir.c_str(), nullptr);
    std::wstring folded = full_path;
    if (!folded.empty()) {
        LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, full_path.c_str(),
                     static_cast<int>(full_path.size()), &folded[0],
                     static_cast<int>(folded.size()));
    }
    const std::string key = stn_utf8(folded);
    const std::string hash =
        stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(key.data()), key.size());
    return dir + L"\\unwritten-" + stn_wide(hash.substr(0, 16)) + L".jsonl";
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

StnWinReportStore::StnWinReportStore(const std::string &utf8_path)
    : path_(stn_wide(utf8_path)),
      spill_(spill_path_of(stn_wide(stn_full_path(utf8_path)))),
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
    if (spill_.empty()) return false;
    HANDLE f = CreateFileW(spill_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    const bool done = write_end(f, bytes) && FlushFileBuffers(f);
    CloseHandle(f);
    if (done) *where = stn_utf8(spill_);
    return done;
}

bool StnWinReportStore::read_spill(std::string *bytes) {
    bytes->clear();
    if (spill_.empty()) return true;
    StnWinFile f(stn_utf8(spill_), StnWinFile::kRead);
    if (!f.ok()) {
        const DWORD e = GetLastError();
        return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
    }
    char buf[4096];
    for (std::size_t got = 0;; bytes->append(buf, got)) {
        if (!f.read(bytes->size(), buf, sizeof buf, &got)) return false;
        if (got == 0) return true;
    }
}

bool StnWinReportStore::retire_spill() {
    // Kept under a name of its own, so that its lines are never added twice.
    std::string stamp = stn_utc_now();
    for (char &c : stamp) {
        if (c == ':' || c == '.') c = '-';
    }
    const std::wstring to = spill_ + L"." + stn_wide(stamp) + L".added";
    return MoveFileExW(spill_.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
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
