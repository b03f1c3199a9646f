#include "stn_db_figures.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <set>

#include "stn_db_where.h"
#include "stn_tally.h"
#include "stn_text.h"

namespace {

using stn_db::Sql;
using stn_db::Where;

constexpr std::int64_t kQuarterMs = 15 * 60000;

using Row = std::vector<StnSqlValue>;

bool to_int(const StnSqlValue &v, std::int64_t *out) {
    if (v.null || v.text.empty()) return false;
    errno = 0;
    char *end = nullptr;
    const long long n = std::strtoll(v.text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *out = n;
    return true;
}

// Runs q; each row to take, which says false for a row that cannot be.
class Runner {
public:
    Runner(StnSql *db, StnDbFiguresInfo *info, std::string *why) : db_(db), info_(info), why_(why) {}
    bool run(const char *what, const Sql &q, std::size_t columns,
             const std::function<bool(const Row &)> &take) {
        ++info_->queries;
        bool ok = true;
        const bool ran = db_->query(q.text, q.params, [&](const Row &r) {
            ++info_->rows;
            if (ok && (r.size() != columns || !take(r))) ok = false;
        }, why_);
        if (!ran) {
            *why_ = std::string("the ") + what + " query failed: " + *why_;
            return false;
        }
        if (!ok) *why_ = std::string("the ") + what + " query answered a row that cannot be";
        return ok;
    }

private:
    StnSql *db_;
    StnDbFiguresInfo *info_;
    std::string *why_;
};

bool outcome_of(const std::string &word, StnOutcome *out) {
    for (StnOutcome o : {StnOutcome::kUpdated, StnOutcome::kCurrent, StnOutcome::kFailed,
                         StnOutcome::kInterrupted, StnOutcome::kRejected}) {
        if (word == stn_outcome_name(o)) {
            *out = o;
            return true;
        }
    }
    return false;
}

int failure_index(const std::string &word) {
    for (int k = 1; k < kStnFailureKinds; ++k) {
        if (word == stn_failure_name(static_cast<StnFailure>(k))) return k;
    }
    return static_cast<int>(StnFailure::kOther);
}

// The unit lines that count, for the two queries over serials.
void units_of(Sql &q, const Where &w, const char *more) {
    q << "WITH u AS (SELECT COALESCE(l.station, '') AS st, COALESCE(l.work_order, '') AS ord, "
         "l.result AS res, l.failure AS fk, COALESCE(l.recovered, 0) AS rec, l.serial AS ser, "
         "l.report_id AS rid, l.seq AS seq, ";
    w.time(q);
    q << " AS t FROM qvm_report_line l WHERE l.line_kind = 'unit'" << more;
    w.stations(q);
    w.order(q);
    w.window(q);
    q << ")";
}

// Units by station, order, quarter hour, result, kind; with whether each
// is a first pass (the earliest of its serial that is not a rejection).
bool units(Runner &r, const Where &w, StnFigures *out) {
    Sql q;
    units_of(q, w, "");
    q << ", f AS (SELECT u.*, ROW_NUMBER() OVER (PARTITION BY u.ser, "
         "CASE WHEN u.res = 'rejected' THEN 1 ELSE 0 END "
         "ORDER BY CASE WHEN u.t IS NULL THEN 1 ELSE 0 END, u.t, u.rid, u.seq) AS n FROM u) "
         "SELECT st, ord, q, res, fk, rec, unid, fp, COUNT(*) FROM ("
         "SELECT st, ord, t / 900000 AS q, res, fk, rec, "
         "CASE WHEN ser IS NULL AND res = 'failed' THEN 1 ELSE 0 END AS unid, "
         "CASE WHEN ser IS NULL AND res = 'failed' THEN 1 "
         "WHEN ser IS NOT NULL AND n = 1 AND res <> 'rejected' AND res <> 'current' THEN 1 "
         "ELSE 0 END AS fp FROM f) g GROUP BY st, ord, q, res, fk, rec, unid, fp";
    return r.run("units", q, 9, [&](const Row &row) {
        StnOutcome o;
        std::int64_t rec = 0, unid = 0, fp = 0, n = 0, quarter = 0;
        if (row[3].null || !outcome_of(row[3].text, &o) || !to_int(row[5], &rec) ||
            !to_int(row[6], &unid) || !to_int(row[7], &fp) || !to_int(row[8], &n) || n < 0) {
            return false;
        }
        const bool timed = !row[2].null;
        if (timed && !to_int(row[2], &quarter)) return false;
        const auto count = static_cast<std::uint64_t>(n);
        StnTimeline::Slot s;
        s.units = count;
        // stn_count picks the result's counter; a group adds its count there.
        std::uint64_t *by_result[] = {&s.updated, &s.current, &s.failed, &s.interrupted,
                                      &s.rejected};
        std::uint64_t ones[5] = {};
        stn_count(o, ones[0], ones[1], ones[2], ones[3], ones[4]);
        for (int i = 0; i < 5; ++i) *by_result[i] = ones[i] * count;
        if (fp != 0) {
            s.first_tried = count;
            if (o == StnOutcome::kUpdated) s.first_passed = count;
        }
        out->units += count;
        out->updated += s.updated;
        out->current += s.current;
        out->failed += s.failed;
        out->interrupted += s.interrupted;
        out->rejected += s.rejected;
        out->first_tried += s.first_tried;
        out->first_passed += s.first_passed;
        if (rec != 0) out->recovered += count;
        if (unid != 0) out->unidentified_failed += count;
        if (o == StnOutcome::kFailed) {
            out->failures[row[4].null ? static_cast<int>(StnFailure::kOther)
                                      : failure_index(row[4].text)] += count;
        }
        for (StnGroupFigures *g : {&out->stations[row[0].text], &out->orders[row[1].text]}) {
            g->units += s.units;
            g->updated += s.updated;
            g->current += s.current;
            g->failed += s.failed;
            g->interrupted += s.interrupted;
            g->rejected += s.rejected;
            g->first_tried += s.first_tried;
            g->first_passed += s.first_passed;
        }
        if (timed) out->timeline.add_slot(quarter * kQuarterMs, s);
        return true;
    });
}

// Serials whose latest line (not a rejection) is neither updated nor current.
bool not_at_image(Runner &r, const Where &w, StnFigures *out) {
    Sql q;
    units_of(q, w, " AND l.serial IS NOT NULL AND l.result <> 'rejected'");
    q << " SELECT ser FROM (SELECT ser, res, ROW_NUMBER() OVER (PARTITION BY ser "
         "ORDER BY CASE WHEN t IS NULL THEN 1 ELSE 0 END DESC, t DESC, rid DESC, seq DESC) AS n "
         "FROM u) x WHERE n = 1 AND res <> 'updated' AND res <> 'current' ORDER BY ser";
    return r.run("serials", q, 1, [&](const Row &row) {
        std::int64_t s = 0;
        if (!to_int(row[0], &s)) return false;
        out->not_at_image.push_back(s);
        return true;
    });
}

// The runs, report by report in line order: one row per segment (a run,
// or its part between two clock jumps or steps back) with its span, and
// the halts within. The segments are islands: a new one starts at an open
// or clock line, and at a start or unit line after a stop, after a run
// line without a believed time, or earlier than the line before it.
bool runs(Runner &r, const Where &w, const StnFigureFilter &f, StnFigures *out) {
    Sql q;
    // b: the run and activity lines; h: the line stops. Each read once, so
    // that neither is materialized whole.
    const auto lines = [&](bool halts) {
        q << "SELECT l.report_id AS rid, l.seq AS seq, "
             "CASE WHEN l.line_kind = 'run' THEN l.run_event WHEN l.line_kind = 'halt' "
             "THEN 'halt' ELSE 'act' END AS k, ";
        w.time(q);
        q << " AS t, l.was_ms AS was, CASE WHEN l.work_order IS NULL THEN 0 ELSE 1 END AS hasord, ";
        if (f.by_order) {
            q << "CASE WHEN l.work_order = ";
            q.text_param(f.order) << " THEN 1 ELSE 0 END";
        } else {
            q << "0";
        }
        if (halts) {
            q << " AS ordv FROM qvm_report_line l WHERE (l.line_kind = 'halt'";
            w.window(q);
            q << ")";
        } else {
            q << " AS ordv FROM qvm_report_line l WHERE (l.line_kind = 'run' OR "
                 "(l.line_kind IN ('start', 'unit') AND COALESCE(l.recovered, 0) = 0 AND ";
            w.believed(q);
            w.order(q);
            q << "))";
        }
        w.stations(q);
    };
    q << "WITH b AS (";
    lines(false);
    q << "), h AS (";
    lines(true);
    // tl: each line with whether it begins a segment (brk) and whether it
    // is a second stop in a row (idle). Of a row of activity lines in time
    // order only the first and the last can matter (where the segment
    // begins, how far it reaches): the ones between are left out here, so
    // that what follows works on a few rows per run, not on every line.
    q << "), tl AS (SELECT rid, seq, k, t, was, hasord, ordv, brk, idle FROM ("
         "SELECT x.*, CASE WHEN k IN ('open', 'clock') THEN 1 "
         "WHEN k = 'act' AND (pk IS NULL OR pk = 'stop' OR pt IS NULL OR t < pt) THEN 1 "
         "ELSE 0 END AS brk, CASE WHEN k = 'stop' AND pk = 'stop' THEN 1 ELSE 0 END AS idle "
         "FROM (SELECT b.*, LAG(k) OVER (PARTITION BY rid ORDER BY seq) AS pk, "
         "LAG(t) OVER (PARTITION BY rid ORDER BY seq) AS pt, "
         "LEAD(k) OVER (PARTITION BY rid ORDER BY seq) AS xk, "
         "LEAD(t) OVER (PARTITION BY rid ORDER BY seq) AS xt FROM b) x) y "
         "WHERE k <> 'act' OR brk = 1 OR xk IS NULL OR xk <> 'act' OR xt < t "
         "UNION ALL SELECT rid, seq, k, t, was, hasord, ordv, 0, 0 FROM h), "
         // seg: the segment a line falls in; nr: a line that begins a run's
         // order anew (an open line, or the first after a stop).
         "s1 AS (SELECT tl.*, SUM(brk) OVER (PARTITION BY rid ORDER BY seq "
         "ROWS UNBOUNDED PRECEDING) AS seg, CASE WHEN k = 'open' OR "
         "LAG(k) OVER (PARTITION BY rid ORDER BY seq) = 'stop' THEN 1 ELSE 0 END AS nr FROM tl), "
         "s2 AS (SELECT s1.*, SUM(nr) OVER (PARTITION BY rid ORDER BY seq "
         "ROWS UNBOUNDED PRECEDING) AS rn FROM s1), "
         // kn: the run's order so far, of its latest run line naming one, as
         // its number * 2 + (1 when it is the order asked); stops: the
         // segment's stop lines so far.
         "s3 AS (SELECT s2.*, MAX(CASE WHEN k IN ('open', 'clock', 'stop') AND hasord = 1 "
         "THEN seq * 2 + ordv END) OVER (PARTITION BY rid, rn ORDER BY seq "
         "ROWS UNBOUNDED PRECEDING) AS kn, SUM(CASE WHEN k = 'stop' THEN 1 ELSE 0 END) "
         "OVER (PARTITION BY rid, seg ORDER BY seq ROWS UNBOUNDED PRECEDING) AS stops FROM s2), "
         "g AS (SELECT rid, seg, MAX(CASE WHEN brk = 1 THEN t END) AS fr, "
         "MAX(CASE WHEN brk = 1 THEN k END) AS hk, MAX(CASE WHEN brk = 1 THEN was END) AS hw, "
         "MAX(CASE WHEN k <> 'halt' AND idle = 0 THEN t END) AS tt, "
         "MAX(CASE WHEN k = 'stop' THEN 1 ELSE 0 END) AS stopped, "
         "MAX(CASE WHEN k <> 'halt' AND idle = 0 THEN kn END) AS ckn, "
         "MAX(CASE WHEN k = 'act' THEN 1 ELSE 0 END) AS acts, "
         "SUM(CASE WHEN k = 'halt' THEN 1 ELSE 0 END) AS h_all, "
         "SUM(CASE WHEN k = 'halt' AND ((hasord = 1 AND ordv = 1) OR "
         "(hasord = 0 AND kn % 2 = 1)) THEN 1 ELSE 0 END) AS h_known, "
         "SUM(CASE WHEN k = 'halt' AND hasord = 0 AND kn IS NULL AND stops = 0 THEN 1 ELSE 0 END) "
         "AS h_pend FROM s3 GROUP BY rid, seg) "
         "SELECT fr, tt, stopped, nk, nw, ckn % 2, acts, h_all, h_known, h_pend FROM ("
         "SELECT g.*, LEAD(hk) OVER (PARTITION BY rid ORDER BY seg) AS nk, "
         "LEAD(hw) OVER (PARTITION BY rid ORDER BY seg) AS nw FROM g) z "
         "WHERE fr IS NOT NULL OR h_all > 0";
    return r.run("runs", q, 10, [&](const Row &row) {
        std::int64_t stopped = 0, acts = 0, h_all = 0, h_known = 0, h_pend = 0;
        if (!to_int(row[2], &stopped) || !to_int(row[6], &acts) || !to_int(row[7], &h_all) ||
            !to_int(row[8], &h_known) || !to_int(row[9], &h_pend)) {
            return false;
        }
        bool counts = true;
        if (f.by_order) {
            std::int64_t known = 0;
            counts = row[5].null ? acts != 0 : (to_int(row[5], &known) && known == 1);
        }
        out->halts += static_cast<std::uint64_t>(f.by_order ? h_known : h_all);
        if (row[0].null) return true;
        std::int64_t from = 0, to = 0;
        if (!to_int(row[0], &from) || !to_int(row[1], &to)) return false;
        // Lines stamped after a jump but before the station saw it carry the
        // new time: the segment ends where the old clock stood.
        std::int64_t was = 0;
        if (stopped == 0 && !row[3].null && row[3].text == "clock" && to_int(row[4], &was) &&
            was >= from && was < to) {
            to = was;
        }
        if (!counts) return true;
        if (f.by_order) out->halts += static_cast<std::uint64_t>(h_pend);
        from = std::max(from, f.from_ms);
        to = std::min(to, f.to_ms);
        if (from < to) {
            out->running_ms += static_cast<std::uint64_t>(to - from);
            out->timeline.add_running(from, to);
        }
        return true;
    });
}

// Each UTC offset of the run lines with its earliest line.
bool offsets(Runner &r, const Where &w, StnFigures *out) {
    Sql q;
    q << "SELECT o FROM (SELECT l.utc_offset AS o, ";
    w.time(q);
    q << " AS t, l.report_id AS rid, l.seq AS seq, ROW_NUMBER() OVER (PARTITION BY l.utc_offset "
         "ORDER BY CASE WHEN ";
    w.believed(q);
    q << " THEN 0 ELSE 1 END, ";
    w.time(q);
    q << ", l.report_id, l.seq) AS n FROM qvm_report_line l WHERE l.line_kind = 'run' AND "
         "l.utc_offset IS NOT NULL";
    w.stations(q);
    q << ") x WHERE n = 1 ORDER BY CASE WHEN t IS NULL THEN 1 ELSE 0 END, t, rid, seq";
    return r.run("offsets", q, 1, [&](const Row &row) {
        if (row[0].null) return false;
        if (out->utc_offsets.size() < 16) out->utc_offsets.push_back(row[0].text);
        return true;
    });
}

// The stations found, and the lines of each whose time cannot be right.
bool stations(Runner &r, const Where &w, StnFigures *out, StnDbFiguresInfo *info) {
    Sql q;
    q << "SELECT COALESCE(l.station, ''), SUM(CASE WHEN l.line_ms IS NOT NULL AND ";
    w.not_believed(q);
    q << " AND (l.line_kind = 'run' OR (l.line_kind IN ('start', 'unit')";
    w.order(q);
    q << ")) THEN 1 ELSE 0 END) FROM qvm_report_line l WHERE 1 = 1";
    w.stations(q);
    q << " GROUP BY COALESCE(l.station, '')";
    std::set<std::string> names;
    const bool ok = r.run("stations", q, 2, [&](const Row &row) {
        std::int64_t bad = 0;
        if (!to_int(row[1], &bad) || bad < 0) return false;
        out->bad_times += static_cast<std::uint64_t>(bad);
        names.insert(row[0].text);
        return true;
    });
    info->stations.assign(names.begin(), names.end());
    return ok;
}

}  // namespace

bool stn_db_figures(StnSql *db, const StnFigureFilter &filter, std::int64_t now_ms,
                    StnFigures *out, StnDbFiguresInfo *info, std::string *why) {
    *out = StnFigures();
    StnDbFiguresInfo own;
    if (info == nullptr) info = &own;
    *info = StnDbFiguresInfo();
    std::string ignored;
    if (why == nullptr) why = &ignored;
    const Where w(filter, now_ms);
    Runner r(db, info, why);
    return stations(r, w, out, info) && units(r, w, out) && not_at_image(r, w, out) &&
           runs(r, w, filter, out) && offsets(r, w, out);
}
