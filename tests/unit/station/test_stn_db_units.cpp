// The unit lines from the database (stn_db_units) over a stand-in StnSql:
// the parameters bound against the SQL's placeholders for every filter,
// and how rows become lines. The SQL itself runs against PostgreSQL in the
// end-to-end tests.
#include <gtest/gtest.h>

#include <algorithm>

#include "stn_db_units.h"

namespace {

class FakeSql : public StnSql {
public:
    bool query(const std::string &text, const std::vector<std::string> &bound,
               const std::function<void(const std::vector<StnSqlValue> &)> &row,
               std::string *why) override {
        sql = text;
        params = bound;
        for (const auto &r : rows) row(r);
        if (fail) *why = "relation missing [42P01]";
        return !fail;
    }
    std::string sql;
    std::vector<std::string> params;
    std::vector<std::vector<StnSqlValue>> rows;
    bool fail = false;
};

StnSqlValue text(const std::string &t) { return StnSqlValue{false, t}; }
const StnSqlValue kNull{};

}  // namespace

TEST(StnDbUnits, BindsOneParameterPerPlaceholderForEachFilter) {
    struct Case {
        const char *name;
        StnFigureFilter filter;
        std::vector<std::string> tail;  // after the two believed bounds
    };
    StnFigureFilter stations, order, window, all;
    stations.stations = {"A", "B"};
    order.by_order = true;
    order.order = "WO-1";
    window.from_ms = 1000;
    window.to_ms = 2000;
    all = stations;
    all.by_order = true;
    all.order = "";
    all.from_ms = 5;
    const Case cases[] = {
        {"none", StnFigureFilter{}, {}},
        {"stations", stations, {"A", "B"}},
        {"order", order, {"WO-1"}},
        {"window", window, {"1000", "2000"}},
        {"all", all, {"A", "B", "", "5", std::to_string(INT64_MAX)}},
    };
    for (const Case &c : cases) {
        FakeSql db;
        std::uint64_t rows = 0;
        std::string why;
        ASSERT_TRUE(stn_db_units(&db, c.filter, 1700000000000LL,
                                 [](const StnReportLine &, std::uint64_t) {}, &rows, &why))
            << c.name;
        std::vector<std::string> want = {std::to_string(kStnEarliestMs),
                                         std::to_string(1700000000000LL + 24 * 3600000LL)};
        want.insert(want.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(db.params, want) << c.name;
        EXPECT_EQ(static_cast<std::size_t>(std::count(db.sql.begin(), db.sql.end(), '?')),
                  db.params.size())
            << c.name << ": " << db.sql;
    }
}

TEST(StnDbUnits, ReadsEachRowAsAReportLineWithItsStationAndAttempt) {
    FakeSql db;
    db.rows = {
        {text(R"({"type":"unit","time":"2026-12-08T10:00:00Z","serial":7,"result":"failed",)"
              R"("failure":"unplugged","station":"A"})"),
         text("A"), text("1")},
        // No station in the line: the row's (the station that delivered it).
        {text(R"({"type":"unit","time":"2026-12-08T10:01:00Z","serial":7,"result":"updated"})"),
         text("B"), text("2")},
        {text(R"({"type":"unit","time":"2026-12-08T10:02:00Z","result":"failed"})"), kNull,
         text("0")},
        // Not a unit line the reader takes: counted as read, not handed over.
        {text("{not json"), text("C"), text("0")},
    };
    std::vector<std::pair<StnReportLine, std::uint64_t>> got;
    std::uint64_t rows = 0;
    std::string why;
    ASSERT_TRUE(stn_db_units(&db, StnFigureFilter{}, 0,
                             [&](const StnReportLine &l, std::uint64_t a) { got.emplace_back(l, a); },
                             &rows, &why));
    EXPECT_EQ(rows, 4u);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].first.station, "A");
    EXPECT_EQ(got[0].first.failure, StnFailure::kUnplugged);
    EXPECT_EQ(got[0].second, 1u);
    EXPECT_EQ(got[1].first.station, "B");
    EXPECT_EQ(got[1].first.outcome, StnOutcome::kUpdated);
    EXPECT_EQ(got[1].second, 2u);
    EXPECT_EQ(got[2].first.station, "");
    EXPECT_FALSE(got[2].first.has_serial);
    EXPECT_EQ(got[2].second, 0u);
    // Without a clock the latest believed time is open.
    EXPECT_EQ(db.params[1], std::to_string(INT64_MAX));

    FakeSql broken;
    broken.fail = true;
    EXPECT_FALSE(stn_db_units(&broken, StnFigureFilter{}, 0,
                              [](const StnReportLine &, std::uint64_t) {}, &rows, &why));
    EXPECT_EQ(why, "relation missing [42P01]");
}
