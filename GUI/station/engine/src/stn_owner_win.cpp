#include "stn_owner.h"

#include <cstring>

#include "stn_store_win.h"

namespace {

// Per session, as the devices' users are; the name is fixed for good.
const wchar_t kSectionName[] = L"Local\\R846-QVM2K.station";
constexpr DWORD kSectionSize = 8192;  // the report's path, UTF-8, NUL-terminated

std::string read_path(HANDLE section) {
    void *view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, kSectionSize);
    if (view == nullptr) return std::string();
    const char *text = static_cast<const char *>(view);
    const std::string path(text, strnlen(text, kSectionSize - 1));
    UnmapViewOfFile(view);
    return path;
}

}  // namespace

StnOwner::~StnOwner() {
    if (section_ != nullptr) CloseHandle(section_);
}

bool StnOwner::claim(const std::string &report, std::string *holder) {
    HANDLE s = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSectionSize,
                                  kSectionName);
    if (s == nullptr) {
        // Not even a section: a holder we cannot name.
        if (holder != nullptr) holder->clear();
        return false;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // A station that is just starting has not written its path yet.
        for (int i = 0; i < 20 && holder != nullptr; ++i) {
            *holder = read_path(s);
            if (!holder->empty()) break;
            Sleep(10);
        }
        CloseHandle(s);
        return false;
    }
    void *view = MapViewOfFile(s, FILE_MAP_WRITE, 0, 0, kSectionSize);
    if (view != nullptr) {
        const std::size_t n = report.size() < kSectionSize - 1 ? report.size() : kSectionSize - 1;
        std::memcpy(view, report.data(), n);
        static_cast<char *>(view)[n] = '\0';
        UnmapViewOfFile(view);
    }
    section_ = s;
    return true;
}

bool StnOwner::held(std::string *holder) {
    HANDLE s = OpenFileMappingW(FILE_MAP_READ, FALSE, kSectionName);
    if (s == nullptr) return false;
    if (holder != nullptr) *holder = read_path(s);
    CloseHandle(s);
    return true;
}
