// devsimctl as people and scripts use it: one process per command, its exit
// status and output, and the effect on the driver read back through the
// control client.
#include <string>

#include "drv_test_util.h"

using namespace drvtest;

namespace {

struct ToolRun {
    DWORD status = 0xFFFFFFFF;
    std::string out;
};

// DEVSIMCTL_EXE is a host path; Wine sees the host's root as drive Z:.
std::string tool_path() {
    std::string p = DEVSIMCTL_EXE;
    if (!p.empty() && p[0] == '/') {
        for (char &c : p)
            if (c == '/') c = '\\';
        p = "Z:" + p;
    }
    return p;
}

ToolRun devsimctl(const std::string &args) {
    ToolRun run;
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE rd_raw = nullptr, wr_raw = nullptr;
    if (!CreatePipe(&rd_raw, &wr_raw, &sa, 0)) return run;
    test_support::Handle rd(rd_raw), wr(wr_raw);
    SetHandleInformation(rd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = wr.get();
    si.hStdError = wr.get();
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    std::string cmd = "\"" + tool_path() + "\" " + args;
    const BOOL started =
        CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    wr.reset();  // the child holds the only write end now
    if (started) {
        test_support::Handle process(pi.hProcess), thread(pi.hThread);
        char buf[4096];
        DWORD n = 0;
        while (ReadFile(rd.get(), buf, sizeof(buf), &n, nullptr) && n > 0) run.out.append(buf, n);
        WaitForSingleObject(process.get(), 30000);
        GetExitCodeProcess(process.get(), &run.status);
    }
    // Text-mode output: line ends are CR LF.
    std::string plain;
    for (char c : run.out)
        if (c != '\r') plain += c;
    run.out = plain;
    return run;
}

}  // namespace

TEST_F(DriverTest, DevsimctlConfiguresDevices) {
    ToolRun r = devsimctl("add 7 firm=3.5 mcu=0x0203 boot=0x0106 serial=-5 license=0xF0:-1");
    ASSERT_EQ(r.status, 0u) << r.out;
    DevFile dev(7);
    ASSERT_TRUE(dev.ok());
    Bytes answer;
    ASSERT_TRUE(dev.exchange(version_get(), &answer, 41));
    ASSERT_EQ(answer.size(), 37u);
    EXPECT_EQ(get32(answer, 16), 350u);
    EXPECT_EQ(answer[20] | (answer[21] << 8), 0x0203);
    EXPECT_EQ(get32(answer, 12), 0x0106u);
    EXPECT_EQ(static_cast<std::int32_t>(get32(answer, 32)), -5);
    EXPECT_EQ(~(get32(answer, 24) ^ DEVSIM_LICENSE_MASK_LOW), 0xF0u);
    EXPECT_EQ(~(get32(answer, 28) ^ DEVSIM_LICENSE_MASK_HIGH), 0xFFFFFFFFu);

    r = devsimctl("list");
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.out, "0\n7\n");
    r = devsimctl("led 7");
    EXPECT_EQ(r.out, "0\n");

    EXPECT_EQ(devsimctl("add 9 firm=none").status, 0u);
    EXPECT_EQ(state(9).firm_version, 0xFFFFFFFFu);
    EXPECT_EQ(devsimctl("remove 9").status, 0u);
    EXPECT_EQ(devsimctl("remove 9").status, 1u);  // already gone
    EXPECT_EQ(devsimctl("add 0").status, 1u);     // already there
}

TEST_F(DriverTest, DevsimctlDefaultDevicesHaveASerialEachAndComeBackByReplug) {
    ASSERT_EQ(devsimctl("add 3").status, 0u);
    DevFile dev(3);
    Bytes answer;
    ASSERT_TRUE(dev.exchange(version_get(), &answer, 41));
    ASSERT_EQ(answer.size(), 37u);
    EXPECT_EQ(get32(answer, 16), DEVSIM_DEFAULT_FIRM_VERSION);
    EXPECT_EQ(get32(answer, 32), static_cast<std::uint32_t>(DEVSIM_DEFAULT_SERIAL) + 3u);

    ASSERT_EQ(devsimctl("fault 3 0 power-loss").status, 0u);
    EXPECT_FALSE(dev.exchange(boot_data(1), &answer));
    ToolRun r = devsimctl("state 3");
    EXPECT_NE(r.out.find("plugged=0"), std::string::npos) << r.out;
    EXPECT_NE(devsimctl("log 3").out.find("power-loss"), std::string::npos);
    EXPECT_EQ(devsimctl("replug 3").status, 0u);
    EXPECT_EQ(devsimctl("replug 4").status, 1u);  // no device there
    EXPECT_EQ(devsimctl("replug").status, 2u);
    ASSERT_TRUE(dev.open(3));
    ASSERT_TRUE(dev.exchange(version_get(), &answer, 41));
    EXPECT_EQ(get32(answer, 16), 0xFFFFFFFFu);  // the begin's erase was done
}

TEST_F(DriverTest, DevsimctlArmsFaultsAndDelaysAndShowsTheLog) {
    ASSERT_EQ(devsimctl("fault 0 1 checksum").status, 0u);
    ASSERT_EQ(devsimctl("fault 0 0 error 0x1234").status, 0u);
    ASSERT_EQ(devsimctl("fault 0 5 hang 1").status, 0u);
    ASSERT_EQ(devsimctl("delay 0 25").status, 0u);
    EXPECT_EQ(state().faults_armed, 3u);
    EXPECT_EQ(state().delay_ms, 25u);

    DevFile dev(0);
    Bytes answer;
    ASSERT_TRUE(dev.exchange(led_set(3), &answer));
    EXPECT_EQ(get32(answer, 12), 0x1234u);
    ASSERT_TRUE(dev.exchange(led_set(3), &answer));
    EXPECT_NE(answer[1], frame_sum(answer));

    ToolRun r = devsimctl("log 0");
    ASSERT_EQ(r.status, 0u);
    EXPECT_NE(r.out.find("# 2 exchanges logged, 2 kept"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("error"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("checksum"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("0x8009"), std::string::npos) << r.out;
    EXPECT_EQ(devsimctl("log 0 clear").status, 0u);
    EXPECT_EQ(state().log_kept, 0u);
    EXPECT_EQ(devsimctl("clear-faults 0").status, 0u);
}

TEST_F(DriverTest, DevsimctlWritesTheFlashToAFile) {
    char dir[MAX_PATH], path[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, dir), 0u);
    ASSERT_NE(GetTempFileNameA(dir, "dsf", 0, path), 0u);
    ToolRun r = devsimctl(std::string("flash 0 \"") + path + "\"");
    ASSERT_EQ(r.status, 0u) << r.out;
    Bytes file(DEVSIM_WINDOW_SIZE + 1);
    DWORD n = 0;
    {
        test_support::Handle h(CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(h.ok());
        ReadFile(h.get(), file.data(), static_cast<DWORD>(file.size()), &n, nullptr);
    }
    DeleteFileA(path);
    ASSERT_EQ(n, DEVSIM_WINDOW_SIZE);
    file.resize(n);
    std::vector<std::uint8_t> flash;
    ASSERT_TRUE(ctl.flash(0, &flash));
    EXPECT_EQ(file, Bytes(flash.begin(), flash.end()));
}

TEST_F(DriverTest, DevsimctlRejectsBadUsageWithoutTouchingTheDriver) {
    const char *bad[] = {"",
                         "frobnicate 0",
                         "add 256",
                         "add -1",
                         "add 1 firm=3.505",
                         "add 1 firm=x",
                         "add 1 mcu=0x10000",
                         "add 1 colour=red",
                         "fault 0 0 lightning",
                         "fault 0 0 99",
                         "delay 0",
                         "state"};
    for (const char *args : bad) {
        ToolRun r = devsimctl(args);
        EXPECT_EQ(r.status, 2u) << "'" << args << "': " << r.out;
    }
    devsim_ioc_info info{};
    ASSERT_TRUE(ctl.info(&info));
    EXPECT_EQ(info.device_count, 1u);
    EXPECT_EQ(state().faults_armed, 0u);
    // The driver's own refusal is status 1, not 2.
    EXPECT_EQ(devsimctl("delay 0 999999").status, 1u);
}
