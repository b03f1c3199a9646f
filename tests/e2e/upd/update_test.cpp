// "Update" end to end: the real program under Wine against the simulated
// device driver; what the user sees (texts exactly) and what the device saw
// (its command log, LED and flash).
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>

#include "upd_fixture.h"

using namespace upd_e2e;

namespace {

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// PBM_GETPOS of another process's bar, never blocking for long.
int bar_pos(HWND bar) {
    DWORD_PTR pos = 0;
    if (!SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &pos)) return -1;
    return static_cast<int>(pos);
}

class Update : public ProgramTest {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(wait_text(main, kRomVer, kImageVersionText)) << "no embedded image";
    }

    // Shows the device's version first, so that "unchanged" means something.
    void show_version(const std::string &text) {
        std::string why;
        ASSERT_TRUE(query_version(dev, main, text, &why)) << why;
        ASSERT_TRUE(dev.ctl().clear_log(0));
    }

    // Waits for the next box and checks its text and caption; nullptr when
    // none came (`what` says which was missing).
    HWND box_saying(const char *text, const char *what = "no message box") {
        HWND box = wait_box(prog);
        EXPECT_NE(box, nullptr) << what;
        if (box == nullptr) return nullptr;
        EXPECT_EQ(box_text(box), text);
        EXPECT_EQ(qvm_e2e::window_text(box), kCaption);
        return box;
    }

    // Clicks Update and returns the first box, checked for `text`.
    HWND update_until_box(const char *text) {
        qvm_e2e::click(main, kUpdate);
        return box_saying(text);
    }

    // Answers a box that came with OK.
    static bool ok_box(HWND box) { return box != nullptr && answer_box(box, IDOK); }

    // Waits until the update dialogue is over (no dialog or box left).
    void expect_dialogue_over() {
        EXPECT_TRUE(qvm_e2e::wait_until([&] { return prog.dialogs().empty(); }))
            << "a dialog stays open";
    }

    void expect_display(const std::string &text) {
        expect_dialogue_over();
        EXPECT_EQ(qvm_e2e::item_text(main, kDevVer), text);
    }

    // Runs an update that the device accepts whole and checks everything
    // the user and the device see; `before` is the device's log up to the
    // version check.
    void expect_complete_update(const std::vector<std::string> &before) {
        ASSERT_TRUE(ok_box(update_until_box(kConfirm)));
        HWND done = box_saying(kCompleted, "no completion box");
        ASSERT_NE(done, nullptr);
        // The progress dialog is still there under the box, and full.
        HWND progress = wait_progress(prog, 0);
        ASSERT_NE(progress, nullptr) << "no progress dialog while the box is up";
        EXPECT_EQ(bar_pos(GetDlgItem(progress, kProgressBar)), 100);
        ASSERT_TRUE(answer_box(done, IDOK));
        EXPECT_TRUE(qvm_e2e::wait_gone(progress));
        // The program asks the device again and shows what it now holds.
        std::string seen;
        EXPECT_TRUE(wait_text(main, kDevVer, kImageVersionText, &seen))
            << "shows \"" << seen << "\"";
        expect_dialogue_over();
        EXPECT_EQ(join(dev.steps(0)),
                  join(concat(concat(before, transfer_steps()), {"VER"})));
        devsim_ioc_state st = dev.state(0);
        EXPECT_EQ(st.firm_version, kImageVersion);
        EXPECT_EQ(st.led, 1u);
        EXPECT_EQ(st.blocks_received, static_cast<std::uint32_t>(kBlocks));
        EXPECT_EQ(st.commits, 1u);
        const std::vector<std::uint8_t> window = embedded_window();
        ASSERT_EQ(window.size(), 0x4000u);
        const std::vector<std::uint8_t> flash = dev.flash(0);
        ASSERT_EQ(flash.size(), window.size());
        auto diff = std::mismatch(flash.begin(), flash.end(), window.begin());
        EXPECT_TRUE(diff.first == flash.end())
            << "flash differs from the embedded window at 0x" << std::hex
            << 0x4000 + (diff.first - flash.begin());
    }

};

TEST_F(Update, WritesTheEmbeddedWindowAndShowsTheNewVersion) {
    ASSERT_TRUE(dev.add(0, 341));
    expect_complete_update({"VER"});
}

TEST_F(Update, DeviceWithoutFirmwareIsUpdated) {
    ASSERT_TRUE(dev.add(0, kNoFirmware));
    show_version("No firm");
    expect_complete_update({"VER"});
}

TEST_F(Update, CancelAtTheConfirmationWritesNothing) {
    ASSERT_TRUE(dev.add(0, 341));
    show_version("3.41");
    HWND confirm = update_until_box(kConfirm);
    ASSERT_NE(confirm, nullptr);
    // OK and Cancel, Cancel the default.
    HWND cancel = GetDlgItem(confirm, IDCANCEL);
    ASSERT_NE(cancel, nullptr);
    EXPECT_TRUE(GetWindowLongA(cancel, GWL_STYLE) & BS_DEFPUSHBUTTON);
    EXPECT_FALSE(GetWindowLongA(GetDlgItem(confirm, IDOK), GWL_STYLE) & BS_DEFPUSHBUTTON);
    ASSERT_TRUE(answer_box(confirm, IDCANCEL));
    expect_display("3.41");
    EXPECT_FALSE(box_open(prog));
    // Only the teardown's LED 1 after the check.
    EXPECT_EQ(join(dev.steps(0)), "VER, LED1");
    EXPECT_EQ(dev.state(0).led, 1u);
}

TEST_F(Update, UpToDateDeviceIsNotUpdated) {
    // The same version, and a newer one.
    for (std::uint32_t version : {kImageVersion, 400u}) {
        SCOPED_TRACE(version);
        dev.remove(0);
        ASSERT_TRUE(dev.add(0, version));
        show_version(version == kImageVersion ? "3.62" : "4.00");
        ASSERT_TRUE(ok_box(update_until_box(kNotNecessary)));
        expect_display(version == kImageVersion ? "3.62" : "4.00");
        EXPECT_EQ(join(dev.steps(0)), "VER, LED1");
    }
}

TEST_F(Update, NoDeviceIsReported) {
    ASSERT_TRUE(dev.add(0, 341));
    show_version("3.41");
    ASSERT_TRUE(dev.remove(0));
    ASSERT_TRUE(ok_box(update_until_box(kNotFound)));
    expect_display("3.41");
}

TEST_F(Update, FailedVersionCheckIsReported) {
    ASSERT_TRUE(dev.add(0, 341));
    show_version("3.41");
    ASSERT_TRUE(dev.ctl().arm_fault(0, 0, DEVSIM_FAULT_ERROR_ANSWER));
    ASSERT_TRUE(ok_box(update_until_box(kCommError)));
    expect_display("3.41");
    // No boot data; the teardown still sends LED 1.
    EXPECT_EQ(join(dev.steps(0)), "VER !err, LED1");
}

TEST_F(Update, FailureAtADataBlockIsReported) {
    // The third block (exchange 5 after the check, LED 2, begin and two
    // blocks) fails: refused by the device, and lost in the write.
    const std::uint32_t kinds[] = {DEVSIM_FAULT_ERROR_ANSWER, DEVSIM_FAULT_WRITE_FAILS};
    for (std::uint32_t kind : kinds) {
        SCOPED_TRACE(devsim::fault_kind_name(kind));
        dev.remove(0);
        ASSERT_TRUE(dev.add(0, 341));
        show_version("3.41");
        ASSERT_TRUE(dev.ctl().arm_fault(0, 5, kind));
        ASSERT_TRUE(ok_box(update_until_box(kConfirm)));
        ASSERT_TRUE(ok_box(box_saying(kCommError, "no outcome box")));
        expect_display("3.41");
        const std::string failed =
            kind == DEVSIM_FAULT_ERROR_ANSWER ? "BLOCK 4200 !err" : "BLOCK 4200 !fault5";
        EXPECT_EQ(join(dev.steps(0)),
                  "VER, LED2, BEGIN, BLOCK 4000, BLOCK 4100, " + failed + ", LED3, LED1");
        EXPECT_EQ(dev.state(0).led, 1u);
        EXPECT_EQ(dev.state(0).commits, 0u);
    }
}

TEST_F(Update, EscapeEnterAndCloseCannotEndTheProgressDialog) {
    ASSERT_TRUE(dev.add(0, 341));
    // Slow enough to act while the transfer runs (about 2 s in all).
    ASSERT_TRUE(dev.ctl().set_delay(0, 25));
    ASSERT_TRUE(ok_box(update_until_box(kConfirm)));
    HWND progress = wait_progress(prog);
    ASSERT_NE(progress, nullptr) << "no progress dialog";
    EXPECT_EQ(qvm_e2e::window_text(progress), kCaption);
    HWND bar = GetDlgItem(progress, kProgressBar);

    std::vector<int> seen;
    auto sample = [&] {
        int pos = bar_pos(bar);
        if (seen.empty() || seen.back() != pos) seen.push_back(pos);
    };
    sample();
    // Every way a user might try to close it, while the bar still runs.
    qvm_e2e::press_key(progress, VK_ESCAPE);
    qvm_e2e::press_key(progress, VK_RETURN);
    qvm_e2e::close_box(progress);
    PostMessageA(progress, WM_SYSKEYDOWN, VK_F4, static_cast<LPARAM>(KF_ALTDOWN) << 16);
    PostMessageA(progress, WM_SYSKEYUP, VK_F4, static_cast<LPARAM>(KF_ALTDOWN | KF_UP) << 16);
    HWND done = nullptr;
    qvm_e2e::wait_until(
        [&] {
            sample();
            return (done = wait_box(prog, 0)) != nullptr;
        },
        30000);
    ASSERT_NE(done, nullptr) << "no completion box";
    EXPECT_TRUE(IsWindow(progress) && IsWindowVisible(progress))
        << "the progress dialog closed before the end";
    sample();
    EXPECT_EQ(box_text(done), kCompleted);
    // The bar only grows, visibly, and ends full.
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_GE(seen.size(), 3u);
    EXPECT_EQ(seen.back(), 100);
    ASSERT_TRUE(answer_box(done, IDOK));
    EXPECT_TRUE(qvm_e2e::wait_gone(progress));
    std::string text;
    EXPECT_TRUE(wait_text(main, kDevVer, kImageVersionText, &text)) << "shows \"" << text << "\"";
    EXPECT_EQ(join(dev.steps(0)), join(concat(concat({"VER"}, transfer_steps()), {"VER"})));
}

TEST_F(Update, SearchDialogIgnoresEscapeAndEnter) {
    ASSERT_TRUE(dev.add(0, 341));
    // The version check answers late, so the search dialog stays up a while.
    ASSERT_TRUE(dev.ctl().arm_fault(0, 0, DEVSIM_FAULT_DELAY, 1500));
    qvm_e2e::click(main, kUpdate);
    HWND search = nullptr;
    ASSERT_TRUE(qvm_e2e::wait_until([&] {
        for (HWND d : prog.dialogs()) {
            if (GetDlgItem(d, 3300) != nullptr && GetDlgItem(d, IDOK) == nullptr &&
                GetDlgItem(d, kProgressBar) == nullptr) {
                search = d;
                return true;
            }
        }
        return false;
    })) << "no search dialog";
    qvm_e2e::press_key(search, VK_ESCAPE);
    qvm_e2e::press_key(search, VK_RETURN);
    qvm_e2e::close_box(search);
    HWND confirm = wait_box(prog);
    ASSERT_NE(confirm, nullptr);
    EXPECT_EQ(box_text(confirm), kConfirm);
    EXPECT_TRUE(IsWindow(search)) << "the search dialog closed early";
    ASSERT_TRUE(answer_box(confirm, IDCANCEL));
    expect_dialogue_over();
    EXPECT_EQ(join(dev.steps(0)), "VER, LED1");
}

} // namespace
