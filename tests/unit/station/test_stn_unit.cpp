// One unit's endings: outcome, failure kind, detail code and words, each
// once; and a silent device costs its unit one deadline.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "devsim_inproc.h"
#include "posix_dev.h"
#include "stn_test_image.h"
#include "stn_watch.h"

namespace {

using stn_test::kImageVersion;

devsim_config config(std::uint32_t firm) {
    devsim_config c;
    devsim_default_config(&c);
    c.firm_version = firm;
    c.serial_no = 84600001;
    return c;
}

// A unit at index 0 that holds 0x129, and a job for it.
struct OneUnit {
    stn_test::Image img;
    devsim_config cfg = config(0x129);
    devsim::InProcDevice dev{0, &cfg};
    StnUnitJob job;
    OneUnit() {
        job.index = 0;
        job.image = &img.image;
    }
};

}  // namespace

TEST(StnUnit, EachEndingHasItsKindDetailAndWords) {
    stn_test::Image img;
    struct Case {
        const char *what;
        std::uint32_t firm;
        std::function<void(devsim::InProcDevice &)> arm;  // null: no device at all
        bool force;
        std::uint32_t image_version;  // what the image claims (0: its own)
        StnOutcome outcome;
        StnFailure failure;
        std::uint32_t detail;
        const char *words;
    };
    auto fault = [](std::uint32_t after, devsim_fault_kind k, std::uint32_t p = 0) {
        return [=](devsim::InProcDevice &d) { ASSERT_TRUE(d.arm_fault(after, k, p)); };
    };
    auto none = [](devsim::InProcDevice &) {};
    // Exchanges: version read, LED 2, begin, 64 blocks, end, LED 1, version read.
    const Case cases[] = {
        {"updated", 0x129, none, false, 0, StnOutcome::kUpdated, StnFailure::kNone, 0, ""},
        {"current", kImageVersion, none, false, 0, StnOutcome::kCurrent, StnFailure::kNone, 0, ""},
        {"absent", 0x129, nullptr, false, 0, StnOutcome::kFailed, StnFailure::kUnverified,
         0xFFFFFFFDu, "cannot be opened"},
        {"refused block", 0x129, fault(3 + 5, DEVSIM_FAULT_ERROR_ANSWER, 0xE004), false, 0,
         StnOutcome::kFailed, StnFailure::kRefused, 0xE004u,
         "block at 0x4500 refused by the device (error 0xE004)"},
        {"read fails", 0x129, fault(2, DEVSIM_FAULT_READ_FAILS), false, 0, StnOutcome::kFailed,
         StnFailure::kNoAnswer, 0xFFFFFFFEu, "begin got no valid answer"},
        {"unplugged", 0x129, fault(3 + 30, DEVSIM_FAULT_UNPLUG), false, 0, StnOutcome::kFailed,
         StnFailure::kUnplugged, 0xFFFFFFFEu, "(unplugged or powered off)"},
        {"hang", 0x129, fault(3 + 5, DEVSIM_FAULT_HANG), false, 0, StnOutcome::kFailed,
         StnFailure::kDeadline, 0xFFFFFFFBu, "block at 0x4500 got no answer within 200 ms"},
        {"hang at the version read", 0x129, fault(0, DEVSIM_FAULT_HANG), false, 0,
         StnOutcome::kFailed, StnFailure::kDeadline, 0xFFFFFFFBu,
         "version read: got no answer within 200 ms"},
        // A forced write whose end the device accepts but whose version is
        // not the one the image claims is not "updated", above or below.
        {"reports another version (lower)", kImageVersion, none, true, 0x100,
         StnOutcome::kFailed, StnFailure::kUnverified, 0xFFFFFFFDu,
         "the device reports 3.62 after the update, not 2.56"},
        {"reports another version (higher)", kImageVersion, none, true, 0x200,
         StnOutcome::kFailed, StnFailure::kUnverified, 0xFFFFFFFDu,
         "the device reports 3.62 after the update, not 5.12"},
    };
    auto deadlines = StnDeadlines::start(200);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const devsim_config cfg = config(c.firm);
        std::unique_ptr<devsim::InProcDevice> dev;
        if (c.arm) {
            dev = std::make_unique<devsim::InProcDevice>(0, &cfg);
            c.arm(*dev);
        }
        StnImage image = img.image;
        if (c.image_version != 0) image.version = c.image_version;
        auto watch = deadlines->watch();
        StnUnitJob job;
        job.index = 0;
        job.image = &image;
        job.force = c.force;
        job.watch = watch.get();
        const auto t0 = std::chrono::steady_clock::now();
        const StnUnitResult r = stn_update_unit(job);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - t0)
                            .count();
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.failure, c.failure);
        EXPECT_EQ(r.detail, c.detail);
        EXPECT_NE(r.what.find(c.words), std::string::npos) << r.what;
        if (c.failure == StnFailure::kDeadline) {
            // One deadline for the unit, not one per remaining exchange.
            EXPECT_LT(ms, 2000) << "the closing LEDs waited too";
        }
        if (dev && c.outcome == StnOutcome::kUpdated) {
            EXPECT_EQ(dev->flash(), img.window());
        }
        dev.reset();
        EXPECT_EQ(qvm_posix::open_device_handles(), 0);
    }
}

TEST(StnUnit, NothingIsWrittenWhenTheStartCannotBeRecorded) {
    OneUnit u;
    StnUnitJob &job = u.job;
    StnDevice seen;
    job.before_write = [&](const StnDevice &d, bool) {
        seen = d;
        return false;
    };
    const StnUnitResult r = stn_update_unit(job);
    EXPECT_EQ(r.outcome, StnOutcome::kFailed);
    EXPECT_EQ(r.detail, kStnDetailNotRecorded);
    EXPECT_EQ(seen.serial, 84600001);
    EXPECT_EQ(u.dev.exchanges(), 1u);  // the version read alone
}

TEST(StnUnit, TheCheckInDecidesWhetherTheUnitIsWritten) {
    // The MES's answer, asked after the version read and before the start:
    // only an allowed unit, or an unanswered one when the station may write
    // without the MES, gets its start and its blocks.
    const std::string long_reason(400, 'x');
    const struct {
        const char *name;
        StnCheckInVerdict verdict;
        std::string reason;
        bool allow;
        StnOutcome outcome;
        std::uint32_t detail;
        std::string what;    // kRejected: the reason kept
        bool written;
        bool unchecked;
    } cases[] = {
        {"allowed", StnCheckInVerdict::kAllowed, "", false, StnOutcome::kUpdated, 0, "", true,
         false},
        {"rejected", StnCheckInVerdict::kRejected, "on hold\r\n\x01(QA)\xff", false,
         StnOutcome::kRejected, 0, "on hold   (QA)?", false, false},
        {"rejected at length", StnCheckInVerdict::kRejected, long_reason, false,
         StnOutcome::kRejected, 0, std::string(300, 'x'), false, false},
        {"no answer", StnCheckInVerdict::kNoAnswer, "status 500", false, StnOutcome::kFailed,
         kStnDetailMesWaiting, "", false, false},
        {"no answer, written anyway", StnCheckInVerdict::kNoAnswer, "status 500", true,
         StnOutcome::kUpdated, 0, "", true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        OneUnit u;
        StnUnitJob &job = u.job;
        job.mes_down_allow = c.allow;
        StnDevice asked;
        job.check_in = [&](const StnDevice &d) {
            asked = d;
            StnCheckInAnswer a;
            a.verdict = c.verdict;
            a.reason = c.reason;
            return a;
        };
        int starts = 0;
        bool start_unchecked = false;
        job.before_write = [&](const StnDevice &, bool unchecked) {
            ++starts;
            start_unchecked = unchecked;
            return true;
        };
        const StnUnitResult r = stn_update_unit(job);
        EXPECT_EQ(asked.serial, 84600001);
        EXPECT_EQ(asked.firm_version, 0x129u);
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.detail, c.detail);
        EXPECT_TRUE(r.identified);
        if (c.outcome == StnOutcome::kRejected) {
            EXPECT_EQ(r.what, c.what);
        }
        EXPECT_EQ(starts, c.written ? 1 : 0);
        EXPECT_EQ(u.dev.blocks_received() != 0, c.written);
        EXPECT_EQ(r.mes_unchecked, c.unchecked);
        EXPECT_EQ(start_unchecked, c.unchecked);
    }
}
