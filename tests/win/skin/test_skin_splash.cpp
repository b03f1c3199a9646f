// The splash window: shape and place, the minimum time, the owner's
// answers and the owner's close request, in a real message loop.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "dlg_harness.h"
#include "pwin_spl.h"
#include "skin_util.h"

namespace {

// The owner: answers in turn (the last one repeats) and counts the asks.
struct Owner {
    std::vector<unsigned char> answers{1};
    int asks = 0;
    DWORD first_ask = 0;
};

unsigned char cb_close(void *obj) {
    auto *owner = static_cast<Owner *>(obj);
    if (owner->asks == 0) owner->first_ask = GetTickCount();
    size_t i = static_cast<size_t>(owner->asks++);
    return owner->answers[i < owner->answers.size() ? i : owner->answers.size() - 1];
}

class SplashTest : public ::testing::Test {
protected:
    void SetUp() override {
        main_ = plain_window(120, 80);
        ASSERT_NE(main_, nullptr);
        main_wnd_.m_hWnd = main_;
    }
    void TearDown() override {
        // A splash left open by a failed check goes with its window.
        if (IsWindow(splash_)) DestroyWindow(splash_);
        main_wnd_.m_hWnd = nullptr;
        DestroyWindow(main_);
    }
    cls_pwin_spl *open(unsigned long time) {
        SWIN_SPL_INFO info{&main_wnd_, SW_SHOWNORMAL, &owner_, reinterpret_cast<void *>(&cb_close),
                           time};
        opened_ = GetTickCount();
        cls_pwin_spl *spl = cls_pwin_spl::pwin_open_splash(info);
        splash_ = spl != nullptr ? spl->m_hWnd : nullptr;
        return spl;
    }
    bool wait_closed(DWORD ms = 3000) {
        return pump_until([this] { return !IsWindow(splash_); }, ms);
    }
    HWND main_ = nullptr;
    CWnd main_wnd_;  // plain holder of the owner's main window
    Owner owner_;
    HWND splash_ = nullptr;
    DWORD opened_ = 0;
};

TEST_F(SplashTest, ShowsTheImageShapeCentredWithoutTakingActivation) {
    HWND before = GetActiveWindow();
    cls_pwin_spl *spl = open(200);
    ASSERT_NE(spl, nullptr);
    EXPECT_TRUE(IsWindowVisible(splash_));
    EXPECT_NE(GetActiveWindow(), splash_);
    EXPECT_EQ(GetActiveWindow(), before);
    RECT r{};
    GetWindowRect(splash_, &r);
    EXPECT_EQ(r.right - r.left, 200);
    EXPECT_EQ(r.bottom - r.top, 120);
    EXPECT_LE(std::abs(r.left - (GetSystemMetrics(SM_CXSCREEN) - 200) / 2), 1);
    HRGN shape = CreateRectRgn(0, 0, 0, 0);
    EXPECT_EQ(GetWindowRgn(splash_, shape), COMPLEXREGION);
    EXPECT_TRUE(PtInRegion(shape, 100, 60));
    EXPECT_FALSE(PtInRegion(shape, 0, 0));
    DeleteObject(shape);
    // A click neither activates it nor reaches it.
    EXPECT_EQ(SendMessageA(splash_, WM_MOUSEACTIVATE, reinterpret_cast<WPARAM>(splash_),
                           MAKELPARAM(HTCLIENT, WM_LBUTTONDOWN)),
              MA_NOACTIVATEANDEAT);
    EXPECT_TRUE(wait_closed());
}

TEST_F(SplashTest, StaysTheMinimumTimeThenAReadyOwnerGetsItsWindowShown) {
    cls_pwin_spl *spl = open(300);
    ASSERT_NE(spl, nullptr);
    EXPECT_EQ(spl->time_out, 0);
    // An early close request is ignored: the owner is not even asked.
    spl->pwin_close_splash();
    pump_for(100);
    EXPECT_TRUE(IsWindow(splash_));
    EXPECT_EQ(owner_.asks, 0);
    ASSERT_TRUE(wait_closed());
    // Asked when the time is up, and once more by the close itself.
    EXPECT_EQ(owner_.asks, 2);
    EXPECT_GE(owner_.first_ask - opened_, 300u - 16u);  // timer granularity
    EXPECT_TRUE(IsWindowVisible(main_));
}

TEST_F(SplashTest, AnOwnerNotReadyKeepsItUntilItAsksToClose) {
    owner_.answers = {0, 1};
    cls_pwin_spl *spl = open(100);
    ASSERT_NE(spl, nullptr);
    ASSERT_TRUE(pump_until([this] { return owner_.asks == 1; }));
    pump_for(200);
    EXPECT_TRUE(IsWindow(splash_));  // waits for the owner
    EXPECT_EQ(spl->time_out, 1);
    EXPECT_EQ(owner_.asks, 1);
    EXPECT_FALSE(IsWindowVisible(main_));
    spl->pwin_close_splash();  // asks again (1: ready, show the window)
    EXPECT_EQ(owner_.asks, 2);
    ASSERT_TRUE(wait_closed());
    EXPECT_TRUE(IsWindowVisible(main_));
}

TEST_F(SplashTest, AnOwnerThatAnswersTwoClosesItWithoutShowingItsWindow) {
    owner_.answers = {2};
    ASSERT_NE(open(100), nullptr);
    ASSERT_TRUE(wait_closed());
    EXPECT_EQ(owner_.asks, 2);
    EXPECT_FALSE(IsWindowVisible(main_));
}

TEST_F(SplashTest, ACloseRequestAfterANotReadyAnswerClosesWhateverTheAnswer) {
    owner_.answers = {0};
    cls_pwin_spl *spl = open(100);
    ASSERT_NE(spl, nullptr);
    ASSERT_TRUE(pump_until([this] { return owner_.asks == 1; }));
    spl->pwin_close_splash();  // still 0: closes, and the window stays hidden
    ASSERT_TRUE(wait_closed());
    EXPECT_EQ(owner_.asks, 2);
    EXPECT_FALSE(IsWindowVisible(main_));
}

TEST_F(SplashTest, WithoutMinimumTimeTheOwnerClosesItWhenReady) {
    cls_pwin_spl *spl = open(0);
    ASSERT_NE(spl, nullptr);
    EXPECT_EQ(spl->time_out, 1);
    pump_for(150);
    EXPECT_TRUE(IsWindow(splash_));  // no timer: it waits for the owner
    EXPECT_EQ(owner_.asks, 0);
    spl->pwin_close_splash();
    ASSERT_TRUE(wait_closed());
    EXPECT_EQ(owner_.asks, 1);
    EXPECT_TRUE(IsWindowVisible(main_));
}

}  // namespace
