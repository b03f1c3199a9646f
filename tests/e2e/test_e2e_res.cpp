// The resources of the built qvm_updater.exe, read from the file itself:
// string table, version record, icon images, manifest and the dialog
// templates, each template built here as a hidden twin so that its
// dialog units can be mapped (MapDialogRect works in this process only).
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "qvm_e2e.h"
#include "resource.h"

namespace {

using namespace qvm_e2e;

// The program file loaded as resources only.
class ProgramResources : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        module_ = LoadLibraryExA(updater_path().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&icc);
        // The main dialog's template names its private class.
        register_main_class();
    }
    static void TearDownTestSuite() {
        unregister_main_class();
        if (module_) FreeLibrary(module_);
        module_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(module_, nullptr) << "cannot read " << updater_path(); }

    static std::string string_res(UINT id) {
        char buf[512] = {};
        int n = LoadStringA(module_, id, buf, sizeof buf);
        return std::string(buf, n > 0 ? n : 0);
    }
    static const void *resource(LPCSTR type, LPCSTR name, DWORD *size = nullptr) {
        HRSRC res = FindResourceA(module_, name, type);
        if (!res) return nullptr;
        if (size) *size = SizeofResource(module_, res);
        return LockResource(LoadResource(module_, res));
    }

    static HMODULE module_;
};
HMODULE ProgramResources::module_ = nullptr;

TEST_F(ProgramResources, StringTableExactly) {
    const struct {
        UINT id;
        const char *text;
    } strings[] = {
        {4040, "No firm"},
        {4041, "------"},
        {10300, "R846_QVM2K_CLASS"},
        {10301, "R846-QVM2K Firmware updater"},
        {10302, "R846-QVM2K Firmware updater"},
        {21610, "It is not necessary to update this R846-QVM2K.    "},
        {21611, "Communication error.    "},
        {21612, "R846-QVM2K cannot be found.     \nPlease connect R846-QVM2K and re-perform.    "},
        {21613, "Start updating R846-QVM2K firmware ?    "},
        {21620, "Update has been completed.    "},
    };
    for (const auto &s : strings) EXPECT_EQ(string_res(s.id), s.text) << "string " << s.id;
}

TEST_F(ProgramResources, VersionRecord) {
    const std::string path = updater_path();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &len));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(5, 3));
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(5, 3));
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);

    WORD *lang = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                               reinterpret_cast<void **>(&lang), &len));
    ASSERT_GE(len, 4u);
    EXPECT_EQ(lang[0], 0x0409);  // US English
    EXPECT_EQ(lang[1], 1200);    // Unicode

    auto value = [&](const char *name) -> std::string {
        char *text = nullptr;
        UINT n = 0;
        std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void **>(&text), &n))
            return "<missing>";
        return text;
    };
    EXPECT_EQ(value("FileVersion"), "3.50");
    EXPECT_EQ(value("ProductVersion"), "3.50");
    EXPECT_EQ(value("FileDescription"), "R846-QVM2K Firmware updater");
    EXPECT_EQ(value("ProductName"), "R846-QVM2K Firmware updater");
    EXPECT_EQ(value("InternalName"), "updater");
    EXPECT_EQ(value("OriginalFilename"), "qvm_updater.exe");
    for (const char *own : {"CompanyName", "LegalCopyright"}) {
        EXPECT_NE(value(own), "<missing>") << own;
        EXPECT_NE(value(own), "") << own;
    }
}

TEST_F(ProgramResources, IconHasFourImages) {
#pragma pack(push, 2)
    struct GroupEntry {
        BYTE width, height, colors, reserved;
        WORD planes, bit_count;
        DWORD bytes;
        WORD id;
    };
    struct Group {
        WORD reserved, type, count;
        GroupEntry entries[1];
    };
#pragma pack(pop)
    DWORD size = 0;
    auto *group = static_cast<const Group *>(
        resource(MAKEINTRESOURCEA(14), MAKEINTRESOURCEA(IDI_QVM_APP), &size));
    ASSERT_NE(group, nullptr) << "no icon 100";
    ASSERT_EQ(group->count, 4);
    std::vector<std::string> got;
    for (int i = 0; i < group->count; ++i) {
        const GroupEntry &e = group->entries[i];
        got.push_back(std::to_string(e.width) + "x" + std::to_string(e.height) + "x" +
                      std::to_string(e.bit_count));
        // Each image loads as an icon of its own size.
        DWORD bytes = 0;
        auto *bits = static_cast<const BYTE *>(
            resource(MAKEINTRESOURCEA(3), MAKEINTRESOURCEA(e.id), &bytes));
        ASSERT_NE(bits, nullptr);
        HICON icon = CreateIconFromResourceEx(const_cast<BYTE *>(bits), bytes, TRUE, 0x00030000,
                                              e.width, e.height, 0);
        EXPECT_NE(icon, nullptr) << got.back();
        if (icon) DestroyIcon(icon);
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"16x16x4", "16x16x8", "32x32x4", "32x32x8"}));
}

TEST_F(ProgramResources, ManifestAsksForStylesDpiAndNoElevation) {
    DWORD size = 0;
    auto *text = static_cast<const char *>(resource(MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1), &size));
    ASSERT_NE(text, nullptr) << "no application manifest";
    const std::string manifest(text, size);
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\""), std::string::npos);
    EXPECT_NE(manifest.find("version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("<dpiAware"), std::string::npos);
}

// One control of a template, in template order.
struct Row {
    int id;
    const char *cls;
    const char *text;  // null: an icon (text not compared, size its own)
    int x, y, w, h;    // dialog units
    DWORD style;       // style bits that must be set
};

struct Template {
    WORD id;
    int w, h;
    const char *caption;
    DWORD style;     // must be set
    DWORD no_style;  // must be clear
    std::vector<Row> rows;
};

// Builds template `t` hidden in this process and compares every control.
void check_template(HMODULE module, const Template &t) {
    HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(t.id), MAKEINTRESOURCEA(5));
    ASSERT_NE(res, nullptr);
    auto *tmpl = static_cast<const DLGTEMPLATE *>(LockResource(LoadResource(module, res)));
    HWND dlg = CreateDialogIndirectParamA(
        module, tmpl, nullptr,
        [](HWND, UINT msg, WPARAM, LPARAM) -> INT_PTR { return msg == WM_INITDIALOG; }, 0);
    ASSERT_NE(dlg, nullptr);
    auto map = [&](int x, int y, int w, int h) {
        RECT u{x, y, w, h};
        MapDialogRect(dlg, &u);
        return RECT{u.left, u.top, u.left + u.right, u.top + u.bottom};
    };

    const DWORD style = static_cast<DWORD>(GetWindowLongA(dlg, GWL_STYLE));
    EXPECT_EQ(style & t.style, t.style);
    EXPECT_EQ(style & t.no_style, 0u);
    EXPECT_EQ(window_text(dlg), t.caption);
    RECT client{};
    GetClientRect(dlg, &client);
    RECT want_client = map(0, 0, t.w, t.h);
    EXPECT_EQ(client.right, want_client.right);
    EXPECT_EQ(client.bottom, want_client.bottom);

    std::vector<HWND> items = children(dlg);
    EXPECT_EQ(items.size(), t.rows.size());
    for (size_t i = 0; i < items.size() && i < t.rows.size(); ++i) {
        const Row &row = t.rows[i];
        SCOPED_TRACE("row " + std::to_string(i));
        HWND item = items[i];
        const int id = GetDlgCtrlID(item);
        EXPECT_TRUE(id == row.id || (row.id == IDC_STATIC && (id & 0xFFFF) == 0xFFFF)) << id;
        EXPECT_EQ(lstrcmpiA(class_name(item).c_str(), row.cls), 0) << class_name(item);
        const DWORD item_style = static_cast<DWORD>(GetWindowLongA(item, GWL_STYLE));
        EXPECT_EQ(item_style & row.style, row.style) << std::hex << item_style;
        RECT got = rect_in(dlg, item), want = map(row.x, row.y, row.w, row.h);
        EXPECT_EQ(got.left, want.left);
        EXPECT_EQ(got.top, want.top);
        if (row.text) {
            EXPECT_EQ(window_text(item), row.text);
            EXPECT_EQ(got.right, want.right);
            EXPECT_EQ(got.bottom, want.bottom);
        }
    }
    DestroyWindow(dlg);
}

const DWORD kText = SS_LEFT | WS_GROUP;
const DWORD kIcon = SS_ICON;

TEST_F(ProgramResources, AboutTemplate) {
    check_template(module_, {IDD_QVM_ABOUT, 169, 65, "R846-QVM2K Firmware updater",
                             WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER,
                             WS_MINIMIZEBOX,
                             {{IDOK, "Button", "OK", 65, 46, 37, 14, BS_DEFPUSHBUTTON | WS_TABSTOP},
                              {IDC_STATIC, "Static", nullptr, 7, 8, 20, 20, kIcon | SS_REALSIZEIMAGE},
                              {IDC_ABOUT_VER, "Static", "Ver. 8.88", 5, 37, 34, 10, kText | SS_CENTERIMAGE},
                              {IDC_STATIC, "Static",
                               "R846-QVM2K Firmware updater.\nCopyright (C) 2026 R846 Project.\nAll "
                               "rights reserved.",
                               35, 8, 128, 28, kText}}});
}

TEST_F(ProgramResources, DeviceSearchTemplate) {
    check_template(module_, {IDD_QVM_SEARCH, 155, 42, "", WS_POPUP | DS_MODALFRAME | DS_CENTER,
                             WS_CAPTION | WS_SYSMENU,
                             {{IDC_DLG_ICON, "Static", nullptr, 9, 10, 20, 20, kIcon},
                              {IDC_STATIC, "Static", "Looking for R846-QVM2K.\nPlease wait...", 39,
                               12, 100, 16, kText}}});
}

TEST_F(ProgramResources, ProgressTemplate) {
    check_template(
        module_,
        {IDD_QVM_PROGRESS, 238, 59, "R846-QVM2K Firmware updater",
         WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_CENTER, WS_SYSMENU,
         {{IDC_DLG_ICON, "Static", nullptr, 5, 7, 20, 20, kIcon},
          {IDC_STATIC, "Static",
           "Updating R846-QVM2K firmware.\nPlease do not remove R846-QVM2K.\nPlease wait...", 35, 6,
           157, 23, kText},
          // The template's WS_BORDER is not read back: the live control
          // drops it and draws its own edge.
          {IDC_PROGRESS_BAR, PROGRESS_CLASSA, "Progress1", 13, 37, 210, 15, PBS_SMOOTH}}});
}

}  // namespace
