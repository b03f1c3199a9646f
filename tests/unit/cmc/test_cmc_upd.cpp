// The update sequence on one scripted device: the commands it sends, the
// step and block it names when one fails, and when it sends its LED 1.
#include <gtest/gtest.h>

#include "cmc_snd.h"
#include "cmc_test_run.h"
#include "cmc_upd.h"

using namespace cmc_test;

namespace {

struct SeqRun {
    unsigned short result;
    SCMC_UPD_JOB job;
    std::string trace;
    std::vector<std::pair<unsigned long, unsigned long>> progress;
    std::uint16_t end_stat;
};

void on_progress(unsigned long a, unsigned long b, void *obj) {
    static_cast<SeqRun *>(obj)->progress.emplace_back(a, b);
}

// One sequence on device 0, whose exchange `at` (0 = LED 2) gets `fail`.
SeqRun run_sequence(Image &img, long at, Reply fail, unsigned char led_done) {
    auto ok = ScriptDevice::firmware();
    ScriptDevice dev([=](const Cmd &c, std::size_t i) {
        return static_cast<long>(i) == at ? fail : ok(c, i);
    });
    Plug plug(0, &dev);
    SCMC_OPENTBL *tbl = nullptr;
    SeqRun run{};
    EXPECT_EQ(CLS_cmc_snd::cmc_devtbl_edit(&tbl, 1, 1), 1u);
    unsigned short old = 77;
    run.job.entry = tbl;
    run.job.image = &img.hex.edit;
    run.job.dev_no = 5;
    run.job.cb_progress = on_progress;
    run.job.obj = &run;
    run.job.oldprogre = &old;
    run.job.led_done = led_done;
    run.result = CLS_cmc_upd::cmc_upd_device(&run.job);
    run.end_stat = tbl->end_stat;
    CLS_cmc_snd::cmc_devtbl_free(tbl, 1);
    run.trace = dev.trace();
    return run;
}

std::string seq(unsigned blocks_ok, const char *tail) {
    std::string s = "L2 B1";
    for (unsigned i = 0; i < blocks_ok; ++i) s += " B2";
    return s + tail;
}

}  // namespace

TEST(CmcUpd, StepsAndBlockOfAFailure) {
    Image img(4);
    Reply refused;
    refused.bytes = make_frame(0x0001, 0x01, 0xE004);
    Reply lost;
    lost.read_ok = false;
    struct Case {
        const char *what;
        long at;
        Reply fail;
        unsigned short result;
        unsigned char step;
        std::uint32_t addr;
        std::string trace;
    };
    const Case cases[] = {
        {"clean", -1, refused, kCmcOk, kCmcStepNone, 0, seq(4, " B3 L1")},
        {"LED 2 lost: not examined", 0, lost, kCmcOk, kCmcStepNone, 0, seq(4, " B3 L1")},
        {"begin refused", 1, refused, kCmcDeviceError, kCmcStepBegin, 0, "L2 B1 L3 L1"},
        {"first block lost", 2, lost, kCmcTransfer, kCmcStepBlock, 0x4000, seq(1, " L3 L1")},
        {"third block refused", 4, refused, kCmcDeviceError, kCmcStepBlock, 0x4200,
         seq(3, " L3 L1")},
        {"last block refused", 5, refused, kCmcDeviceError, kCmcStepBlock, 0x4300,
         seq(4, " L3 L1")},
        {"end lost", 6, lost, kCmcTransfer, kCmcStepEnd, 0, seq(4, " B3 L3 L1")},
        {"LED 1 lost: not examined", 7, lost, kCmcOk, kCmcStepNone, 0, seq(4, " B3 L1")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SeqRun run = run_sequence(img, c.at, c.fail, kCmcLedDoneAlways);
        EXPECT_EQ(run.result, c.result);
        EXPECT_EQ(run.end_stat, c.result);
        EXPECT_EQ(run.job.fail_step, c.step);
        EXPECT_EQ(run.job.fail_addr, c.addr);
        EXPECT_EQ(run.trace, c.trace);
        ASSERT_FALSE(run.progress.empty());
        EXPECT_EQ(run.progress.front(), std::make_pair(5ul, 0ul));  // announced, from 0
    }
    EXPECT_EQ(qvm_posix::live_allocations(), 0);
}

TEST(CmcUpd, LedOneOnlyOnFailureWhenTheCallerSendsIt) {
    Image img(2);
    Reply lost;
    lost.read_ok = false;
    EXPECT_EQ(run_sequence(img, -1, lost, kCmcLedDoneOnFailure).trace, seq(2, " B3"));
    EXPECT_EQ(run_sequence(img, 3, lost, kCmcLedDoneOnFailure).trace, seq(2, " L3 L1"));
}

TEST(CmcUpd, NoImageBytesSendsNoBootData) {
    Image img(1);
    img.hex.edit.len = 0;
    Reply unused;
    SeqRun run = run_sequence(img, -1, unused, kCmcLedDoneAlways);
    EXPECT_EQ(run.result, kCmcNoMemory);
    EXPECT_EQ(run.job.fail_step, kCmcStepImage);
    EXPECT_EQ(run.trace, "L2 L3 L1");
}
