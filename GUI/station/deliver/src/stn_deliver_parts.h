// What the deliver room's units share among themselves (not a header for
// other rooms): the size of a read, the files as the line reader's source, a line's hash, and where
// delivery stands in the report (stn_deliver_cursor.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "stn_deliver.h"
#include "stn_lines.h"

namespace stn_deliver_parts {

constexpr std::size_t kChunk = 64 * 1024;      // bytes read at once

// The SHA-256 of bytes, in hex.
std::string sha_hex(const std::string &bytes);
// The report's bytes for the line reader. With keep: those read before
// (kept there from keep_at on) first, and every byte read from the files is
// added to them.
class FilesSource : public StnByteSource {
public:
    explicit FilesSource(StnDeliverFiles *files, std::string *keep = nullptr,
                         std::uint64_t keep_at = 0)
        : files_(files), keep_(keep), keep_at_(keep_at) {}
    bool read(std::uint64_t offset, char *buf, std::size_t n, std::size_t *got) override;

private:
    StnDeliverFiles *files_;
    std::string *keep_;
    std::uint64_t keep_at_;
};

// The hash of the whole line that ends (with its LF) at offset; empty when
// there is none (the file is shorter) or it cannot be read. Looks back a
// little first: it runs at every attempt.
std::string hash_of_line_before(StnDeliverFiles *files, std::uint64_t offset);

// The report's identity: the hash of its first whole line; empty when it
// has none or cannot be read.
std::string hash_of_first_line(StnDeliverFiles *files);

// Where a cursor lets delivery resume: its own place when the report still
// holds the same first line and the same line before the offset; else the
// start.
void resume(StnDeliverFiles *files, StnLineSource *src);

// After a cut below the last line delivered: the place after the last line
// that the file and the rows held for its report agree on, line by line
// from the first; *gone: the numbers of held rows whose line the file no
// longer has. false: the database or the file cannot be read.
bool walk_back(StnDeliverFiles *files, StnDatabase *db, const std::string &report_id,
               StnLineSource *src, std::vector<std::uint64_t> *gone, std::string *why);

}  // namespace stn_deliver_parts
