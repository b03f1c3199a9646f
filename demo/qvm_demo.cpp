// The demo's walk through one whole update, as a user would click it: the
// real program against simulated device 0 (which the demo script has
// plugged in with an older firmware). At each step it asks the demo script
// for a screenshot of the program's windows, and at the end it prints what
// the user saw and what the device received.
//
//   qvm_demo.exe SHOTS_DIR
//
// Screenshot hand-shake (SHOTS_DIR in Windows form): the program writes
// NN-name.req holding the X geometry to capture ("WxH+X+Y"); the script
// takes the picture as NN-name.png and then creates NN-name.done.
//
// Exit status: 0 when the update went through and the device holds the
// embedded window; 1 otherwise.
//
// Threads: one.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "upd_support.h"

using namespace upd_e2e;

namespace {

// Per-exchange delay while the progress dialog is to be seen.
constexpr std::uint32_t kDelayMs = 30;

class Shots {
public:
    explicit Shots(std::string dir) : dir_(std::move(dir)) {}

    // Captures the union of `wnds` (plus a margin) as step `name`; false
    // when the script did not answer in time.
    bool take(const char *name, const std::vector<HWND> &wnds) {
        RECT all{};
        bool any = false;
        for (HWND w : wnds) {
            RECT r;
            if (w == nullptr || !IsWindowVisible(w) || !GetWindowRect(w, &r)) continue;
            if (!any) {
                all = r;
                any = true;
            } else {
                UnionRect(&all, &all, &r);
            }
        }
        const int margin = 16;
        char geometry[64] = "";
        if (any) {
            int x = std::max(0L, all.left - margin), y = std::max(0L, all.top - margin);
            std::snprintf(geometry, sizeof geometry, "%ldx%ld+%d+%d",
                          all.right + margin - x, all.bottom + margin - y, x, y);
        }
        char base[32];
        std::snprintf(base, sizeof base, "%02d-%s", ++count_, name);
        const std::string stem = dir_ + "\\" + base;
        // Let the windows finish painting first.
        Sleep(250);
        FILE *req = std::fopen((stem + ".req").c_str(), "w");
        if (req == nullptr) return false;
        std::fputs(geometry, req);
        std::fclose(req);
        const std::string done = stem + ".done";
        bool ok = qvm_e2e::wait_until(
            [&] { return GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES; }, 20000);
        DeleteFileA(done.c_str());
        std::printf("  screenshot %s.png\n", base);
        return ok;
    }

private:
    std::string dir_;
    int count_ = 0;
};

bool fail(const char *what) {
    std::printf("demo: %s\n", what);
    return false;
}

std::string version_text(std::uint32_t v) {
    if (v == kNoFirmware) return "no firmware";
    char text[32];
    std::snprintf(text, sizeof text, "%u.%02u", static_cast<unsigned>((v & 0xFFFF) / 100),
                  static_cast<unsigned>((v & 0xFFFF) % 100));
    std::string s = text;
    for (int shift = 24; shift >= 16; shift -= 8) {
        char c = static_cast<char>((v >> shift) & 0xFF);
        if (c != 0) s += c;
    }
    return s;
}

// The demo's story, one user step after another, each printed and shot as
// the user sees it: kept whole (longer than our usual 60 lines) so that it
// reads as the walk-through it is.
bool run(Shots &shots) {
    Devices dev(Devices::Keep::kPlugged);
    if (!dev.ready()) return fail("the simulated device driver does not answer");
    devsim_ioc_state before{};
    if (!dev.ctl().state(0, &before) || !dev.ctl().clear_log(0)) {
        return fail("no simulated device 0 (the demo script plugs it in)");
    }
    dev.ctl().set_delay(0, 0);

    qvm_e2e::Program prog;
    if (!prog.start()) return fail("qvm_updater.exe does not start");
    HWND main = prog.wait_main();
    if (main == nullptr) return fail("no main dialog");
    std::string image_text;
    wait_text(main, kRomVer, kImageVersionText, &image_text);
    std::printf("Main dialog: update version %s\n", image_text.c_str());
    shots.take("main", {main});

    qvm_e2e::click(main, kGetVer);
    std::string shown_before;
    if (!qvm_e2e::wait_until([&] {
            shown_before = qvm_e2e::item_text(main, kDevVer);
            return shown_before != "------" || box_open(prog);
        })) {
        return fail("the device version does not show");
    }
    std::printf("Get firmware ver.: the device shows %s\n", shown_before.c_str());
    shots.take("device-version", {main});

    // Slow the device a little so that the progress can be seen.
    dev.ctl().set_delay(0, kDelayMs);
    qvm_e2e::click(main, kUpdate);
    HWND confirm = wait_box(prog);
    if (confirm == nullptr) return fail("no confirmation");
    std::printf("Update: \"%s\"\n", box_text(confirm).c_str());
    shots.take("confirmation", {main, confirm});
    answer_box(confirm, IDOK);

    HWND progress = wait_progress(prog);
    if (progress == nullptr) return fail("no progress dialog");
    HWND bar = GetDlgItem(progress, kProgressBar);
    qvm_e2e::wait_until([&] {
        DWORD_PTR pos = 0;
        SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &pos);
        return pos >= 40 || box_open(prog);
    });
    std::printf("Progress dialog: \"%s\"\n",
                qvm_e2e::item_text(progress, 0xFFFF).c_str());
    shots.take("progress", {main, progress});

    HWND done = wait_box(prog, 60000);
    if (done == nullptr) return fail("no completion box");
    std::string outcome = box_text(done);
    std::printf("Outcome: \"%s\"\n", outcome.c_str());
    shots.take("completion", {main, progress, done});
    answer_box(done, IDOK);
    dev.ctl().set_delay(0, 0);

    std::string shown_after;
    wait_text(main, kDevVer, kImageVersionText, &shown_after);
    qvm_e2e::wait_until([&] { return prog.dialogs().empty(); });
    shots.take("new-version", {main});

    qvm_e2e::click(main, IDCANCEL);  // Exit
    prog.wait_exit();

    // What the device saw.
    devsim_ioc_state after{};
    if (!dev.ctl().state(0, &after)) return fail("the simulated device's state cannot be read");
    std::vector<std::string> steps = dev.steps(0);
    int blocks = 0;
    std::string first_block, last_block;
    for (const std::string &s : steps) {
        if (s.rfind("BLOCK ", 0) == 0) {
            ++blocks;
            if (first_block.empty()) first_block = s.substr(6);
            last_block = s.substr(6);
        }
    }
    const std::vector<std::uint8_t> window = embedded_window();
    const std::vector<std::uint8_t> flash = dev.flash(0);
    const bool same = !window.empty() && flash == window;

    std::printf("\n==== Demo report ====\n");
    std::printf("Device firmware before: %s (shown \"%s\")\n",
                version_text(before.firm_version).c_str(), shown_before.c_str());
    std::printf("Device firmware after:  %s (shown \"%s\")\n",
                version_text(after.firm_version).c_str(), shown_after.c_str());
    std::printf("Embedded image version: %s\n", image_text.c_str());
    std::printf("Blocks the device received: %d (0x%s..0x%s), transfers committed: %u\n",
                blocks, first_block.c_str(), last_block.c_str(),
                static_cast<unsigned>(after.commits));
    std::printf("Device flash equals the embedded window 0x4000..0x7FFF: %s (%zu bytes)\n",
                same ? "yes" : "NO", flash.size());
    std::printf("Commands the device received: %zu; LED now %u\n", steps.size(),
                static_cast<unsigned>(after.led));
    // Get firmware ver., the update's version check, the transfer, and the
    // query that shows the new version.
    std::vector<std::string> expected = {"VER", "VER"};
    for (const std::string &s : transfer_steps()) expected.push_back(s);
    expected.push_back("VER");
    const bool order = steps == expected;
    std::printf("Command order (version, version check, LED 2, begin, 64 blocks, end, LED 1,\n"
                "  version): %s\n",
                order ? "as expected" : ("UNEXPECTED: " + join(steps)).c_str());
    return same && order && blocks == kBlocks && outcome == kCompleted &&
           shown_after == kImageVersionText;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qvm_demo SHOTS_DIR\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    Shots shots(argv[1]);
    const bool ok = run(shots);
    std::printf("Demo %s.\n", ok ? "passed" : "FAILED");
    std::fflush(stdout);
    return ok ? 0 : 1;
}
