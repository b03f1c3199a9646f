// Test support: drives one controller life and records its callbacks.
//
// Threads: the callbacks run on the controller's worker threads (or on the
// test thread for failed starts); Life's fields are under its mutex, and the
// test thread waits on its condition variable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "cmc_test_dev.h"
#include "pcmc.h"

namespace cmc_test {

// An image of `blocks` 256-byte blocks at 0x4000 (the edit block of a
// SHEX_HEX), filled with a pattern that differs in every block.
struct Image {
    Bytes bytes;
    SHEX_HEX hex{};
    explicit Image(unsigned blocks = 64) : bytes(blocks * 256) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<std::uint8_t>((i * 31 + i / 256) & 0xFF);
        }
        hex.edit.data = bytes.data();
        hex.edit.len = static_cast<std::uint32_t>(bytes.size());
        hex.edit.start_addr = 0x4000;
        hex.edit.end_addr = 0x4000 + hex.edit.len - 1;
    }
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;
};

struct Life {
    std::mutex m;
    std::condition_variable cv;
    // Check.
    unsigned short answer = 2;  // what the result callback answers
    bool answer_by_code = false;  // instead: 1 for code 0, else 2
    int chk_calls = 0;
    unsigned short chk_code = 0xFFFF;
    unsigned long chk_devs = 0;
    CLS_pcmc *cmc = nullptr;
    std::thread::id chk_thread;
    // Run inside the callbacks, after the waiters were woken: only for a
    // Life that outlives the controller's threads.
    std::function<void(Life &)> in_chkret;
    // Update.
    std::vector<std::pair<unsigned long, unsigned long>> progress;
    int fin_calls = 0;
    unsigned long result = 0, detail = 0;
    std::thread::id fin_thread;
    std::function<void(Life &)> in_finish;

    static unsigned short on_chkret(unsigned short code, unsigned long n, void *cmc, void *obj) {
        auto *run = static_cast<Life *>(obj);
        std::function<void(Life &)> hook;
        unsigned short answer;
        {
            std::lock_guard<std::mutex> l(run->m);
            ++run->chk_calls;
            run->chk_code = code;
            run->chk_devs = n;
            run->cmc = static_cast<CLS_pcmc *>(cmc);
            run->chk_thread = std::this_thread::get_id();
            hook = run->in_chkret;
            answer = run->answer_by_code ? (code == 0 ? 1 : 2) : run->answer;
            run->cv.notify_all();  // under the lock: the waiter may end run
        }
        if (hook) hook(*run);
        return answer;
    }
    static void on_progress(unsigned long a, unsigned long b, void *obj) {
        auto *run = static_cast<Life *>(obj);
        std::lock_guard<std::mutex> l(run->m);
        run->progress.emplace_back(a, b);
    }
    static void on_finish(unsigned long result, unsigned long detail, void *obj) {
        auto *run = static_cast<Life *>(obj);
        std::function<void(Life &)> hook;
        {
            std::lock_guard<std::mutex> l(run->m);
            ++run->fin_calls;
            run->result = result;
            run->detail = detail;
            run->fin_thread = std::this_thread::get_id();
            hook = run->in_finish;
            run->cv.notify_all();
        }
        if (hook) hook(*run);
    }

    bool wait_chk(int ms = 10000) {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, std::chrono::milliseconds(ms), [this] { return chk_calls > 0; });
    }
    bool wait_fin(int ms = 10000) {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, std::chrono::milliseconds(ms), [this] { return fin_calls > 0; });
    }
};

// Constructs a controller for run (verchk, dev_max, dev_chkmax as given).
inline void start_check(Life &run, Image &img, std::uint32_t image_ver, int verchk = 1,
                        unsigned long num = 1, unsigned long max = 1) {
    new CLS_pcmc(&img.hex, image_ver, Life::on_chkret, &run, verchk, num, max);
}

}  // namespace cmc_test
