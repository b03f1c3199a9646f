// The factory's database as delivery's destination: every line a row, in
// one transaction per batch; after a cut, back to where the file and the
// rows held agree. On the delivery thread.
#include "stn_deliver.h"

#include "stn_deliver_parts.h"

using namespace stn_deliver_parts;

namespace {

// "lines 4, 5" of a list of numbers (at most a few, then how many more).
std::string line_numbers(const std::vector<std::uint64_t> &v) {
    std::string s = v.size() == 1 ? "line " : "lines ";
    for (std::size_t i = 0; i < v.size() && i < 5; ++i) {
        s += (i == 0 ? "" : ", ") + std::to_string(v[i]);
    }
    if (v.size() > 5) s += " and " + std::to_string(v.size() - 5) + " more";
    return s;
}

class DbDestination : public StnDestination {
public:
    explicit DbDestination(std::unique_ptr<StnDatabase> db) : db_(std::move(db)) {}

    // Connected and able to insert before anything else, so that a wrong
    // login shows at the start, not with the first line.
    bool ready(std::string *why) override {
        if (!connected_) {
            if (!db_->connect(why)) {
                *why = "cannot connect: " + *why;
                return false;
            }
            connected_ = true;
        }
        if (!checked_) {
            if (!db_->check(why)) return false;
            checked_ = true;
        }
        return true;
    }
    void drop() override {
        if (connected_) db_->disconnect();
        connected_ = checked_ = false;
    }
    // One transaction: all or nothing.
    bool put(const std::vector<StnDbRow> &rows, std::size_t *taken, std::size_t *added,
             std::string *why) override {
        *taken = 0;
        if (!db_->insert(rows, added, why)) return false;
        *taken = rows.size();
        return true;
    }
    void resume(StnDeliverFiles *files, std::uint64_t opened_at, StnLineSource *src) override {
        (void)opened_at;  // a report's every line goes to the database
        stn_deliver_parts::resume(files, src);
    }
    bool back(StnDeliverFiles *files, StnLineSource *src, std::string *notice,
              std::string *why) override {
        std::vector<std::uint64_t> gone;
        if (!walk_back(files, db_.get(), src->report_id(), src, &gone, why)) return false;
        if (!gone.empty()) {
            *notice = "the database holds " + std::to_string(gone.size()) +
                      (gone.size() == 1 ? " row" : " rows") + " the report no longer has (" +
                      line_numbers(gone) + ")";
        }
        return true;
    }
    std::string cursor_text(const StnLineSource &src) const override {
        StnDeliverCursor c;
        c.report_id = src.report_id();
        c.offset = src.offset();
        c.seq = src.seq();
        c.line_sha256 = src.last_key();
        return stn_cursor_text(c);
    }

private:
    std::unique_ptr<StnDatabase> db_;
    bool connected_ = false, checked_ = false;
};

}  // namespace

std::unique_ptr<StnDestination> stn_db_destination(std::unique_ptr<StnDatabase> db) {
    return std::unique_ptr<StnDestination>(new DbDestination(std::move(db)));
}
