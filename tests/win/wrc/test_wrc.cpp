// The update controller (CLS_pwrc_upd) and its progress dialog built
// in-process against the simulated device driver: the options the program
// itself never uses, and a communication controller that cannot be
// allocated. The test thread is the user-interface thread (the modal
// dialogs run their loops on it); a second thread answers every message
// box of the process with OK and notes its text.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "devsim_ctl.h"
#include "pcmc.h"
#include "prom.h"
#include "pwrc_upd.h"
#include "resource.h"

namespace {
// One-shot: the next nothrow allocation of a controller fails.
std::atomic<bool> g_fail_controller{false};
} // namespace

void *operator new(std::size_t n, const std::nothrow_t &) noexcept {
    if (n == sizeof(CLS_pcmc) && g_fail_controller.exchange(false)) return nullptr;
    return std::malloc(n != 0 ? n : 1);
}

namespace {

constexpr std::uint32_t kImageVersion = 362;

// Answers every message box of this process with OK and keeps its text.
class BoxAnswerer {
public:
    BoxAnswerer() : thread_([this] { run(); }) {}
    ~BoxAnswerer() {
        stop_ = true;
        thread_.join();
    }
    std::vector<std::string> texts() {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_;
    }

private:
    void run() {
        while (!stop_) {
            EnumWindows(
                [](HWND wnd, LPARAM arg) -> BOOL {
                    static_cast<BoxAnswerer *>(reinterpret_cast<void *>(arg))->look_at(wnd);
                    return TRUE;
                },
                reinterpret_cast<LPARAM>(this));
            Sleep(10);
        }
    }
    void look_at(HWND wnd) {
        DWORD pid = 0;
        GetWindowThreadProcessId(wnd, &pid);
        char cls[16] = "";
        GetClassNameA(wnd, cls, sizeof cls);
        if (pid != GetCurrentProcessId() || std::strcmp(cls, "#32770") != 0 ||
            !IsWindowVisible(wnd) || GetDlgItem(wnd, IDOK) == nullptr) {
            return;
        }
        if (answered_.insert(wnd).second) {
            char text[256] = "";
            GetDlgItemTextA(wnd, 0xFFFF, text, sizeof text);
            std::lock_guard<std::mutex> lock(mutex_);
            texts_.push_back(text);
        }
        PostMessageA(wnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }

    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> texts_;
    std::set<HWND> answered_;
    std::thread thread_;
};

// While installed on the test thread, takes the progress bar out of every
// dialog that has one before the dialog's own set-up sees it, as a template
// without the bar would.
class DropProgressBar {
public:
    DropProgressBar()
        : hook_(SetWindowsHookExA(WH_CALLWNDPROC, &on_call, nullptr, GetCurrentThreadId())) {}
    ~DropProgressBar() {
        if (hook_ != nullptr) UnhookWindowsHookEx(hook_);
    }
    bool ok() const { return hook_ != nullptr; }
    static int dropped() { return dropped_; }

private:
    static LRESULT CALLBACK on_call(int code, WPARAM wp, LPARAM lp) {
        const auto *call = reinterpret_cast<const CWPSTRUCT *>(lp);
        if (code == HC_ACTION && call->message == WM_INITDIALOG) {
            HWND bar = GetDlgItem(call->hwnd, IDC_PROGRESS_BAR);
            if (bar != nullptr && DestroyWindow(bar)) ++dropped_;
        }
        return CallNextHookEx(nullptr, code, wp, lp);
    }
    HHOOK hook_;
    static inline int dropped_ = 0;
};

class UpdateController : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&hex_, 0, sizeof hex_);
        unsigned long ver = 0, mcu = 0;
        char product[CLS_prom::kProductLen];
        ASSERT_EQ(CLS_prom::prom_read(&hex_, &ver, &mcu, product), 1);
        ASSERT_EQ(ver, kImageVersion);
        ASSERT_TRUE(ctl_.open()) << "the simulated device driver does not answer";
        ctl_.remove_all();
    }
    void TearDown() override {
        if (ctl_.is_open()) ctl_.remove_all();
        CLS_prom::prom_free_mem(&hex_, CLS_prom::FREE_ALL);
    }

    void plug(std::uint32_t firm_version) {
        devsim::DeviceConfig config;
        config.firm_version = firm_version;
        ASSERT_TRUE(ctl_.add(0, config));
    }
    devsim_ioc_state state() {
        devsim_ioc_state st{};
        ctl_.state(0, &st);
        return st;
    }
    std::vector<std::uint32_t> commands() {
        std::vector<devsim_ioc_log_entry> log;
        std::vector<std::uint32_t> ids;
        if (ctl_.log(0, &log)) {
            for (const auto &e : log) ids.push_back(e.cmd_id << 8 | (e.param1 & 0xFF));
        }
        return ids;
    }
    int run(int ver_chk, int check, int msg, bool with_result = true) {
        int result = -1;
        CLS_pwrc_upd update(1, 1, &hex_, kImageVersion, ver_chk, check, msg,
                            with_result ? &result : nullptr);
        return result;
    }

    SHEX_HEX hex_;
    devsim::Control ctl_;
    BoxAnswerer boxes_;
};

// Command id and first parameter, as commands() lists them.
constexpr std::uint32_t cmd(std::uint32_t id, std::uint32_t p1) { return id << 8 | p1; }

TEST_F(UpdateController, WithoutConfirmationOrMessagesUpdatesSilently) {
    plug(341);
    EXPECT_EQ(run(1, 0, 0), 1);
    EXPECT_TRUE(boxes_.texts().empty());
    devsim_ioc_state st = state();
    EXPECT_EQ(st.firm_version, kImageVersion);
    EXPECT_EQ(st.blocks_received, 64u);
    EXPECT_EQ(st.commits, 1u);
}

TEST_F(UpdateController, WithoutVersionCheckUpdatesACurrentDevice) {
    plug(kImageVersion);
    EXPECT_EQ(run(0, 0, 0), 1);
    std::vector<std::uint32_t> ids = commands();
    ASSERT_FALSE(ids.empty());
    // No version get: the transfer is the first thing the device sees.
    EXPECT_EQ(ids.front(), cmd(0x8009, 2));
    EXPECT_EQ(ids.back(), cmd(0x8009, 1));
    EXPECT_EQ(state().commits, 1u);
}

TEST_F(UpdateController, WithVersionCheckACurrentDeviceIsLeftAlone) {
    plug(kImageVersion);
    EXPECT_EQ(run(1, 0, 0), 0);
    EXPECT_TRUE(boxes_.texts().empty());
    EXPECT_EQ(state().commits, 0u);
}

TEST_F(UpdateController, FailureWithoutMessagesShowsOnlyInTheResult) {
    plug(341);
    // The first data block is refused (version, LED 2, begin, block).
    ASSERT_TRUE(ctl_.arm_fault(0, 3, DEVSIM_FAULT_ERROR_ANSWER));
    EXPECT_EQ(run(1, 0, 0), 0);
    EXPECT_TRUE(boxes_.texts().empty());
    EXPECT_EQ(state().commits, 0u);
}

TEST_F(UpdateController, ResultPointerMayBeNull) {
    run(1, 0, 0, false);  // no device
    plug(341);
    run(1, 0, 0, false);
    EXPECT_EQ(state().commits, 1u);
}

TEST_F(UpdateController, MessagesReportNoDeviceAndCompletion) {
    EXPECT_EQ(run(1, 0, 1), 0);
    plug(341);
    EXPECT_EQ(run(1, 0, 1), 1);
    std::vector<std::string> texts = boxes_.texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0],
              "R846-QVM2K cannot be found.     \nPlease connect R846-QVM2K and re-perform.    ");
    EXPECT_EQ(texts[1], "Update has been completed.    ");
}

TEST_F(UpdateController, ProgressDialogWithoutItsBarStillUpdates) {
    plug(341);
    int result = -1;
    {
        DropProgressBar drop;
        ASSERT_TRUE(drop.ok());
        result = run(1, 0, 0);
    }
    EXPECT_EQ(DropProgressBar::dropped(), 1) << "no progress dialog lost its bar";
    EXPECT_EQ(result, 1);
    EXPECT_EQ(state().commits, 1u);
}

TEST_F(UpdateController, ControllerThatCannotBeAllocatedClosesTheDialog) {
    plug(341);
    // With messages: the communication error box, then the dialog closes.
    g_fail_controller = true;
    EXPECT_EQ(run(1, 1, 1), 0);
    EXPECT_FALSE(g_fail_controller) << "the controller was not allocated with nothrow new";
    std::vector<std::string> texts = boxes_.texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "Communication error.    ");
    // Without messages it just closes.
    g_fail_controller = true;
    EXPECT_EQ(run(1, 1, 0), 0);
    EXPECT_EQ(boxes_.texts().size(), 1u);
    // Nothing reached the device.
    EXPECT_TRUE(commands().empty());
}

} // namespace
