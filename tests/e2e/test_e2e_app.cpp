// qvm_updater.exe from the outside: the main dialog as its template lays it
// out, the single-instance rule, the About dialog and every way to end.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "qvm_e2e.h"
#include "resource.h"

namespace {

using namespace qvm_e2e;

// One row of the main dialog's template, in template order.
struct TemplateRow {
    int id;
    const char *cls;
    const char *text;  // null: not compared (the icon)
    int x, y, w, h;    // dialog units
};

// The embedded image carries version 3.62; the device side is unknown
// until asked.
const TemplateRow kMainRows[] = {
    {IDCANCEL, "Button", "Exit", 310, 64, 41, 14},
    {IDC_STATIC, "Static", nullptr, 320, 11, 20, 20},
    {IDC_MAIN_ABOUT, "Button", "About", 310, 40, 41, 14},
    {IDC_STATIC, "Static", "Firmware version :", 7, 5, 82, 8},
    {IDC_MAIN_DEV_VER, "Static", "------", 7, 16, 117, 40},
    {IDC_MAIN_GET_VER, "Button", "Get firmware ver.", 29, 64, 72, 14},
    {IDC_MAIN_ARROW, "Static", ">>>", 137, 16, 36, 40},
    {IDC_STATIC, "Static", "Update version :", 186, 5, 82, 8},
    {IDC_MAIN_ROM_VER, "Static", "3.62", 186, 16, 117, 40},
    {IDC_MAIN_UPDATE, "Button", "Update", 219, 64, 50, 14},
};

bool same_id(HWND item, int id) {
    // A template id of -1 reads back as -1 or, from a 16-bit template, 0xFFFF.
    const int got = GetDlgCtrlID(item);
    return got == id || (id == IDC_STATIC && (got & 0xFFFF) == 0xFFFF);
}

// The program ended by itself, with exit code 0.
::testing::AssertionResult ended_cleanly(Program &prog) {
    if (!prog.wait_exit()) return ::testing::AssertionFailure() << "still running";
    if (prog.exit_code() != 0) {
        return ::testing::AssertionFailure() << "exit code " << prog.exit_code();
    }
    return ::testing::AssertionSuccess();
}

bool same_text_ci(const std::string &a, const char *b) { return lstrcmpiA(a.c_str(), b) == 0; }

// Dialog units of the main dialog's template in pixels. MapDialogRect does
// not reach a window of another process under Wine, so it runs on a twin:
// a hidden dialog in this process built from the program's own template
// 2000, hence with the same font and the same base units.
class TemplateTwin {
public:
    TemplateTwin() {
        module_ = LoadLibraryExA(updater_path().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        if (!module_) return;
        HRSRC res = FindResourceA(module_, MAKEINTRESOURCEA(IDD_QVM_MAIN), MAKEINTRESOURCEA(5));
        if (!res) return;
        auto *tmpl = static_cast<const DLGTEMPLATE *>(LockResource(LoadResource(module_, res)));
        register_main_class();
        dlg_ = CreateDialogIndirectParamA(
            module_, tmpl, nullptr,
            [](HWND, UINT msg, WPARAM, LPARAM) -> INT_PTR { return msg == WM_INITDIALOG; }, 0);
    }
    ~TemplateTwin() {
        if (dlg_) DestroyWindow(dlg_);
        unregister_main_class();
        if (module_) FreeLibrary(module_);
    }
    HWND dlg() const { return dlg_; }
    // Place and size in pixels, each field converted on its own as the
    // dialog manager converts a control's place and size.
    RECT map(int x, int y, int w, int h) const {
        RECT units{x, y, w, h};
        MapDialogRect(dlg_, &units);
        return RECT{units.left, units.top, units.left + units.right, units.top + units.bottom};
    }

private:
    HMODULE module_ = nullptr;
    HWND dlg_ = nullptr;
};

std::string rect_text(const RECT &rc) {
    return std::to_string(rc.left) + "," + std::to_string(rc.top) + " " +
           std::to_string(rc.right - rc.left) + "x" + std::to_string(rc.bottom - rc.top);
}

LONG style(HWND wnd) { return GetWindowLongA(wnd, GWL_STYLE); }

// Starts the program and waits for its main dialog.
HWND start_main(Program &prog, WORD show = SW_SHOWNORMAL) {
    if (!prog.start(updater_path(), show)) return nullptr;
    return prog.wait_main();
}

// Opens About through command `id` and returns its window.
HWND open_about(const Program &prog, HWND main, int id = IDC_MAIN_ABOUT) {
    auto before = prog.dialogs();
    click(main, id);
    return prog.wait_new_dialog(before);
}

TEST(MainDialog, MatchesTemplateAndShowsImageVersion) {
    Program prog;
    HWND main = start_main(prog);
    ASSERT_NE(main, nullptr) << "no main dialog from " << updater_path();

    EXPECT_EQ(window_text(main), "R846-QVM2K Firmware updater");
    const LONG want_style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    EXPECT_EQ(style(main) & want_style, want_style);
    EXPECT_EQ(style(main) & WS_MAXIMIZEBOX, 0);
    EXPECT_NE(GetWindowLongA(main, GWL_EXSTYLE) & WS_EX_APPWINDOW, 0);

    // Centred on the work area.
    RECT work{}, wnd{};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(main, &wnd);
    EXPECT_NEAR((wnd.left + wnd.right) / 2, (work.left + work.right) / 2, 2);
    EXPECT_NEAR((wnd.top + wnd.bottom) / 2, (work.top + work.bottom) / 2, 2);

    TemplateTwin twin;
    ASSERT_NE(twin.dlg(), nullptr) << "template 2000 not readable from the program";
    RECT client{};
    GetClientRect(main, &client);
    RECT want_client = twin.map(0, 0, 359, 85);
    EXPECT_EQ(client.right, want_client.right);
    EXPECT_EQ(client.bottom, want_client.bottom);

    std::vector<HWND> items = children(main);
    ASSERT_EQ(items.size(), std::size(kMainRows));
    for (size_t i = 0; i < items.size(); ++i) {
        const TemplateRow &row = kMainRows[i];
        SCOPED_TRACE("template row " + std::to_string(i) + " (id " + std::to_string(row.id) + ")");
        HWND item = items[i];
        EXPECT_TRUE(same_id(item, row.id)) << "id " << GetDlgCtrlID(item);
        EXPECT_TRUE(same_text_ci(class_name(item), row.cls)) << class_name(item);
        if (row.text) {
            EXPECT_EQ(window_text(item), row.text);
        }
        EXPECT_TRUE(IsWindowVisible(item));

        RECT want = twin.map(row.x, row.y, row.w, row.h);
        RECT got = rect_in(main, item);
        if (row.text) {
            EXPECT_TRUE(EqualRect(&got, &want)) << "at " << rect_text(got) << ", template "
                                                << rect_text(want);
        } else {
            // A real-size icon takes its image's size; only its place is fixed.
            EXPECT_EQ(got.left, want.left);
            EXPECT_EQ(got.top, want.top);
        }
    }

    // Kinds: one default button, sunken version texts, a real-size icon.
    EXPECT_EQ(style(items[0]) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    for (int i : {2, 5, 9}) {
        EXPECT_EQ(style(items[i]) & BS_TYPEMASK, BS_PUSHBUTTON) << i;
        EXPECT_NE(style(items[i]) & WS_TABSTOP, 0) << i;
    }
    EXPECT_EQ(style(items[1]) & (SS_TYPEMASK | SS_REALSIZEIMAGE), SS_ICON | SS_REALSIZEIMAGE);
    for (int i : {4, 6, 8}) {
        EXPECT_EQ(style(items[i]) & SS_TYPEMASK, SS_CENTER) << i;
        EXPECT_NE(style(items[i]) & SS_CENTERIMAGE, 0) << i;
        EXPECT_EQ((style(items[i]) & SS_SUNKEN) != 0, i != 6) << i;
    }

    // A usable image: both device commands are on.
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main, IDC_MAIN_UPDATE)));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main, IDC_MAIN_GET_VER)));

    // A command id outside the table (1) changes nothing.
    click(main, IDOK);
    click(main, IDC_MAIN_ABOUT + 99);
    EXPECT_FALSE(prog.wait_exit(300));
    EXPECT_TRUE(prog.dialogs().empty());

    click(main, IDCANCEL);  // Exit
    EXPECT_TRUE(ended_cleanly(prog)) << "Exit did not end the program";
}

TEST(MainDialog, MinimizedStartShowsNormallyAndEscapeEnds) {
    Program prog;
    HWND main = start_main(prog, SW_SHOWMINNOACTIVE);
    ASSERT_NE(main, nullptr);
    EXPECT_FALSE(IsIconic(main));
    EXPECT_TRUE(IsWindowVisible(main));

    press_key(main, VK_ESCAPE);
    EXPECT_TRUE(ended_cleanly(prog)) << "Escape did not end the program";
}

TEST(MainDialog, CloseBoxEnds) {
    Program prog;
    HWND main = start_main(prog);
    ASSERT_NE(main, nullptr);
    close_box(main);
    EXPECT_TRUE(ended_cleanly(prog)) << "the close box did not end the program";
}

TEST(SingleInstance, SecondStartEndsAndBringsBackTheMinimizedFirst) {
    Program first;
    HWND main = start_main(first);
    ASSERT_NE(main, nullptr);
    ShowWindow(main, SW_MINIMIZE);
    ASSERT_TRUE(wait_until([&] { return IsIconic(main) != FALSE; }));

    Program second;
    ASSERT_TRUE(second.start());
    bool second_window = false;
    const bool ended = wait_until([&] {
        second_window = second_window || !second.visible_windows(kMainClass).empty() ||
                        !second.dialogs().empty();
        return !second.running();
    });
    ASSERT_TRUE(ended) << "the second instance keeps running";
    EXPECT_FALSE(second_window) << "the second instance showed a window";

    EXPECT_TRUE(wait_until([&] { return !IsIconic(main); })) << "first window still minimized";
    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_TRUE(wait_until([&] { return GetForegroundWindow() == main; }))
        << "first window not in the foreground";
    EXPECT_TRUE(first.running());

    click(main, IDCANCEL);
    EXPECT_TRUE(first.wait_exit());
}

TEST(About, ShowsVersionClosesEveryWayAndOpensOnlyOnce) {
    Program prog;
    HWND main = start_main(prog);
    ASSERT_NE(main, nullptr);

    // OK, Enter, Escape and the close box each close it; it opens again
    // each time, from the About button and from both help command ids.
    struct Way {
        const char *name;
        int open_id;
        void (*close)(HWND);
    };
    const Way ways[] = {
        {"OK", IDC_MAIN_ABOUT, [](HWND about) { click(about, IDOK); }},
        {"Enter", 9, [](HWND about) { press_key(about, VK_RETURN); }},
        {"Escape", 57670, [](HWND about) { press_key(about, VK_ESCAPE); }},
        {"close box", IDC_MAIN_ABOUT, [](HWND about) { close_box(about); }},
    };
    for (const Way &way : ways) {
        SCOPED_TRACE(way.name);
        HWND about = open_about(prog, main, way.open_id);
        ASSERT_NE(about, nullptr) << "About did not open";
        EXPECT_EQ(window_text(about), "R846-QVM2K Firmware updater");
        EXPECT_EQ(item_text(about, IDC_ABOUT_VER), "Ver. 3.50");
        EXPECT_EQ(item_text(about, IDOK), "OK");
        EXPECT_FALSE(IsWindowEnabled(main)) << "main dialog takes input under About";
        way.close(about);
        EXPECT_TRUE(wait_gone(about)) << "About did not close";
        EXPECT_TRUE(wait_until([&] { return IsWindowEnabled(main) != FALSE; }));
    }

    // While About is open, a second About command is ignored, and a close
    // request to the main dialog (the close box is disabled with it, but
    // another program can still post WM_CLOSE, as taskkill does) does not
    // end the program under About.
    HWND about = open_about(prog, main);
    ASSERT_NE(about, nullptr);
    click(main, IDC_MAIN_ABOUT);
    close_box(main);
    PostMessageA(main, WM_CLOSE, 0, 0);
    EXPECT_FALSE(prog.wait_exit(500));
    EXPECT_EQ(prog.dialogs().size(), 1u);
    ASSERT_TRUE(IsWindow(about));
    EXPECT_EQ(item_text(about, IDC_ABOUT_VER), "Ver. 3.50");
    click(about, IDOK);
    ASSERT_TRUE(wait_gone(about));

    // The dialog class held the request until the command returned; now it
    // is asked, and the program ends cleanly.
    EXPECT_TRUE(ended_cleanly(prog)) << "the close request held during About was lost";
}

}  // namespace
