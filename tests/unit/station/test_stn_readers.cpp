// The one line reader (StnLineCutter, StnLineReader) and the one field
// reader (stn_fields.h), with delivery's rows made of them, against a plain
// reference: the bytes split at every '\n' at once, and every field by
// nlohmann-json's full parse; over the report fuzz target's seeds and
// reports as the station writes them, in chunks of every size.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <string>
#include <vector>

#include "../cli/cli_test_store.h"
#include "stn_chain.h"
#include "stn_deliver.h"
#include "stn_fields.h"
#include "stn_lines.h"
#include "stn_sha256.h"
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

// The lines a reader of that chunk must hand over: one longer than the
// chunk as its offset, size and first 256 bytes.
std::vector<StnLine> reference_lines(const std::string &bytes, std::size_t chunk) {
    chunk = std::max<std::size_t>(chunk, 2);
    std::vector<StnLine> out;
    for (std::string_view l : split(bytes)) {
        StnLine line;
        line.offset = static_cast<std::uint64_t>(l.data() - bytes.data());
        line.size = l.size();
        line.ended = line.offset + l.size() < bytes.size();
        line.whole = l.size() < chunk;
        line.text = line.whole ? l : l.substr(0, std::min<std::size_t>(256, chunk));
        out.push_back(line);
    }
    return out;
}

// Delivery's rows of the whole lines: each line's bytes without a CR at its
// end, their SHA-256, its number, the first line's SHA-256, and its "type"
// (at most 16 bytes) and "station" by a full parse.
std::vector<StnDbRow> reference_rows(const std::string &bytes, const std::string &station) {
    std::vector<StnDbRow> out;
    for (std::string_view l : split(bytes)) {
        if (l.data() + l.size() == bytes.data() + bytes.size()) break;  // not ended
        StnDbRow r;
        r.text = std::string(stn_without_cr(l));
        r.key = stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(r.text.data()),
                               r.text.size());
        r.seq = out.size() + 1;
        r.report_id = out.empty() ? r.key : out[0].key;
        r.station = station;
        const nlohmann::json j = nlohmann::json::parse(r.text, nullptr, false);
        if (j.is_object()) {
            const auto t = j.find("type"), s = j.find("station");
            if (t != j.end() && t->is_string() && t->get<std::string>().size() <= 16) {
                r.type = t->get<std::string>();
            }
            if (s != j.end() && s->is_string() && !s->get<std::string>().empty()) {
                r.station = s->get<std::string>();
            }
        }
        out.push_back(r);
    }
    return out;
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

TEST(StnReaders, LinesAndOffsetsAsASplitAtEveryLineFeed) {
    const std::vector<std::string> all = inputs();
    ASSERT_GT(all.size(), 1000u);
    for (const std::string &bytes : all) {
        for (std::size_t max : {std::size_t(8), std::size_t(300), StnLineReader::kChunk}) {
            const std::vector<StnLine> want = reference_lines(bytes, max);
            // Read from a source in chunks of 1, 3 and all asked.
            for (std::size_t chunk : {std::size_t(1), std::size_t(3), std::size_t(0)}) {
                cli_test::MemStore source;
                source.bytes = bytes;
                source.read_chunk = chunk;
                StnLineReader reader(&source, max);
                StnLine line;
                std::size_t i = 0;
                for (; reader.next(&line); ++i) {
                    ASSERT_LT(i, want.size()) << chunk << " " << max;
                    ASSERT_TRUE(same(line, want[i])) << line.offset << " " << chunk << " " << max;
                }
                EXPECT_EQ(i, want.size());
                EXPECT_FALSE(reader.failed());
                EXPECT_EQ(reader.consumed(), bytes.size());
            }
            // Fed in pieces of 5 bytes.
            StnLineCutter cutter(max);
            std::string_view rest = bytes;
            std::size_t i = 0;
            for (;;) {
                StnLine line;
                while (cutter.next(&line)) {
                    ASSERT_LT(i, want.size());
                    ASSERT_TRUE(same(line, want[i++])) << line.offset << " fed " << max;
                }
                if (cutter.finished()) break;
                if (rest.empty()) cutter.finish();
                rest.remove_prefix(cutter.feed(rest.substr(0, 5)));
            }
            EXPECT_EQ(i, want.size());
        }
    }
}

TEST(StnReaders, FieldsAsAFullParseReadsThem) {
    for (const std::string &bytes : inputs()) {
        for (std::string_view line : split(bytes)) {
            EXPECT_TRUE(stn_line_head(line) == stn_line_head_parsed(line)) << line;
            EXPECT_TRUE(stn_read_report_line(line) == stn_read_report_line_json(line)) << line;
        }
    }
}

TEST(StnReaders, DeliveryRowsAsASplitAndAFullParseMakeThem) {
    for (const std::string &bytes : inputs()) {
        const std::vector<StnDbRow> want = reference_rows(bytes, "PC");
        for (std::size_t chunk : {std::size_t(1), std::size_t(7), std::size_t(0)}) {
            MemFiles files(bytes, chunk);
            std::vector<StnDbRow> got, batch;
            std::uint64_t end = 0;
            // In batches of 2, as delivery takes them.
            StnLineSource source(&files, "PC");
            source.seek(0, 0, "");
            do {
                ASSERT_TRUE(source.take(2, &batch, &end));
                got.insert(got.end(), batch.begin(), batch.end());
                source.advance();
            } while (!batch.empty());
            EXPECT_TRUE(same_rows(want, got)) << bytes.size() << " " << chunk;
            const std::size_t lf = bytes.rfind('\n');
            EXPECT_EQ(source.offset(), lf == std::string::npos ? 0 : lf + 1);
        }
    }
}

}  // namespace
