// Delivery to the database against a stand-in: the cursor (resumed, stale,
// lost between commit and save), a database that is away or hangs, lines
// still being written, --database-required, ship and verify, and the
// redaction of the password. What a real database does (timeouts, locks,
// Unicode, keys) is tested under Wine against PostgreSQL (tests/e2e/cli).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "stn_deliver.h"
#include "stn_sha256.h"

namespace {

using namespace std::chrono_literals;

std::string sha(const std::string &s) {
    return stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(s.data()), s.size());
}

// The report and cursor files, shared with the test.
struct Disk {
    std::mutex mu;
    std::string report;
    std::string cursor;
    bool has_cursor = false;
    bool save_fails = false;  // a kill between the commit and the cursor
    void append(const std::string &bytes) {
        std::lock_guard<std::mutex> lock(mu);
        report += bytes;
    }
};

class MemFiles : public StnDeliverFiles {
public:
    explicit MemFiles(std::shared_ptr<Disk> d) : d_(std::move(d)) {}
    bool read(std::uint64_t offset, std::size_t max, std::string *out) override {
        std::lock_guard<std::mutex> lock(d_->mu);
        out->clear();
        if (offset < d_->report.size()) *out = d_->report.substr(offset, max);
        return true;
    }
    bool load_cursor(std::string *text) override {
        std::lock_guard<std::mutex> lock(d_->mu);
        *text = d_->cursor;
        return d_->has_cursor;
    }
    bool save_cursor(const std::string &text) override {
        std::lock_guard<std::mutex> lock(d_->mu);
        if (d_->save_fails) return false;
        d_->cursor = text;
        d_->has_cursor = true;
        return true;
    }

private:
    std::shared_ptr<Disk> d_;
};

// The table, shared with the test.
struct Table {
    std::mutex mu;
    std::condition_variable cv;
    std::map<std::string, StnDbRow> rows;  // by key
    std::vector<std::string> order;        // keys in the order inserted
    std::uint64_t sent = 0;                // rows handed to insert, counted
    bool down = false;
    bool refuse_check = false;
    bool hang = false;                     // insert waits until cleared
    std::uint64_t count(const std::string &key) {
        std::lock_guard<std::mutex> lock(mu);
        return rows.count(key);
    }
    std::size_t size() {
        std::lock_guard<std::mutex> lock(mu);
        return rows.size();
    }
    void set(bool Table::*flag, bool v) {
        std::lock_guard<std::mutex> lock(mu);
        this->*flag = v;
        cv.notify_all();
    }
};

class FakeDb : public StnDatabase {
public:
    explicit FakeDb(std::shared_ptr<Table> t) : t_(std::move(t)) {}
    bool connect(std::string *why) override {
        std::lock_guard<std::mutex> lock(t_->mu);
        if (t_->down) *why = "server not there";
        return !t_->down;
    }
    bool check(std::string *why) override {
        std::lock_guard<std::mutex> lock(t_->mu);
        if (t_->refuse_check) *why = "this login may not insert into the table";
        return !t_->refuse_check && !t_->down;
    }
    bool insert(const std::vector<StnDbRow> &rows, std::size_t *added, std::string *why) override {
        std::unique_lock<std::mutex> lock(t_->mu);
        t_->cv.wait(lock, [&] { return !t_->hang; });
        if (t_->down) {
            *why = "connection lost";
            return false;
        }
        *added = 0;
        for (const StnDbRow &r : rows) {
            ++t_->sent;
            if (t_->rows.emplace(r.key, r).second) {
                ++*added;
                t_->order.push_back(r.key);
            }
        }
        return true;
    }
    bool held(const std::string &report_id,
              const std::function<void(std::uint64_t, const std::string &)> &row,
              std::string *) override {
        std::lock_guard<std::mutex> lock(t_->mu);
        for (const auto &kv : t_->rows) {
            if (kv.second.report_id == report_id) row(kv.second.seq, kv.first);
        }
        return true;
    }
    bool report_of(const std::string &key, std::string *report_id, std::string *) override {
        std::lock_guard<std::mutex> lock(t_->mu);
        auto it = t_->rows.find(key);
        *report_id = it == t_->rows.end() ? "" : it->second.report_id;
        return true;
    }
    void disconnect() override {}

private:
    std::shared_ptr<Table> t_;
};

std::string line(int n) {
    return "{\"type\":\"unit\",\"id\":" + std::to_string(n) + ",\"serial\":" +
           std::to_string(84600000 + n) + "}";
}

std::string lines(int from, int to) {
    std::string s;
    for (int n = from; n <= to; ++n) s += line(n) + "\n";
    return s;
}

struct Rig {
    std::shared_ptr<Disk> disk = std::make_shared<Disk>();
    std::shared_ptr<Table> table = std::make_shared<Table>();
    StnDeliverConfig config;
    Rig() {
        config.station = "Pr\xC3\xBC" "fstand 2";
        config.poll_ms = 20;
        config.retry_ms = 20;
        config.batch = 3;
    }
    std::unique_ptr<StnDelivery> start() {
        return std::unique_ptr<StnDelivery>(
            new StnDelivery(std::unique_ptr<StnDatabase>(new FakeDb(table)),
                            std::unique_ptr<StnDeliverFiles>(new MemFiles(disk)), config));
    }
};

// Waits (bounded) until pred holds.
template <typename P>
bool eventually(P pred) {
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

bool up_to_date(StnDelivery &d) { return d.status().state == StnDeliverState::kUpToDate; }

// Every line of the report is in the table exactly once, with its number.
void expect_all_once(Rig &rig) {
    std::lock_guard<std::mutex> lock(rig.disk->mu);
    std::size_t begin = 0;
    std::uint64_t seq = 0;
    std::string first;
    while (true) {
        const std::size_t lf = rig.disk->report.find('\n', begin);
        if (lf == std::string::npos) break;
        std::string body = rig.disk->report.substr(begin, lf - begin);
        if (!body.empty() && body.back() == '\r') body.pop_back();
        const std::string key = sha(body);
        if (++seq == 1) first = key;
        std::lock_guard<std::mutex> t(rig.table->mu);
        auto it = rig.table->rows.find(key);
        ASSERT_NE(it, rig.table->rows.end()) << "line " << seq << " missing";
        EXPECT_EQ(it->second.seq, seq);
        EXPECT_EQ(it->second.report_id, first);
        EXPECT_EQ(it->second.text, body);
        begin = lf + 1;
    }
    std::lock_guard<std::mutex> t(rig.table->mu);
    EXPECT_EQ(rig.table->rows.size(), seq);
}

TEST(StnDeliver, DeliversInOrderAndResumesFromItsCursor) {
    Rig rig;
    rig.disk->append(lines(1, 7));
    {
        auto d = rig.start();
        ASSERT_TRUE(eventually([&] { return up_to_date(*d); }));
        EXPECT_EQ(d->status().delivered, 7u);
        rig.disk->append(lines(8, 9));
        d->wake();
        ASSERT_TRUE(eventually([&] { return d->status().delivered == 9; }));
        EXPECT_TRUE(d->finish(1000));
    }
    expect_all_once(rig);
    {
        std::lock_guard<std::mutex> lock(rig.table->mu);
        for (std::size_t i = 0; i < rig.table->order.size(); ++i) {
            EXPECT_EQ(rig.table->rows[rig.table->order[i]].seq, i + 1) << "out of order";
        }
        EXPECT_EQ(rig.table->rows[sha(line(1))].station, rig.config.station);
        EXPECT_EQ(rig.table->rows[sha(line(1))].type, "unit");
    }
    StnDeliverCursor c;
    ASSERT_TRUE(stn_cursor_parse(rig.disk->cursor, &c));
    EXPECT_EQ(c.seq, 9u);
    EXPECT_EQ(c.offset, rig.disk->report.size());
    EXPECT_EQ(c.line_sha256, sha(line(9)));

    // A new start sends only what came after the cursor.
    rig.disk->append(lines(10, 10));
    const std::uint64_t sent = rig.table->sent;
    auto d = rig.start();
    ASSERT_TRUE(eventually([&] { return up_to_date(*d) && d->status().delivered == 1; }));
    EXPECT_EQ(rig.table->sent, sent + 1);
    expect_all_once(rig);
}

TEST(StnDeliver, AStaleOrLostCursorStartsOverAndTheKeyAbsorbsTheRest) {
    struct Case {
        const char *name;
        std::function<void(Rig &)> spoil;
    };
    const Case cases[] = {
        {"garbage", [](Rig &r) { r.disk->cursor = "not json"; }},
        {"another report",
         [](Rig &r) {
             StnDeliverCursor c;
             stn_cursor_parse(r.disk->cursor, &c);
             c.report_id = sha("other");
             r.disk->cursor = stn_cursor_text(c);
         }},
        {"past the end",
         [](Rig &r) {
             StnDeliverCursor c;
             stn_cursor_parse(r.disk->cursor, &c);
             c.offset += 1000;
             r.disk->cursor = stn_cursor_text(c);
         }},
        {"line before changed",
         [](Rig &r) {
             const std::size_t at = r.disk->report.rfind("\"id\":4");
             r.disk->report[at + 5] = '5';
         }},
        {"lost", [](Rig &r) { r.disk->has_cursor = false; }},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Rig rig;
        rig.disk->append(lines(1, 4));
        {
            auto d = rig.start();
            ASSERT_TRUE(eventually([&] { return up_to_date(*d); }));
        }
        k.spoil(rig);
        rig.disk->append(lines(5, 6));
        auto d = rig.start();
        ASSERT_TRUE(eventually([&] { return up_to_date(*d); }));
        const StnDeliverStatus s = d->status();
        EXPECT_EQ(s.delivered, 6u);  // from the start
        d->finish(1000);
        if (std::string(k.name) != "line before changed") expect_all_once(rig);
    }
}

TEST(StnDeliver, AKillBetweenCommitAndCursorSendsTheBatchAgainOnce) {
    Rig rig;
    rig.disk->append(lines(1, 5));
    rig.disk->save_fails = true;
    {
        auto d = rig.start();
        ASSERT_TRUE(eventually([&] { return up_to_date(*d); }));
    }
    EXPECT_FALSE(rig.disk->has_cursor);
    rig.disk->save_fails = false;
    auto d = rig.start();
    ASSERT_TRUE(eventually([&] { return up_to_date(*d); }));
    EXPECT_EQ(d->status().added, 0u);
    EXPECT_EQ(d->status().delivered, 5u);
    expect_all_once(rig);
}

TEST(StnDeliver, OnlyWholeLinesGoAndACarriageReturnIsNotPartOfTheLine) {
    Rig rig;
    rig.disk->append(line(1) + "\r\n" + "{\"type\":\"unit\",\"id\":2");
    auto d = rig.start();
    ASSERT_TRUE(eventually([&] { return up_to_date(*d); }));
    EXPECT_EQ(rig.table->size(), 1u);
    EXPECT_EQ(rig.table->count(sha(line(1))), 1u);
    rig.disk->append(",\"station\":\"A\"}\n");
    d->wake();
    ASSERT_TRUE(eventually([&] { return rig.table->size() == 2; }));
    std::lock_guard<std::mutex> lock(rig.table->mu);
    const StnDbRow &r = rig.table->rows[sha("{\"type\":\"unit\",\"id\":2,\"station\":\"A\"}")];
    EXPECT_EQ(r.seq, 2u);
    EXPECT_EQ(r.station, "A");  // the line's own name wins
}

TEST(StnDeliver, ADatabaseThatIsAwayLeavesLinesWaitingUntilItIsBack) {
    Rig rig;
    rig.table->down = true;
    rig.disk->append(lines(1, 3));
    auto d = rig.start();
    const StnDeliverStatus first = d->settle(5000);
    EXPECT_EQ(first.state, StnDeliverState::kWaiting);
    EXPECT_EQ(first.waiting, 3u);
    EXPECT_EQ(stn_deliver_words(first), "3 lines waiting (cannot connect: server not there)");
    rig.disk->append(lines(4, 4));
    d->wake();
    ASSERT_TRUE(eventually([&] { return d->status().waiting == 4; }));
    rig.table->set(&Table::down, false);
    ASSERT_TRUE(eventually([&] { return up_to_date(*d); }));
    EXPECT_EQ(stn_deliver_words(d->status()), "up to date");
    expect_all_once(rig);
}

TEST(StnDeliver, ALoginThatMayNotInsertIsSaidAtTheStart) {
    Rig rig;
    rig.table->refuse_check = true;
    auto d = rig.start();
    const StnDeliverStatus s = d->settle(5000);
    EXPECT_EQ(s.state, StnDeliverState::kWaiting);
    EXPECT_EQ(s.problem, "this login may not insert into the table");
}

TEST(StnDeliver, RequiredHoldsUnitsOnlyWhileLinesWaitedTooLong) {
    Rig rig;
    rig.config.required = true;
    rig.config.required_ms = 50;
    rig.table->down = true;
    auto d = rig.start();
    d->settle(5000);
    EXPECT_FALSE(d->may_take_units());  // never answered yet
    rig.table->set(&Table::down, false);
    ASSERT_TRUE(eventually([&] { return d->may_take_units(); }));  // nothing waits
    rig.table->set(&Table::down, true);
    rig.disk->append(lines(1, 1));
    d->wake();
    ASSERT_TRUE(eventually([&] { return d->status().waiting == 1; }));
    ASSERT_TRUE(eventually([&] { return !d->may_take_units(); }));
    rig.table->set(&Table::down, false);
    ASSERT_TRUE(eventually([&] { return d->may_take_units(); }));

    Rig easy;  // without --database-required a long wait holds nothing
    easy.config.required_ms = 0;
    easy.table->down = true;
    easy.disk->append(lines(1, 1));
    auto e = easy.start();
    e->settle(5000);
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(e->may_take_units());
}

TEST(StnDeliver, AHungDatabaseHoldsNeitherCallersNorTheEnd) {
    Rig rig;
    rig.table->hang = true;
    rig.disk->append(lines(1, 2));
    auto d = rig.start();
    ASSERT_TRUE(eventually([&] { return d->status().waiting == 2; }));
    const auto t0 = std::chrono::steady_clock::now();
    d->wake();
    (void)d->status();
    (void)d->may_take_units();
    EXPECT_FALSE(d->finish(100));  // left behind
    d.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    rig.table->set(&Table::hang, false);  // the left thread ends on its own
    ASSERT_TRUE(eventually([&] { return rig.table->size() == 2; }));
    std::this_thread::sleep_for(50ms);
}

TEST(StnDeliver, ShipCountsNewAndHeldAndVerifyNamesEveryDifference) {
    auto disk = std::make_shared<Disk>();
    auto table = std::make_shared<Table>();
    disk->append(lines(1, 6));
    MemFiles files(disk);
    FakeDb db(table);
    std::uint64_t added = 0, held = 0;
    std::string why;
    ASSERT_TRUE(stn_ship(&files, &db, "bench", &added, &held, &why)) << why;
    EXPECT_EQ(added, 6u);
    EXPECT_EQ(held, 0u);
    disk->append(lines(7, 7));
    ASSERT_TRUE(stn_ship(&files, &db, "bench", &added, &held, &why)) << why;
    EXPECT_EQ(added, 1u);
    EXPECT_EQ(held, 6u);

    StnVerifyDb v;
    ASSERT_TRUE(stn_verify_db(&files, &db, &v, &why)) << why;
    EXPECT_TRUE(v.ok());
    EXPECT_EQ(v.lines, 7u);
    EXPECT_EQ(v.rows, 7u);

    // Line 3 changed, line 5 removed, a line appended that was never sent.
    {
        std::lock_guard<std::mutex> lock(disk->mu);
        disk->report = line(1) + "\n" + line(2) + "\n" + line(33) + "\n" + line(4) + "\n" +
                       line(6) + "\n" + line(7) + "\n" + line(8) + "\n";
    }
    ASSERT_TRUE(stn_verify_db(&files, &db, &v, &why)) << why;
    EXPECT_FALSE(v.ok());
    EXPECT_EQ(v.changed, (std::vector<std::uint64_t>{3}));
    EXPECT_EQ(v.missing, (std::vector<std::uint64_t>{7}));
    EXPECT_EQ(v.not_in_file, (std::vector<std::uint64_t>{5}));

    // A changed first line changes the file's identity; the database's
    // is found through the lines after it.
    {
        std::lock_guard<std::mutex> lock(disk->mu);
        disk->report = line(99) + "\n" + lines(2, 7);
    }
    ASSERT_TRUE(stn_verify_db(&files, &db, &v, &why)) << why;
    EXPECT_EQ(v.changed, (std::vector<std::uint64_t>{1}));
    EXPECT_TRUE(v.missing.empty());
    EXPECT_TRUE(v.not_in_file.empty());
}

TEST(StnDeliver, ThePasswordNeverShows) {
    struct Case {
        const char *cs, *redacted;
    };
    const Case cases[] = {
        {"Driver={PostgreSQL Unicode};Server=h;Uid=u;Pwd=s3cret;", "Driver={PostgreSQL Unicode};Server=h;Uid=u;Pwd=***;"},
        {"DSN=line;PASSWORD=s3cret", "DSN=line;PASSWORD=***"},
        {"Server=h; password = {a;b}}c};Uid=u", "Server=h; password =***;Uid=u"},
        {"Driver={ODBC Driver 18 for SQL Server};Server=s;Trusted_Connection=yes;",
         "Driver={ODBC Driver 18 for SQL Server};Server=s;Trusted_Connection=yes;"},
        {"pwd=", "pwd=***"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(stn_db_redact(c.cs), c.redacted) << c.cs;
    }
    EXPECT_EQ(stn_db_redact_in("login s3cret refused", cases[0].cs), "login *** refused");
    EXPECT_EQ(stn_db_redact_in("a;b}c wrong", cases[2].cs), "*** wrong");
}

}  // namespace
