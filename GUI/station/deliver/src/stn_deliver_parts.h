// What the deliver room's units share among themselves (not a header for
// other rooms): the size of a read, a line's bytes and hash, and where
// delivery stands in the report (stn_deliver_cursor.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "stn_deliver.h"

namespace stn_deliver_parts {

constexpr std::size_t kChunk = 64 * 1024;      // bytes read at once

// The SHA-256 of bytes, in hex.
std::string sha_hex(const std::string &bytes);
// The line's bytes without its LF and a CR before it.
std::string line_body(const std::string &buf, std::size_t begin, std::size_t lf);

// The hash of the whole line that ends (with its LF) at offset; empty when
// there is none (the file is shorter) or it cannot be read. Looks back a
// little first: it runs at every attempt.
std::string hash_of_line_before(StnDeliverFiles *files, std::uint64_t offset);

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
