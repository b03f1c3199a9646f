// The chain that shows an edit of a report. Every line the station writes
// ends with "seq", its line number in the file (from 1), and "prev", the
// SHA-256 (hex) of the line before it as it stands in the file, without its
// line feed and without a CR before that (some copies add one); the first
// line's "prev" is the SHA-256 of no bytes. A line written after an open
// set a torn tail aside also carries "cut": that tail's length and SHA-256.
//
// What it shows: a changed byte in any line but the last, a removed,
// inserted or moved line breaks the chain at the line after. What it does
// not: a changed last line (no later line holds its hash), whoever rewrites
// every later line can forge it, and lines cut off the end leave the rest
// intact; the factory's database keeps each line's hash out of reach for
// that (report --verify --database).
//
// A last line that is no JSON object (zeros in front of a line feed: a
// power cut) is a torn tail, as the next open judges it: that open sets
// it aside, so it is not part of the chain. A "cut" is checked for its
// form only: it names the bytes set aside (FILE.torn holds them), which
// the file itself no longer has.
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

// Checks one file's chain, fed line by line (without the line feed). The
// last line fed is judged as the last of the file.
class StnChainCheck {
public:
    void feed(std::string_view line);

    // Whether every line from the first chained one on is chained and
    // holds; false also when no line is chained. A torn tail is left out.
    bool intact() const { return judged().chained != 0 && judged().broken_at == 0; }
    // The lines judged (a torn tail not among them).
    std::uint64_t lines() const { return judged().lines; }
    // Lines before the first chained one (written before lines were chained).
    std::uint64_t unchained_before() const {
        const State &s = judged();
        return s.first_chained == 0 ? s.lines : s.first_chained - 1;
    }
    // The last line fed is not empty and no JSON object: what the next open
    // sets aside as torn.
    bool torn_tail() const;
    // Lines whose "cut" names a torn tail that an open set aside.
    std::uint64_t cuts() const { return judged().cuts; }
    // For people: "chain intact: 12 lines", or where and how it breaks
    // ("chain broken between lines 4 and 5 (id 3): line 4 was changed, or
    // lines were removed or inserted there"), or "not chained"; then the
    // cuts and a torn tail, when there are.
    std::string verdict() const;

private:
    struct State {
        std::uint64_t lines = 0;
        std::uint64_t chained = 0;
        std::uint64_t first_chained = 0;  // its line number; 0: none yet
        std::string prev_hash = kStnEmptySha256;  // of the line before the next
        std::uint64_t broken_at = 0;      // the first line that breaks it; 0: none
        bool unchained_after = false;     // broken by a line without the chain
        std::string why;                  // broken: the words after the place
        std::uint64_t cuts = 0;
    };
    const State &judged() const { return torn_tail() ? before_last_ : all_; }

    State all_;           // every line fed
    State before_last_;   // every line but the last
    std::string last_;    // the last line fed, without a CR
};
