// The spill on Windows: the machine's folder, made with an access list that
// lets every user change the files in it (read back from the file system),
// and one report opened by two spellings of its path finding one spill.
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "stn_report.h"
#include "stn_store_win.h"

namespace {

// A folder of this test's own under the temporary folder.
std::wstring scratch(const wchar_t *name) {
    wchar_t tmp[MAX_PATH];
    const DWORD n = GetTempPathW(MAX_PATH, tmp);
    std::wstring dir = std::wstring(tmp, n) + name + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

// The rights Users are allowed on path, and whether that entry is passed on
// to what is made inside (folders) or came from the folder (files).
struct UsersAccess {
    ACCESS_MASK mask = 0;
    BYTE flags = 0;
};

UsersAccess users_access(PACL dacl) {
    UsersAccess out;
    BYTE users[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof users;
    EXPECT_TRUE(CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size));
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void *ace = nullptr;
        if (!GetAce(dacl, i, &ace)) continue;
        const auto *allowed = static_cast<const ACCESS_ALLOWED_ACE *>(ace);
        if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        if (!EqualSid(const_cast<DWORD *>(&allowed->SidStart), users)) continue;
        out.mask |= allowed->Mask;
        out.flags |= allowed->Header.AceFlags;
    }
    return out;
}

UsersAccess users_access(const std::wstring &path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS) {
        ADD_FAILURE() << "no access list for " << stn_utf8(path);
        return UsersAccess();
    }
    const UsersAccess out = users_access(dacl);
    LocalFree(sd);
    return out;
}

// Wine (8) keeps no access list of a file: it makes one up from the Unix
// mode. There only the list the folder is made with can be read back.
bool under_wine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll"), "wine_get_version") != nullptr;
}

// The access list as text, for a failure's message.
std::string sddl_of(const std::wstring &path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS) {
        return "(none)";
    }
    LPWSTR text = nullptr;
    std::string out = "(unreadable)";
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &text,
                                                             nullptr)) {
        out = stn_utf8(text);
        LocalFree(text);
    }
    LocalFree(sd);
    return out;
}

constexpr ACCESS_MASK kModify = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;

const std::string kRun = "{\"type\":\"run\",\"time\":\"2026-12-08T10:00:00.000Z\",\"event\":\"open\"}";
const std::string kStart =
    "{\"type\":\"start\",\"time\":\"2026-12-08T10:00:01.000Z\",\"id\":1,\"index\":0,\"serial\":7}";
const std::string kUnit =
    "{\"type\":\"unit\",\"time\":\"2026-12-08T10:00:02.000Z\",\"id\":1,\"index\":0,\"serial\":7,"
    "\"result\":\"updated\"}";

}  // namespace

TEST(StationSpillWin, TheFolderLetsEveryUserChangeTheSpillsInIt) {
    // The access list the folder is made with: Users may change files and
    // folders within (not their access lists), passed on to them.
    PSECURITY_DESCRIPTOR sd = stn_spill_security();
    ASSERT_NE(sd, nullptr);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl != nullptr);
    const UsersAccess made = users_access(dacl);
    LocalFree(sd);
    EXPECT_EQ(made.mask & kModify, kModify);
    EXPECT_EQ(made.mask & (WRITE_DAC | WRITE_OWNER), 0u);
    EXPECT_EQ(made.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
              OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);

    const std::wstring base = scratch(L"qvm-spill-acl-");
    const std::wstring dir = stn_spill_dir(base);
    ASSERT_EQ(dir, base + L"\\R846-QVM2K\\Station\\spill");
    EXPECT_EQ(stn_spill_dir(base), dir);  // made once; found again
    StnWinSpillFolder folder(dir);
    ASSERT_TRUE(folder.append("spill-x.jsonl", kUnit + "\n"));
    if (under_wine()) {
        std::printf("Wine keeps no access lists of files: %s reads back as %s\n",
                    stn_utf8(dir).c_str(), sddl_of(dir).c_str());
        return;
    }
    // As the file system keeps them: each level, and a spill kept there.
    for (const wchar_t *level :
         {L"\\R846-QVM2K", L"\\R846-QVM2K\\Station", L"\\R846-QVM2K\\Station\\spill"}) {
        const UsersAccess a = users_access(base + level);
        EXPECT_EQ(a.mask & kModify, kModify) << stn_utf8(level) << " " << sddl_of(base + level);
        EXPECT_EQ(a.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
                  OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)
            << stn_utf8(level);
    }
    const UsersAccess file = users_access(dir + L"\\spill-x.jsonl");
    EXPECT_EQ(file.mask & kModify, kModify) << sddl_of(dir + L"\\spill-x.jsonl");
    EXPECT_NE(file.flags & INHERITED_ACE, 0);
}

TEST(StationSpillWin, OneReportByTwoSpellingsFindsOneSpill) {
    const std::wstring base = scratch(L"qvm-spill-paths-");
    const std::string report = stn_utf8(base) + "\\r.jsonl";
    // The same file as \\?\C:\..., and as the Unix side's drive Z: sees it.
    std::vector<std::string> others = {"\\\\?\\" + report};
    using UnixName = char *(CDECL *)(LPCWSTR);
    const auto unix_name = reinterpret_cast<UnixName>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (unix_name != nullptr) {
        char *u = unix_name(stn_wide(report).c_str());
        ASSERT_NE(u, nullptr);
        std::string z = std::string("Z:") + u;
        for (char &c : z) c = c == '/' ? '\\' : c;
        HeapFree(GetProcessHeap(), 0, u);
        others.push_back(z);
    }
    for (const std::string &other : others) {
        DeleteFileW(stn_wide(report).c_str());
        {
            StnWinReportStore store(report, base);
            ASSERT_TRUE(store.ok());
            StnReport r(&store);
            ASSERT_EQ(r.open("now", nullptr, kRun), StnReportOpen::kOk);
            ASSERT_TRUE(r.write_line(kStart));
            std::string where;
            ASSERT_TRUE(store.spill(kUnit + "\n", &where)) << other;
        }
        std::vector<std::string> waiting = stn_spill_notices(base);
        ASSERT_EQ(waiting.size(), 1u) << other;
        EXPECT_NE(waiting[0].find("1 line(s) of " + stn_full_path(report) + " wait in "),
                  std::string::npos)
            << waiting[0];

        StnWinReportStore store(other, base);
        ASSERT_TRUE(store.ok()) << other;
        StnReportOpened opened;
        ASSERT_EQ(StnReport(&store).open("now", &opened), StnReportOpen::kOk) << other;
        EXPECT_EQ(opened.from_spill, 1u) << other;
        EXPECT_EQ(opened.recovered, 0u) << other;
        EXPECT_TRUE(stn_spill_notices(base).empty()) << other;
    }
}
