// The one line reader (StnLineCutter, StnLineReader) and the one field
// reader (stn_fields.h), with delivery's rows made of them, against the
// readers they replaced (old_readers.h), over the report fuzz target's
// seeds and reports as the station writes them: every line, its offsets,
// every field, in chunks of every size.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "../cli/cli_test_store.h"
#include "old_readers.h"
#include "stn_chain.h"
#include "stn_deliver.h"
#include "stn_fields.h"
#include "stn_lines.h"
#include "stn_tally.h"
#include "stn_text.h"

namespace {

// The fuzz target's seeds: one input a line, in hex; its first byte picks
// the fuzz target's read size, the rest is the file.
std::vector<std::string> fuzz_seeds() {
    std::ifstream in(QVM_STN_REPORT_SEEDS);
    std::vector<std::string> out;
    std::string hex;
    while (std::getline(in, hex)) {
        std::string bytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        }
        if (!bytes.empty()) out.push_back(bytes.substr(1));
    }
    return out;
}

// Reports as the station writes them, and as copies and power cuts leave
// them: chained lines, a cut (a nested member), CR LF, a torn tail, zeros
// in front of a line end, a NUL inside a line, a line longer than a chunk.
std::vector<std::string> station_reports() {
    const std::string sha(64, 'a');
    std::string chained, prev = kStnEmptySha256;
    std::uint64_t seq = 0;
    StnCut cut;
    cut.bytes = 7;
    cut.sha256 = sha;
    const auto add = [&](const std::string &body, const StnCut *c) {
        const std::string line = stn_chain_line(body, ++seq, prev, c);
        prev = stn_line_sha256(line);
        chained += line + "\n";
    };
    add(stn_json_run("open", "2026-12-08T10:00:00.000Z", "LINE-3", "+01:00", "3.50", "WO-1"),
        nullptr);
    StnUnitResult r;
    r.device.index = 2;
    r.device.serial = -84600001;
    r.identified = true;
    for (std::uint64_t id = 1; id <= 3; ++id) {
        r.id = id;
        add(stn_json_start(r.device, id, "2026-12-08T10:00:0" + std::to_string(id) + ".000Z", sha),
            id == 2 ? &cut : nullptr);
        r.outcome = id == 2 ? StnOutcome::kFailed : StnOutcome::kUpdated;
        r.detail = id == 2 ? 0xE004 : 0;
        r.what = id == 2 ? "refused \"Zo\xC3\xAB\"" : "";
        add(stn_json_report(r, "2026-12-08T10:00:1" + std::to_string(id) + ".000Z", sha),
            nullptr);
    }
    std::string crlf;
    for (char c : chained) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return {chained,
            crlf,
            chained + "{\"type\":\"unit\",\"time\":\"2026",
            chained + std::string(9, '\0') + "\n",
            chained + "{\"type\":\"halt\",\"time\":\"x\0y\"}\n" + "{\"a\":1}\r\r\n",
            chained + "{\"type\":\"run\",\"message\":\"" + std::string(5000, 'x') + "\"}\n" +
                chained,
            std::string()};
}

std::vector<std::string> inputs() {
    std::vector<std::string> all = fuzz_seeds();
    for (std::string &r : station_reports()) all.push_back(std::move(r));
    return all;
}

// The lines split at every '\n' (the last one, when not empty, unended).
std::vector<std::string_view> split(const std::string &bytes) {
    std::vector<std::string_view> out;
    std::size_t from = 0;
    while (from < bytes.size()) {
        std::size_t end = bytes.find('\n', from);
        if (end == std::string::npos) end = bytes.size();
        out.push_back(std::string_view(bytes).substr(from, end - from));
        from = end + 1;
    }
    return out;
}

bool same(const StnLine &a, const StnLine &b) {
    return a.offset == b.offset && a.size == b.size && a.ended == b.ended &&
           a.whole == b.whole && a.text == b.text;
}

// The report in memory, handed over chunk bytes at a time (0: all asked).
class MemFiles : public StnDeliverFiles {
public:
    MemFiles(std::string bytes, std::size_t chunk) : bytes_(std::move(bytes)), chunk_(chunk) {}
    bool read(std::uint64_t offset, std::size_t max, std::string *out) override {
        if (chunk_ != 0) max = std::min(max, chunk_);
        *out = offset < bytes_.size() ? bytes_.substr(static_cast<std::size_t>(offset), max) : "";
        return true;
    }
    bool load_cursor(std::string *) override { return false; }
    bool save_cursor(const std::string &) override { return true; }

private:
    std::string bytes_;
    std::size_t chunk_;
};

bool same_rows(const std::vector<StnDbRow> &a, const std::vector<StnDbRow> &b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].key != b[i].key || a[i].station != b[i].station ||
            a[i].report_id != b[i].report_id || a[i].seq != b[i].seq || a[i].type != b[i].type ||
            a[i].text != b[i].text) {
            return false;
        }
    }
    return true;
}

TEST(StnReaders, LinesAndOffsetsAsTheOldReaderCutThem) {
    const std::vector<std::string> all = inputs();
    ASSERT_GT(all.size(), 1000u);
    for (const std::string &bytes : all) {
        for (std::size_t chunk : {std::size_t(1), std::size_t(3), std::size_t(0)}) {
            for (std::size_t max : {std::size_t(8), std::size_t(300), StnLineReader::kChunk}) {
                cli_test::MemStore a, b;
                a.bytes = b.bytes = bytes;
                a.read_chunk = b.read_chunk = chunk;
                old_readers::LineReader old(&a, max);
                StnLineReader now(&b, max);
                StnLine x, y;
                bool more = true;
                while (more) {
                    more = old.next(&x);
                    ASSERT_EQ(more, now.next(&y)) << bytes.size() << " " << chunk << " " << max;
                    if (more) {
                        ASSERT_TRUE(same(x, y)) << x.offset << " " << chunk << " " << max;
                    }
                }
                EXPECT_EQ(old.consumed(), now.consumed());
            }
        }
    }
}

TEST(StnReaders, FieldsAsTheOldReadersReadThem) {
    for (const std::string &bytes : inputs()) {
        for (std::string_view line : split(bytes)) {
            const old_readers::Head h = old_readers::head_of(line);
            const StnLineHead n = stn_line_head(line);
            EXPECT_TRUE(static_cast<int>(h.type) == static_cast<int>(n.type) && h.id == n.id)
                << line;
            EXPECT_TRUE(n == stn_line_head_parsed(line)) << line;
            StnReportLine o;
            old_readers::read_report_line(line, &o);
            EXPECT_TRUE(o == stn_read_report_line(line)) << line;
            EXPECT_TRUE(old_readers::read_report_line_json(line) == stn_read_report_line_json(line))
                << line;
        }
    }
}

TEST(StnReaders, DeliveryRowsAsTheOldSourceMadeThem) {
    for (const std::string &bytes : inputs()) {
        for (std::size_t chunk : {std::size_t(1), std::size_t(7), std::size_t(0)}) {
            MemFiles a(bytes, chunk), b(bytes, chunk);
            old_readers::LineSource old(&a, "PC", 0, 0, "");
            std::vector<StnDbRow> want, got, batch;
            std::uint64_t old_end = 0, end = 0;
            ASSERT_TRUE(old.take(100000, &want, &old_end));
            // In batches of 2, as delivery takes them.
            StnLineSource now(&b, "PC");
            now.seek(0, 0, "");
            do {
                ASSERT_TRUE(now.take(2, &batch, &end));
                got.insert(got.end(), batch.begin(), batch.end());
                now.advance();
            } while (!batch.empty());
            EXPECT_TRUE(same_rows(want, got)) << bytes.size() << " " << chunk;
            EXPECT_EQ(want.empty() ? 0 : old_end, end);
            EXPECT_EQ(now.offset(), old_end);
        }
    }
}

}  // namespace
