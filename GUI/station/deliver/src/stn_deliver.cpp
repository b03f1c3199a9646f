// Delivery to the factory's database. See stn_deliver.h for the threads:
// the delivery thread owns the source, the database and the files (all in
// Shared, which the thread holds too); the shell's threads only touch what
// Shared keeps under mu.
#include "stn_deliver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "stn_deliver_parts.h"

using namespace stn_deliver_parts;

namespace {

using Clock = std::chrono::steady_clock;

// The report as far as its writer has flushed it.
class FlushedView : public StnDeliverFiles {
public:
    FlushedView(std::unique_ptr<StnDeliverFiles> files, std::shared_ptr<const StnFlushed> flushed)
        : files_(std::move(files)), flushed_(std::move(flushed)) {}
    bool read(std::uint64_t offset, std::size_t max, std::string *out) override {
        out->clear();
        std::uint64_t size = 0;
        if (!flushed_->get(&size) || offset >= size) return true;
        if (size - offset < max) max = static_cast<std::size_t>(size - offset);
        return files_->read(offset, max, out);
    }
    bool load_cursor(std::string *text) override { return files_->load_cursor(text); }
    bool save_cursor(const std::string &text) override { return files_->save_cursor(text); }

private:
    std::unique_ptr<StnDeliverFiles> files_;
    std::shared_ptr<const StnFlushed> flushed_;
};

// "lines 4, 5" of a list of numbers (at most a few, then how many more).
std::string line_numbers(const std::vector<std::uint64_t> &v) {
    std::string s = v.size() == 1 ? "line " : "lines ";
    for (std::size_t i = 0; i < v.size() && i < 5; ++i) {
        s += (i == 0 ? "" : ", ") + std::to_string(v[i]);
    }
    if (v.size() > 5) s += " and " + std::to_string(v.size() - 5) + " more";
    return s;
}

// Counts whole lines of the report after offset, from where the last count
// ended.
class LineCounter {
public:
    void restart(std::uint64_t offset) { at_ = offset; }
    // Adds the lines found since the last call; false: unreadable.
    bool count(StnDeliverFiles *files, std::uint64_t *lines) {
        FilesSource source(files);
        StnLineReader reader(&source, kChunk, at_);
        StnLine line;
        // A last line without its line feed is still being written.
        while (reader.next(&line) && line.ended) {
            ++*lines;
            at_ = line.end();
        }
        return !reader.failed();
    }

private:
    std::uint64_t at_ = 0;
};

}  // namespace

std::string stn_deliver_words(const StnDeliverStatus &s) {
    switch (s.state) {
    case StnDeliverState::kStarting:
        return s.problem.empty() ? "connecting" : "connecting (" + s.problem + ")";
    case StnDeliverState::kUpToDate:
        return s.notice.empty() ? "up to date" : "up to date; " + s.notice;
    default:
        break;
    }
    std::string w = std::to_string(s.waiting) + (s.waiting == 1 ? " line" : " lines") + " waiting";
    if (!s.problem.empty()) w += " (" + s.problem + ")";
    return w + (s.notice.empty() ? "" : "; " + s.notice);
}

// ---- The delivery thread ----

struct StnDelivery::Shared {
    std::unique_ptr<StnDatabase> db;
    std::unique_ptr<StnDeliverFiles> files;
    StnDeliverConfig config;

    std::mutex mu;
    std::condition_variable cv;
    bool woken = false;     // under mu
    bool finishing = false; // under mu: deliver what is there, then end
    bool stop = false;      // under mu: end now
    bool ended = false;     // under mu: the thread is done
    std::uint64_t attempts = 0;  // under mu: attempts over
    bool answered = false;       // under mu: connected and checked once
    StnDeliverStatus status;  // under mu
    // Whole lines counted but not yet committed: (line number of the last
    // one counted then, when they were first seen), oldest first. Under mu.
    std::deque<std::pair<std::uint64_t, Clock::time_point>> seen;

    void publish(StnDeliverState state, std::uint64_t waiting, const std::string &problem) {
        std::lock_guard<std::mutex> lock(mu);
        if (state != status.state || problem != status.problem) ++status.changes;
        status.state = state;
        status.waiting = waiting;
        status.problem = problem;
    }

    // A lost cursor costs a re-send only.
    void save_cursor(const StnLineSource &src) {
        StnDeliverCursor c;
        c.report_id = src.report_id();
        c.offset = src.offset();
        c.seq = src.seq();
        c.line_sha256 = src.last_key();
        files->save_cursor(stn_cursor_text(c));
    }
    // Until the report's writer has opened it (true), or the end.
    bool wait_for_report();
    void run();
    bool attempt(StnLineSource *src, LineCounter *counter, std::uint64_t *counted,
                 bool *connected, bool *checked, std::string *problem);
};

bool StnDelivery::Shared::attempt(StnLineSource *src, LineCounter *counter,
                                  std::uint64_t *counted, bool *connected, bool *checked,
                                  std::string *problem) {
    const auto count = [&]() {
        const std::uint64_t before = *counted;
        if (!counter->count(files.get(), counted)) return false;
        if (*counted != before) {
            std::lock_guard<std::mutex> lock(mu);
            seen.emplace_back(*counted, Clock::now());
        }
        return true;
    };
    // Connected and able to insert before anything else, so that a wrong
    // login shows at the start, not with the first line.
    std::string why;
    if (!*connected) {
        if (!db->connect(&why)) {
            *problem = "cannot connect: " + why;
            count();
            return false;
        }
        *connected = true;
    }
    if (!*checked) {
        if (!db->check(&why)) {
            *problem = why;
            count();
            return false;
        }
        *checked = true;
    }
    {
        std::lock_guard<std::mutex> lock(mu);
        answered = true;
    }
    // The last line delivered must still end where the cursor is: a cut
    // below it (a failed write undone, a torn tail cut at an open) takes
    // delivery back to where the file and the database agree.
    if (src->offset() > 0 && hash_of_line_before(files.get(), src->offset()) != src->last_key()) {
        std::vector<std::uint64_t> gone;
        if (!walk_back(files.get(), db.get(), src->report_id(), src, &gone, &why)) {
            *problem = why;
            return false;
        }
        counter->restart(src->offset());
        *counted = src->seq();
        save_cursor(*src);
        if (!gone.empty()) {
            std::lock_guard<std::mutex> lock(mu);
            status.notice = "the database holds " + std::to_string(gone.size()) +
                            (gone.size() == 1 ? " row" : " rows") +
                            " the report no longer has (" + line_numbers(gone) + ")";
            ++status.changes;
        }
    } else {
        // Lines read ahead before may have been cut since: read them anew.
        src->seek(src->offset(), src->seq(), src->report_id(), src->last_key());
    }
    if (!count()) {
        *problem = "cannot read the report";
        return false;
    }
    while (*counted > src->seq()) {
        {
            std::lock_guard<std::mutex> lock(mu);
            if (stop) return true;
        }
        publish(StnDeliverState::kWaiting, *counted - src->seq(), "");
        std::vector<StnDbRow> rows;
        std::uint64_t end = 0;
        if (!src->take(config.batch, &rows, &end)) {
            *problem = "cannot read the report";
            return false;
        }
        if (rows.empty()) {
            // Counted lines are gone (the file was cut): count anew.
            counter->restart(src->offset());
            *counted = src->seq();
            break;
        }
        std::size_t added = 0;
        if (!db->insert(rows, &added, &why)) {
            *problem = why;
            return false;
        }
        src->advance();
        save_cursor(*src);
        {
            std::lock_guard<std::mutex> lock(mu);
            status.delivered += rows.size();
            status.added += added;
            while (!seen.empty() && seen.front().first <= src->seq()) seen.pop_front();
        }
        if (!count()) {
            *problem = "cannot read the report";
            return false;
        }
    }
    return true;
}

bool StnDelivery::Shared::wait_for_report() {
    std::unique_lock<std::mutex> lock(mu);
    if (config.after_wake) cv.wait(lock, [&] { return woken || stop || finishing; });
    std::uint64_t size = 0;
    while (config.flushed != nullptr && !config.flushed->get(&size)) {
        if (stop || finishing) return false;
        cv.wait_for(lock, std::chrono::milliseconds(config.poll_ms));
    }
    return !stop;
}

void StnDelivery::Shared::run() {
    if (!wait_for_report()) {
        std::lock_guard<std::mutex> lock(mu);
        ended = true;
        cv.notify_all();
        return;
    }
    StnLineSource src(files.get(), config.station);
    resume(files.get(), &src);
    LineCounter counter;
    counter.restart(src.offset());
    std::uint64_t counted = src.seq();
    bool connected = false, checked = false;
    bool backing_off = false;  // after a failure, wakes wait for the retry time
    Clock::time_point next = Clock::now();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mu);
            cv.wait_until(lock, next,
                          [&] { return (woken && !backing_off) || stop || finishing; });
            woken = false;
            if (stop) break;
        }
        std::string problem;
        const bool ok = attempt(&src, &counter, &counted, &connected, &checked, &problem);
        if (!ok && connected) {
            db->disconnect();
            connected = false;
            checked = false;
        }
        const std::uint64_t waiting = counted > src.seq() ? counted - src.seq() : 0;
        const StnDeliverState state =
            ok && waiting == 0 ? StnDeliverState::kUpToDate : StnDeliverState::kWaiting;
        publish(state, waiting, problem);
        std::lock_guard<std::mutex> lock(mu);
        ++attempts;
        cv.notify_all();
        if (finishing && (ok || stop)) break;
        backing_off = !ok;
        next = Clock::now() + std::chrono::milliseconds(ok ? config.poll_ms : config.retry_ms);
        if (finishing) next = Clock::now() + std::chrono::milliseconds(100);
    }
    if (connected) db->disconnect();
    std::lock_guard<std::mutex> lock(mu);
    ended = true;
    cv.notify_all();
}

StnDelivery::StnDelivery(std::unique_ptr<StnDatabase> db, std::unique_ptr<StnDeliverFiles> files,
                         const StnDeliverConfig &config)
    : shared_(std::make_shared<Shared>()) {
    shared_->db = std::move(db);
    shared_->files = config.flushed != nullptr
                         ? std::unique_ptr<StnDeliverFiles>(new FlushedView(std::move(files),
                                                                            config.flushed))
                         : std::move(files);
    shared_->config = config;
    std::shared_ptr<Shared> s = shared_;
    std::thread([s] { s->run(); }).detach();
}

StnDelivery::~StnDelivery() { finish(0); }

void StnDelivery::wake() {
    std::lock_guard<std::mutex> lock(shared_->mu);
    shared_->woken = true;
    shared_->cv.notify_all();
}

StnDeliverStatus StnDelivery::status() const {
    std::lock_guard<std::mutex> lock(shared_->mu);
    StnDeliverStatus s = shared_->status;
    if (!shared_->seen.empty() && s.state != StnDeliverState::kUpToDate) {
        s.oldest_ms = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                                  shared_->seen.front().second)
                .count());
    }
    return s;
}

StnDeliverStatus StnDelivery::settle(unsigned ms) {
    {
        std::unique_lock<std::mutex> lock(shared_->mu);
        shared_->cv.wait_for(lock, std::chrono::milliseconds(ms),
                             [&] { return shared_->attempts > 0 || shared_->ended; });
    }
    return status();
}

bool StnDelivery::may_take_units() const {
    if (!shared_->config.required) return true;
    {
        std::lock_guard<std::mutex> lock(shared_->mu);
        if (!shared_->answered) return false;  // not yet known to take lines
    }
    return status().oldest_ms <= shared_->config.required_ms;
}

bool StnDelivery::finish(unsigned ms) {
    Shared &s = *shared_;
    std::unique_lock<std::mutex> lock(s.mu);
    if (!s.ended) {
        s.finishing = true;
        s.cv.notify_all();
        s.cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return s.ended; });
        s.stop = true;
        s.cv.notify_all();
    }
    return s.status.state == StnDeliverState::kUpToDate;
}
