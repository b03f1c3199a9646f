// The report's writer. See stn_journal.h for the threads: everything in
// Shared is under its mu, except report, which only the writer thread
// touches (after start).
#include "stn_journal.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "stn_waker.h"

namespace {

using Clock = std::chrono::steady_clock;

enum class StartState { kWaiting, kWritten, kRefused };

struct Entry {
    std::string line;
    bool start = false;     // a start line: id's worker waits for it
    std::uint64_t id = 0;   // start lines
    std::uint64_t tag = 0;  // unit lines
};

}  // namespace

struct StnJournal::Shared {
    Shared(std::shared_ptr<StnReportStore> s, const StnReport &r, std::shared_ptr<StnWaker> w,
           unsigned retry)
        : store(std::move(s)), report(r), waker(std::move(w)), retry_ms(retry) {}

    const std::shared_ptr<StnReportStore> store;  // keeps the store alive for the writer
    StnReport report;                             // the writer thread's only
    const std::shared_ptr<StnWaker> waker;
    const unsigned retry_ms;

    std::mutex mu;
    std::condition_variable cv;        // the writer's work, and start waiters
    std::deque<Entry> queue;           // not yet on the disk; front is next
    bool in_store = false;             // the writer is inside a store call with queue.front()
    bool failing = false;
    Clock::time_point retry_at;
    bool closing = false;              // no more lines; the writer ends
    bool writer_ended = false;
    std::map<std::uint64_t, StartState> starts;
    std::set<std::uint64_t> given_up;
    std::vector<std::uint64_t> written;  // tags, for take_written
    std::thread writer;

    // Under mu: refuses every start line still queued (not the one being
    // written) and wakes their workers.
    void refuse_queued_starts() {
        for (auto it = queue.begin(); it != queue.end();) {
            const bool in_flight = in_store && it == queue.begin();
            if (it->start && !in_flight) {
                starts[it->id] = StartState::kRefused;
                it = queue.erase(it);
            } else {
                ++it;
            }
        }
        cv.notify_all();
    }

    std::size_t waiting_units() const {
        std::size_t n = 0;
        for (const Entry &e : queue) n += e.start ? 0 : 1;
        return n;
    }

    // One turn's work on the store, without the lock. A failed write may
    // have left part of a line: the file is cut back to its last whole line
    // before the next one.
    bool write(const Entry &e, bool has_line, bool cut_first) {
        bool ok = !cut_first || report.cut_back();
        if (ok && has_line) {
            ok = report.write_line(e.line);
            // A start that landed but could not be flushed is whole in the
            // file; its worker is refused, so it must not stay there as a
            // unit that began. A cut that fails here is done first at the
            // next retry.
            if (!ok && e.start) report.cut_back();
        }
        return ok;
    }

    // What one turn's write means, under the lock. True: the engine is to
    // be woken (a unit line landed, or the report failed or came back).
    bool settle(const Entry &e, bool has_line, bool ok) {
        const bool changed = ok == failing;
        if (ok) {
            failing = false;
            if (has_line) {
                queue.pop_front();
                if (e.start) {
                    starts[e.id] = StartState::kWritten;
                } else {
                    written.push_back(e.tag);
                }
            }
        } else {
            failing = true;
            retry_at = Clock::now() + std::chrono::milliseconds(retry_ms);
            // A unit must not wait on a retry before its first write.
            refuse_queued_starts();
        }
        cv.notify_all();
        return (ok && has_line && !e.start) || changed;
    }

    void run() {
        std::unique_lock<std::mutex> lock(mu);
        for (;;) {
            if (closing) break;
            if (failing) {
                // Retried on the timer even with nothing queued: the cut
                // alone tells that the report can be written again.
                if (Clock::now() < retry_at) {
                    cv.wait_until(lock, retry_at);
                    continue;
                }
            } else if (queue.empty()) {
                cv.wait(lock);
                continue;
            }
            const bool cut_first = failing;
            const bool has_line = !queue.empty();
            const Entry e = has_line ? queue.front() : Entry();
            in_store = true;
            lock.unlock();
            const bool ok = write(e, has_line, cut_first);
            lock.lock();
            in_store = false;
            if (closing) {
                // close() handed this line back already (a unit line) or
                // left its worker waiting (a start line).
                if (has_line && e.start) {
                    starts[e.id] = ok ? StartState::kWritten : StartState::kRefused;
                }
                break;
            }
            if (settle(e, has_line, ok)) {
                lock.unlock();
                waker->wake();
                lock.lock();
            }
        }
        writer_ended = true;
        cv.notify_all();
    }
};

std::shared_ptr<StnJournal> StnJournal::start(std::shared_ptr<StnReportStore> store,
                                              const StnReport &report,
                                              std::shared_ptr<StnWaker> waker,
                                              unsigned retry_ms) {
    auto shared = std::make_shared<Shared>(std::move(store), report, std::move(waker), retry_ms);
    std::shared_ptr<StnJournal> j(new StnJournal(shared));
    try {
        shared->writer = std::thread([shared] { shared->run(); });
    } catch (const std::system_error &) {
        // No writer: every line waits, and close() hands them back.
        shared->failing = true;
    }
    return j;
}

StnJournal::StnJournal(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

StnJournal::~StnJournal() {
    close(0);
    Shared &s = *shared_;
    std::unique_lock<std::mutex> lock(s.mu);
    if (!s.writer.joinable()) return;
    // A writer inside the store may hang there (a share that went away):
    // it is let go with what it holds. Otherwise it ends at once.
    if (s.in_store) {
        s.writer.detach();
        return;
    }
    s.cv.wait(lock, [&s] { return s.writer_ended || s.in_store; });
    if (s.writer_ended) {
        lock.unlock();
        s.writer.join();
    } else {
        s.writer.detach();
    }
}

void StnJournal::append(const std::string &line, std::uint64_t tag) {
    Shared &s = *shared_;
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.closing) return;
    Entry e;
    e.line = line;
    e.tag = tag;
    s.queue.push_back(std::move(e));
    s.cv.notify_all();
}

bool StnJournal::append_start(std::uint64_t id, const std::function<std::string()> &make_line) {
    Shared &s = *shared_;
    std::unique_lock<std::mutex> lock(s.mu);
    if (s.closing || s.failing || s.given_up.count(id) != 0) return false;
    Entry e;
    e.line = make_line();
    e.start = true;
    e.id = id;
    s.starts[id] = StartState::kWaiting;
    s.queue.push_back(std::move(e));
    s.cv.notify_all();
    s.cv.wait(lock, [&s, id] { return s.starts[id] != StartState::kWaiting; });
    const bool ok = s.starts[id] == StartState::kWritten;
    s.starts.erase(id);
    return ok;
}

void StnJournal::give_up(std::uint64_t id) {
    Shared &s = *shared_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.given_up.insert(id);
    for (auto it = s.queue.begin(); it != s.queue.end(); ++it) {
        const bool in_flight = s.in_store && it == s.queue.begin();
        if (it->start && it->id == id && !in_flight) {
            s.starts[id] = StartState::kRefused;
            s.queue.erase(it);
            s.cv.notify_all();
            break;
        }
    }
}

std::vector<std::uint64_t> StnJournal::take_written() {
    Shared &s = *shared_;
    std::lock_guard<std::mutex> lock(s.mu);
    std::vector<std::uint64_t> out;
    out.swap(s.written);
    return out;
}

StnJournal::State StnJournal::state() const {
    Shared &s = *shared_;
    std::lock_guard<std::mutex> lock(s.mu);
    State st;
    st.failing = s.failing;
    st.waiting = s.waiting_units();
    return st;
}

std::vector<StnJournal::Unwritten> StnJournal::close(unsigned wait_ms) {
    Shared &s = *shared_;
    std::unique_lock<std::mutex> lock(s.mu);
    std::vector<Unwritten> out;
    if (s.closing) return out;
    if (s.failing) s.retry_at = Clock::now();
    s.cv.notify_all();
    // A failing report is cut back once more even with nothing queued: a
    // start line it refused may still be in the file.
    s.cv.wait_for(lock, std::chrono::milliseconds(wait_ms), [&s] {
        return (s.queue.empty() && !s.failing) || !s.writer.joinable();
    });
    s.closing = true;
    s.refuse_queued_starts();
    for (const Entry &e : s.queue) {
        if (!e.start) out.push_back(Unwritten{e.line, e.tag});
    }
    // With closing set the writer ends before its next line, and one that
    // is inside the store touches the queue no more.
    s.queue.clear();
    s.cv.notify_all();
    return out;
}
