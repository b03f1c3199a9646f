// A report file in memory that records every operation that changes it,
// hands its bytes over in chunks as small as a test likes, and can be told
// to fail one kind of operation. Its operations take a lock, so that a
// test may look at the bytes (copy()) while the station's workers append.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "stn_report.h"
#include "stn_spill.h"

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

// The machine's spill folder in memory, shared by the stores of a test (as
// every station of a machine shares its folder).
class MemSpillFolder : public StnSpillFolder {
public:
    std::map<std::string, std::string> files;
    std::string fail;  // "append", "read", "rename", "list" fails
    mutable std::mutex mu;

    bool list(std::vector<std::string> *names) override {
        std::lock_guard<std::mutex> lock(mu);
        names->clear();
        for (const auto &f : files) names->push_back(f.first);
        return fail != "list";
    }
    bool read(const std::string &name, std::string *out, bool *found) override {
        std::lock_guard<std::mutex> lock(mu);
        auto it = files.find(name);
        *found = it != files.end();
        *out = *found ? it->second : std::string();
        return fail != "read";
    }
    bool append(const std::string &name, const std::string &b) override {
        std::lock_guard<std::mutex> lock(mu);
        if (fail == "append") return false;
        files[name] += b;
        return true;
    }
    bool rename(const std::string &from, const std::string &to) override {
        std::lock_guard<std::mutex> lock(mu);
        auto it = files.find(from);
        if (fail == "rename" || it == files.end()) return false;
        files[to] = it->second;
        files.erase(from);
        return true;
    }
    std::string where(const std::string &name) const override { return "spill/" + name; }
};

class MemStore : public StnReportStore {
public:
    std::string bytes;                 // the file
    std::string aside;                 // the file beside it
    // The spill. With a folder, kept there under the report's identity and
    // path (as the program keeps it); without, in spilled: this report's
    // spill whatever its identity, for tests that hand it on by hand.
    std::shared_ptr<MemSpillFolder> spill_folder;
    std::string path = "report.jsonl";
    std::string spilled;
    bool spill_retired = false;
    std::string report_id;             // as the report told it
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
    void identify(const std::string &id) override {
        std::lock_guard<std::recursive_mutex> lock(mu);
        report_id = id;
    }
    bool spill(const std::string &b, std::string *where) override {
        std::lock_guard<std::recursive_mutex> lock(mu);
        if (report_id.empty()) return false;
        if (spill_folder == nullptr) {
            *where = "spill.jsonl";
            return add_to(&spilled, "spill", b);
        }
        ops.push_back("spill");
        return fail != "spill" && stn_spill_keep(spill_folder.get(), report_id, path, b, where);
    }
    bool read_spill(const std::string &id, std::string *out) override {
        std::lock_guard<std::recursive_mutex> lock(mu);
        if (spill_folder == nullptr) {
            *out = spilled;
            return fail != "read";
        }
        return fail != "read" && stn_spill_read(spill_folder.get(), id, out);
    }
    bool retire_spill(const std::string &id) override {
        std::lock_guard<std::recursive_mutex> lock(mu);
        ops.push_back("retire");
        if (fail == "retire") return false;
        spill_retired = true;
        if (spill_folder == nullptr) {
            spilled.clear();
            return true;
        }
        return stn_spill_retire(spill_folder.get(), id, std::to_string(ops.size()));
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
