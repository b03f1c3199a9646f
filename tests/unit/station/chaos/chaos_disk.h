// The report's disk as the whole-station run sees it: what the system holds
// (bytes) and what is on the platter (durable), so that a kill keeps every
// appended byte and a power cut loses or zeroes what was not flushed. The
// disk outlives every station; each station writes through a store of its
// own, which dies with it (a killed station's threads touch nothing more).
//
// Faults are set by the run's thread while stations write: appends that
// fail, torn appends, flushes that fail, appends that hang, a read-only
// spell. Hooks tell the run what a station appends and what becomes
// durable; they run inside the store call, after the disk's lock is let go.
//
// Threads: every member may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../../cli/cli_test_store.h"
#include "stn_report.h"
#include "stn_spill.h"

namespace chaos {

using Clock = std::chrono::steady_clock;

class Disk {
public:
    // ---- Faults ----
    void fail_next_appends(unsigned n) { set([&] { fail_appends_ += n; }); }
    void tear_next_append() { set([&] { tear_appends_ += 1; }); }
    void fail_next_flushes(unsigned n) { set([&] { fail_flushes_ += n; }); }
    // A share that drops: the next flush fails with its bytes still in the
    // file, and nothing can be written or cut for ms.
    void drop_at_next_flush(unsigned ms) { set([&] { drop_ms_ = ms; }); }
    void hang_appends(bool on) { set([&] { hang_ = on; }); }
    void read_only_for(unsigned ms) {
        set([&] { read_only_until_ = Clock::now() + std::chrono::milliseconds(ms); });
    }
    bool faulty() const {
        std::lock_guard<std::mutex> lock(mu_);
        return hang_ || fail_appends_ != 0 || tear_appends_ != 0 || fail_flushes_ != 0 ||
               drop_ms_ != 0 || Clock::now() < read_only_until_;
    }
    // Failures counted out but not yet met are dropped (their fault is over).
    void clear_counted() {
        set([&] { fail_appends_ = tear_appends_ = fail_flushes_ = drop_ms_ = 0; });
    }
    void clear_faults() {
        set([&] {
            fail_appends_ = tear_appends_ = fail_flushes_ = drop_ms_ = 0;
            hang_ = false;
            read_only_until_ = Clock::time_point();
        });
    }

    // ---- What is on it ----
    std::string bytes() const {
        std::lock_guard<std::mutex> lock(mu_);
        return bytes_;
    }
    // The machine's folder of spills, which outlives every station.
    const std::shared_ptr<cli_test::MemSpillFolder> spills =
        std::make_shared<cli_test::MemSpillFolder>();
    // How many bytes from the start are on the platter: they never change.
    std::size_t durable() const {
        std::lock_guard<std::mutex> lock(mu_);
        return durable_;
    }
    // A power cut: what was not flushed is lost (how = 0), zeroed (1), or
    // kept in part (2).
    void power_cut(int how, std::uint64_t keep_seed) {
        std::lock_guard<std::mutex> lock(mu_);
        if (durable_ >= bytes_.size()) return;
        const std::size_t loose = bytes_.size() - durable_;
        if (how == 0) {
            bytes_.resize(durable_);
        } else if (how == 1) {
            bytes_.replace(durable_, loose, loose, '\0');
        } else {
            bytes_.resize(durable_ + static_cast<std::size_t>(keep_seed % loose));
        }
    }

    // ---- Hooks (set before stations run) ----
    // Bytes the station numbered no appended (whole, as handed over).
    std::function<void(int no, const std::string &)> on_append;
    // Whole lines that just became durable, in order.
    std::function<void(const std::vector<std::string> &)> on_durable;

private:
    friend class Store;
    template <typename F>
    void set(F f) {
        std::lock_guard<std::mutex> lock(mu_);
        f();
        cv_.notify_all();
    }

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::string bytes_;
    std::size_t durable_ = 0;
    std::string aside_;
    unsigned fail_appends_ = 0, tear_appends_ = 0, fail_flushes_ = 0, drop_ms_ = 0;
    bool hang_ = false;
    Clock::time_point read_only_until_{};
};

// One station's handle on the disk. kill() makes every later call fail
// without touching the disk, and ends an append that hangs.
class Store : public StnReportStore {
public:
    // no: the station that writes through it, for the hooks; path: the
    // report's name as that station spells it.
    Store(std::shared_ptr<Disk> disk, int no, std::string path)
        : disk_(std::move(disk)), no_(no), path_(std::move(path)) {}

    void kill() {
        std::lock_guard<std::mutex> lock(disk_->mu_);
        dead_ = true;
        disk_->cv_.notify_all();
    }

    bool read(std::uint64_t offset, char *buf, std::size_t n, std::size_t *got) override {
        std::lock_guard<std::mutex> lock(disk_->mu_);
        *got = 0;
        if (dead_) return false;
        const std::string &b = disk_->bytes_;
        if (offset >= b.size()) return true;
        *got = std::min<std::size_t>(n, b.size() - static_cast<std::size_t>(offset));
        std::copy_n(b.data() + offset, *got, buf);
        return true;
    }

    bool append(const std::string &bytes) override {
        {
            std::unique_lock<std::mutex> lock(disk_->mu_);
            Disk &d = *disk_;
            d.cv_.wait(lock, [&] { return dead_ || !d.hang_; });
            if (dead_ || Clock::now() < d.read_only_until_) return false;
            if (d.fail_appends_ != 0) {
                --d.fail_appends_;
                return false;
            }
            if (d.tear_appends_ != 0) {
                --d.tear_appends_;
                d.bytes_ += bytes.substr(0, bytes.size() / 2);
                return false;
            }
            d.bytes_ += bytes;
        }
        if (disk_->on_append) disk_->on_append(no_, bytes);
        return true;
    }

    bool flush() override {
        std::vector<std::string> lines;
        {
            std::lock_guard<std::mutex> lock(disk_->mu_);
            Disk &d = *disk_;
            if (dead_) return false;
            if (d.fail_flushes_ != 0) {
                --d.fail_flushes_;
                return false;
            }
            if (d.drop_ms_ != 0) {
                d.read_only_until_ = Clock::now() + std::chrono::milliseconds(d.drop_ms_);
                d.drop_ms_ = 0;
                return false;
            }
            // Whole lines between the old and the new durable end.
            std::size_t from = d.durable_;
            for (std::size_t lf; (lf = d.bytes_.find('\n', from)) != std::string::npos;
                 from = lf + 1) {
                lines.push_back(d.bytes_.substr(from, lf - from));
            }
            d.durable_ = d.bytes_.size();
        }
        if (!lines.empty() && disk_->on_durable) disk_->on_durable(lines);
        return true;
    }

    bool truncate(std::uint64_t size) override {
        std::lock_guard<std::mutex> lock(disk_->mu_);
        Disk &d = *disk_;
        if (dead_ || Clock::now() < d.read_only_until_) return false;
        if (size < d.bytes_.size()) d.bytes_.resize(static_cast<std::size_t>(size));
        if (d.durable_ > d.bytes_.size()) d.durable_ = d.bytes_.size();
        return true;
    }

    bool set_aside(std::uint64_t from) override {
        std::lock_guard<std::mutex> lock(disk_->mu_);
        if (dead_) return false;
        disk_->aside_ += disk_->bytes_.substr(static_cast<std::size_t>(from));
        return true;
    }

    void identify(const std::string &report_id) override {
        std::lock_guard<std::mutex> lock(disk_->mu_);
        id_ = report_id;
    }
    bool spill(const std::string &bytes, std::string *where) override {
        std::lock_guard<std::mutex> lock(disk_->mu_);
        return !dead_ &&
               stn_spill_keep(disk_->spills.get(), id_, path_, bytes, where);
    }
    bool read_spill(const std::string &report_id, std::string *bytes) override {
        std::lock_guard<std::mutex> lock(disk_->mu_);
        return !dead_ && stn_spill_read(disk_->spills.get(), report_id, bytes);
    }
    bool retire_spill(const std::string &report_id) override {
        std::lock_guard<std::mutex> lock(disk_->mu_);
        return !dead_ && stn_spill_retire(disk_->spills.get(), report_id, std::to_string(++retired_));
    }

private:
    std::shared_ptr<Disk> disk_;
    const int no_;
    const std::string path_;
    bool dead_ = false;      // under disk_->mu_
    std::string id_;         // under disk_->mu_: the report's identity
    unsigned retired_ = 0;   // under disk_->mu_
};

}  // namespace chaos
