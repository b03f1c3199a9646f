// A stand-in for the factory's database and for the files delivery reads,
// for tests of delivery alone and of the whole station. Thread-safe: a test
// may set faults or look at the rows at any time while delivery runs.
//
// The database: rows by key (an insert skips keys held; one transaction,
// all or nothing), and faults like a driver's: down (connect and insert fail
// at once), slow (every call takes that long; past the call's deadline it
// fails as a driver's timeout does), refusing (the login may not insert),
// locked (a lock is held: an insert waits for it up to the deadline, then
// fails), and a kill at an insert (before or after its commit) after which
// every call of that connection fails, as for a process that is gone.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../cli/cli_test_store.h"
#include "stn_deliver.h"
#include "stn_sha256.h"

namespace stn_test {

inline std::string sha(const std::string &s) {
    return stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(s.data()), s.size());
}

// The table and its faults, shared by every connection made to it.
class Table : public std::enable_shared_from_this<Table> {
public:
    using Clock = std::chrono::steady_clock;

    // A connection to this table, for StnDelivery (which owns it).
    std::unique_ptr<StnDatabase> connect();

    // ---- Faults (any thread, any time; calls under way see them) ----
    void set_down(bool v) { set([&] { down_ = v; }); }
    // Every call takes ms (0: none).
    void set_slow_ms(unsigned ms) { set([&] { slow_ms_ = ms; }); }
    // How long a call may take before it fails with a timeout, as the
    // driver's login and statement timeouts would.
    void set_deadline_ms(unsigned ms) { set([&] { deadline_ms_ = ms; }); }
    // check and insert fail: the login may not insert.
    void set_refusing(bool v) { set([&] { refusing_ = v; }); }
    // A lock on the table held for ms from now (0: released now).
    void set_locked_ms(unsigned ms) {
        set([&] { locked_until_ = Clock::now() + std::chrono::milliseconds(ms); });
    }
    // The insert-th insert call (from 1, counting every call) dies: before
    // its commit or after it. kill runs then (outside the table's lock), and
    // from then on every call of that connection fails at once (the process
    // is gone; a new connection works). 0: no kill.
    void kill_at(std::uint64_t insert, bool after_commit, std::function<void()> kill) {
        set([&] {
            kill_at_ = insert;
            kill_after_commit_ = after_commit;
            kill_ = std::move(kill);
        });
    }

    // ---- What it holds ----
    std::map<std::string, StnDbRow> rows() const {  // by key
        std::lock_guard<std::mutex> lock(mu_);
        return rows_;
    }
    std::vector<std::string> order() const {  // keys in the order committed
        std::lock_guard<std::mutex> lock(mu_);
        return order_;
    }
    // The rows committed after the first `from` (in commit order), and how
    // many there are in all: a long run looks only at what is new.
    std::size_t rows_after(std::size_t from, std::vector<StnDbRow> *out) const {
        std::lock_guard<std::mutex> lock(mu_);
        out->clear();
        for (std::size_t i = from; i < order_.size(); ++i) out->push_back(rows_.at(order_[i]));
        return order_.size();
    }
    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mu_);
        return rows_.size();
    }
    bool has(const std::string &key) const {
        std::lock_guard<std::mutex> lock(mu_);
        return rows_.count(key) != 0;
    }
    // Rows handed to inserts that committed, and insert calls made.
    std::uint64_t sent() const {
        std::lock_guard<std::mutex> lock(mu_);
        return sent_;
    }
    std::uint64_t inserts() const {
        std::lock_guard<std::mutex> lock(mu_);
        return inserts_;
    }
    // Puts a row in as another writer would (no fault applies).
    void put(const StnDbRow &r) {
        std::lock_guard<std::mutex> lock(mu_);
        if (rows_.emplace(r.key, r).second) order_.push_back(r.key);
    }

    // Empty when every whole line of report (bytes from its start) is held
    // exactly once, at its number, with the report's identity and bytes,
    // and the table holds nothing more for that report; else what differs.
    std::string every_line_once(const std::string &report) const {
        std::lock_guard<std::mutex> lock(mu_);
        std::string first, out;
        std::uint64_t seq = 0;
        for (std::size_t begin = 0, lf; (lf = report.find('\n', begin)) != std::string::npos;
             begin = lf + 1) {
            std::string body = report.substr(begin, lf - begin);
            if (!body.empty() && body.back() == '\r') body.pop_back();
            const std::string key = sha(body);
            if (++seq == 1) first = key;
            const auto it = rows_.find(key);
            if (it == rows_.end()) {
                out += "line " + std::to_string(seq) + " missing; ";
            } else if (it->second.seq != seq || it->second.report_id != first ||
                       it->second.text != body) {
                out += "line " + std::to_string(seq) + " held as " +
                       std::to_string(it->second.seq) + "; ";
            }
        }
        std::uint64_t held = 0;
        for (const auto &kv : rows_) held += kv.second.report_id == first ? 1 : 0;
        if (held != seq) {
            out += std::to_string(held) + " rows for " + std::to_string(seq) + " lines";
        }
        return out;
    }

private:
    friend class Db;
    template <typename F>
    void set(F f) {
        std::lock_guard<std::mutex> lock(mu_);
        f();
        cv_.notify_all();
    }

    // The call's time: false with *why when the table is away, slow past
    // the deadline or (for an insert) locked past it.
    bool pass(std::unique_lock<std::mutex> &lock, const bool &dead, bool insert,
              std::string *why) {
        const Clock::time_point t0 = Clock::now();
        for (;;) {
            if (dead) {
                *why = "connection gone";
                return false;
            }
            if (down_) {
                *why = "server not there";
                return false;
            }
            const Clock::time_point now = Clock::now();
            const Clock::time_point deadline = t0 + std::chrono::milliseconds(deadline_ms_);
            Clock::time_point ready = t0 + std::chrono::milliseconds(slow_ms_);
            if (insert && locked_until_ > ready) ready = locked_until_;
            if (now >= ready) return true;
            if (now >= deadline) {
                *why = insert && locked_until_ > now ? "lock timeout: the table is locked"
                                                     : "query timeout expired";
                return false;
            }
            cv_.wait_until(lock, ready < deadline ? ready : deadline);
        }
    }

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::map<std::string, StnDbRow> rows_;
    std::vector<std::string> order_;
    std::uint64_t sent_ = 0, inserts_ = 0;
    bool down_ = false, refusing_ = false;
    unsigned slow_ms_ = 0, deadline_ms_ = 2000;
    Clock::time_point locked_until_{};
    std::uint64_t kill_at_ = 0;
    bool kill_after_commit_ = false;
    std::function<void()> kill_;
};

// One connection to a Table.
class Db : public StnDatabase {
public:
    explicit Db(std::shared_ptr<Table> t) : t_(std::move(t)) {}
    bool connect(std::string *why) override {
        std::unique_lock<std::mutex> lock(t_->mu_);
        return t_->pass(lock, dead_, false, why);
    }
    bool check(std::string *why) override {
        std::unique_lock<std::mutex> lock(t_->mu_);
        if (!t_->pass(lock, dead_, false, why)) return false;
        if (t_->refusing_) *why = "permission denied for table station_report";
        return !t_->refusing_;
    }
    bool insert(const std::vector<StnDbRow> &rows, std::size_t *added, std::string *why) override {
        std::function<void()> kill;
        bool ok = false;
        {
            std::unique_lock<std::mutex> lock(t_->mu_);
            const std::uint64_t n = ++t_->inserts_;
            const bool dies = t_->kill_at_ != 0 && n == t_->kill_at_;
            if (!t_->pass(lock, dead_, true, why)) return false;
            if (t_->refusing_) {
                *why = "permission denied for table station_report";
                return false;
            }
            if (!dies || t_->kill_after_commit_) {
                *added = 0;
                for (const StnDbRow &r : rows) {
                    ++t_->sent_;
                    if (t_->rows_.emplace(r.key, r).second) {
                        ++*added;
                        t_->order_.push_back(r.key);
                    }
                }
                ok = true;
            }
            if (dies) {
                dead_ = true;
                kill = t_->kill_;
                ok = false;
                *why = "connection gone";
            }
        }
        if (kill) kill();
        return ok;
    }
    bool held(const std::string &report_id,
              const std::function<void(std::uint64_t, const std::string &)> &row,
              std::string *why) override {
        std::vector<std::pair<std::uint64_t, std::string>> found;
        {
            std::unique_lock<std::mutex> lock(t_->mu_);
            if (!t_->pass(lock, dead_, false, why)) return false;
            for (const auto &kv : t_->rows_) {
                if (kv.second.report_id == report_id) found.emplace_back(kv.second.seq, kv.first);
            }
        }
        std::sort(found.begin(), found.end());
        for (const auto &f : found) row(f.first, f.second);
        return true;
    }
    bool report_of(const std::string &key, std::string *report_id, std::string *why) override {
        std::unique_lock<std::mutex> lock(t_->mu_);
        if (!t_->pass(lock, dead_, false, why)) return false;
        const auto it = t_->rows_.find(key);
        *report_id = it == t_->rows_.end() ? "" : it->second.report_id;
        return true;
    }
    void disconnect() override {}

private:
    std::shared_ptr<Table> t_;
    bool dead_ = false;  // under the table's lock: killed
};

inline std::unique_ptr<StnDatabase> Table::connect() {
    return std::unique_ptr<StnDatabase>(new Db(shared_from_this()));
}

// The cursor file beside the report.
class Cursor {
public:
    bool load(std::string *text) const {
        std::lock_guard<std::mutex> lock(mu_);
        *text = text_;
        return has_;
    }
    bool save(const std::string &text) {
        std::lock_guard<std::mutex> lock(mu_);
        if (fails_ || dead_) return false;
        text_ = text;
        has_ = true;
        return true;
    }
    std::string text() const {
        std::lock_guard<std::mutex> lock(mu_);
        return text_;
    }
    bool has() const {
        std::lock_guard<std::mutex> lock(mu_);
        return has_;
    }
    // Replaces the file (has: false, none).
    void put(const std::string &text, bool has = true) {
        std::lock_guard<std::mutex> lock(mu_);
        text_ = text;
        has_ = has;
    }
    // Saves fail (they write nothing).
    void set_save_fails(bool v) {
        std::lock_guard<std::mutex> lock(mu_);
        fails_ = v;
    }
    // The process is gone: saves and reads through Files fail from now on
    // (a new process gets a new Cursor with the text this one holds).
    void set_dead(bool v) {
        std::lock_guard<std::mutex> lock(mu_);
        dead_ = v;
    }
    bool dead() const {
        std::lock_guard<std::mutex> lock(mu_);
        return dead_;
    }

private:
    mutable std::mutex mu_;
    std::string text_;
    bool has_ = false, fails_ = false, dead_ = false;
};

// The report (any StnReportStore, e.g. cli_test::MemStore, which the
// station's writer may share) and the cursor, as delivery reads them.
class Files : public StnDeliverFiles {
public:
    Files(std::shared_ptr<StnReportStore> store, std::shared_ptr<Cursor> cursor)
        : store_(std::move(store)), cursor_(std::move(cursor)) {}
    bool read(std::uint64_t offset, std::size_t max, std::string *out) override {
        out->clear();
        if (cursor_->dead()) return false;
        std::vector<char> buf(max);
        std::size_t at = 0;
        while (at < max) {
            std::size_t got = 0;
            if (!store_->read(offset + at, buf.data() + at, max - at, &got)) return false;
            if (got == 0) break;
            at += got;
        }
        out->assign(buf.data(), at);
        return true;
    }
    bool load_cursor(std::string *text) override {
        if (cursor_->dead()) return false;
        return cursor_->load(text);
    }
    bool save_cursor(const std::string &text) override { return cursor_->save(text); }

private:
    std::shared_ptr<StnReportStore> store_;
    std::shared_ptr<Cursor> cursor_;
};

}  // namespace stn_test
