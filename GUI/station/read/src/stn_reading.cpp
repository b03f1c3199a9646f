#include "stn_reading.h"

#include "stn_chain.h"
#include "stn_sha256.h"
#include "stn_time.h"

StnReading::StnReading(Options options) : options_(std::move(options)) {
    tally.filter(options_.filter);
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
    bool first = true;
    while (ok && reader.next(&line)) {
        if (first && options_.tally) {
            // The report's identity: its first line, however long.
            first = false;
            std::string_view head = line.text;
            if (!line.whole) {
                if (!stn_read_at(source, line.offset, static_cast<std::size_t>(line.size), &text)) {
                    ok = false;
                    break;
                }
                head = text;
            }
            head = stn_without_cr(head);
            tally.begin_file(stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(head.data()),
                                            head.size()));
        }
        // A last line without its line end is torn, or still being
        // written: never recorded, skipped (and not part of the chain).
        if (!line.ended) {
            tally.skip_line();
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
            tally.skip_line();
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
