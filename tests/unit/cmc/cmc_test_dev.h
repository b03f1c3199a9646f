// Test support: a scripted device behind "\\.\R846_QVM2K_<n>" that records
// every command written to it and answers from a responder (frames built
// with the shared test framing).
//
// Threads: the device's calls come from whichever thread does the file
// call (worker threads in controller tests); everything is under one mutex.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "posix_dev.h"
#include "test_frames.h"

namespace cmc_test {

using test_frames::Bytes;
using test_frames::get32;
using test_frames::make_frame;

// The version payload as a device sends it (license halves scrambled).
struct DevVersion {
    std::uint32_t firm = 0x0000015E;
    std::uint16_t mcu = 0x0102;
    std::uint32_t boot = 0x00000201;
    std::int32_t serial = 123456;
    std::uint32_t lic_low = 0x0000000F;
    std::int32_t lic_high = -2;
};
inline Bytes version_answer(const DevVersion &v) {
    Bytes p(20, 0);
    test_frames::put32(p, 0, v.firm);
    p[4] = static_cast<std::uint8_t>(v.mcu);
    p[5] = static_cast<std::uint8_t>(v.mcu >> 8);
    p[6] = 0xAA;  // reserved, ignored
    p[7] = 0x55;
    test_frames::put32(p, 8, test_frames::scramble_license(v.lic_low, test_frames::kLicenseMaskLow));
    test_frames::put32(p, 12, test_frames::scramble_license(static_cast<std::uint32_t>(v.lic_high),
                                                            test_frames::kLicenseMaskHigh));
    test_frames::put32(p, 16, static_cast<std::uint32_t>(v.serial));
    return make_frame(0x8006, 0x55, v.boot, p);
}

// One command as the device saw it.
struct Cmd {
    std::uint16_t id = 0;
    std::uint32_t p1 = 0;
    std::uint32_t p2 = 0;
    Bytes raw;
};

// What the device does with one command.
struct Reply {
    bool write_ok = true;
    std::int64_t written = -1;  // -1: all bytes
    bool read_ok = true;
    bool block = false;         // the read waits for release()
    Bytes bytes;
};

class ScriptDevice : public qvm_posix::Device {
public:
    using Responder = std::function<Reply(const Cmd &, std::size_t index)>;

    ScriptDevice() : responder_(firmware()) {}
    explicit ScriptDevice(Responder r) : responder_(std::move(r)) {}

    // A device that accepts everything and reports `ver`.
    static Responder firmware(DevVersion ver = {}) {
        return [ver](const Cmd &c, std::size_t) {
            Reply r;
            r.bytes = c.id == 0x8006 ? version_answer(ver) : make_frame(c.id, 0x55, 0);
            return r;
        };
    }

    void set_responder(Responder r) {
        std::lock_guard<std::mutex> l(m_);
        responder_ = std::move(r);
    }

    bool on_open(std::uint32_t *) override {
        std::lock_guard<std::mutex> l(m_);
        ++opens_;
        return true;
    }
    void on_close() override {
        std::lock_guard<std::mutex> l(m_);
        ++closes_;
    }
    bool on_write(const std::uint8_t *data, std::uint32_t len, std::uint32_t *written) override {
        std::lock_guard<std::mutex> l(m_);
        Cmd c;
        c.raw.assign(data, data + len);
        if (len >= 16) {
            c.id = static_cast<std::uint16_t>(data[2] | (data[3] << 8));
            c.p1 = get32(c.raw, 8);
            c.p2 = get32(c.raw, 12);
        }
        pending_ = responder_(c, cmds_.size());
        cmds_.push_back(c);
        *written = pending_.written < 0 ? len : static_cast<std::uint32_t>(pending_.written);
        return pending_.write_ok;
    }
    bool on_read(std::uint8_t *buf, std::uint32_t cap, std::uint32_t *got) override {
        std::unique_lock<std::mutex> l(m_);
        if (pending_.block) {
            ++blocked_;
            cv_.notify_all();
            cv_.wait(l, [this] { return released_; });
        }
        std::uint32_t n = 0;
        for (; n < cap && n < pending_.bytes.size(); ++n) buf[n] = pending_.bytes[n];
        *got = n;
        return pending_.read_ok;
    }

    // Blocked reads go on.
    void release() {
        std::lock_guard<std::mutex> l(m_);
        released_ = true;
        cv_.notify_all();
    }
    // Waits until a read is blocked.
    bool wait_blocked(int ms = 5000) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(ms), [this] { return blocked_ > 0; });
    }

    std::vector<Cmd> cmds() const {
        std::lock_guard<std::mutex> l(m_);
        return cmds_;
    }
    // "L2 B1 B2 B2 B3 L1 V": the command sequence in short form.
    std::string trace() const {
        std::lock_guard<std::mutex> l(m_);
        std::string s;
        for (const Cmd &c : cmds_) {
            if (!s.empty()) s += ' ';
            if (c.id == 0x8006) s += "V";
            else if (c.id == 0x8009) s += "L" + std::to_string(c.p1);
            else if (c.id == 0x0001) s += "B" + std::to_string(c.p1);
            else s += "?";
        }
        return s;
    }
    int opens() const { std::lock_guard<std::mutex> l(m_); return opens_; }
    int closes() const { std::lock_guard<std::mutex> l(m_); return closes_; }

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    Responder responder_;
    Reply pending_;
    std::vector<Cmd> cmds_;
    int opens_ = 0;
    int closes_ = 0;
    int blocked_ = 0;
    bool released_ = false;
};

// Registers a device under index n for the scope.
class Plug {
public:
    Plug(unsigned n, qvm_posix::Device *dev) : name_("R846_QVM2K_" + std::to_string(n)) {
        qvm_posix::register_device(name_.c_str(), dev);
    }
    ~Plug() { qvm_posix::unregister_device(name_.c_str()); }
    Plug(const Plug &) = delete;
    Plug &operator=(const Plug &) = delete;

private:
    std::string name_;
};

// Waits until every worker thread has ended (the controller destroys itself
// at a worker's end). false after the time-out.
inline bool wait_threads_done(int ms = 10000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (qvm_posix::running_threads() != 0) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

}  // namespace cmc_test
