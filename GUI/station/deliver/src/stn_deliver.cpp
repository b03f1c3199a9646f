// Delivery's machinery, whatever the destination. See stn_deliver.h for the
// threads: the delivery thread owns the source, the destination and the
// files (all in Shared, which the thread holds too); the shell's threads
// only touch what Shared keeps under mu.
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

// Counts whole lines of the report after offset, from where the last count
// ended, and of them the lines the destination takes.
class LineCounter {
public:
    void restart(std::uint64_t offset) { at_ = offset; }
    // Where the last whole line counted ends.
    std::uint64_t at() const { return at_; }
    // Adds the lines found since the last call; false: unreadable.
    bool count(StnDeliverFiles *files, const StnDestination &to, std::uint64_t *lines,
               std::uint64_t *wanted) {
        FilesSource source(files);
        StnLineReader reader(&source, kChunk, at_);
        StnLine line;
        // A last line without its line feed is still being written.
        while (reader.next(&line) && line.ended) {
            ++*lines;
            if (!line.whole || to.wants(line.body())) ++*wanted;
            at_ = line.end();
        }
        return !reader.failed();
    }

private:
    std::uint64_t at_ = 0;
};

}  // namespace

std::string stn_deliver_words(const StnDeliverStatus &s, const std::string &thing) {
    switch (s.state) {
    case StnDeliverState::kStarting:
        return s.problem.empty() ? "connecting" : "connecting (" + s.problem + ")";
    case StnDeliverState::kUpToDate:
        return s.notice.empty() ? "up to date" : "up to date; " + s.notice;
    default:
        break;
    }
    std::string w =
        std::to_string(s.waiting) + " " + thing + (s.waiting == 1 ? "" : "s") + " waiting";
    if (!s.problem.empty()) w += " (" + s.problem + ")";
    return w + (s.notice.empty() ? "" : "; " + s.notice);
}

// ---- The delivery thread ----

namespace {

const char kCannotRead[] = "cannot read the report";

// Where the delivery thread stands in the report, and what it has counted
// after that place since it was last set.
struct Place {
    StnLineSource src;
    LineCounter counter;
    std::uint64_t counted = 0;      // the number of the last whole line counted
    std::uint64_t wanted = 0;       // lines counted that the destination takes
    std::uint64_t wanted_done = 0;  // of those, delivered
    Place(StnDeliverFiles *files, const std::string &station) : src(files, station) {}
    // Counts anew from src's place.
    void restart() {
        counter.restart(src.offset());
        counted = src.seq();
        wanted = wanted_done = 0;
    }
    std::uint64_t waiting() const {
        return counted > src.seq() && wanted > wanted_done ? wanted - wanted_done : 0;
    }
};

}  // namespace

struct StnDelivery::Shared {
    std::unique_ptr<StnDestination> to;
    std::unique_ptr<StnDeliverFiles> files;
    StnDeliverConfig config;

    std::mutex mu;
    std::condition_variable cv;
    bool woken = false;     // under mu
    bool finishing = false; // under mu: deliver what is there, then end
    bool stop = false;      // under mu: end now
    bool ended = false;     // under mu: the thread is done
    std::uint64_t attempts = 0;  // under mu: attempts over
    bool answered = false;       // under mu: the destination was ready once
    StnDeliverStatus status;  // under mu
    // Whole lines counted but not yet delivered: (line number of the last
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
    void save_cursor(const StnLineSource &src) { files->save_cursor(to->cursor_text(src)); }
    bool count(Place *p);
    // Until the report's writer has opened it (true), or the end.
    bool wait_for_report();
    void start_place(Place *p);
    bool check_place(Place *p, std::string *problem);
    void moved_on(Place *p, const std::vector<StnDbRow> &rows, std::size_t taken,
                  std::size_t added);
    bool send_batch(Place *p, std::string *problem);
    bool attempt(Place *p, bool *ready, std::string *problem);
    void run();
    void end();
};

bool StnDelivery::Shared::count(Place *p) {
    const std::uint64_t before = p->counted;
    if (!p->counter.count(files.get(), *to, &p->counted, &p->wanted)) return false;
    if (p->counted != before) {
        std::lock_guard<std::mutex> lock(mu);
        seen.emplace_back(p->counted, Clock::now());
    }
    return true;
}

void StnDelivery::Shared::start_place(Place *p) {
    std::uint64_t opened_at = 0;
    if (config.flushed == nullptr || !config.flushed->opened_at(&opened_at)) {
        // A report no station writes: as it is now.
        LineCounter whole;
        std::uint64_t lines = 0, wanted = 0;
        whole.count(files.get(), *to, &lines, &wanted);
        opened_at = whole.at();
    }
    to->resume(files.get(), opened_at, &p->src);
    // The destination's start is on the disk before any line goes.
    save_cursor(p->src);
    p->restart();
}

// The last line delivered must still end where the place is: a cut below it
// (a failed write undone, a torn tail cut at an open) takes delivery back to
// where the destination says.
bool StnDelivery::Shared::check_place(Place *p, std::string *problem) {
    StnLineSource &src = p->src;
    if (src.offset() == 0 || hash_of_line_before(files.get(), src.offset()) == src.last_key()) {
        // Lines read ahead before may have been cut since: read them anew.
        src.seek(src.offset(), src.seq(), src.report_id(), src.last_key());
        return true;
    }
    std::string notice;
    if (!to->back(files.get(), &src, &notice, problem)) return false;
    p->restart();
    save_cursor(src);
    if (!notice.empty()) {
        std::lock_guard<std::mutex> lock(mu);
        status.notice = notice;
        ++status.changes;
    }
    return true;
}

// The destination holds the first taken of rows: the place moves past them.
void StnDelivery::Shared::moved_on(Place *p, const std::vector<StnDbRow> &rows,
                                   std::size_t taken, std::size_t added) {
    if (taken < rows.size()) {
        // Only some: taken again alone (from the source's buffer) to move by them.
        std::vector<StnDbRow> first;
        std::uint64_t end = 0;
        if (!p->src.take(taken, &first, &end) || first.size() != taken) return;
    }
    p->src.advance();
    std::uint64_t wanted = 0;
    for (std::size_t i = 0; i < taken; ++i) wanted += to->wants(rows[i].text) ? 1 : 0;
    p->wanted_done += wanted;
    save_cursor(p->src);
    std::lock_guard<std::mutex> lock(mu);
    status.delivered += wanted;
    status.added += added;
    while (!seen.empty() && seen.front().first <= p->src.seq()) seen.pop_front();
}

bool StnDelivery::Shared::send_batch(Place *p, std::string *problem) {
    std::vector<StnDbRow> rows;
    std::uint64_t end = 0;
    if (!p->src.take(config.batch, &rows, &end)) {
        *problem = kCannotRead;
        return false;
    }
    if (rows.empty()) {
        // Counted lines are gone (the file was cut): count anew.
        p->restart();
        return true;
    }
    std::size_t taken = 0, added = 0;
    std::string why;
    const bool ok = to->put(rows, &taken, &added, &why);
    if (taken > 0) moved_on(p, rows, std::min(taken, rows.size()), added);
    if (!ok) *problem = why;
    return ok;
}

bool StnDelivery::Shared::attempt(Place *p, bool *ready, std::string *problem) {
    if (!*ready) {
        if (!to->ready(problem)) {
            count(p);
            return false;
        }
        *ready = true;
        std::lock_guard<std::mutex> lock(mu);
        answered = true;
    }
    if (!check_place(p, problem)) return false;
    if (!count(p)) {
        *problem = kCannotRead;
        return false;
    }
    while (p->counted > p->src.seq()) {
        {
            std::lock_guard<std::mutex> lock(mu);
            if (stop) return true;
        }
        publish(StnDeliverState::kWaiting, p->waiting(), "");
        if (!send_batch(p, problem)) return false;
        if (!count(p)) {
            *problem = kCannotRead;
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

void StnDelivery::Shared::end() {
    std::lock_guard<std::mutex> lock(mu);
    ended = true;
    cv.notify_all();
}

void StnDelivery::Shared::run() {
    if (!wait_for_report()) return end();
    Place p(files.get(), config.station);
    start_place(&p);
    bool ready = false;
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
        const bool ok = attempt(&p, &ready, &problem);
        if (!ok) {
            to->drop();
            ready = false;
        }
        const StnDeliverState state = ok && p.counted <= p.src.seq() ? StnDeliverState::kUpToDate
                                                                     : StnDeliverState::kWaiting;
        publish(state, p.waiting(), problem);
        std::lock_guard<std::mutex> lock(mu);
        ++attempts;
        cv.notify_all();
        if (finishing && (ok || stop)) break;
        backing_off = !ok;
        next = Clock::now() + std::chrono::milliseconds(ok ? config.poll_ms : config.retry_ms);
        if (finishing) next = Clock::now() + std::chrono::milliseconds(100);
    }
    to->drop();
    end();
}

StnDelivery::StnDelivery(std::unique_ptr<StnDatabase> db, std::unique_ptr<StnDeliverFiles> files,
                         const StnDeliverConfig &config)
    : StnDelivery(stn_db_destination(std::move(db)), std::move(files), config) {}

StnDelivery::StnDelivery(std::unique_ptr<StnDestination> to,
                         std::unique_ptr<StnDeliverFiles> files, const StnDeliverConfig &config)
    : shared_(std::make_shared<Shared>()) {
    shared_->to = std::move(to);
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
