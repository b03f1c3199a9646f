// Delivery's machinery with the MES's check-outs as its destination, against
// a scripted MES: only unit lines go, each once and in order with its key;
// an answer that is not taken leaves the cursor and is tried again; a 409 is
// taken; the start at the first open with an MES; a cut below the cursor.
// The MES stand-in checks throughout that a key never comes with two bodies.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "stn_mes.h"
#include "stn_test_db.h"
#include "stn_test_wait.h"

namespace {

using stn_test::eventually;
using stn_test::up_to_date;

using namespace std::chrono_literals;
using stn_test::sha;

StnHttpResult answer(int status) {
    StnHttpResult r;
    r.failure = StnHttpFailure::kNone;
    r.status = status;
    return r;
}

StnHttpResult no_answer(StnHttpFailure f, const char *why) {
    StnHttpResult r;
    r.failure = f;
    r.why = why;
    return r;
}

// The MES: answers from a script, then `otherwise`; records each check-out.
class Mes {
public:
    struct Post {
        std::string key, body;
    };
    void script(std::deque<StnHttpResult> replies, StnHttpResult otherwise = answer(200)) {
        std::lock_guard<std::mutex> lock(mu_);
        script_ = std::move(replies);
        otherwise_ = otherwise;
    }
    // From a process that is gone (*gone): it never arrives.
    StnHttpResult post(const std::string &path, const std::vector<StnHttpHeader> &headers,
                       const std::string &body, const bool *gone) {
        std::lock_guard<std::mutex> lock(mu_);
        if (*gone) return no_answer(StnHttpFailure::kCannotConnect, "gone");
        std::string key;
        for (const StnHttpHeader &h : headers) {
            if (h.name == "Idempotency-Key") key = h.value;
        }
        EXPECT_EQ(path, "/mes/check-out");
        const auto held = bodies_.emplace(key, body);
        if (!held.second && held.first->second != body) ++two_bodies_;
        posts_.push_back({key, body});
        if (script_.empty()) return otherwise_;
        const StnHttpResult r = script_.front();
        script_.pop_front();
        return r;
    }
    std::vector<Post> posts() const {
        std::lock_guard<std::mutex> lock(mu_);
        return posts_;
    }
    // The lines' keys, in the order they were posted.
    std::vector<std::string> keys() const {
        std::vector<std::string> k;
        for (const Post &p : posts()) k.push_back(p.key);
        return k;
    }
    // The process that *gone is of is killed: none of its requests arrives.
    void kill(bool *gone) {
        std::lock_guard<std::mutex> lock(mu_);
        *gone = true;
    }
    int two_bodies() const {
        std::lock_guard<std::mutex> lock(mu_);
        return two_bodies_;
    }

private:
    mutable std::mutex mu_;
    std::deque<StnHttpResult> script_;
    StnHttpResult otherwise_ = answer(200);
    std::vector<Post> posts_;
    std::map<std::string, std::string> bodies_;
    int two_bodies_ = 0;
};

class Http : public StnHttp {
public:
    Http(std::shared_ptr<Mes> mes, std::shared_ptr<bool> gone)
        : mes_(std::move(mes)), gone_(std::move(gone)) {}
    StnHttpResult post(const std::string &path, const std::vector<StnHttpHeader> &headers,
                       const std::string &body, unsigned deadline_ms) override {
        EXPECT_EQ(deadline_ms, 1000u);
        return mes_->post(path, headers, body, gone_.get());
    }

private:
    std::shared_ptr<Mes> mes_;
    std::shared_ptr<bool> gone_;  // under Mes's lock
};

std::string unit(int id) {
    return "{\"type\":\"unit\",\"time\":\"2026-12-10T06:00:00.000Z\",\"id\":" +
           std::to_string(id) + ",\"index\":3,\"serial\":" + std::to_string(84600000 + id) +
           ",\"result\":\"updated\",\"station\":\"S2\"}";
}
std::string start(int id) {
    return "{\"type\":\"start\",\"time\":\"2026-12-10T06:00:00.000Z\",\"id\":" +
           std::to_string(id) + "}";
}

// A report written by a station, its flushed size published as a writer does.
struct Rig {
    std::shared_ptr<cli_test::MemStore> store = std::make_shared<cli_test::MemStore>();
    std::shared_ptr<stn_test::Cursor> cursor = std::make_shared<stn_test::Cursor>();
    std::shared_ptr<Mes> mes = std::make_shared<Mes>();
    std::shared_ptr<StnFlushed> flushed;
    StnDeliverConfig config;
    Rig() {
        config.poll_ms = 20;
        config.retry_ms = 20;
        config.batch = 2;
        open();
    }
    // The writer opens the report as it is now.
    void open() {
        flushed = std::make_shared<StnFlushed>();
        flushed->set(store->copy().size());
        config.flushed = flushed;
    }
    void append(const std::string &line) {
        store->append(line + "\n");
        flushed->set(store->copy().size());
    }
    std::shared_ptr<bool> gone = std::make_shared<bool>(false);  // the process
    std::unique_ptr<StnDelivery> start() {
        StnMesConfig mes_config;
        mes_config.url = "http://mes.test/mes";
        return std::unique_ptr<StnDelivery>(new StnDelivery(
            stn_mes_destination(std::unique_ptr<StnHttp>(new Http(mes, gone)), mes_config, 1000),
            std::unique_ptr<StnDeliverFiles>(new stn_test::Files(store, cursor)), config));
    }
    // The process is killed: nothing it does arrives any more; the next one
    // finds the cursor file as it was left.
    void kill() {
        mes->kill(gone.get());
        cursor->set_dead(true);
        const std::string text = cursor->text();
        cursor = std::make_shared<stn_test::Cursor>();
        cursor->put(text);
        gone = std::make_shared<bool>(false);
    }
    StnMesCursor saved() const {
        StnMesCursor c;
        EXPECT_TRUE(stn_mes_cursor_parse(cursor->text(), &c)) << cursor->text();
        return c;
    }
};

std::vector<std::string> keys_of(std::initializer_list<std::string> lines) {
    std::vector<std::string> k;
    for (const std::string &l : lines) k.push_back(sha(l));
    return k;
}

TEST(StnDeliverMes, SendsOnlyUnitLinesEachOnceInOrderWithItsKeyAndResumes) {
    Rig rig;
    rig.append(start(1));
    rig.append(unit(1) + "\r");  // a CR is not part of the line
    rig.append("{\"type\":\"halt\",\"time\":\"t\"}");
    rig.append(unit(2));
    rig.append(start(3));
    {
        auto d = rig.start();
        ASSERT_TRUE(eventually([&] { return up_to_date(*d); }));
        EXPECT_EQ(rig.mes->keys(), keys_of({unit(1), unit(2)}));
        StnCheckOut expected;
        ASSERT_TRUE(stn_mes_check_out(unit(1), &expected));
        ASSERT_EQ(rig.mes->posts().size(), 2u);
        EXPECT_EQ(rig.mes->posts()[0].body, expected.body);
        EXPECT_EQ(d->status().delivered, 2u);
        EXPECT_EQ(stn_deliver_words(d->status(), "check-out"), "up to date");
        rig.append(unit(3));
        d->wake();
        ASSERT_TRUE(eventually([&] { return d->status().delivered == 3; }));
        EXPECT_TRUE(d->finish(1000));
    }
    const StnMesCursor c = rig.saved();
    EXPECT_EQ(c.at.offset, rig.store->copy().size());
    EXPECT_EQ(c.at.seq, 6u);
    EXPECT_EQ(c.at.line_sha256, sha(unit(3)));
    EXPECT_EQ(c.start.offset, 0u);

    // The next start sends only what came after the cursor.
    rig.open();
    rig.append(unit(4));
    auto d = rig.start();
    ASSERT_TRUE(eventually([&] { return up_to_date(*d) && d->status().delivered == 1; }));
    EXPECT_EQ(rig.mes->keys(), keys_of({unit(1), unit(2), unit(3), unit(4)}));
    EXPECT_EQ(rig.mes->two_bodies(), 0);
}

TEST(StnDeliverMes, AnAnswerNotTakenLeavesTheCursorAndIsTriedAgainA409IsTaken) {
    struct Case {
        const char *name;
        StnHttpResult first;
        bool taken;
        const char *problem;
    };
    const Case cases[] = {
        {"500", answer(500), false, "the MES answered status 500"},
        {"time-out", no_answer(StnHttpFailure::kTimeout, "no answer in time"), false,
         "no answer in time"},
        {"redirect", answer(302), false, "the MES answered status 302"},
        {"no connection", no_answer(StnHttpFailure::kCannotConnect, "cannot connect"), false,
         "cannot connect"},
        {"409", answer(409), true, ""},
        {"201", answer(201), true, ""},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Rig rig;
        rig.append(unit(1));
        rig.append(start(2));
        rig.append(unit(2));
        rig.append(unit(3));
        // The first line is taken; the second gets the case's answer, then
        // (not taken) the same again until the test lets it through.
        rig.mes->script({answer(200), k.first}, k.taken ? answer(200) : k.first);
        auto d = rig.start();
        if (!k.taken) {
            // A retry in flight clears the problem until it fails again: read
            // the status between two tries.
            StnDeliverStatus s;
            ASSERT_TRUE(eventually([&] {
                s = d->status();
                return rig.mes->posts().size() >= 3 && !s.problem.empty();
            }));
            EXPECT_EQ(s.state, StnDeliverState::kWaiting);
            EXPECT_EQ(s.problem, k.problem);
            EXPECT_EQ(stn_deliver_words(s, "check-out"),
                      "2 check-outs waiting (" + std::string(k.problem) + ")");
            // Stands right before the line not taken (the start line moved
            // it on): nothing skipped, the same line again.
            EXPECT_EQ(rig.saved().at.line_sha256, sha(start(2)));
            const std::vector<std::string> keys = rig.mes->keys();
            for (std::size_t i = 1; i < keys.size(); ++i) EXPECT_EQ(keys[i], sha(unit(2)));
            rig.mes->script({}, answer(200));
        }
        ASSERT_TRUE(eventually([&] { return up_to_date(*d); }));
        std::vector<std::string> keys = rig.mes->keys();
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        EXPECT_EQ(keys, keys_of({unit(1), unit(2), unit(3)}));
        if (k.taken) {
            EXPECT_EQ(rig.mes->posts().size(), 3u);
        }
        EXPECT_EQ(rig.saved().at.line_sha256, sha(unit(3)));
        EXPECT_EQ(rig.mes->two_bodies(), 0);
    }
}

// A report that had no MES before: its check-outs start at the lines the
// first open with an MES found, and that start outlives a restart while
// check-outs still wait.
TEST(StnDeliverMes, ACursorStartedAtTheFirstOpenWithAnMesSkipsTheEarlierLines) {
    Rig rig;
    rig.append(unit(1));
    rig.append(unit(2));
    rig.open();  // the first open with an MES
    const std::uint64_t opened = rig.store->copy().size();
    rig.append(unit(3));
    rig.mes->script({}, answer(503));
    {
        auto d = rig.start();
        ASSERT_TRUE(eventually([&] { return !rig.mes->posts().empty(); }));
        EXPECT_EQ(rig.mes->keys()[0], sha(unit(3)));
        rig.kill();
    }
    const StnMesCursor c = rig.saved();
    EXPECT_EQ(c.start.offset, opened);
    EXPECT_EQ(c.start.seq, 2u);
    EXPECT_EQ(c.at.offset, opened);

    // Killed while unit 3 waits; the next open is later still.
    rig.append(unit(4));
    rig.open();
    rig.append(unit(5));
    rig.mes->script({}, answer(200));
    auto d = rig.start();
    ASSERT_TRUE(eventually([&] { return up_to_date(*d); }));
    std::vector<std::string> keys = rig.mes->keys();
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    EXPECT_EQ(keys, keys_of({unit(3), unit(4), unit(5)}));
    EXPECT_EQ(rig.saved().start.offset, opened);
}

// After a cut below the cursor the MES cannot be asked what it holds: the
// check-outs go again from the recorded start (from the first line when
// the start's own line is gone), under the same keys with the same bodies.
TEST(StnDeliverMes, ACutBelowTheCursorSendsAgainFromTheRecordedStart) {
    struct Case {
        const char *name;
        int keep;  // whole lines left by the cut
        std::vector<std::string> again;
    };
    const Case cases[] = {
        {"above the start", 3, {sha(unit(3)), sha(unit(4)), sha(unit(9))}},
        {"below the start", 1, {sha(unit(1)), sha(unit(9))}},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Rig rig;
        rig.append(unit(1));
        rig.append(unit(2));
        rig.open();  // the start: after line 2
        rig.append(unit(3));
        rig.append(unit(4));
        rig.append(unit(5));
        auto d = rig.start();
        ASSERT_TRUE(eventually([&] { return up_to_date(*d); }));
        ASSERT_EQ(rig.mes->posts().size(), 3u);
        {
            std::lock_guard<std::recursive_mutex> lock(rig.store->mu);
            std::size_t at = 0;
            for (int n = 0; n < k.keep; ++n) at = rig.store->bytes.find('\n', at) + 1;
            rig.store->bytes.resize(at);
        }
        rig.flushed->set(rig.store->copy().size());
        if (k.keep == 3) rig.append(unit(4));
        rig.append(unit(9));
        d->wake();
        ASSERT_TRUE(eventually([&] {
            return up_to_date(*d) && !rig.mes->posts().empty() &&
                   rig.mes->posts().back().key == sha(unit(9));
        }));
        const std::vector<std::string> keys = rig.mes->keys();
        EXPECT_EQ(std::vector<std::string>(keys.begin() + 3, keys.end()), k.again);
        EXPECT_EQ(rig.mes->two_bodies(), 0);
    }
}

}  // namespace
