// Delivery to the database against a stand-in: the cursor (resumed, stale,
// lost between commit and save), a database that is away or hangs, lines
// still being written, --database-required, ship and verify, and the
// redaction of the password. What a real database does (timeouts, locks,
// Unicode, keys) is tested under Wine against PostgreSQL (tests/e2e/cli).
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "stn_deliver.h"
#include "stn_report.h"
#include "stn_test_db.h"
#include "stn_test_wait.h"

namespace {

using stn_test::eventually;
using stn_test::up_to_date;

using namespace std::chrono_literals;

using stn_test::sha;
using stn_test::Table;

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
    std::shared_ptr<cli_test::MemStore> store = std::make_shared<cli_test::MemStore>();
    std::shared_ptr<stn_test::Cursor> cursor = std::make_shared<stn_test::Cursor>();
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
            new StnDelivery(table->connect(), files(), config));
    }
    std::unique_ptr<StnDeliverFiles> files() {
        return std::unique_ptr<StnDeliverFiles>(new stn_test::Files(store, cursor));
    }
    void append(const std::string &bytes) { store->append(bytes); }
    std::string report() const { return store->copy(); }
    StnDeliverCursor saved() const {
        StnDeliverCursor c;
        stn_cursor_parse(cursor->text(), &c);
        return c;
    }
};

// The bytes of the first n lines of report.
std::size_t report_size(const std::string &report, int n) {
    std::size_t at = 0;
    while (n-- > 0) at = report.find('\n', at) + 1;
    return at;
}

// The last whole line of report, without its line end.
std::string last_line(const std::string &report) {
    const std::size_t begin = report.rfind('\n', report.size() - 2) + 1;
    return report.substr(begin, report.size() - 1 - begin);
}

// Every line of the report is in the table exactly once, with its number.
void expect_all_once(Rig &rig) { EXPECT_EQ(rig.table->every_line_once(rig.report()), ""); }

TEST(StnDeliver, DeliversInOrderAndResumesFromItsCursor) {
    Rig rig;
    rig.append(lines(1, 7));
    {
        auto d = rig.start();
        ASSERT_TRUE(eventually([&] { return up_to_date(*d); }));
        EXPECT_EQ(d->status().delivered, 7u);
        rig.append(lines(8, 9));
        d->wake();
        ASSERT_TRUE(eventually([&] { return d->status().delivered == 9; }));
        EXPECT_TRUE(d->finish(1000));
    }
    expect_all_once(rig);
    {
        auto rows = rig.table->rows();
        const std::vector<std::string> order = rig.table->order();
        for (std::size_t i = 0; i < order.size(); ++i) {
            EXPECT_EQ(rows[order[i]].seq, i + 1) << "out of order";
        }
        EXPECT_EQ(rows[sha(line(1))].station, rig.config.station);
        EXPECT_EQ(rows[sha(line(1))].type, "unit");
    }
    StnDeliverCursor c;
    ASSERT_TRUE(stn_cursor_parse(rig.cursor->text(), &c));
    EXPECT_EQ(c.seq, 9u);
    EXPECT_EQ(c.offset, rig.report().size());
    EXPECT_EQ(c.line_sha256, sha(line(9)));

    // A new start sends only what came after the cursor.
    rig.append(lines(10, 10));
    const std::uint64_t sent = rig.table->sent();
    auto d = rig.start();
    ASSERT_TRUE(eventually([&] { return up_to_date(*d) && d->status().delivered == 1; }));
    EXPECT_EQ(rig.table->sent(), sent + 1);
    expect_all_once(rig);
}

TEST(StnDeliver, AStaleOrLostCursorStartsOverAndTheKeyAbsorbsTheRest) {
    struct Case {
        const char *name;
        std::function<void(Rig &)> spoil;
    };
    const Case cases[] = {
        {"garbage", [](Rig &r) { r.cursor->put("not json"); }},
        {"another report",
         [](Rig &r) {
             StnDeliverCursor c = r.saved();
             c.report_id = sha("other");
             r.cursor->put(stn_cursor_text(c));
         }},
        {"past the end",
         [](Rig &r) {
             StnDeliverCursor c = r.saved();
             c.offset += 1000;
             r.cursor->put(stn_cursor_text(c));
         }},
        {"line before changed",
         [](Rig &r) {
             std::lock_guard<std::recursive_mutex> lock(r.store->mu);
             const std::size_t at = r.store->bytes.rfind("\"id\":4");
             r.store->bytes[at + 5] = '5';
         }},
        {"lost", [](Rig &r) { r.cursor->put("", false); }},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Rig rig;
        rig.append(lines(1, 4));
        {
            auto d = rig.start();
            ASSERT_TRUE(eventually([&] { return up_to_date(*d); }));
        }
        k.spoil(rig);
        rig.append(lines(5, 6));
        auto d = rig.start();
        ASSERT_TRUE(eventually([&] { return up_to_date(*d); }));
        const StnDeliverStatus s = d->status();
        EXPECT_EQ(s.delivered, 6u);  // from the start
        d->finish(1000);
        if (std::string(k.name) != "line before changed") expect_all_once(rig);
    }
}

// The process dies at an insert, before its commit or after it (before the
// cursor is saved): the dead delivery writes nothing more, and a new one
// from the files as they are leaves every line in the table once, at its
// number. A cursor saved ahead of its commit would lose the batch.
TEST(StnDeliver, AKillAtAnyInsertLosesNoLineAndSendsNoneTwice) {
    for (const bool after_commit : {false, true}) {
        for (std::uint64_t at = 1; at <= 3; ++at) {
            SCOPED_TRACE(std::string(after_commit ? "after" : "before") + " the commit of insert " +
                         std::to_string(at));
            Rig rig;
            rig.append(lines(1, 8));
            auto cursor = rig.cursor;
            rig.table->kill_at(at, after_commit, [cursor] { cursor->set_dead(true); });
            auto d = rig.start();
            ASSERT_TRUE(eventually([&] { return rig.table->inserts() >= at; }));
            d.reset();  // its calls fail from the kill on
            const std::uint64_t committed = (after_commit ? at : at - 1) * rig.config.batch;
            EXPECT_EQ(rig.table->size(), std::min<std::uint64_t>(committed, 8));
            rig.table->kill_at(0, false, nullptr);
            rig.cursor = std::make_shared<stn_test::Cursor>();  // the next process's
            rig.cursor->put(cursor->text(), cursor->has());
            rig.append(lines(9, 9));
            d = rig.start();
            ASSERT_TRUE(eventually([&] { return up_to_date(*d); }));
            d->finish(1000);
            expect_all_once(rig);
        }
    }
}

// The station's writer appends a start line whose flush fails, delivery
// looks, the writer cuts the line off and writes a longer unit line with
// the same number. Read only to the flushed size, the start is never sent;
// read to the file's end, it is sent, and the cut below the cursor takes
// delivery back: the unit line goes at its number, no fragment of it goes,
// and the row the report no longer has is named.
TEST(StnDeliver, ALineCutAfterAFailedFlushNeverShiftsTheRowsAfterIt) {
    for (const bool limited : {true, false}) {
        SCOPED_TRACE(limited ? "read to the flushed size" : "read to the end");
        Rig rig;
        auto flushed = std::make_shared<StnFlushed>();
        if (limited) rig.config.flushed = flushed;
        StnReport report(rig.store.get());
        report.publish_to(flushed);
        ASSERT_EQ(report.open("t"), StnReportOpen::kOk);
        const auto unit = [](int id) {
            return "{\"type\":\"unit\",\"time\":\"t\",\"id\":" + std::to_string(id) +
                   ",\"result\":\"updated\",\"serial\":\"SN" + std::to_string(id) + "\"}";
        };
        ASSERT_TRUE(report.write_line(unit(1)));
        ASSERT_TRUE(report.write_line(unit(2)));
        rig.store->fail_flush_at = rig.store->flushes + 1;
        ASSERT_FALSE(report.write_line("{\"type\":\"start\",\"time\":\"t\",\"id\":3}"));
        const std::string start = rig.report().substr(report_size(rig.report(), 2));
        auto d = rig.start();
        ASSERT_EQ(d->settle(5000).state, StnDeliverState::kUpToDate);
        EXPECT_EQ(rig.table->size(), limited ? 2u : 3u);

        rig.store->fail_flush_at = 0;
        ASSERT_TRUE(report.cut_back());
        ASSERT_TRUE(report.write_line(unit(3)));
        ASSERT_TRUE(report.write_line(unit(4)));
        d->wake();
        ASSERT_TRUE(eventually([&] { return up_to_date(*d) && rig.table->has(
                                                                sha(last_line(rig.report())));
        }));
        auto rows = rig.table->rows();
        if (!limited) {
            // The start line's row stays, named; every other row is a line.
            const std::string gone = sha(start.substr(0, start.size() - 1));
            ASSERT_EQ(rows.count(gone), 1u);
            EXPECT_EQ(rows[gone].seq, 3u);
            rig.table = std::make_shared<Table>();
            for (const auto &kv : rows) {
                if (kv.first != gone) rig.table->put(kv.second);
            }
            EXPECT_EQ(d->status().notice,
                      "the database holds 1 row the report no longer has (line 3)");
            EXPECT_EQ(stn_deliver_words(d->status()),
                      "up to date; the database holds 1 row the report no longer has (line 3)");
        } else {
            EXPECT_EQ(d->status().notice, "");
        }
        expect_all_once(rig);
        // The cursor stands on the last line again: a new start sends nothing.
        const StnDeliverCursor c = rig.saved();
        EXPECT_EQ(c.seq, 4u);
        EXPECT_EQ(c.offset, rig.report().size());
    }
}

TEST(StnDeliver, OnlyWholeLinesGoAndACarriageReturnIsNotPartOfTheLine) {
    Rig rig;
    rig.append(line(1) + "\r\n" + "{\"type\":\"unit\",\"id\":2");
    auto d = rig.start();
    ASSERT_TRUE(eventually([&] { return up_to_date(*d); }));
    EXPECT_EQ(rig.table->size(), 1u);
    EXPECT_TRUE(rig.table->has(sha(line(1))));
    rig.append(",\"station\":\"A\"}\n");
    d->wake();
    ASSERT_TRUE(eventually([&] { return rig.table->size() == 2; }));
    const StnDbRow r = rig.table->rows()[sha("{\"type\":\"unit\",\"id\":2,\"station\":\"A\"}")];
    EXPECT_EQ(r.seq, 2u);
    EXPECT_EQ(r.station, "A");  // the line's own name wins
}

TEST(StnDeliver, ADatabaseThatIsAwayLeavesLinesWaitingUntilItIsBack) {
    Rig rig;
    rig.table->set_down(true);
    rig.append(lines(1, 3));
    auto d = rig.start();
    const StnDeliverStatus first = d->settle(5000);
    EXPECT_EQ(first.state, StnDeliverState::kWaiting);
    EXPECT_EQ(first.waiting, 3u);
    EXPECT_EQ(stn_deliver_words(first), "3 lines waiting (cannot connect: server not there)");
    rig.append(lines(4, 4));
    d->wake();
    ASSERT_TRUE(eventually([&] { return d->status().waiting == 4; }));
    rig.table->set_down(false);
    ASSERT_TRUE(eventually([&] { return up_to_date(*d); }));
    EXPECT_EQ(stn_deliver_words(d->status()), "up to date");
    expect_all_once(rig);
}

TEST(StnDeliver, ALoginThatMayNotInsertIsSaidAtTheStart) {
    Rig rig;
    rig.table->set_refusing(true);
    auto d = rig.start();
    const StnDeliverStatus s = d->settle(5000);
    EXPECT_EQ(s.state, StnDeliverState::kWaiting);
    EXPECT_EQ(s.problem, "permission denied for table station_report");
}

TEST(StnDeliver, RequiredHoldsUnitsOnlyWhileLinesWaitedTooLong) {
    Rig rig;
    rig.config.required = true;
    rig.config.required_ms = 50;
    rig.table->set_down(true);
    auto d = rig.start();
    d->settle(5000);
    EXPECT_FALSE(d->may_take_units());  // never answered yet
    rig.table->set_down(false);
    ASSERT_TRUE(eventually([&] { return d->may_take_units(); }));  // nothing waits
    rig.table->set_down(true);
    rig.append(lines(1, 1));
    d->wake();
    ASSERT_TRUE(eventually([&] { return d->status().waiting == 1; }));
    ASSERT_TRUE(eventually([&] { return !d->may_take_units(); }));
    rig.table->set_down(false);
    ASSERT_TRUE(eventually([&] { return d->may_take_units(); }));

    Rig easy;  // without --database-required a long wait holds nothing
    easy.config.required_ms = 0;
    easy.table->set_down(true);
    easy.append(lines(1, 1));
    auto e = easy.start();
    e->settle(5000);
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(e->may_take_units());
}

TEST(StnDeliver, AHungDatabaseHoldsNeitherCallersNorTheEnd) {
    Rig rig;
    rig.table->set_deadline_ms(1000000);  // a lock no timeout ends
    rig.table->set_locked_ms(1000000);
    rig.append(lines(1, 2));
    auto d = rig.start();
    ASSERT_TRUE(eventually([&] { return d->status().waiting == 2; }));
    const auto t0 = std::chrono::steady_clock::now();
    d->wake();
    (void)d->status();
    (void)d->may_take_units();
    EXPECT_FALSE(d->finish(100));  // left behind
    d.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    rig.table->set_locked_ms(0);  // the left thread ends on its own
    ASSERT_TRUE(eventually([&] { return rig.table->size() == 2; }));
    std::this_thread::sleep_for(50ms);
}

TEST(StnDeliver, ShipCountsNewAndHeldAndVerifyNamesEveryDifference) {
    auto store = std::make_shared<cli_test::MemStore>();
    auto table = std::make_shared<Table>();
    store->append(lines(1, 6));
    stn_test::Files files(store, std::make_shared<stn_test::Cursor>());
    stn_test::Db db(table);
    std::uint64_t added = 0, held = 0;
    std::string why;
    ASSERT_TRUE(stn_ship(&files, &db, "bench", &added, &held, &why)) << why;
    EXPECT_EQ(added, 6u);
    EXPECT_EQ(held, 0u);
    store->append(lines(7, 7));
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
        std::lock_guard<std::recursive_mutex> lock(store->mu);
        store->bytes = line(1) + "\n" + line(2) + "\n" + line(33) + "\n" + line(4) + "\n" +
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
        std::lock_guard<std::recursive_mutex> lock(store->mu);
        store->bytes = line(99) + "\n" + lines(2, 7);
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
