// Arbitrary bytes as a station report (tests/unit/station reads its seeds,
// seeds_stn_report.hex: one input a line, in hex). Its open must answer the same
// whatever the chunks the store hands over, touch nothing it refuses, keep
// a prefix of the file and set the rest aside, and leave a report that a
// second open finds whole, with nothing to recover. Each line must read the
// same by the fast scan as by a full parse, and the tally must take it.
// The whole file is then read as `qvm_cli report --json --html` reads it
// (the tally, its timeline and the page's figures), within libFuzzer's
// memory limit whatever its times.
#include <cstdint>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "../../unit/cli/cli_test_store.h"
#include "cli_args.h"
#include "cli_exit.h"
#include "cli_report_cmd.h"
#include "stn_fields.h"
#include "stn_json.h"
#include "stn_report.h"
#include "stn_tally.h"
#include "stn_text.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

class Ignore : public StnJsonMembers {
public:
    void member(std::string_view, const StnJsonScalar &) override {}
};

struct Opened {
    StnReportOpen result;
    StnReportOpened what;
    cli_test::MemStore store;
    std::uint64_t next_id = 0;
};

void open(const std::string &bytes, std::size_t chunk, Opened *o) {
    o->store.bytes = bytes;
    o->store.read_chunk = chunk;
    StnReport report(&o->store);
    o->result =
        report.open("2026-12-08T10:00:00.000Z", &o->what,
                    stn_json_run("open", "2026-12-08T10:00:00.000Z", "PC", "+01:00", "3.50", ""));
    o->next_id = report.new_id();
}

// The report command's files in memory, handed over chunk bytes at a time.
class Io : public CliIo {
public:
    std::string file, page;
    std::size_t chunk = 1;
    std::vector<std::string> outs;
    void out(const std::string &l) override { outs.push_back(l); }
    void err(const std::string &) override {}
    std::string utc_now() override { return "2026-12-08T12:00:00.000Z"; }
    std::shared_ptr<StnReportStore> open_report(const std::string &) override { return nullptr; }
    std::unique_ptr<StnByteSource> open_file(const std::string &) override {
        std::unique_ptr<cli_test::MemStore> f(new cli_test::MemStore);
        f->bytes = file;
        f->read_chunk = chunk;
        return f;
    }
    bool write_file(const std::string &, const std::string &bytes) override {
        page = bytes;
        return true;
    }
};

void report(const std::string &bytes, std::size_t chunk, bool by_order) {
    Io io;
    io.file = bytes;
    io.chunk = chunk;
    std::vector<const char *> argv = {"qvm_cli", "report", "r.jsonl", "--json", "--html", "p.html"};
    if (by_order) {
        argv.push_back("--order");
        argv.push_back("A");
    }
    CliArgs args;
    std::string error;
    check(cli_parse_args(static_cast<int>(argv.size()), argv.data(), &args, &error));
    check(cli_report_command(args, io) == kCliExitOk);
    check(io.outs.size() == 1 && stn_json_is_object(io.outs[0]) && !io.page.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the read size; the rest is the file.
    const std::size_t chunk = data[0] % 8 + 1;
    const std::string bytes(reinterpret_cast<const char *>(data) + 1, size - 1);

    StnTally tally;
    std::size_t from = 0;
    while (from <= bytes.size()) {
        std::size_t end = bytes.find('\n', from);
        if (end == std::string::npos) end = bytes.size();
        const std::string_view line(bytes.data() + from, end - from);
        check(stn_read_report_line(line) == stn_read_report_line_json(line));
        check(stn_line_head(line) == stn_line_head_parsed(line));
        Ignore ignore;
        const StnJsonFlat flat = stn_json_read_flat(line, &ignore);
        if (flat != StnJsonFlat::kNested) {
            const bool object =
                nlohmann::json::parse(line.begin(), line.end(), nullptr, false).is_object();
            check((flat == StnJsonFlat::kOk) == object);
        }
        tally.feed(line);
        from = end + 1;
    }
    tally.end_file();
    check(tally.units_per_hour() == -1 || tally.units_per_hour() >= 0);
    check(tally.summary().timeline.slots() <= kStnTimelineSlots);
    report(bytes, chunk, (data[0] & 8) != 0);

    Opened small, whole;
    open(bytes, chunk, &small);
    open(bytes, 0, &whole);
    check(small.result == whole.result);
    check(small.store.bytes == whole.store.bytes && small.store.aside == whole.store.aside);
    check(small.what.recovered == whole.what.recovered &&
          small.what.highest_id == whole.what.highest_id && small.next_id == whole.next_id);
    if (whole.result != StnReportOpen::kOk) {
        check(whole.store.bytes == bytes && whole.store.ops.empty());
        return 0;
    }
    const std::size_t keep = bytes.size() - static_cast<std::size_t>(whole.what.torn_bytes);
    check(whole.store.bytes.compare(0, keep, bytes, 0, keep) == 0);
    check(whole.store.aside == bytes.substr(keep));
    check(whole.what.written.size() == whole.what.recovered + 1u);

    Opened again;
    open(whole.store.bytes, chunk, &again);
    check(again.result == StnReportOpen::kOk && again.what.torn_bytes == 0 &&
          again.what.recovered == 0 && again.what.highest_id == whole.what.highest_id);
    return 0;
}
