// Support for the end-to-end tests of the version query and the update:
// the simulated device (through the driver's control device), the
// program's message boxes and dialogs, the device's command log in a
// readable form, and the embedded window the device must end up holding.
//
// Threads: the test thread only. Every wait has a deadline.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "devsim_ctl.h"
#include "qvm_e2e.h"

namespace upd_e2e {

// Texts of the program, exactly as the user sees them.
extern const char kCaption[];
extern const char kCommError[];
extern const char kNotFound[];
extern const char kNotNecessary[];
extern const char kConfirm[];
extern const char kCompleted[];

// Main dialog controls.
constexpr int kDevVer = 3010;
constexpr int kRomVer = 3012;
constexpr int kGetVer = 3002;
constexpr int kUpdate = 3001;
constexpr int kProgressBar = 3200;
constexpr int kBoxText = 0xFFFF;

// The embedded image's version and its text.
constexpr std::uint32_t kImageVersion = 362;
extern const char kImageVersionText[];

// Number of 256-byte blocks in the window 0x4000..0x7FFF.
constexpr int kBlocks = 64;

// Version numbers for devices.
constexpr std::uint32_t kNoFirmware = 0xFFFFFFFFu;

// A message box of the program: a visible "#32770" window with an OK
// button (the progress and search dialogs have none). Null when none
// appeared within `ms`.
HWND wait_box(const qvm_e2e::Program &prog, DWORD ms = qvm_e2e::kWaitMs);
// The visible progress dialog (it holds the bar 3200), or null.
HWND wait_progress(const qvm_e2e::Program &prog, DWORD ms = qvm_e2e::kWaitMs);
// The box's text and caption.
std::string box_text(HWND box);
// Whether any box of the program is open now.
bool box_open(const qvm_e2e::Program &prog);
// Answers a box with button `id` (IDOK, IDCANCEL) and waits until it is gone.
bool answer_box(HWND box, int id);
// Waits until control `id` of `dlg` shows `text`; false (and the last text
// in *seen) when it did not within `ms`.
bool wait_text(HWND dlg, int id, const std::string &text, std::string *seen = nullptr,
               DWORD ms = qvm_e2e::kWaitMs);

// The simulated devices. kFresh (tests): starts from no device at all, and
// the destructor unplugs what was plugged in. kPlugged (demo): works with
// the devices as they are and leaves them so.
class Devices {
public:
    enum class Keep { kFresh, kPlugged };
    explicit Devices(Keep keep = Keep::kFresh);
    ~Devices();
    Devices(const Devices &) = delete;
    Devices &operator=(const Devices &) = delete;

    // False when the driver does not answer (the test then fails).
    bool ready() const { return ctl_.is_open(); }
    bool add(std::uint32_t index, std::uint32_t firm_version);
    bool remove(std::uint32_t index) { return ctl_.remove(index); }
    devsim::Control &ctl() { return ctl_; }

    // The device's log as readable steps: "VER", "LED1".."LED3", "BEGIN",
    // "BLOCK 4000", "END", and for a refused or failed exchange a suffix
    // such as " !err" (error answer) or " !fault5" (another fault kind).
    std::vector<std::string> steps(std::uint32_t index);
    devsim_ioc_state state(std::uint32_t index);
    std::vector<std::uint8_t> flash(std::uint32_t index);

private:
    devsim::Control ctl_;
    Keep keep_;
};

// Clicks "Get firmware ver." on `main` and waits until device `index` was
// asked and control 3010 shows `text`. The text may already be there from
// before, so the wait is for the query first. On false, *why says what did
// not happen.
bool query_version(Devices &dev, HWND main, const std::string &text, std::string *why,
                   std::uint32_t index = 0);

// The steps of a whole successful transfer: LED 2, begin, the 64 blocks
// from 0x4000 to 0x7F00, end, LED 1.
std::vector<std::string> transfer_steps();

// The window 0x4000..0x7FFF that the program embeds (the firmware build's
// own image, cut as the program cuts it). Empty when it cannot be built.
std::vector<std::uint8_t> embedded_window();

// Joined for failure messages.
std::string join(const std::vector<std::string> &steps);

} // namespace upd_e2e
