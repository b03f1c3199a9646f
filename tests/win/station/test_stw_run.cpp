// The window's run: it counts as running until the dialog has joined it,
// also after the station thread's last step (its end message posted, not yet
// handled): a Start in that gap must not start a second run beside it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "stw_run.h"

TEST(StationRun, RunsUntilJoinedNotOnlyUntilItsThreadEnds) {
    HWND notify = CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                nullptr);
    ASSERT_NE(notify, nullptr);
    char dir[MAX_PATH] = {};
    ASSERT_NE(GetTempPathA(MAX_PATH, dir), 0u);
    const std::string report =
        std::string(dir) + "stw_run_" + std::to_string(GetCurrentProcessId()) + ".jsonl";
    {
        StwRun run(notify);
        EXPECT_FALSE(run.running());
        StnConfig config;
        config.poll_ms = 20;
        std::string why;
        ASSERT_TRUE(run.start(config, report, &why)) << why;
        EXPECT_TRUE(run.running());
        // The dialog's queue: the first turn (the engine is there to stop),
        // then the end message, the station thread's last step.
        MSG m{};
        while (GetMessageA(&m, notify, 0, 0) > 0 && m.message != kStwMsgEnded) {
            if (m.message != kStwMsgTurn) continue;
            run.request_stop();
            run.turn_seen();
        }
        ASSERT_EQ(m.message, kStwMsgEnded);
        EXPECT_TRUE(run.running()) << "ended but not joined";
        run.join();
        EXPECT_FALSE(run.running());
    }
    DestroyWindow(notify);
    DeleteFileA(report.c_str());
}
