#include "stn_reading.h"

#include "stn_chain.h"
#include "stn_time.h"

StnReading::StnReading(Options options) : options_(std::move(options)) {
    if (!options_.order.empty()) tally.only_order(options_.order);
    std::int64_t now = 0;
    if (stn_utc_ms(options_.now, &now)) tally.set_now(now);
}

bool StnReading::read(StnByteSource *source, StnChainStatus *chain) {
    StnChainCheck check;
    StnLineReader reader(source);
    StnLine line;
    StnReportLine r;
    std::string text;  // a line longer than a chunk, for the chain
    bool ok = true;
    while (ok && reader.next(&line)) {
        // A last line without its line end is torn, or still being
        // written: never recorded, skipped (and not part of the chain).
        if (!line.ended) {
            ++tally.skipped_lines;
            continue;
        }
        if (options_.chain) {
            if (line.whole) {
                check.feed(line.text);
            } else if (stn_read_at(source, line.offset, static_cast<std::size_t>(line.size),
                                   &text)) {
                check.feed(text);
            } else {
                ok = false;
                break;
            }
        }
        if (!options_.tally) continue;
        // One longer than any record is not one.
        if (!line.whole) {
            ++tally.skipped_lines;
            continue;
        }
        stn_read_report_line(line.text, &r);
        if (tally.add(r) && options_.on_unit && r.kind == StnReportLine::kUnit) {
            options_.on_unit(r, tally);
        }
    }
    tally.end_file();
    if (!ok || reader.failed()) return false;
    if (chain != nullptr) {
        chain->checked = options_.chain;
        chain->intact = options_.chain && check.intact();
        chain->lines = options_.chain ? check.lines() : 0;
        chain->verdict = options_.chain ? check.verdict() : std::string();
    }
    return true;
}
