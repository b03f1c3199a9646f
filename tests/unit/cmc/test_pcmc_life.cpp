// The controller's life cycles, repeated with random delays on every side:
// check codes 0 to 3, kept or destroyed, cancel and start racing the
// check thread's hand-over, cancel in each state, two devices, failed
// thread starts. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "cmc_test_run.h"

using namespace cmc_test;

namespace {

void pause_us(std::mt19937 &rng, int max_us) {
    int us = std::uniform_int_distribution<int>(0, max_us)(rng);
    if (us > max_us / 2) std::this_thread::sleep_for(std::chrono::microseconds(us - max_us / 2));
    else if (us % 2) std::this_thread::yield();
}

enum class Outcome { NoDevice, Ready, UpToDate, ReadFails, CheckStartFails };
enum class Then { Destroy, Start, Cancel, CancelEarly, StartFails, CancelWhileWriting };

struct Scenario {
    Outcome outcome;
    Then then;
    int devices;
    unsigned seed;
    std::string describe() const {
        std::ostringstream s;
        s << "outcome " << static_cast<int>(outcome) << " then " << static_cast<int>(then)
          << " devices " << devices << " seed " << seed;
        return s.str();
    }
};

Scenario pick(std::mt19937 &rng, unsigned seed) {
    Scenario s;
    s.seed = seed;
    s.outcome = static_cast<Outcome>(std::uniform_int_distribution<int>(0, 4)(rng));
    s.devices = s.outcome == Outcome::NoDevice ? 0 : std::uniform_int_distribution<int>(1, 2)(rng);
    if (s.outcome == Outcome::Ready) {
        s.then = static_cast<Then>(std::uniform_int_distribution<int>(0, 5)(rng));
    } else {
        // Kept only to be cancelled: a start needs code 0.
        s.then = std::uniform_int_distribution<int>(0, 1)(rng) ? Then::Destroy : Then::Cancel;
    }
    return s;
}

// Devices that answer after random delays; the version decides the check.
struct Bench {
    std::mt19937 rng;
    std::mutex rng_m;
    std::vector<std::unique_ptr<ScriptDevice>> devs;
    std::vector<std::unique_ptr<Plug>> plugs;
    std::atomic<bool> hold{false};

    Bench(const Scenario &s) : rng(s.seed * 7919u + 1) {
        DevVersion v;
        v.firm = s.outcome == Outcome::UpToDate ? 0x00000300 : 0x00000100;
        for (int i = 0; i < s.devices; ++i) {
            devs.push_back(std::make_unique<ScriptDevice>());
            auto ok = ScriptDevice::firmware(v);
            const bool read_fails = s.outcome == Outcome::ReadFails && i == 0;
            const bool first = i == 0;
            devs.back()->set_responder([this, ok, read_fails, first](const Cmd &c, std::size_t n) {
                {
                    std::lock_guard<std::mutex> l(rng_m);
                    pause_us(rng, 60);
                }
                Reply r = ok(c, n);
                if (read_fails && c.id == 0x8006) r.read_ok = false;
                // The first data block of the first device waits for release.
                if (first && hold && c.id == 0x0001 && c.p1 == 2 && c.p2 == 0x4000) r.block = true;
                return r;
            });
            plugs.push_back(std::make_unique<Plug>(i * 2, devs.back().get()));
        }
    }
};

void one_life(const Scenario &s) {
    SCOPED_TRACE(s.describe());
    Bench bench(s);
    std::mt19937 rng(s.seed);
    Image img(2);
    Life life;
    const bool keep = s.then != Then::Destroy;
    life.answer = keep ? 1 : 2;
    life.in_chkret = [&](Life &) {
        std::mt19937 r2(s.seed ^ 0x5555u);
        pause_us(r2, 80);  // the hand-over follows some time after
    };
    if (s.then == Then::CancelWhileWriting) bench.hold = true;
    if (s.outcome == Outcome::CheckStartFails) qvm_posix::fail_thread_start_at(1);

    CLS_pcmc *cmc = new CLS_pcmc(&img.hex, 0x200, Life::on_chkret, &life, 1, 2, 4);
    qvm_posix::fail_thread_start_at(0);

    if (s.then == Then::CancelEarly) {
        // Kept whatever comes: a cancel at any time is legal.
        pause_us(rng, 200);
        cmc->pcmc_cancel();
    } else {
        ASSERT_TRUE(life.wait_chk());
        pause_us(rng, 100);  // the check thread may still be in the callback
        switch (s.then) {
        case Then::Destroy:
            break;
        case Then::Cancel:
            life.cmc->pcmc_cancel();
            break;
        case Then::Start:
        case Then::StartFails:
        case Then::CancelWhileWriting:
            if (s.then == Then::StartFails) qvm_posix::fail_thread_start_at(1);
            life.cmc->pcmc_start(Life::on_progress, Life::on_finish, &life);
            qvm_posix::fail_thread_start_at(0);
            if (s.then == Then::CancelWhileWriting) {
                ASSERT_TRUE(bench.devs[0]->wait_blocked());
                life.cmc->pcmc_cancel();  // changes nothing
                pause_us(rng, 100);
                bench.devs[0]->release();
            }
            ASSERT_TRUE(life.wait_fin());
            break;
        case Then::CancelEarly:
            break;
        }
    }
    ASSERT_TRUE(wait_threads_done());

    // Every life ends with every device closed and nothing left allocated.
    EXPECT_EQ(qvm_posix::open_device_handles(), 0);
    EXPECT_EQ(qvm_posix::live_allocations(), 0);
    std::lock_guard<std::mutex> l(life.m);
    if (s.then == Then::CancelEarly) {
        EXPECT_LE(life.chk_calls, 1);
    } else {
        EXPECT_EQ(life.chk_calls, 1);
    }
    const unsigned short want_code[] = {1, 0, 2, 3, 3};
    if (life.chk_calls == 1) {
        EXPECT_EQ(life.chk_code, want_code[static_cast<int>(s.outcome)]);
    }

    const bool started = s.then == Then::Start || s.then == Then::StartFails ||
                         s.then == Then::CancelWhileWriting;
    EXPECT_EQ(life.fin_calls, started ? 1 : 0);
    if (started) {
        const bool ok = s.then != Then::StartFails;
        EXPECT_EQ(life.result, ok ? 1u : 2u);
        EXPECT_EQ(life.detail, ok ? 0u : 0xFFFFFFFCul);
        for (auto &d : bench.devs) {
            const std::string t = d->trace();
            const bool written = t.find("B1 B2 B2 B3 L1") != std::string::npos;
            EXPECT_EQ(written, ok) << t;
        }
    }
    for (auto &d : bench.devs) {
        EXPECT_EQ(d->opens(), d->closes());
        EXPECT_EQ(d->trace().find("B") == std::string::npos, !started || s.then == Then::StartFails);
    }
}

}  // namespace

TEST(PcmcLife, RandomLivesStayCleanAndLeakFree) {
    const unsigned lives = 1000;
    for (unsigned i = 0; i < lives; ++i) {
        std::mt19937 rng(i);
        Scenario s = pick(rng, i);
        one_life(s);
        if (HasFatalFailure() || HasFailure()) {
            ADD_FAILURE() << "stopped at life " << i;
            break;
        }
    }
}
