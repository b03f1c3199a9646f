// A report file in memory that records every operation that changes it,
// hands its bytes over in chunks as small as a test likes, and can be told
// to fail one kind of operation. Its operations take a lock, so that a
// test may look at the bytes (copy()) while the station's workers append.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "stn_report.h"

namespace cli_test {

// bytes with every line's chain fields taken off (what was handed to the
// report's writer), for tests about what lines say.
inline std::string unchained(const std::string &bytes) {
    std::string out;
    std::size_t from = 0;
    while (from < bytes.size()) {
        std::size_t end = bytes.find('\n', from);
        if (end == std::string::npos) end = bytes.size();
        out += stn_chain_body(bytes.substr(from, end - from));
        if (end < bytes.size()) out += '\n';
        from = end + 1;
    }
    return out;
}

class MemStore : public StnReportStore {
public:
    std::string bytes;                 // the file
    std::string aside;                 // the file beside it
    std::string spilled;               // the spill
    bool spill_retired = false;
    // "append", "flush", "truncate N", "aside N", "spill", "retire"
    std::vector<std::string> ops;
    std::string fail;                  // an op name that fails ("read" too)
    std::size_t read_chunk = 0;        // most bytes one read hands over; 0: all asked
    std::function<void()> on_flush;    // runs inside every flush
    unsigned fail_flush_at = 0;        // this flush (1 = the first) and later ones fail
    unsigned flushes = 0;
    mutable std::recursive_mutex mu;

    std::string copy() const {
        std::lock_guard<std::recursive_mutex> lock(mu);
        return bytes;
    }

    bool read(std::uint64_t offset, char *buf, std::size_t n, std::size_t *got) override {
        std::lock_guard<std::recursive_mutex> lock(mu);
        *got = 0;
        if (fail == "read") return false;
        if (offset >= bytes.size()) return true;
        if (read_chunk != 0 && n > read_chunk) n = read_chunk;
        *got = std::min<std::size_t>(n, bytes.size() - static_cast<std::size_t>(offset));
        std::memcpy(buf, bytes.data() + offset, *got);
        return true;
    }
    bool append(const std::string &b) override { return add_to(&bytes, "append", b); }
    bool flush() override {
        std::lock_guard<std::recursive_mutex> lock(mu);
        ops.push_back("flush");
        if (on_flush) on_flush();
        ++flushes;
        if (fail_flush_at != 0 && flushes >= fail_flush_at) return false;
        return fail != "flush";
    }
    bool truncate(std::uint64_t size) override {
        std::lock_guard<std::recursive_mutex> lock(mu);
        ops.push_back("truncate " + std::to_string(size));
        if (fail == "truncate") return false;
        bytes.resize(static_cast<std::size_t>(size));
        return true;
    }
    bool set_aside(std::uint64_t from) override {
        std::lock_guard<std::recursive_mutex> lock(mu);
        ops.push_back("aside " + std::to_string(from));
        if (fail == "aside") return false;
        aside += bytes.substr(static_cast<std::size_t>(from));
        return true;
    }
    bool spill(const std::string &b, std::string *where) override {
        *where = "spill.jsonl";
        return add_to(&spilled, "spill", b);
    }
    bool read_spill(std::string *out) override {
        std::lock_guard<std::recursive_mutex> lock(mu);
        *out = spilled;
        return fail != "read";
    }
    bool retire_spill() override {
        std::lock_guard<std::recursive_mutex> lock(mu);
        ops.push_back("retire");
        if (fail == "retire") return false;
        spilled.clear();
        spill_retired = true;
        return true;
    }

private:
    // Records the operation op, then adds b to *to unless op is to fail.
    bool add_to(std::string *to, const char *op, const std::string &b) {
        std::lock_guard<std::recursive_mutex> lock(mu);
        ops.push_back(op);
        if (fail == op) return false;
        *to += b;
        return true;
    }
};

}  // namespace cli_test
