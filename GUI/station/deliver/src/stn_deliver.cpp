// Delivery to the factory's database. See stn_deliver.h for the threads:
// the delivery thread owns the source, the database and the files (all in
// Shared, which the thread holds too); the shell's threads only touch what
// Shared keeps under mu.
#include "stn_deliver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "stn_fields.h"
#include "stn_lines.h"
#include "stn_report.h"
#include "stn_sha256.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunk = 64 * 1024;      // bytes read at once
constexpr std::size_t kStationMax = 200;       // the column's width (dist/sql)
constexpr std::size_t kTypeMax = 16;

std::string sha_hex(const std::string &bytes) {
    return stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
}

// The report's bytes for the line reader. With keep: those read before
// (kept there from keep_at on) first, and every byte read from the files is
// added to them.
class FilesSource : public StnByteSource {
public:
    explicit FilesSource(StnDeliverFiles *files, std::string *keep = nullptr,
                         std::uint64_t keep_at = 0)
        : files_(files), keep_(keep), keep_at_(keep_at) {}
    bool read(std::uint64_t offset, char *buf, std::size_t n, std::size_t *got) override {
        *got = 0;
        if (keep_ != nullptr) {
            // The reader reads in order: from the kept bytes, then right after them.
            if (offset < keep_at_ || offset - keep_at_ > keep_->size()) return false;
            const auto in = static_cast<std::size_t>(offset - keep_at_);
            if (in < keep_->size()) {
                *got = std::min(n, keep_->size() - in);
                std::memcpy(buf, keep_->data() + in, *got);
                return true;
            }
        }
        std::string more;
        if (!files_->read(offset, std::min(n, kChunk), &more) || more.size() > n) return false;
        std::memcpy(buf, more.data(), more.size());
        *got = more.size();
        if (keep_ != nullptr) *keep_ += more;
        return true;
    }

private:
    StnDeliverFiles *files_;
    std::string *keep_;
    std::uint64_t keep_at_;
};

bool lower_equal(const std::string &a, const char *b) {
    if (a.size() != std::strlen(b)) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return true;
}

// Cuts s to at most max bytes without splitting a UTF-8 sequence.
std::string utf8_cut(std::string s, std::size_t max) {
    if (s.size() <= max) return s;
    std::size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0u) == 0x80u) --n;
    s.resize(n);
    return s;
}

// One key=value item of a connection string: where its value starts and
// ends (braces included).
struct CsItem {
    std::string key;
    std::size_t value_begin = 0, value_end = 0;
};

std::vector<CsItem> cs_items(const std::string &cs) {
    std::vector<CsItem> items;
    std::size_t i = 0;
    while (i < cs.size()) {
        const std::size_t eq = cs.find('=', i);
        const std::size_t semi = cs.find(';', i);
        if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
            if (semi == std::string::npos) break;
            i = semi + 1;
            continue;
        }
        CsItem it;
        it.key = cs.substr(i, eq - i);
        it.key.erase(0, it.key.find_first_not_of(" \t"));
        it.key.erase(it.key.find_last_not_of(" \t") + 1);
        it.value_begin = eq + 1;
        std::size_t j = eq + 1;
        while (j < cs.size() && (cs[j] == ' ' || cs[j] == '\t')) ++j;
        if (j < cs.size() && cs[j] == '{') {
            // Braced: runs to the closing brace ("}}" is a brace inside).
            ++j;
            while (j < cs.size()) {
                if (cs[j] == '}') {
                    if (j + 1 < cs.size() && cs[j + 1] == '}') {
                        j += 2;
                        continue;
                    }
                    ++j;
                    break;
                }
                ++j;
            }
            const std::size_t s = cs.find(';', j);
            it.value_end = s == std::string::npos ? cs.size() : s;
        } else {
            const std::size_t s = cs.find(';', j);
            it.value_end = s == std::string::npos ? cs.size() : s;
        }
        items.push_back(it);
        i = it.value_end + 1;
    }
    return items;
}

bool is_secret_key(const std::string &key) {
    return lower_equal(key, "pwd") || lower_equal(key, "password");
}

}  // namespace

std::string stn_db_redact(const std::string &cs) {
    std::string out;
    std::size_t from = 0;
    for (const CsItem &it : cs_items(cs)) {
        if (!is_secret_key(it.key)) continue;
        out += cs.substr(from, it.value_begin - from) + "***";
        from = it.value_end;
    }
    return out + cs.substr(from);
}

std::string stn_db_redact_in(const std::string &text, const std::string &cs) {
    std::string out = text;
    for (const CsItem &it : cs_items(cs)) {
        if (!is_secret_key(it.key)) continue;
        std::string secret = cs.substr(it.value_begin, it.value_end - it.value_begin);
        secret.erase(0, secret.find_first_not_of(" \t"));
        secret.erase(secret.find_last_not_of(" \t") + 1);
        if (secret.size() >= 2 && secret.front() == '{' && secret.back() == '}') {
            // Braced: "}}" stands for one brace.
            std::string plain;
            for (std::size_t k = 1; k + 1 < secret.size(); ++k) {
                plain += secret[k];
                if (secret[k] == '}' && secret[k + 1] == '}') ++k;
            }
            secret = plain;
        }
        if (secret.empty()) continue;
        for (std::size_t at = out.find(secret); at != std::string::npos;
             at = out.find(secret, at + 3)) {
            out.replace(at, secret.size(), "***");
        }
    }
    return out;
}

// ---- Lines as rows ----

StnLineSource::StnLineSource(StnDeliverFiles *files, std::string station)
    : files_(files), station_(utf8_cut(std::move(station), kStationMax)) {}

void StnLineSource::seek(std::uint64_t offset, std::uint64_t seq, const std::string &report_id,
                         const std::string &last_key) {
    offset_ = offset;
    seq_ = seq;
    report_id_ = report_id;
    last_key_ = last_key;
    buf_.clear();
}

bool StnLineSource::take(std::size_t max, std::vector<StnDbRow> *rows, std::uint64_t *end) {
    rows->clear();
    std::uint64_t seq = seq_, next = offset_;
    std::string report = report_id_;
    std::string key = last_key_;
    FilesSource source(files_, &buf_, offset_);
    StnLineReader reader(&source, StnLineReader::kChunk, offset_);
    StnLine line;
    // A last line without its line feed is left for later.
    while (rows->size() < max && reader.next(&line) && line.ended) {
        StnDbRow r;
        // One longer than the reader's chunk is still all in buf_.
        r.text = line.whole ? std::string(line.body())
                            : std::string(stn_without_cr(std::string_view(buf_).substr(
                                  static_cast<std::size_t>(line.offset - offset_),
                                  static_cast<std::size_t>(line.size))));
        r.key = sha_hex(r.text);
        r.seq = ++seq;
        if (seq == 1) report = r.key;
        r.report_id = report;
        r.station = station_;
        StnLineFields f;
        if (f.read(r.text)) {
            const std::string_view type = f.text(StnLineFields::kType);
            if (type.size() <= kTypeMax) r.type = std::string(type);
            const std::string_view station = f.text(StnLineFields::kStation);
            if (!station.empty()) r.station = utf8_cut(std::string(station), kStationMax);
        }
        key = r.key;
        rows->push_back(std::move(r));
        next = line.end();
    }
    if (reader.failed()) return false;
    // Bytes after the last line end are not kept: a torn tail may be cut
    // and written anew.
    const std::size_t last_lf = buf_.rfind('\n');
    buf_.resize(last_lf == std::string::npos ? 0 : last_lf + 1);
    // The position after the rows given, for advance(); buf_ still starts
    // at offset_.
    next_offset_ = next;
    next_seq_ = seq;
    next_report_ = report;
    next_key_ = key;
    *end = next_offset_;
    return true;
}

void StnLineSource::advance() {
    const std::uint64_t used = next_offset_ - offset_;
    buf_.erase(0, static_cast<std::size_t>(std::min<std::uint64_t>(used, buf_.size())));
    offset_ = next_offset_;
    seq_ = next_seq_;
    report_id_ = next_report_;
    last_key_ = next_key_;
}

// ---- The cursor ----

std::string stn_cursor_text(const StnDeliverCursor &c) {
    nlohmann::json j = nlohmann::json::object();
    j["report"] = c.report_id;
    j["offset"] = c.offset;
    j["seq"] = c.seq;
    j["line_sha256"] = c.line_sha256;
    return j.dump() + "\n";
}

bool stn_cursor_parse(const std::string &text, StnDeliverCursor *c) {
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_object()) return false;
    const auto r = j.find("report"), o = j.find("offset"), s = j.find("seq"),
               k = j.find("line_sha256");
    if (r == j.end() || o == j.end() || s == j.end() || k == j.end()) return false;
    if (!r->is_string() || !o->is_number_unsigned() || !s->is_number_unsigned() ||
        !k->is_string()) {
        return false;
    }
    c->report_id = r->get<std::string>();
    c->offset = o->get<std::uint64_t>();
    c->seq = s->get<std::uint64_t>();
    c->line_sha256 = k->get<std::string>();
    return c->report_id.size() == 64 && c->line_sha256.size() == 64 && c->offset > 0 &&
           c->seq > 0;
}

namespace {

// The hash of the whole line that ends (with its LF) at offset; empty when
// there is none (the file is shorter) or it cannot be read. Looks back a
// little first: it runs at every attempt.
std::string hash_of_line_before(StnDeliverFiles *files, std::uint64_t offset) {
    for (std::size_t window = 4096;; window *= 2) {
        if (window > kChunk) window = kChunk;
        const std::uint64_t from = offset > window ? offset - window : 0;
        std::string bytes;
        if (!files->read(from, static_cast<std::size_t>(offset - from), &bytes)) return "";
        if (bytes.size() != offset - from || bytes.empty() || bytes.back() != '\n') return "";
        const std::size_t prev = bytes.size() >= 2 ? bytes.rfind('\n', bytes.size() - 2)
                                                   : std::string::npos;
        if (prev == std::string::npos && from != 0) {
            if (window == kChunk) return "";  // longer than we look back
            continue;
        }
        const std::size_t begin = prev == std::string::npos ? 0 : prev + 1;
        return sha_hex(std::string(
            stn_without_cr(std::string_view(bytes).substr(begin, bytes.size() - 1 - begin))));
    }
}

std::string hash_of_first_line(StnDeliverFiles *files) {
    std::string bytes;
    if (!files->read(0, kChunk, &bytes)) return "";
    return stn_report_id(bytes);
}

// Where a cursor lets delivery resume: its own place when the report still
// holds the same first line and the same line before the offset; else the
// start.
void resume(StnDeliverFiles *files, StnLineSource *src) {
    std::string text;
    StnDeliverCursor c;
    if (files->load_cursor(&text) && stn_cursor_parse(text, &c) &&
        hash_of_first_line(files) == c.report_id &&
        hash_of_line_before(files, c.offset) == c.line_sha256) {
        src->seek(c.offset, c.seq, c.report_id, c.line_sha256);
        return;
    }
    src->seek(0, 0, "");
}

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

// After a cut below the last line delivered: the place after the last line
// that the file and the rows held for its report agree on, line by line
// from the first; *gone: the numbers of held rows whose line the file no
// longer has. false: the database or the file cannot be read.
bool walk_back(StnDeliverFiles *files, StnDatabase *db, const std::string &report_id,
               StnLineSource *src, std::vector<std::uint64_t> *gone, std::string *why) {
    std::map<std::uint64_t, std::string> held;  // seq -> key
    if (!db->held(report_id, [&](std::uint64_t seq, const std::string &key) {
            held.emplace(seq, key);
        }, why)) {
        return false;
    }
    const auto cannot_read = [&] {
        *why = "cannot read the report";
        return false;
    };
    StnLineSource scan(files, "");
    scan.seek(0, 0, "");
    std::uint64_t offset = 0, seq = 0;  // after the last line that agrees
    std::string key;
    bool agree = true;
    std::map<std::string, std::uint64_t> in_file;  // keys of the file's lines after it
    for (;;) {
        std::vector<StnDbRow> rows;
        std::uint64_t end = 0;
        if (!scan.take(1000, &rows, &end)) return cannot_read();
        if (rows.empty()) break;
        std::size_t agreeing = 0;
        for (const StnDbRow &r : rows) {
            if (agree) {
                const auto h = held.find(r.seq);
                agree = h != held.end() && h->second == r.key && r.report_id == report_id;
            }
            if (agree) {
                ++agreeing;
                seq = r.seq;
                key = r.key;
            } else {
                in_file.emplace(r.key, r.seq);
            }
        }
        if (agreeing == rows.size()) {
            offset = end;
        } else if (agreeing > 0) {
            // Where the agreeing lines of this batch end (a CR LF is two bytes).
            StnLineSource part(files, "");
            part.seek(scan.offset(), 0, report_id);
            if (!part.take(agreeing, &rows, &offset)) return cannot_read();
        }
        scan.advance();
    }
    gone->clear();
    for (const auto &h : held) {
        if (h.first > seq && in_file.find(h.second) == in_file.end()) gone->push_back(h.first);
    }
    if (seq == 0) {
        src->seek(0, 0, "");
    } else {
        src->seek(offset, seq, report_id, key);
    }
    return true;
}

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

// ---- ship and verify ----

bool stn_ship(StnDeliverFiles *files, StnDatabase *db, const std::string &station,
              std::uint64_t *added, std::uint64_t *held, std::string *why) {
    *added = *held = 0;
    if (!db->connect(why)) {
        *why = "cannot connect: " + *why;
        return false;
    }
    StnLineSource src(files, station);
    src.seek(0, 0, "");
    for (;;) {
        std::vector<StnDbRow> rows;
        std::uint64_t end = 0;
        if (!src.take(500, &rows, &end)) {
            *why = "cannot read the file";
            return false;
        }
        if (rows.empty()) return true;
        std::size_t n = 0;
        if (!db->insert(rows, &n, why)) return false;
        *added += n;
        *held += rows.size() - n;
        src.advance();
    }
}

namespace {

// The report as the database knows it: by the keys of its first lines (a
// changed first line changes the file's own identity).
bool known_report(StnLineSource *src, StnDatabase *db, std::string *report_id,
                  std::string *why) {
    src->seek(0, 0, "");
    std::vector<StnDbRow> first;
    std::uint64_t end = 0;
    if (!src->take(8, &first, &end)) {
        *why = "cannot read the file";
        return false;
    }
    if (first.empty()) {
        *why = "the file holds no whole line";
        return false;
    }
    *report_id = first.front().report_id;
    for (const StnDbRow &r : first) {
        std::string id;
        if (!db->report_of(r.key, &id, why)) return false;
        if (!id.empty()) {
            *report_id = id;
            break;
        }
    }
    return true;
}

}  // namespace

bool stn_verify_db(StnDeliverFiles *files, StnDatabase *db, StnVerifyDb *out, std::string *why) {
    *out = StnVerifyDb();
    if (!db->connect(why)) {
        *why = "cannot connect: " + *why;
        return false;
    }
    StnLineSource src(files, "");
    std::uint64_t end = 0;
    if (!known_report(&src, db, &out->report_id, why)) return false;
    std::map<std::string, std::uint64_t> rows;  // key -> seq
    if (!db->held(out->report_id, [&](std::uint64_t seq, const std::string &key) {
            rows.emplace(key, seq);
        }, why)) {
        return false;
    }
    out->rows = rows.size();
    src.seek(0, 0, "");
    for (;;) {
        std::vector<StnDbRow> batch;
        if (!src.take(1000, &batch, &end)) {
            *why = "cannot read the file";
            return false;
        }
        if (batch.empty()) break;
        for (const StnDbRow &r : batch) {
            ++out->lines;
            auto it = rows.find(r.key);
            if (it == rows.end()) {
                out->missing.push_back(r.seq);
            } else {
                rows.erase(it);
            }
        }
        src.advance();
    }
    for (const auto &kv : rows) out->not_in_file.push_back(kv.second);
    std::sort(out->not_in_file.begin(), out->not_in_file.end());
    // A number in both lists is a line changed in the file.
    std::vector<std::uint64_t> missing, gone;
    std::set_intersection(out->missing.begin(), out->missing.end(), out->not_in_file.begin(),
                          out->not_in_file.end(), std::back_inserter(out->changed));
    std::set_difference(out->missing.begin(), out->missing.end(), out->changed.begin(),
                        out->changed.end(), std::back_inserter(missing));
    std::set_difference(out->not_in_file.begin(), out->not_in_file.end(), out->changed.begin(),
                        out->changed.end(), std::back_inserter(gone));
    out->missing.swap(missing);
    out->not_in_file.swap(gone);
    return true;
}
