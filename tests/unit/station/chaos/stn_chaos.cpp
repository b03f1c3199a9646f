// The whole station in one process, with everything failing at once: a
// seeded schedule of device faults, report faults, database faults, clock
// jumps, stops, forced stops, session ends, kills and power cuts, each end
// followed by a new station opened from the report's bytes as they are.
// After every restart, and at the end, it checks the record's promises:
//   units      exactly one unit line for every started unit
//   truth      updated and current only when the device holds the image;
//              failed and interrupted only when it does not (or when the
//              unit's own transfer committed and the station lost touch)
//   order      no block reaches a unit whose start line is not on the disk;
//              the report's lines in the order they were handed over
//   again      no finished unit is taken again while it stays plugged in
//   database   every row is its report line, at its number; at the end
//              every line is there once
//   chain      the chain holds
//   spill      another report's spill in the same folder is never added
//   time       the report's running time is no longer than the stations ran
//   live       a unit plugged in after a report fault ends is taken within
//              a few seconds
//   mes        the MES (which rejects, does not answer or answers late now
//              and then) sees no block reach a unit it rejected or left
//              waiting, is not asked again about a rejected unit that stayed
//              plugged in, and every rejected line is one of its rejections,
//              with its reason
//   threads    after the final stop no more threads than before the run
// It prints its seed and what it did; on a broken promise, the seed, the
// step and the promise, and exits 1. The same seed deals the same schedule
// (thread timing aside).
//
//   stn_chaos [--seed N] [--steps N | --minutes M] [--min-faults N] [--min-checks N]
//
// STN_CHAOS_TRACE=1 prints every step and, on a broken promise, the report.
//
// Threads: the run's thread deals the schedule and checks; each station
// has an engine thread (open, turn, destructor) and a delivery thread;
// hooks run on the report writer's and the workers' threads and take only
// the run's own lock (after the disk's or a device's).
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "../stn_test_db.h"
#include "../stn_test_image.h"
#include "chaos_disk.h"
#include "devsim_inproc.h"
#include "stn_chain.h"
#include "stn_checkin.h"
#include "stn_deliver.h"
#include "stn_engine.h"
#include "stn_session.h"
#include "stn_tally.h"
#include "stn_text.h"
#include "stn_time.h"

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr unsigned kSlots = 6;          // devices the schedule plays with
constexpr unsigned kProbeIndex = kSlots;  // the unit that shows the station takes units
constexpr unsigned kDeadlineMs = 300;   // one exchange, and one database call
constexpr unsigned kLiveMs = 4000;      // a unit is taken this soon after a report fault
constexpr std::uint32_t kOldFirmware = 0x155;  // 3.41
// Another report's spill, waiting in the same folder all along.
const std::string kOtherReport(64, 'a');
const std::string kOtherLine =
    "{\"type\":\"unit\",\"time\":\"2026-12-01T08:00:00.000Z\",\"id\":1,\"index\":0,"
    "\"serial\":12345678,\"result\":\"updated\"}";

std::uint64_t threads_now() {
    std::uint64_t n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (const dirent *e = readdir(d)) n += e->d_name[0] != '.' ? 1 : 0;
        closedir(d);
    }
    return n;
}

std::vector<std::string> lines_of(const std::string &bytes) {
    std::vector<std::string> out;
    for (std::size_t from = 0, lf; (lf = bytes.find('\n', from)) != std::string::npos;
         from = lf + 1) {
        out.push_back(bytes.substr(from, lf - from));
    }
    return out;
}

Json parse(const std::string &line) {
    Json j = Json::parse(line, nullptr, false);
    return j.is_object() ? j : Json();
}

std::uint64_t uint_of(const Json &j, const char *key) {
    auto it = j.find(key);
    return it != j.end() && it->is_number_unsigned() ? it->get<std::uint64_t>() : 0;
}
std::string str_of(const Json &j, const char *key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The wall clock as the stations read it: the host's, moved by jumps.
class WallClock {
public:
    std::string text() const {
        const std::int64_t ms =
            std::chrono::duration_cast<milliseconds>(
                std::chrono::system_clock::now().time_since_epoch())
                .count() +
            offset_ms_.load();
        return stn_utc_text(ms);
    }
    void jump(std::int64_t ms) { offset_ms_ += ms; }
    std::int64_t offset_ms() const { return offset_ms_.load(); }

private:
    std::atomic<std::int64_t> offset_ms_{0};
};

// What a device held when the run looked: the image, its version, commits.
struct Truth {
    std::uint32_t version = 0;
    bool flash_is_image = false;
    std::uint32_t commits = 0;
    bool holds_image(std::uint32_t image_version) const {
        return version == image_version && flash_is_image;
    }
};

// A database connection or delivery's files of one station: dead once the
// station is killed (a killed process makes no more calls).
class StationDb : public StnDatabase {
public:
    StationDb(std::unique_ptr<StnDatabase> inner, std::shared_ptr<std::atomic<bool>> dead)
        : inner_(std::move(inner)), dead_(std::move(dead)) {}
    bool connect(std::string *why) override { return live(why) && inner_->connect(why); }
    bool check(std::string *why) override { return live(why) && inner_->check(why); }
    bool insert(const std::vector<StnDbRow> &rows, std::size_t *added,
                std::string *why) override {
        return live(why) && inner_->insert(rows, added, why);
    }
    bool held(const std::string &report_id,
              const std::function<void(std::uint64_t, const std::string &)> &row,
              std::string *why) override {
        return live(why) && inner_->held(report_id, row, why);
    }
    bool report_of(const std::string &key, std::string *report_id, std::string *why) override {
        return live(why) && inner_->report_of(key, report_id, why);
    }
    void disconnect() override { inner_->disconnect(); }

private:
    bool live(std::string *why) {
        if (!dead_->load()) return true;
        *why = "the process was killed";
        return false;
    }
    std::unique_ptr<StnDatabase> inner_;
    std::shared_ptr<std::atomic<bool>> dead_;
};

class StationFiles : public StnDeliverFiles {
public:
    StationFiles(std::shared_ptr<chaos::Store> store, std::shared_ptr<stn_test::Cursor> cursor,
                 std::shared_ptr<std::atomic<bool>> dead)
        : inner_(store, cursor), dead_(std::move(dead)) {}
    bool read(std::uint64_t offset, std::size_t max, std::string *out) override {
        return !dead_->load() && inner_.read(offset, max, out);
    }
    bool load_cursor(std::string *text) override {
        return !dead_->load() && inner_.load_cursor(text);
    }
    bool save_cursor(const std::string &text) override {
        return !dead_->load() && inner_.save_cursor(text);
    }

private:
    stn_test::Files inner_;
    std::shared_ptr<std::atomic<bool>> dead_;
};

struct Options {
    std::uint64_t seed = 1;
    std::uint64_t steps = 600;
    double minutes = 0;  // when not 0, run this long instead of steps
    std::uint64_t min_faults = 1;
    std::uint64_t min_checks = 3;
};

class World;

// One station: engine, delivery and the host they share.
class Station : public StnHost {
public:
    // path: the report's name as this station spells it.
    Station(World &w, int no, const std::string &path);
    ~Station() override;

    // Starts the engine thread, which opens the report; the result.
    StnOpen open();
    // Lets the opened station run.
    void go() { go_.set_value(); }
    void request_stop() { with_engine([](StnEngine &e) { e.request_stop(); }); }
    void request_abort() {
        aborting_ = true;
        with_engine([](StnEngine &e) { e.request_abort(); });
    }
    bool snapshot(StnSnapshot *s) {
        return with_engine([s](StnEngine &e) { *s = e.snapshot(); });
    }
    // Waits until the engine thread has ended (the engine destroyed),
    // running meanwhile every few ms.
    bool join(unsigned ms, const std::function<void()> &meanwhile = {});
    // The process dies now: nothing it does from here on reaches the disk,
    // the cursor or the database.
    void kill() {
        store_->kill();
        delivery_store_->kill();
        dead_->store(true);
    }
    StnDeliverStatus delivery_status() const { return delivery_->status(); }
    bool finish_delivery(unsigned ms) { return delivery_->finish(ms); }
    StnSessionEnd &session() { return session_; }
    std::uint64_t ran_ms() const { return ran_ms_.load(); }
    int no() const { return no_; }

    // StnHost
    std::string utc_now() override;
    std::string utc_offset() override { return "+00:00"; }
    void on_turn() override {
        if (delivery_ != nullptr) delivery_->wake();
    }

private:
    bool with_engine(const std::function<void(StnEngine &)> &f) {
        std::lock_guard<std::mutex> lock(mu_);
        if (engine_ == nullptr) return false;
        f(*engine_);
        return true;
    }
    void run(StnConfig config, std::promise<StnOpen> opened);

    World &w_;
    const int no_;
    std::shared_ptr<chaos::Store> store_, delivery_store_;
    std::shared_ptr<StnFlushed> flushed_ = std::make_shared<StnFlushed>();
    std::shared_ptr<std::atomic<bool>> dead_ = std::make_shared<std::atomic<bool>>(false);
    std::unique_ptr<StnDelivery> delivery_;
    std::mutex mu_;
    StnEngine *engine_ = nullptr;  // under mu_, while it lives
    std::promise<void> go_;
    std::thread thread_;
    std::promise<void> ended_;
    std::future<void> ended_f_ = ended_.get_future();
    StnSessionEnd session_;
    std::atomic<std::uint64_t> ran_ms_{0};
    std::atomic<bool> aborting_{false};
    std::atomic<std::thread::id> engine_thread_{};
};

class World {
public:
    explicit World(const Options &o) : opt_(o), rng_(o.seed) {}
    int run();

    // ---- Shared with the stations and hooks ----
    stn_test::Image img;
    WallClock clock;
    std::shared_ptr<chaos::Disk> disk = std::make_shared<chaos::Disk>();
    std::shared_ptr<stn_test::Cursor> cursor = std::make_shared<stn_test::Cursor>();
    std::shared_ptr<stn_test::Table> table = std::make_shared<stn_test::Table>();

    StnConfig config() const {
        StnConfig c;
        c.image = img.image;
        c.poll_ms = 20;
        c.timeout_ms = kDeadlineMs;
        c.retry_ms = 200;
        c.end_wait_ms = 300;
        c.who.station = "CHAOS-1";
        c.who.operator_name = "op";
        c.who.order = "WO-7";
        c.version = "3.62";
        return c;
    }

private:
    // ---- The schedule ----
    enum Action {
        // devices
        kRefuse, kNoAnswer, kUnplug, kPowerLoss, kHangRead, kHangWrite, kSlowAnswer,
        kStallOpen, kStallClose, kSwapFast, kSwapSlow,
        // the report
        kAppendFails, kFlushFails, kTornWrite, kWriteHangs, kReadOnly,
        // the database
        kDbDown, kDbSlow, kDbRefusing, kDbLocked,
        // the MES
        kMesRejects, kMesDown, kMesSlow,
        // the clock
        kClockForward, kClockBack,
        // ends
        kStop, kForcedStop, kSessionEnd, kKill, kPowerCut,
        kActions
    };
    static const char *name(int a) {
        static const char *const k[kActions] = {
            "device refuses", "device no answer", "device unplugged", "device power loss",
            "device hangs (read)", "device hangs (write)", "device past its deadline",
            "device open stalls", "device close stalls", "swap fast", "swap slow",
            "report append fails", "report flush fails", "report torn write",
            "report write hangs", "report read-only", "database down",
            "database past its deadline", "database refuses", "database lock held",
            "MES rejects", "MES down", "MES past its deadline",
            "clock forwards", "clock backwards", "stop", "forced stop", "session end", "kill",
            "power cut"};
        return k[a];
    }
    static unsigned weight(int a) {
        if (a <= kSwapSlow) return 4;
        if (a <= kMesSlow) return 2;
        return 1;
    }
    int deal() {
        if (deck_.empty()) {
            for (int a = 0; a < kActions; ++a) deck_.insert(deck_.end(), weight(a), a);
            std::shuffle(deck_.begin(), deck_.end(), rng_);
        }
        const int a = deck_.back();
        deck_.pop_back();
        return a;
    }
    unsigned between(unsigned lo, unsigned hi) {
        return std::uniform_int_distribution<unsigned>(lo, hi)(rng_);
    }
    void later(unsigned ms, std::function<void()> f) {
        timers_.emplace(Clock::now() + milliseconds(ms), std::move(f));
    }
    // A fault that lasts ms: hold(true) now, hold(false) then.
    void for_a_while(unsigned ms, std::function<void(bool)> hold) {
        hold(true);
        later(ms, [hold] { hold(false); });
    }
    void run_timers(bool all) {
        while (!timers_.empty() && (all || timers_.begin()->first <= Clock::now())) {
            auto f = timers_.begin()->second;
            timers_.erase(timers_.begin());
            f();
        }
    }
    void act(int a);
    void device_fault(int a);
    void report_fault(int a);
    void db_fault(int a);
    void mes_fault(int a);
    void end_station(int a);

    // ---- Devices ----
    void plug_new(unsigned i, bool now);
    void swap(unsigned i, bool slow);
    void replug_all();
    Truth truth_now(unsigned i) const;
    bool truth_of(std::int64_t serial, Truth *t);
    void feed_finished();

    // ---- Stations ----
    void start_station();
    void checks_after_open();
    // The report read so far: ids with their start and unit lines, the
    // chain, the tally, each line's hash, and where the next line begins.
    struct Scan {
        std::map<std::uint64_t, std::pair<unsigned, unsigned>> ids;
        StnChainCheck chain;
        StnTally tally;
        std::vector<std::string> hashes;
        std::size_t offset = 0;
        std::int64_t last_ms = 0;  // the time of the last line with one
        std::vector<std::pair<std::int64_t, std::string>> rejected;  // serial, reason
        void feed(const std::string &line,
                  const std::function<void(std::int64_t, std::int64_t)> &stepped_back);
    };
    void stepped_back(std::int64_t from_ms, std::int64_t to_ms);
    // Where the clock jumped, in turn: (what it read, what it reads after).
    std::vector<std::pair<std::int64_t, std::int64_t>> jumps_;
    Scan stable_;               // of the lines on the platter at the last check
    std::size_t rows_seen_ = 0;  // database rows checked already

    // ---- Hooks ----
    void appended(int no, const std::string &bytes);
    void durable(const std::vector<std::string> &lines);
    void exchanged(unsigned index, const devsim_log_entry &e);

public:
    // The MES's answer to a check-in (any worker thread).
    StnCheckInAnswer mes_answer(const StnCheckInRequest &r, unsigned deadline_ms);
    void violation(const char *promise, const std::string &what);
    void checked(const char *promise) {
        std::lock_guard<std::mutex> lock(mu_);
        ++checks_[promise];
    }

private:
    void summary(double minutes) const;

    const Options opt_;
    const bool trace_ = std::getenv("STN_CHAOS_TRACE") != nullptr;
    std::mt19937_64 rng_;
    std::vector<int> deck_;
    std::multimap<Clock::time_point, std::function<void()>> timers_;
    std::uint64_t step_ = 0;
    bool quiet_ = false;  // finished units stay until the probe's unit is taken

    std::vector<std::unique_ptr<devsim::InProcDevice>> devs_;
    std::unique_ptr<Station> station_;
    int stations_ = 0;
    std::uint64_t ran_ms_ = 0;  // of stations that ended
    std::string cursor_before_;  // the cursor at the last restart (a power cut may bring it back)

    // ---- Under mu_ (hooks, the run) ----
    mutable std::mutex mu_;
    std::vector<std::int64_t> serial_;   // by index
    std::vector<std::uint64_t> epoch_;   // by index: grows at every plug
    std::vector<bool> plugged_;          // by index
    std::int64_t next_serial_ = 90000001;
    std::map<std::int64_t, Truth> archive_;            // units swapped out
    std::map<std::int64_t, std::uint32_t> commits_at_start_;
    std::map<std::uint64_t, int> started_by_;           // start lines' ids: the station that wrote it
    std::set<std::int64_t> started_;                    // serials with a start line on the platter
    std::map<std::int64_t, bool> written_since_start_;  // a block reached it since its start
    bool orderly_end_ = false;  // the last station ended by stop, forced stop or session end
    std::set<std::tuple<int, std::int64_t, std::uint64_t>> taken_;  // station, serial, epoch
    int station_no_ = 0;                 // the station now writing
    struct Probe {
        bool active = false;
        std::int64_t serial = 0;
        Clock::time_point due;
    } probe_;
    std::map<std::string, std::uint64_t> faults_, checks_, restarts_;
    std::uint64_t unconfirmed_ = 0;
    // The MES: what it does until when, and what it said.
    Clock::time_point mes_rejects_until_, mes_down_until_, mes_slow_until_;
    bool mes_allow_ = false;  // the station now running writes when it does not answer
    // (asker, serial): the last answer to that station leaves the serial
    // unwritten. By asker: a let-go worker of an ended station may still be
    // answered after the next station was told to write the same unit.
    std::set<std::pair<std::string, std::int64_t>> mes_blocked_;
    std::map<std::int64_t, std::uint64_t> mes_rejections_;
    std::map<std::int64_t, std::string> mes_reason_;
    std::set<std::tuple<std::string, std::int64_t, std::uint64_t>> mes_rejected_;  // asker, serial, epoch
    std::uint64_t mes_waits_ = 0, mes_unchecked_ = 0;

public:
    bool mes_allow() {
        std::lock_guard<std::mutex> lock(mu_);
        return mes_allow_;
    }
};

// The MES's stand-in: the World decides.
class ChaosMes : public StnCheckIn {
public:
    explicit ChaosMes(World &w) : w_(w) {}
    StnCheckInAnswer check_in(const StnCheckInRequest &r, unsigned deadline_ms) override {
        return w_.mes_answer(r, deadline_ms);
    }

private:
    World &w_;
};

// ---------------------------------------------------------------- Station

Station::Station(World &w, int no, const std::string &path)
    : w_(w),
      no_(no),
      store_(std::make_shared<chaos::Store>(w.disk, no, path)),
      delivery_store_(std::make_shared<chaos::Store>(w.disk, no, path)) {}

Station::~Station() {
    if (thread_.joinable()) thread_.join();
}

std::string Station::utc_now() {
    // While a forced stop is under way the engine's own clock reads are
    // slow now and then, so that workers end in the middle of the stop.
    if (aborting_.load() && std::this_thread::get_id() == engine_thread_.load()) {
        thread_local std::minstd_rand jitter(std::random_device{}());
        std::this_thread::sleep_for(std::chrono::microseconds(jitter() % 5000));
    }
    return w_.clock.text();
}

StnOpen Station::open() {
    StnConfig c = w_.config();
    c.flushed = flushed_;
    // The MES tells stations apart by who asks.
    c.who.operator_name = "op-" + std::to_string(no_);
    c.check_in = std::make_shared<ChaosMes>(w_);
    c.mes_down_allow = w_.mes_allow();
    c.mes_retry_ms = 100;
    StnDeliverConfig d;
    d.station = c.who.station;
    d.poll_ms = 50;
    d.retry_ms = 100;
    d.batch = 50;
    d.flushed = flushed_;
    delivery_.reset(new StnDelivery(
        std::unique_ptr<StnDatabase>(new StationDb(w_.table->connect(), dead_)),
        std::unique_ptr<StnDeliverFiles>(new StationFiles(delivery_store_, w_.cursor, dead_)),
        d));
    std::promise<StnOpen> opened;
    std::future<StnOpen> f = opened.get_future();
    thread_ = std::thread([this, c, p = std::move(opened)]() mutable { run(c, std::move(p)); });
    return f.get();
}

void Station::run(StnConfig config, std::promise<StnOpen> opened) {
    engine_thread_ = std::this_thread::get_id();
    const Clock::time_point t0 = Clock::now();
    {
        std::unique_ptr<StnEngine> e(new StnEngine(config, store_, this));
        const StnOpen r = e->open();
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (r == StnOpen::kOk) engine_ = e.get();
        }
        opened.set_value(r);
        go_.get_future().wait();
        if (r == StnOpen::kOk) {
            while (e->turn()) {
            }
        }
        {
            std::lock_guard<std::mutex> lock(mu_);
            engine_ = nullptr;
        }
        ran_ms_ = static_cast<std::uint64_t>(
            std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count());
    }
    session_.done();
    ended_.set_value();
}

bool Station::join(unsigned ms, const std::function<void()> &meanwhile) {
    const Clock::time_point until = Clock::now() + milliseconds(ms);
    while (ended_f_.wait_for(milliseconds(5)) != std::future_status::ready) {
        if (Clock::now() > until) return false;
        if (meanwhile) meanwhile();
    }
    thread_.join();
    return true;
}

// ---------------------------------------------------------------- World

void World::violation(const char *promise, const std::string &what) {
    if (trace_) std::fprintf(stderr, "report:\n%s\n", disk->bytes().c_str());
    // A long list (lines missing from the database) is cut for people.
    const std::string said = what.size() > 400 ? what.substr(0, 400) + " ..." : what;
    std::fprintf(stderr, "VIOLATION seed %llu step %llu promise %s: %s\n",
                 static_cast<unsigned long long>(opt_.seed),
                 static_cast<unsigned long long>(step_), promise, said.c_str());
    std::fflush(stderr);
    // The stations' threads may be wedged by the fault itself: end here.
    std::_Exit(1);
}

Truth World::truth_now(unsigned i) const {
    const devsim::InProcDevice &d = *devs_[i];
    Truth t;
    t.version = d.firm_version();
    t.commits = d.commits();
    const std::vector<std::uint8_t> flash = d.flash();
    const std::vector<std::uint8_t> image = img.window();
    t.flash_is_image = flash == image;
    return t;
}

// The device state of serial now, or as it was swapped out.
bool World::truth_of(std::int64_t serial, Truth *t) {
    for (int tries = 0; tries < 3; ++tries) {
        unsigned index = kSlots + 1;
        std::uint64_t epoch = 0;
        {
            std::lock_guard<std::mutex> lock(mu_);
            auto a = archive_.find(serial);
            if (a != archive_.end()) {
                *t = a->second;
                return true;
            }
            for (unsigned i = 0; i <= kSlots; ++i) {
                if (serial_[i] == serial) {
                    index = i;
                    epoch = epoch_[i];
                }
            }
        }
        if (index > kSlots) return false;
        const Truth now = truth_now(index);
        std::lock_guard<std::mutex> lock(mu_);
        if (serial_[index] == serial && epoch_[index] == epoch) {
            *t = now;
            return true;
        }
    }
    return false;
}

void World::appended(int no, const std::string &bytes) {
    for (const std::string &l : lines_of(bytes)) {
        const Json j = parse(l);
        if (str_of(j, "type") == "start") {
            std::lock_guard<std::mutex> lock(mu_);
            started_by_[uint_of(j, "id")] = no;
        }
        if (str_of(j, "type") != "unit") continue;
        const std::uint64_t id = uint_of(j, "id");
        const std::string result = str_of(j, "result");
        auto s = j.find("serial");
        if (s == j.end() || !s->is_number_integer()) continue;  // failed before its serial
        const std::int64_t serial = s->get<std::int64_t>();
        Truth t;
        if (!truth_of(serial, &t)) {
            violation("truth", "unit " + std::to_string(id) + " names serial " +
                                   std::to_string(serial) + ", which no device had");
        }
        const bool holds = t.holds_image(img.image.version);
        if (j.value("recovered", false)) {
            // After a station ended in order every unit it wrote has its own
            // line (or waits in the spill): only a start it gave up on, with
            // nothing written, may be closed at the next open.
            bool written = false, orderly = false;
            {
                std::lock_guard<std::mutex> lock(mu_);
                written = written_since_start_[serial];
                orderly = orderly_end_;
            }
            if (orderly && written) {
                violation("truth", "unit " + std::to_string(id) +
                                       " was written before its station ended in order, yet "
                                       "the next open recovered it as interrupted: " + l);
            }
        }
        if (result == "updated" && !holds) {
            violation("truth", "unit " + std::to_string(id) + " (serial " +
                                   std::to_string(serial) +
                                   ") says updated; the device does not hold the image: " + l);
        } else if (result == "current" && t.version != img.image.version) {
            violation("truth", "unit " + std::to_string(id) +
                                   " says current; the device reports another version: " + l);
        } else if ((result == "failed" || result == "interrupted") && holds) {
            std::lock_guard<std::mutex> lock(mu_);
            auto c = commits_at_start_.find(serial);
            // Its own transfer committed, then the station lost touch: it
            // says what it knows.
            if (c != commits_at_start_.end() && t.commits > c->second) {
                ++unconfirmed_;
            } else {
                mu_.unlock();
                violation("truth", "unit " + std::to_string(id) + " says " + result +
                                       "; the device holds the image: " + l);
            }
        }
        checked("truth");
    }
}

void World::durable(const std::vector<std::string> &lines) {
    for (const std::string &l : lines) {
        const Json j = parse(l);
        if (str_of(j, "type") != "start") continue;
        auto s = j.find("serial");
        if (s == j.end() || !s->is_number_integer()) continue;
        const std::int64_t serial = s->get<std::int64_t>();
        const std::uint64_t id = uint_of(j, "id");
        unsigned index = kSlots + 1;
        std::string again;
        {
            std::lock_guard<std::mutex> lock(mu_);
            started_.insert(serial);
            written_since_start_[serial] = false;
            if (trace_) {
                std::fprintf(stderr, "  durable start id %llu serial %lld\n",
                             static_cast<unsigned long long>(id), static_cast<long long>(serial));
            }
            for (unsigned i = 0; i <= kSlots; ++i) {
                if (serial_[i] == serial) index = i;
            }
            if (index <= kSlots) {
                const int by = started_by_.count(id) != 0 ? started_by_[id] : station_no_;
                if (!taken_.emplace(by, serial, epoch_[index]).second) {
                    again = "serial " + std::to_string(serial) + " taken again (id " +
                            std::to_string(id) + ") while it stayed plugged in";
                }
                ++checks_["again"];
            }
            if (probe_.active && probe_.serial == serial) {
                probe_.active = false;
                ++checks_["live"];
            }
        }
        if (!again.empty()) violation("again", again);
        if (index <= kSlots) {
            const std::uint32_t commits = devs_[index]->commits();
            std::lock_guard<std::mutex> lock(mu_);
            commits_at_start_[serial] = commits;
        }
    }
}

void World::exchanged(unsigned index, const devsim_log_entry &e) {
    // A real device's round trip takes a fraction of a millisecond: units
    // take their time, and overlap what the station does meanwhile.
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    if (e.cmd_id != DEVSIM_CMD_BOOTDATA) return;
    if (e.fault == DEVSIM_FAULT_WRITE_FAILS || e.fault == DEVSIM_FAULT_UNPLUG) return;
    std::int64_t serial = 0;
    bool open = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        serial = serial_[index];
        // Its start is on the platter. (A let-go worker's exchange that was
        // past its deadline's check when the forced stop came may still
        // land after the unit's interrupted line: not counted here.)
        open = started_.count(serial) != 0;
        ++checks_["order"];
        if (mes_blocked_.count({"op-" + std::to_string(station_no_), serial}) != 0) {
            mu_.unlock();
            violation("mes", "a block reached serial " + std::to_string(serial) +
                                 ", which the MES rejected or left waiting");
        }
        ++checks_["mes"];
    }
    if (!open) {
        violation("order", "a block reached serial " + std::to_string(serial) +
                               ", whose start line is not on the disk");
    }
    std::lock_guard<std::mutex> lock(mu_);
    written_since_start_[serial] = true;
}

void World::plug_new(unsigned i, bool now) {
    devsim_config c;
    std::int64_t serial;
    {
        // The slot changes hands: a look at it now is looked at again.
        std::lock_guard<std::mutex> lock(mu_);
        serial = next_serial_++;
        serial_[i] = 0;
        ++epoch_[i];
    }
    // Most need the image; some hold it already, some hold nothing.
    const unsigned r = i == kProbeIndex ? 0 : between(0, 9);
    const std::uint32_t firm = r < 7 ? kOldFirmware : r < 9 ? img.image.version : 0xFFFFFFFFu;
    c = stn_test::config(firm, static_cast<std::int32_t>(serial));
    devsim::InProcDevice &d = *devs_[i];
    d.reset(&c);
    if (now) d.plug();
    std::lock_guard<std::mutex> lock(mu_);
    serial_[i] = serial;
    ++epoch_[i];
    plugged_[i] = now;
}

// Out with the unit at i, in with a new one: at once, or after a while.
void World::swap(unsigned i, bool slow) {
    devsim::InProcDevice &d = *devs_[i];
    d.unplug();
    const Truth t = truth_now(i);
    {
        std::lock_guard<std::mutex> lock(mu_);
        archive_[serial_[i]] = t;
        plugged_[i] = false;
    }
    if (!slow) {
        plug_new(i, true);
        return;
    }
    plug_new(i, false);
    later(between(200, 1200), [this, i] {
        devs_[i]->plug();
        std::lock_guard<std::mutex> lock(mu_);
        ++epoch_[i];
        plugged_[i] = true;
    });
}

// Every device restarts: a killed process's handles are gone with it.
void World::replug_all() {
    for (unsigned i = 0; i <= kSlots; ++i) {
        bool in;
        {
            std::lock_guard<std::mutex> lock(mu_);
            in = plugged_[i];
        }
        if (!in) continue;
        devs_[i]->replug();
        std::lock_guard<std::mutex> lock(mu_);
        ++epoch_[i];
    }
}

// Finished units make room for new ones, some at once, some later.
void World::feed_finished() {
    if (quiet_) {
        std::lock_guard<std::mutex> lock(mu_);
        if (probe_.active) return;
    }
    quiet_ = false;
    StnSnapshot s;
    if (station_ == nullptr || !station_->snapshot(&s)) return;
    for (const StnTile &t : s.tiles) {
        if (t.index >= kSlots) continue;
        const bool done = t.state == StnTileState::kUpdated || t.state == StnTileState::kCurrent ||
                          t.state == StnTileState::kFailed ||
                          t.state == StnTileState::kInterrupted ||
                          t.state == StnTileState::kRejected;
        bool in;
        std::int64_t serial;
        {
            std::lock_guard<std::mutex> lock(mu_);
            in = plugged_[t.index];
            serial = serial_[t.index];
        }
        if (!done || !in || (t.identified && t.serial != serial)) continue;
        if (between(0, 3) != 0) swap(t.index, false);
    }
}

void World::device_fault(int a) {
    const unsigned i = between(0, kSlots - 1);
    devsim::InProcDevice &d = *devs_[i];
    const std::uint32_t after = between(0, 70);
    switch (a) {
    case kRefuse:
        d.arm_fault(after, DEVSIM_FAULT_ERROR_ANSWER);
        break;
    case kNoAnswer:
        d.arm_fault(after, DEVSIM_FAULT_NO_ANSWER);
        break;
    case kUnplug:
    case kPowerLoss:
        d.arm_fault(after, a == kUnplug ? DEVSIM_FAULT_UNPLUG : DEVSIM_FAULT_POWER_LOSS);
        // Put back (restarted, the same unit) a while later, if it went.
        later(between(100, 800), [this, i] {
            bool in;
            {
                std::lock_guard<std::mutex> lock(mu_);
                in = plugged_[i];
            }
            if (!in || devs_[i]->plugged()) return;
            devs_[i]->replug();
            std::lock_guard<std::mutex> lock(mu_);
            ++epoch_[i];
        });
        break;
    case kHangRead:
    case kHangWrite:
        d.arm_fault(after, DEVSIM_FAULT_HANG, a == kHangRead ? 0 : 1);
        break;
    case kSlowAnswer:
        d.arm_fault(after, DEVSIM_FAULT_DELAY, kDeadlineMs * 2);
        break;
    case kStallOpen:
    case kStallClose: {
        const bool open = a == kStallOpen;
        if (open) {
            d.stall_opens(true);
        } else {
            d.stall_closes(true);
        }
        later(between(300, 1500), [&d, open] {
            if (open) {
                d.stall_opens(false);
            } else {
                d.stall_closes(false);
            }
        });
        break;
    }
    case kSwapFast:
    case kSwapSlow: {
        bool in;
        {
            std::lock_guard<std::mutex> lock(mu_);
            in = plugged_[i];
        }
        if (in) swap(i, a == kSwapSlow);
        break;
    }
    default:
        break;
    }
}

void World::report_fault(int a) {
    chaos::Disk &d = *disk;
    if (quiet_) {
        // A new fault while the quiet line waits: its unit is not judged.
        std::lock_guard<std::mutex> lock(mu_);
        probe_.active = false;
    }
    const unsigned ms = between(200, 2000);
    switch (a) {
    case kAppendFails:
        d.fail_next_appends(between(1, 3));
        break;
    case kFlushFails:
        // Now and then the share drops with the flush: the line stays in
        // the file, unflushed, until it can be cut.
        if (between(0, 1) == 0) {
            d.fail_next_flushes(between(1, 3));
        } else {
            d.drop_at_next_flush(ms);
        }
        break;
    case kTornWrite:
        d.tear_next_append();
        break;
    case kWriteHangs:
        for_a_while(ms, [&d](bool on) { d.hang_appends(on); });
        break;
    case kReadOnly:
        if (between(0, 1) == 0) {
            d.read_only_for(ms);
            break;
        }
        // A quiet line, as with one fixture: no new units until the one
        // plugged in while the report cannot be written has been taken.
        quiet_ = true;
        later(300, [this, ms] {
            disk->read_only_for(ms);
            swap(kProbeIndex, false);
            std::lock_guard<std::mutex> lock(mu_);
            probe_.active = true;
            probe_.serial = serial_[kProbeIndex];
            probe_.due = Clock::now() + milliseconds(ms + kLiveMs);
        });
        return;
    default:
        break;
    }
    // Once the report is written again, a new unit is taken within a few
    // seconds: one is plugged in at the probe's place, and must be taken.
    later(a == kWriteHangs || a == kReadOnly || a == kFlushFails ? ms + 50 : 400, [this] {
        disk->clear_counted();
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (probe_.active) return;
        }
        if (disk->faulty() || station_ == nullptr) return;
        swap(kProbeIndex, false);
        std::lock_guard<std::mutex> lock(mu_);
        probe_.active = true;
        probe_.serial = serial_[kProbeIndex];
        probe_.due = Clock::now() + milliseconds(kLiveMs);
    });
}

void World::db_fault(int a) {
    stn_test::Table &t = *table;
    const unsigned ms = between(200, 3000);
    switch (a) {
    case kDbDown:
        for_a_while(ms, [&t](bool on) { t.set_down(on); });
        break;
    case kDbSlow:
        for_a_while(ms, [&t](bool on) { t.set_slow_ms(on ? kDeadlineMs * 2 : 0); });
        break;
    case kDbRefusing:
        for_a_while(ms, [&t](bool on) { t.set_refusing(on); });
        break;
    case kDbLocked:
        t.set_locked_ms(ms);
        break;
    default:
        break;
    }
}

void World::mes_fault(int a) {
    const Clock::time_point until = Clock::now() + milliseconds(between(200, 3000));
    std::lock_guard<std::mutex> lock(mu_);
    if (a == kMesRejects) mes_rejects_until_ = until;
    if (a == kMesDown) mes_down_until_ = until;
    if (a == kMesSlow) mes_slow_until_ = until;
}

StnCheckInAnswer World::mes_answer(const StnCheckInRequest &r, unsigned deadline_ms) {
    thread_local std::minstd_rand dice(std::random_device{}());
    const Clock::time_point now = Clock::now();
    unsigned index = kSlots + 1;
    std::uint64_t epoch = 0;
    bool down = false, slow = false, rejects = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (unsigned i = 0; i <= kSlots; ++i) {
            if (serial_[i] == r.serial) {
                index = i;
                epoch = epoch_[i];
            }
        }
        // The unit that shows the station takes units after a report
        // fault is always let through.
        if (index != kProbeIndex) {
            down = now < mes_down_until_;
            slow = now < mes_slow_until_;
            rejects = now < mes_rejects_until_ && dice() % 2 == 0;
        }
        if (index <= kSlots && mes_rejected_.count({r.operator_name, r.serial, epoch}) != 0) {
            mu_.unlock();
            violation("mes", "serial " + std::to_string(r.serial) +
                                 " checked in again while it stayed plugged in after its "
                                 "rejection");
        }
        ++checks_["mes"];
    }
    StnCheckInAnswer a;
    a.verdict = StnCheckInVerdict::kAllowed;
    if (slow) {
        // Late: past its deadline it is no answer.
        const unsigned ms = static_cast<unsigned>(dice() % (deadline_ms * 2));
        std::this_thread::sleep_for(milliseconds(std::min(ms, deadline_ms)));
        if (ms >= deadline_ms) down = true;
    }
    if (down) {
        a.verdict = StnCheckInVerdict::kNoAnswer;
        a.reason = "no connection";
    } else if (rejects) {
        a.verdict = StnCheckInVerdict::kRejected;
        a.reason = "on hold\t(lot " + std::to_string(r.serial % 97) + ")\x7f";
    }
    std::lock_guard<std::mutex> lock(mu_);
    const bool blocked = a.verdict == StnCheckInVerdict::kRejected ||
                         (a.verdict == StnCheckInVerdict::kNoAnswer && !mes_allow_);
    if (blocked) {
        mes_blocked_.insert({r.operator_name, r.serial});
    } else {
        mes_blocked_.erase({r.operator_name, r.serial});
    }
    if (a.verdict == StnCheckInVerdict::kRejected) {
        ++mes_rejections_[r.serial];
        mes_reason_[r.serial] = stn_printable_clip(a.reason, 300);
        if (index <= kSlots) mes_rejected_.insert({r.operator_name, r.serial, epoch});
    } else if (a.verdict == StnCheckInVerdict::kNoAnswer) {
        ++(mes_allow_ ? mes_unchecked_ : mes_waits_);
    }
    return a;
}

void World::end_station(int a) {
    if (station_ == nullptr) return;
    Station &s = *station_;
    bool ended = false;
    // Faults that end by themselves go on ending while the station ends.
    const auto timers = [this] { run_timers(false); };
    switch (a) {
    case kStop:
        s.request_stop();
        ended = s.join(20000, timers);
        s.finish_delivery(500);
        break;
    case kForcedStop:
        s.request_abort();
        ended = s.join(10000, timers);
        s.finish_delivery(200);
        break;
    case kSessionEnd:
        s.session().end([&s] { s.request_stop(); }, [&s] { s.request_abort(); }, 300, 5000);
        ended = s.join(10000, timers);
        s.finish_delivery(200);
        break;
    case kKill:
    case kPowerCut:
        s.kill();
        replug_all();
        s.request_abort();
        ended = s.join(10000, timers);
        s.finish_delivery(0);
        if (a == kPowerCut) {
            disk->power_cut(static_cast<int>(between(0, 2)), rng_());
            if (between(0, 1) == 0) cursor->put(cursor_before_, !cursor_before_.empty());
        }
        break;
    default:
        break;
    }
    if (!ended) violation("live", std::string("the station did not end after a ") + name(a));
    // Its process ends: a write still hanging in the report dies with it.
    s.kill();
    {
        std::lock_guard<std::mutex> lock(mu_);
        orderly_end_ = a == kStop || a == kForcedStop || a == kSessionEnd;
    }
    ran_ms_ += s.ran_ms();
    station_.reset();
    {
        std::lock_guard<std::mutex> lock(mu_);
        ++restarts_[name(a)];
        probe_.active = false;
    }
    start_station();
}

// A new station on the report as it is; a report that cannot be opened now
// (read-only, say) is tried again, as an operator would.
void World::start_station() {
    disk->hang_appends(false);
    for (int tries = 0;; ++tries) {
        if (tries == 20) disk->clear_faults();
        if (tries > 25) violation("live", "the report could not be opened");
        {
            std::lock_guard<std::mutex> lock(mu_);
            station_no_ = ++stations_;
            // Now and then a station writes units the MES does not answer for.
            mes_allow_ = between(0, 3) == 0;
        }
        // The same report, by one spelling of its path or another.
        static const char *const kSpellings[] = {"C:\\Line 3\\station.jsonl",
                                                 "\\\\files\\line3\\station.jsonl",
                                                 "Z:\\station.jsonl"};
        station_.reset(new Station(*this, stations_, kSpellings[between(0, 2)]));
        const StnOpen r = station_->open();
        if (r == StnOpen::kOk) break;
        station_->go();
        station_->join(10000);
        station_->finish_delivery(0);
        station_.reset();
        std::this_thread::sleep_for(milliseconds(100));
    }
    checks_after_open();
    cursor_before_ = cursor->text();
    station_->go();
}

// What the report says once a station has opened it (every start closed,
// the spill added): the promises that the bytes can show.
void World::Scan::feed(const std::string &line,
                       const std::function<void(std::int64_t, std::int64_t)> &stepped_back) {
    chain.feed(line);
    tally.feed(line);
    hashes.push_back(stn_test::sha(line));
    const Json j = parse(line);
    const std::string type = str_of(j, "type");
    const std::uint64_t id = uint_of(j, "id");
    if (type == "start") ++ids[id].first;
    if (type == "unit" && id != 0) ++ids[id].second;
    if (type == "unit" && str_of(j, "result") == "rejected") {
        auto s = j.find("serial");
        const std::int64_t serial =
            s != j.end() && s->is_number_integer() ? s->get<std::int64_t>() : 0;
        rejected.push_back({serial, str_of(j, "reason")});
    }
    std::int64_t at = 0;
    if (stn_utc_ms(str_of(j, "time"), &at)) {
        if (last_ms != 0 && at < last_ms) stepped_back(last_ms, at);
        last_ms = at;
    }
}

// Lines are stamped as they are handed to the report's writer, which keeps
// their order: a line earlier than the one before it by more than a moment
// (a unit line stamped just before a start line overtook it) is out of
// order, unless the clock jumped between the two: the first may have been
// stamped before some jump, and the second after the same or a later one.
void World::stepped_back(std::int64_t from_ms, std::int64_t to_ms) {
    constexpr std::int64_t kMoment = 1000;
    if (from_ms - to_ms <= kMoment) return;
    bool before = false;
    for (const auto &j : jumps_) {
        before = before || from_ms <= j.first + kMoment;
        if (before && to_ms >= j.second - kMoment) return;
    }
    violation("order", "a line stamped " + stn_utc_text(to_ms) + " follows one stamped " +
                           stn_utc_text(from_ms) + ", and the clock was not set back between");
}

// What the report says once a station has opened it (every start closed,
// the spill added): the promises that the bytes can show. The bytes on the
// platter never change, so what was read of them is kept for the next time.
void World::checks_after_open() {
    const std::size_t durable = disk->durable();
    const std::string bytes = disk->bytes();
    Scan scan = stable_;
    bool kept = false;
    for (std::size_t lf; (lf = bytes.find('\n', scan.offset)) != std::string::npos;) {
        if (!kept && lf + 1 > durable) {
            stable_ = scan;  // the lines wholly on the platter
            kept = true;
        }
        scan.feed(bytes.substr(scan.offset, lf - scan.offset),
                  [this](std::int64_t from, std::int64_t to) { stepped_back(from, to); });
        scan.offset = lf + 1;
    }
    if (!kept) stable_ = scan;
    scan.tally.end_file();
    for (const auto &id : scan.ids) {
        const unsigned starts = id.second.first, units = id.second.second;
        if (units > 1 || (starts != 0 && (starts != 1 || units != 1))) {
            violation("units", "id " + std::to_string(id.first) + " has " +
                                   std::to_string(starts) + " start line(s) and " +
                                   std::to_string(units) + " unit line(s)");
        }
    }
    checked("units");
    {
        // At most one line for each rejection, with its words.
        std::map<std::int64_t, std::uint64_t> lines;
        std::lock_guard<std::mutex> lock(mu_);
        for (const auto &r : scan.rejected) {
            const auto n = mes_rejections_.find(r.first);
            std::string wrong;
            if (n == mes_rejections_.end() || ++lines[r.first] > n->second) {
                wrong = "serial " + std::to_string(r.first) + " has more rejected lines than "
                        "the MES gave it rejections";
            } else if (r.second != mes_reason_[r.first]) {
                wrong = "serial " + std::to_string(r.first) + " is rejected for \"" + r.second +
                        "\", not for the MES's reason";
            }
            if (!wrong.empty()) {
                mu_.unlock();
                violation("mes", wrong);
            }
            ++checks_["mes"];
        }
    }
    if (!scan.hashes.empty() && !scan.chain.intact()) violation("chain", scan.chain.verdict());
    checked("chain");
    std::vector<StnSpillWaiting> waiting;
    stn_spill_waiting(disk->spills.get(), &waiting);
    bool other_waits = false;
    for (const StnSpillWaiting &w : waiting) other_waits |= w.report_id == kOtherReport;
    if (!other_waits || bytes.find(kOtherLine) != std::string::npos) {
        violation("spill", "another report's spill was added to this one");
    }
    checked("spill");
    // Running time against the time stations ran (and a margin for the
    // turns between a jump and its line).
    const std::uint64_t margin = 5000 + ran_ms_ / 10;
    if (scan.tally.running_ms() > ran_ms_ + margin) {
        violation("time", "the report says " + std::to_string(scan.tally.running_ms()) +
                              " ms running; the stations ran " + std::to_string(ran_ms_) + " ms");
    }
    checked("time");
    // Every row the database holds is the report's line at its number.
    // Delivery sends only lines on the platter, which never change, so a
    // row checked once stays right: only the new ones are looked at.
    if (!scan.hashes.empty()) {
        std::vector<StnDbRow> rows;
        rows_seen_ = table->rows_after(rows_seen_, &rows);
        for (const StnDbRow &r : rows) {
            if (r.report_id != scan.hashes.front()) continue;
            if (r.seq == 0 || r.seq > scan.hashes.size() || scan.hashes[r.seq - 1] != r.key) {
                violation("database", "row " + std::to_string(r.seq) +
                                          " is not the report's line at that number: " + r.text);
            }
        }
    }
    checked("database");
}

void World::act(int a) {
    if (trace_) std::fprintf(stderr, "step %llu: %s\n", static_cast<unsigned long long>(step_), name(a));
    {
        std::lock_guard<std::mutex> lock(mu_);
        ++faults_[name(a)];
    }
    if (a <= kSwapSlow) {
        device_fault(a);
    } else if (a <= kReadOnly) {
        report_fault(a);
    } else if (a <= kDbLocked) {
        db_fault(a);
    } else if (a <= kMesSlow) {
        mes_fault(a);
    } else if (a == kClockForward || a == kClockBack) {
        // Forwards or back by a minute to three hours, within half a day.
        std::int64_t ms = static_cast<std::int64_t>(between(60, 3 * 3600)) * 1000;
        if (a == kClockBack) ms = -ms;
        if (std::llabs(clock.offset_ms() + ms) > 12LL * 3600 * 1000) ms = -ms;
        std::int64_t before = 0;
        stn_utc_ms(clock.text(), &before);
        jumps_.emplace_back(before, before + ms);
        clock.jump(ms);
    } else {
        end_station(a);
    }
}

void World::summary(double minutes) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::uint64_t units = 0;
    for (const std::string &l : lines_of(disk->bytes())) {
        units += l.compare(0, 16, "{\"type\":\"unit\",\"") == 0 ? 1 : 0;
    }
    std::printf("seed %llu: %llu steps in %.1f min, %llu stations, %llu unit lines (%.0f a minute)\n",
                static_cast<unsigned long long>(opt_.seed),
                static_cast<unsigned long long>(step_), minutes,
                static_cast<unsigned long long>(stations_), static_cast<unsigned long long>(units),
                minutes > 0 ? units / minutes : 0.0);
    std::printf("faults:");
    for (int a = 0; a < kActions; ++a) {
        auto it = faults_.find(name(a));
        std::printf("%s %s %llu", a == 0 ? "" : ",", name(a),
                    static_cast<unsigned long long>(it != faults_.end() ? it->second : 0));
    }
    std::printf("\nchecks:");
    for (const auto &c : checks_) {
        std::printf(" %s %llu", c.first.c_str(), static_cast<unsigned long long>(c.second));
    }
    std::printf("\nresults the station could not confirm after its own transfer committed: %llu\n",
                static_cast<unsigned long long>(unconfirmed_));
    std::uint64_t rejections = 0;
    for (const auto &r : mes_rejections_) rejections += r.second;
    std::printf("MES: %llu rejections, %llu check-ins unanswered (units waited), %llu written "
                "unchecked\n",
                static_cast<unsigned long long>(rejections),
                static_cast<unsigned long long>(mes_waits_),
                static_cast<unsigned long long>(mes_unchecked_));
    std::fflush(stdout);
}

int World::run() {
    if (!img.ok) {
        std::fprintf(stderr, "the image cannot be read\n");
        return 2;
    }
    // A sanitizer's runtime starts a thread of its own with the first one
    // made: counted before the baseline.
    std::thread([] {}).join();
    std::this_thread::sleep_for(milliseconds(50));
    const std::uint64_t threads_before = threads_now();
    serial_.assign(kSlots + 1, 0);
    epoch_.assign(kSlots + 1, 0);
    plugged_.assign(kSlots + 1, false);
    table->set_deadline_ms(kDeadlineMs);
    std::string where;
    stn_spill_keep(disk->spills.get(), kOtherReport, "D:\\other.jsonl", kOtherLine + "\n", &where);
    disk->on_append = [this](int no, const std::string &b) { appended(no, b); };
    disk->on_durable = [this](const std::vector<std::string> &l) { durable(l); };
    for (unsigned i = 0; i <= kSlots; ++i) {
        devs_.push_back(std::make_unique<devsim::InProcDevice>(i, nullptr, false));
        devs_.back()->observe([this, i](const devsim_log_entry &e) { exchanged(i, e); });
        plug_new(i, i != kProbeIndex);
    }
    const Clock::time_point t0 = Clock::now();
    const Clock::time_point until = t0 + milliseconds(static_cast<std::int64_t>(opt_.minutes * 60000));
    start_station();
    for (step_ = 1;; ++step_) {
        if (opt_.minutes > 0 ? Clock::now() >= until : step_ > opt_.steps) break;
        // A quiet line waits for its one unit, with nothing else going on.
        bool waiting = false;
        {
            std::lock_guard<std::mutex> lock(mu_);
            waiting = quiet_ && probe_.active;
        }
        if (waiting) {
            --step_;  // no step is dealt meanwhile
        } else {
            act(deal());
        }
        const Clock::time_point next = Clock::now() + milliseconds(between(20, 120));
        while (Clock::now() < next) {
            run_timers(false);
            feed_finished();
            {
                std::lock_guard<std::mutex> lock(mu_);
                if (probe_.active && Clock::now() > probe_.due) {
                    if (disk->faulty() && !quiet_) {
                        probe_.active = false;  // another fault came first
                    } else {
                        const std::string s = std::to_string(probe_.serial);
                        mu_.unlock();
                        violation("live", "unit " + s + " was not taken within " +
                                              std::to_string(kLiveMs) +
                                              " ms of the report's fault ending");
                    }
                }
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
    }
    // The end: every fault over, a last station catches up and stops.
    --step_;
    run_timers(true);
    disk->clear_faults();
    for (auto &d : devs_) {
        d->clear_faults();
        d->stall_opens(false);
        d->stall_closes(false);
    }
    table->set_down(false);
    table->set_slow_ms(0);
    table->set_refusing(false);
    table->set_locked_ms(0);
    {
        std::lock_guard<std::mutex> lock(mu_);
        mes_rejects_until_ = mes_down_until_ = mes_slow_until_ = Clock::time_point();
    }
    end_station(kStop);  // opens a last station: the spill added, the checks made
    const Clock::time_point caught = Clock::now() + std::chrono::seconds(20);
    while (station_->delivery_status().state != StnDeliverState::kUpToDate &&
           Clock::now() < caught) {
        std::this_thread::sleep_for(milliseconds(20));
    }
    station_->request_stop();
    if (!station_->join(20000)) violation("live", "the last station did not stop");
    station_->finish_delivery(5000);
    ran_ms_ += station_->ran_ms();
    station_.reset();
    const std::string missing = table->every_line_once(disk->bytes());
    if (!missing.empty()) violation("database", missing);
    checked("database");
    // Every thread the stations made ends once nothing holds it.
    const Clock::time_point settle = Clock::now() + std::chrono::seconds(10);
    while (threads_now() > threads_before && Clock::now() < settle) {
        std::this_thread::sleep_for(milliseconds(20));
    }
    if (threads_now() > threads_before) {
        violation("threads", std::to_string(threads_now()) + " threads after the run, " +
                                 std::to_string(threads_before) + " before");
    }
    checked("threads");
    summary(std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count() / 60000.0);
    for (int a = 0; a < kActions; ++a) {
        if (faults_[name(a)] < opt_.min_faults) {
            std::fprintf(stderr, "too few faults of one kind: %s %llu (at least %llu)\n", name(a),
                         static_cast<unsigned long long>(faults_[name(a)]),
                         static_cast<unsigned long long>(opt_.min_faults));
            return 1;
        }
    }
    for (const char *p : {"units", "truth", "order", "again", "database", "chain", "spill", "time",
                          "live", "mes", "threads"}) {
        const std::uint64_t need = std::string(p) == "threads" ? 1 : opt_.min_checks;
        if (checks_[p] < need) {
            std::fprintf(stderr, "too few checks of one promise: %s %llu (at least %llu)\n", p,
                         static_cast<unsigned long long>(checks_[p]),
                         static_cast<unsigned long long>(need));
            return 1;
        }
    }
    devs_.clear();
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const char *v = argv[i + 1];
        if (k == "--seed") {
            o.seed = std::strtoull(v, nullptr, 10);
        } else if (k == "--steps") {
            o.steps = std::strtoull(v, nullptr, 10);
        } else if (k == "--minutes") {
            o.minutes = std::strtod(v, nullptr);
        } else if (k == "--min-faults") {
            o.min_faults = std::strtoull(v, nullptr, 10);
        } else if (k == "--min-checks") {
            o.min_checks = std::strtoull(v, nullptr, 10);
        } else {
            std::fprintf(stderr,
                         "usage: stn_chaos [--seed N] [--steps N | --minutes M] "
                         "[--min-faults N] [--min-checks N]\n");
            return 2;
        }
    }
    if ((argc - 1) % 2 != 0) {
        std::fprintf(stderr, "usage: stn_chaos [--seed N] [--steps N | --minutes M]\n");
        return 2;
    }
    std::printf("stn_chaos --seed %llu\n", static_cast<unsigned long long>(o.seed));
    std::fflush(stdout);
    return World(o).run();
}
