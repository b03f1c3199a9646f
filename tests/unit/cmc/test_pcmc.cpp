// The controller on scripted devices: check codes, whole updates, failures,
// two devices, failed starts, cancel, and the version query.
#include <gtest/gtest.h>

#include <atomic>

#include "cmc_test_run.h"

using namespace cmc_test;

namespace {

class Pcmc : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(wait_threads_done());
        qvm_posix::fail_alloc_at(0);
        qvm_posix::fail_thread_start_at(0);
        qvm_posix::unregister_all_devices();
        EXPECT_EQ(qvm_posix::open_device_handles(), 0);
        EXPECT_EQ(qvm_posix::live_allocations(), 0);
    }
};

// Answers every command, but fails exchange number `at` with `fail`.
ScriptDevice::Responder failing_at(std::size_t at, Reply fail, DevVersion v = {}) {
    auto ok = ScriptDevice::firmware(v);
    return [=](const Cmd &c, std::size_t i) { return i == at ? fail : ok(c, i); };
}

Reply device_error(std::uint32_t code) {
    Reply r;
    r.bytes = make_frame(0x0001, 0x01, code);
    return r;
}

Reply transfer_failure() {
    Reply r;
    r.read_ok = false;
    return r;
}

// Answers like firmware(), but the reads of the exchanges `hold` picks wait
// for the device's release().
ScriptDevice::Responder held_at(std::function<bool(const Cmd &, std::size_t)> hold) {
    auto ok = ScriptDevice::firmware();
    return [=](const Cmd &c, std::size_t i) {
        Reply r = ok(c, i);
        r.block = hold(c, i);
        return r;
    };
}

// One scripted device at index 0, an image of `blocks` blocks, one life.
struct OneDevice {
    ScriptDevice dev;
    Plug plug{0, &dev};
    Image img;
    Life run;
    explicit OneDevice(unsigned blocks, ScriptDevice::Responder r = ScriptDevice::firmware())
        : dev(std::move(r)), img(blocks) {}
};

// Checks an image newer than the device, keeps the controller (answer 1)
// and waits for the check thread's end.
::testing::AssertionResult kept_after_check(Life &run, Image &img, unsigned long num = 1,
                                            unsigned long max = 1) {
    run.answer = 1;
    start_check(run, img, 0x00000200, 1, num, max);
    if (!run.wait_chk()) return ::testing::AssertionFailure() << "no check result";
    if (!wait_threads_done()) return ::testing::AssertionFailure() << "check thread still runs";
    if (run.chk_code != 0) return ::testing::AssertionFailure() << "check code " << run.chk_code;
    return ::testing::AssertionSuccess();
}

void start_update(Life &run) { run.cmc->pcmc_start(Life::on_progress, Life::on_finish, &run); }

// Waits for the finish callback and the update thread's end.
::testing::AssertionResult finished(Life &run) {
    if (!run.wait_fin()) return ::testing::AssertionFailure() << "no finish";
    if (!wait_threads_done()) return ::testing::AssertionFailure() << "update thread still runs";
    return ::testing::AssertionSuccess();
}

// Keeps the controller after the check and runs the update to its end.
::testing::AssertionResult check_and_update(Life &run, Image &img, unsigned long num = 1,
                                            unsigned long max = 1) {
    ::testing::AssertionResult kept = kept_after_check(run, img, num, max);
    if (!kept) return kept;
    start_update(run);
    return finished(run);
}

// Starts the update on a device that holds a read, cancels while it waits
// and lets it go on: the cancel must change nothing.
void cancel_while_held(OneDevice &u) {
    start_update(u.run);
    ASSERT_TRUE(u.dev.wait_blocked());
    u.run.cmc->pcmc_cancel();
    EXPECT_EQ(u.dev.closes(), 0);
    u.dev.release();
    ASSERT_TRUE(finished(u.run));
    EXPECT_EQ(u.run.result, 1u);
}

}  // namespace

TEST_F(Pcmc, CheckCodes) {
    struct Case {
        const char *what;
        int verchk;
        std::uint32_t image, device;
        unsigned short code;
    };
    const Case cases[] = {
        {"identical", 1, 0x00000102, 0x00000102, 2},
        {"device older", 1, 0x00000102, 0x00000101, 0},
        {"device newer", 1, 0x00000102, 0x00000103, 2},
        {"suffix differs", 1, 0x00410102, 0x00000102, 0},
        {"no firmware", 1, 0x00000102, 0xFFFFFFFF, 0},
        {"newer number, suffix ignored", 1, 0x00000104, 0x41420103, 0},
        {"older number, suffix ignored", 1, 0x41420102, 0x00000103, 2},
        {"no version check", 0, 0x00000102, 0x00000103, 0},
        {"version check only when 1", 2, 0x00000102, 0x00000102, 0},
    };
    for (const Case &c : cases) {
        DevVersion v;
        v.firm = c.device;
        OneDevice u(1, ScriptDevice::firmware(v));
        start_check(u.run, u.img, c.image, c.verchk);
        ASSERT_TRUE(u.run.wait_chk()) << c.what;
        ASSERT_TRUE(wait_threads_done()) << c.what;
        EXPECT_EQ(u.run.chk_code, c.code) << c.what;
        EXPECT_EQ(u.run.chk_devs, 1u) << c.what;
        EXPECT_NE(u.run.chk_thread, std::this_thread::get_id()) << c.what;
        // Not kept: destroyed with LED 1, device closed.
        EXPECT_EQ(u.dev.trace(), c.verchk == 1 ? "V L1" : "L1") << c.what;
        EXPECT_EQ(u.dev.closes(), 1) << c.what;
    }
}

TEST_F(Pcmc, CheckWithoutDeviceOrWithAFailedRead) {
    {
        Image img(1);
        Life run;
        start_check(run, img, 0x200);
        ASSERT_TRUE(run.wait_chk());
        EXPECT_EQ(run.chk_code, 1);
        EXPECT_EQ(run.chk_devs, 0u);
        ASSERT_TRUE(wait_threads_done());
    }
    for (const Reply &fail : {transfer_failure(), device_error(0x77)}) {
        OneDevice u(1, failing_at(0, fail));
        start_check(u.run, u.img, 0x200);
        ASSERT_TRUE(u.run.wait_chk());
        ASSERT_TRUE(wait_threads_done());
        EXPECT_EQ(u.run.chk_code, 3);
        EXPECT_EQ(u.dev.trace(), "V L1");  // no boot data
        EXPECT_EQ(u.dev.closes(), 1);
    }
}

TEST_F(Pcmc, KeptThenCancelled) {
    OneDevice u(1);
    ASSERT_TRUE(kept_after_check(u.run, u.img));
    EXPECT_EQ(u.dev.closes(), 0);  // kept: still open, unshared
    u.run.cmc->pcmc_cancel();
    EXPECT_EQ(u.dev.trace(), "V L1");
    EXPECT_EQ(u.dev.closes(), 1);
}

TEST_F(Pcmc, WholeUpdateOfOneDevice) {
    OneDevice u(64);
    ScriptDevice &dev = u.dev;
    Life &run = u.run;
    ASSERT_TRUE(check_and_update(run, u.img));
    EXPECT_EQ(run.result, 1u);
    EXPECT_EQ(run.detail, 0u);
    EXPECT_NE(run.fin_thread, std::this_thread::get_id());

    const auto cmds = dev.cmds();
    ASSERT_EQ(cmds.size(), 1u + 1 + 1 + 64 + 1 + 1);
    std::string want = "V L2 B1";
    for (int i = 0; i < 64; ++i) want += " B2";
    want += " B3 L1";
    EXPECT_EQ(dev.trace(), want);
    for (unsigned n = 0; n < 64; ++n) {
        const Cmd &c = cmds[3 + n];
        EXPECT_EQ(c.p2, 0x4000u + 256 * n);
        EXPECT_EQ(c.raw, make_frame(0x0001, 2, 0x4000 + 256 * n,
                               Bytes(u.img.bytes.begin() + 256 * n,
                                     u.img.bytes.begin() + 256 * (n + 1))));
    }
    EXPECT_EQ(dev.closes(), 1);

    // (1, 0) first, then only growing percentages up to 100.
    ASSERT_GE(run.progress.size(), 2u);
    EXPECT_LE(run.progress.size(), 102u);
    EXPECT_EQ(run.progress.front(), std::make_pair(1ul, 0ul));
    EXPECT_EQ(run.progress.back(), std::make_pair(0ul, 100ul));
    for (std::size_t i = 2; i < run.progress.size(); ++i) {
        EXPECT_EQ(run.progress[i].first, 0u);
        EXPECT_GT(run.progress[i].second, run.progress[i - 1].second);
    }
}

TEST_F(Pcmc, ProgressOfThreeBlocks) {
    OneDevice u(3);
    ASSERT_TRUE(check_and_update(u.run, u.img));
    EXPECT_EQ(u.run.progress, (std::vector<std::pair<unsigned long, unsigned long>>{
                                {1, 0}, {0, 33}, {0, 67}, {0, 100}}));
}

TEST_F(Pcmc, FailureOnTheThirdBlock) {
    struct Case {
        Reply fail;
        unsigned long detail;
    };
    const Case cases[] = {{transfer_failure(), 0xFFFFFFFEul}, {device_error(0x0204), 0x0204ul}};
    for (const Case &c : cases) {
        // Exchanges: V, L2, B1, B2, B2, B2 (index 5) ...
        OneDevice u(8, failing_at(5, c.fail));
        ASSERT_TRUE(check_and_update(u.run, u.img));
        EXPECT_EQ(u.dev.trace(), "V L2 B1 B2 B2 B2 L3 L1");
        EXPECT_EQ(u.run.result, 2u);
        EXPECT_EQ(u.run.detail, c.detail);
        EXPECT_EQ(u.dev.closes(), 1);
        EXPECT_EQ(u.run.progress.back(), std::make_pair(0ul, 25ul));  // 2 of 8 blocks
    }
}

TEST_F(Pcmc, FailureOfBeginOrEnd) {
    for (std::size_t at : {2u, 6u}) {  // B1, or B3 after 3 blocks
        OneDevice u(3, failing_at(at, device_error(0x0201)));
        ASSERT_TRUE(check_and_update(u.run, u.img)) << at;
        EXPECT_EQ(u.run.result, 2u) << at;
        EXPECT_EQ(u.run.detail, 0x0201u) << at;
        EXPECT_EQ(u.dev.trace(), at == 2 ? "V L2 B1 L3 L1" : "V L2 B1 B2 B2 B2 B3 L3 L1");
    }
}

TEST_F(Pcmc, TwoDevicesInTurn) {
    ScriptDevice d1, d2;
    Plug p1(0, &d1), p2(2, &d2);
    Image img(2);
    Life run;
    // When the finish is reported, device 2 is done with and closed; device
    // 1 waits for the controller's destruction.
    std::string d1_at_finish, d2_at_finish;
    int d1_closed = -1, d2_closed = -1;
    run.in_finish = [&](Life &) {
        d1_at_finish = d1.trace();
        d2_at_finish = d2.trace();
        d1_closed = d1.closes();
        d2_closed = d2.closes();
    };
    ASSERT_TRUE(check_and_update(run, img, 2, 0));
    EXPECT_EQ(run.chk_devs, 2u);
    EXPECT_EQ(run.result, 1u);
    EXPECT_EQ(run.progress, (std::vector<std::pair<unsigned long, unsigned long>>{
                                {1, 0}, {0, 50}, {0, 100}, {2, 0}, {0, 50}, {0, 100}}));
    EXPECT_EQ(d1_at_finish, "V L2 B1 B2 B2 B3");
    EXPECT_EQ(d1_closed, 0);
    EXPECT_EQ(d2_at_finish, "L2 B1 B2 B2 B3 L1");
    EXPECT_EQ(d2_closed, 1);
    EXPECT_EQ(d1.trace(), "V L2 B1 B2 B2 B3 L1");
    EXPECT_EQ(d2.trace(), "L2 B1 B2 B2 B3 L1");  // nothing more after closing
    EXPECT_EQ(d1.closes(), 1);
}

TEST_F(Pcmc, FirstOfTwoDevicesFailsSecondIsUntouched) {
    ScriptDevice d1(failing_at(3, transfer_failure())), d2;
    Plug p1(0, &d1), p2(1, &d2);
    Image img(2);
    Life run;
    ASSERT_TRUE(check_and_update(run, img, 2, 2));
    EXPECT_EQ(run.result, 2u);
    EXPECT_EQ(run.detail, 0xFFFFFFFEul);
    EXPECT_EQ(d1.trace(), "V L2 B1 B2 L3 L1");
    EXPECT_EQ(d2.trace(), "L1");  // only the destructor's LED 1
    EXPECT_EQ(d2.closes(), 1);
}

TEST_F(Pcmc, CheckThreadThatCannotStart) {
    ScriptDevice dev;
    Plug plug(0, &dev);
    Image img(1);
    for (int how = 0; how < 2; ++how) {
        Life run;
        if (how == 0) qvm_posix::fail_thread_start_at(1);
        else qvm_posix::fail_alloc_at(1);  // its parameter block
        start_check(run, img, 0x200);
        qvm_posix::fail_alloc_at(0);
        EXPECT_EQ(run.chk_calls, 1);  // reported before construction returned
        EXPECT_EQ(run.chk_code, 3);
        EXPECT_EQ(run.chk_devs, 0u);
        EXPECT_EQ(run.chk_thread, std::this_thread::get_id());
        EXPECT_EQ(qvm_posix::live_allocations(), 0);  // destroyed at once
    }
    EXPECT_EQ(dev.opens(), 0);
}

TEST_F(Pcmc, KeptAfterAFailedCheckStart) {
    ScriptDevice dev;
    Plug plug(0, &dev);
    Image img(1);
    for (bool update : {false, true}) {
        Life run;
        run.answer = 1;
        qvm_posix::fail_thread_start_at(1);
        start_check(run, img, 0x200);
        ASSERT_NE(run.cmc, nullptr);
        if (!update) {
            run.cmc->pcmc_cancel();  // no worker: destroyed here
            EXPECT_EQ(qvm_posix::live_allocations(), 0);
            continue;
        }
        // An update with no device opened writes nothing and is no success.
        start_update(run);
        ASSERT_TRUE(finished(run));
        EXPECT_EQ(run.result, 2u);
        EXPECT_EQ(run.detail, 0xFFFFFFFEul);
        EXPECT_TRUE(run.progress.empty());
    }
    EXPECT_EQ(dev.opens(), 0);
}

TEST_F(Pcmc, UpdateThreadThatCannotStart) {
    for (int how = 0; how < 2; ++how) {
        OneDevice u(1);
        ASSERT_TRUE(kept_after_check(u.run, u.img));
        if (how == 0) qvm_posix::fail_thread_start_at(1);
        else qvm_posix::fail_alloc_at(1);
        start_update(u.run);
        qvm_posix::fail_alloc_at(0);
        EXPECT_EQ(u.run.fin_calls, 1);
        EXPECT_EQ(u.run.result, 2u);
        EXPECT_EQ(u.run.detail, 0xFFFFFFFCul);
        EXPECT_EQ(u.run.fin_thread, std::this_thread::get_id());
        EXPECT_EQ(u.dev.trace(), "V L1");  // destroyed: LED 1, closed
        EXPECT_EQ(u.dev.closes(), 1);
    }
}

TEST_F(Pcmc, OutOfMemoryAnywhereInAnUpdate) {
    // Fail the k-th allocation after pcmc_start, for every k up to beyond
    // the last one: never a success unless every block and the end went in.
    bool reached_clean_run = false;
    for (unsigned k = 1; k < 60 && !reached_clean_run; ++k) {
        OneDevice u(3);
        Life &run = u.run;
        ASSERT_TRUE(kept_after_check(run, u.img)) << k;
        qvm_posix::fail_alloc_at(k);
        start_update(run);
        ASSERT_TRUE(finished(run)) << k;
        qvm_posix::fail_alloc_at(0);
        const std::string t = u.dev.trace();
        if (run.result == 1) {
            EXPECT_EQ(run.detail, 0u);
            EXPECT_NE(t.find("B1 B2 B2 B2 B3"), std::string::npos) << k << ": " << t;
            reached_clean_run = t == "V L2 B1 B2 B2 B2 B3 L1";
        } else {
            EXPECT_EQ(run.result, 2u) << k;
            EXPECT_TRUE(run.detail == 0xFFFFFFFFul || run.detail == 0xFFFFFFFCul) << k;
            EXPECT_EQ(t.find("B3"), std::string::npos) << k << ": " << t;
        }
        EXPECT_EQ(u.dev.closes(), 1) << k;
        EXPECT_EQ(qvm_posix::live_allocations(), 0) << k;
    }
    EXPECT_TRUE(reached_clean_run);
}

TEST_F(Pcmc, UpdateWithoutImageBytesSendsNoBootData) {
    OneDevice u(1);
    u.img.hex.edit.data = nullptr;
    ASSERT_TRUE(check_and_update(u.run, u.img));
    EXPECT_EQ(u.run.result, 2u);
    EXPECT_EQ(u.run.detail, 0xFFFFFFFFul);
    EXPECT_EQ(u.dev.trace(), "V L2 L3 L1");
}

TEST_F(Pcmc, CancelDuringTheUpdateChangesNothing) {
    // Exchange 4 is the second data block.
    OneDevice u(3, held_at([](const Cmd &, std::size_t i) { return i == 4; }));
    ASSERT_TRUE(kept_after_check(u.run, u.img));
    cancel_while_held(u);
    EXPECT_EQ(u.dev.trace(), "V L2 B1 B2 B2 B2 B3 L1");
}

TEST_F(Pcmc, CancelDuringTheCheckEndsTheControllerAfterTheCallback) {
    for (unsigned short answer : {1, 2}) {
        OneDevice u(1, held_at([](const Cmd &, std::size_t i) { return i == 0; }));
        u.run.answer = answer;
        CLS_pcmc *cmc = new CLS_pcmc(&u.img.hex, 0x200, Life::on_chkret, &u.run, 1, 1, 1);
        ASSERT_TRUE(u.dev.wait_blocked());
        cmc->pcmc_cancel();  // the check thread holds it: marked only
        EXPECT_EQ(u.run.chk_calls, 0);
        u.dev.release();
        ASSERT_TRUE(u.run.wait_chk());
        ASSERT_TRUE(wait_threads_done());
        EXPECT_EQ(u.run.chk_code, 0);
        EXPECT_EQ(u.dev.trace(), "V L1") << answer;  // destroyed once, either way
        EXPECT_EQ(u.dev.closes(), 1);
    }
}

TEST_F(Pcmc, VersionQuery) {
    EXPECT_EQ(CLS_pcmc::pcmc_get_ver(nullptr, 1, 1), 1);
    SCMC_DEV_VER *ver = reinterpret_cast<SCMC_DEV_VER *>(this);
    EXPECT_EQ(CLS_pcmc::pcmc_get_ver(&ver, 1, 1), 1);  // no device
    EXPECT_EQ(ver, nullptr);

    DevVersion v1, v2;
    v1.firm = 0x4100015E;
    v1.mcu = 7;
    v1.boot = 0x301;
    v1.serial = 1001;
    v1.lic_low = 0xF0F0F0F0;
    v1.lic_high = -1;
    v2.firm = 0x00000101;
    ScriptDevice d1(ScriptDevice::firmware(v1)), d2(ScriptDevice::firmware(v2)), d9;
    Plug p1(1, &d1), p2(4, &d2), p9(9, &d9);
    ASSERT_EQ(CLS_pcmc::pcmc_get_ver(&ver, 1, 1), 1);  // only index 0 probed
    ASSERT_EQ(CLS_pcmc::pcmc_get_ver(&ver, 2, 0), 0);
    ASSERT_NE(ver, nullptr);
    EXPECT_EQ(ver[0].firm_version, 0x4100015Eu);
    EXPECT_EQ(ver[0].mcu_version, 7);
    EXPECT_EQ(ver[0].dummy, 0);
    EXPECT_EQ(ver[0].license_bit.low, 0xF0F0F0F0u);
    EXPECT_EQ(ver[0].license_bit.high, -1);
    EXPECT_EQ(ver[0].serial_no, 1001);
    EXPECT_EQ(ver[0].boot_version, 0x301u);
    EXPECT_EQ(ver[1].firm_version, 0x101u);
    LocalFree(ver);
    EXPECT_EQ(d1.trace(), "V");  // no LED command
    EXPECT_EQ(d1.closes(), 1);
    EXPECT_EQ(d9.opens(), 0);

    d2.set_responder(failing_at(d2.cmds().size(), device_error(5)));
    ASSERT_EQ(CLS_pcmc::pcmc_get_ver(&ver, 2, 0), 3);
    EXPECT_EQ(ver[0].firm_version, 0x4100015Eu);
    EXPECT_EQ(ver[1].firm_version, 0xFFFFFFFFu);
    EXPECT_EQ(ver[1].boot_version, 0xFFFFFFFFu);
    EXPECT_EQ(ver[1].serial_no, 0);
    LocalFree(ver);
}

TEST_F(Pcmc, VersionQueryWithoutMemoryForTheRecords) {
    ScriptDevice dev;
    Plug plug(0, &dev);
    SCMC_DEV_VER *ver = nullptr;
    qvm_posix::fail_alloc_at(2);  // table, then the records
    EXPECT_EQ(CLS_pcmc::pcmc_get_ver(&ver, 1, 1), 3);
    qvm_posix::fail_alloc_at(0);
    EXPECT_EQ(ver, nullptr);
    EXPECT_EQ(dev.closes(), 1);
    EXPECT_TRUE(dev.cmds().empty());
}

TEST_F(Pcmc, StartWhileTheCheckThreadIsStillInItsCallback) {
    // The user starts the update as soon as the callback has told it "ready",
    // before the callback returned. The update thread must then own the
    // controller alone: a cancel during the update changes nothing.
    // Every data block waits.
    OneDevice u(2, held_at([](const Cmd &c, std::size_t) { return c.id == 0x0001 && c.p1 == 2; }));
    u.run.answer = 1;
    std::atomic<bool> starting{false};
    u.run.in_chkret = [&](Life &) {
        while (!starting) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    start_check(u.run, u.img, 0x200);
    ASSERT_TRUE(u.run.wait_chk());
    starting = true;
    cancel_while_held(u);
    EXPECT_EQ(u.dev.trace(), "V L2 B1 B2 B2 B3 L1");
}

TEST_F(Pcmc, CancelWhileTheCheckThreadIsStillInItsCallback) {
    // The user declines as soon as the callback has told it "ready": the
    // controller must still end, exactly once.
    OneDevice u(1);
    u.run.answer = 1;
    std::atomic<bool> cancelled{false};
    u.run.in_chkret = [&](Life &) {
        while (!cancelled) std::this_thread::yield();
    };
    start_check(u.run, u.img, 0x200);
    ASSERT_TRUE(u.run.wait_chk());
    u.run.cmc->pcmc_cancel();
    cancelled = true;
    ASSERT_TRUE(wait_threads_done());
    EXPECT_EQ(u.dev.trace(), "V L1");
    EXPECT_EQ(u.dev.closes(), 1);
}
