// Ship and verify (qvm_cli report --database, --verify --database): a
// whole report into the database at once, and the database's rows checked
// against the file. On the caller's thread.
#include "stn_deliver.h"

#include <algorithm>
#include <iterator>
#include <map>

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

// The report as the database knows it: by the keys of its first lines
// (a changed first line changes the file's own identity). src: the file.
bool known_report(StnLineSource *src, StnDatabase *db, std::string *report_id, std::string *why) {
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

// A number in both lists (missing, not in the file) is a line changed in
// the file: taken out of both into changed.
void split_changed(StnVerifyDb *out) {
    std::vector<std::uint64_t> missing, gone;
    std::set_intersection(out->missing.begin(), out->missing.end(), out->not_in_file.begin(),
                          out->not_in_file.end(), std::back_inserter(out->changed));
    std::set_difference(out->missing.begin(), out->missing.end(), out->changed.begin(),
                        out->changed.end(), std::back_inserter(missing));
    std::set_difference(out->not_in_file.begin(), out->not_in_file.end(), out->changed.begin(),
                        out->changed.end(), std::back_inserter(gone));
    out->missing.swap(missing);
    out->not_in_file.swap(gone);
}

}  // namespace

bool stn_verify_db(StnDeliverFiles *files, StnDatabase *db, StnVerifyDb *out, std::string *why) {
    *out = StnVerifyDb();
    if (!db->connect(why)) {
        *why = "cannot connect: " + *why;
        return false;
    }
    StnLineSource src(files, "");
    if (!known_report(&src, db, &out->report_id, why)) return false;
    std::map<std::string, std::uint64_t> rows;  // key -> seq
    if (!db->held(out->report_id, [&](std::uint64_t seq, const std::string &key) {
            rows.emplace(key, seq);
        }, why)) {
        return false;
    }
    out->rows = rows.size();
    src.seek(0, 0, "");
    std::uint64_t end = 0;
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
    split_changed(out);
    return true;
}
