// The chain that shows an edit of a report. Every line the station writes
// ends with "seq", its line number in the file (from 1), and "prev", the
// SHA-256 (hex) of the line before it as it stands in the file, without its
// line feed and without a CR before that (some copies add one); the first
// line's "prev" is the SHA-256 of no bytes. A line written after an open
// set a torn tail aside also carries "cut": that tail's length and SHA-256.
//
// What it shows: a changed byte, a removed, inserted or moved line breaks
// the chain at the line after. What it does not: whoever rewrites every
// later line can forge it, and lines cut off the end leave the rest intact;
// the factory's database keeps each line's hash out of reach for that.
//
// Pure; any thread (one checker per thread).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// SHA-256 (hex) of no bytes: the first line's "prev".
extern const char kStnEmptySha256[];

// SHA-256 (hex) of line as the chain sees it: without its line feed; a CR
// at its end is dropped.
std::string stn_line_sha256(const std::string &line);

// A torn tail that an open set aside.
struct StnCut {
    std::uint64_t bytes = 0;
    std::string sha256;
};

// body (one JSON object, without chain fields) with its chain fields added
// at its end; cut may be null.
std::string stn_chain_line(const std::string &body, std::uint64_t seq, const std::string &prev,
                           const StnCut *cut);
// line without its chain fields (as it was handed to the writer; a CR
// after it dropped); line itself, as it is, when it has none.
std::string stn_chain_body(const std::string &line);

// Checks one file's chain, fed line by line (without the line feed).
class StnChainCheck {
public:
    void feed(std::string_view line);

    // Whether every line from the first chained one on is chained and
    // holds; false also when no line is chained.
    bool intact() const { return chained_ != 0 && broken_at_ == 0; }
    std::uint64_t lines() const { return lines_; }
    // Lines before the first chained one (written before lines were chained).
    std::uint64_t unchained_before() const { return first_chained_ == 0 ? lines_ : first_chained_ - 1; }
    // For people: "chain intact: 12 lines", or where and how it breaks
    // ("chain broken between lines 4 and 5 (id 3): line 4 was changed, or
    // lines were removed or inserted there"), or "not chained".
    std::string verdict() const;

private:
    std::uint64_t lines_ = 0;
    std::uint64_t chained_ = 0;
    std::uint64_t first_chained_ = 0;  // its line number; 0: none yet
    std::string prev_hash_ = kStnEmptySha256;  // of the line before the next
    std::uint64_t broken_at_ = 0;      // the first line that breaks it; 0: none
    bool unchained_after_ = false;     // broken by a line without the chain
    std::string why_;                  // broken: the words after the place
};
