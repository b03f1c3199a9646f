// The SQL of the figures' queries and of the unit lines (stn_db_figures,
// stn_db_units): texts with their `?` parameters, and the lines' conditions
// of a StnFigureFilter, written once. Internal to the query room.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stn_figures.h"
#include "stn_tally.h"

namespace stn_db {

// SQL text with its `?` parameters, appended in the order they stand.
struct Sql {
    std::string text;
    std::vector<std::string> params;
    Sql &operator<<(const std::string &s) {
        text += s;
        return *this;
    }
    Sql &text_param(const std::string &v) {
        text += "?";
        params.push_back(v);
        return *this;
    }
    Sql &int_param(std::int64_t v) {
        text += "CAST(? AS BIGINT)";
        params.push_back(std::to_string(v));
        return *this;
    }
};

// The lines' conditions, written once for every query.
class Where {
public:
    Where(const StnFigureFilter &f, std::int64_t now_ms) : f_(f) {
        latest_ = now_ms >= kStnEarliestMs ? now_ms + 24 * 3600000LL : INT64_MAX;
    }
    // l's station is one asked for (nothing when all are).
    void stations(Sql &q) const {
        if (f_.stations.empty()) return;
        q << " AND l.station IN (";
        for (std::size_t i = 0; i < f_.stations.size(); ++i) {
            if (i > 0) q << ", ";
            q.text_param(f_.stations[i]);
        }
        q << ")";
    }
    // l's time can be right.
    void believed(Sql &q) const {
        q << "(l.line_ms >= " << std::to_string(kStnEarliestMs) << " AND l.line_ms <= ";
        q.int_param(latest_) << ")";
    }
    void not_believed(Sql &q) const {
        q << "(l.line_ms < " << std::to_string(kStnEarliestMs) << " OR l.line_ms > ";
        q.int_param(latest_) << ")";
    }
    // l (a start or unit line) is of the order asked.
    void order(Sql &q) const {
        if (!f_.by_order) return;
        q << " AND COALESCE(l.work_order, '') = ";
        q.text_param(f_.order);
    }
    // l (a unit, start or halt line) is in the window.
    void window(Sql &q) const {
        if (!f_.windowed()) return;
        q << " AND ";
        believed(q);
        if (f_.from_ms != INT64_MIN) {
            q << " AND l.line_ms >= ";
            q.int_param(f_.from_ms);
        }
        if (f_.to_ms != INT64_MAX) {
            q << " AND l.line_ms < ";
            q.int_param(f_.to_ms);
        }
    }
    // l's believed time, else NULL.
    void time(Sql &q) const {
        q << "CASE WHEN ";
        believed(q);
        q << " THEN l.line_ms END";
    }

private:
    const StnFigureFilter &f_;
    std::int64_t latest_;
};

}  // namespace stn_db
