// The one field reader of report lines: what the open (a line's type and
// id), the tally (every member) and delivery (type and station) read of a
// line. Byte scans are the fast paths: the head scan for a start or unit
// line as the station lays it out, the flat scan (stn_json_read_flat) for
// any line of scalar members; a line that neither fits is parsed in full
// (nlohmann-json), with the same answer. Pure; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Whether a line starts or ends a unit, and its id.
struct StnLineHead {
    enum Type { kOther, kStart, kUnit } type = kOther;
    std::uint64_t id = 0;  // 0: none, or not a whole number >= 0 that fits
};
bool operator==(const StnLineHead &a, const StnLineHead &b);

// The head scan alone: {"type":"unit" (or "start"),"time":"...","id":N
// then ',' or '}', the line ending in '}' (a CR after it dropped), as
// stn_json_start and stn_json_report write it. False for anything else.
bool stn_line_head_scan(std::string_view line, StnLineHead *h);
// The head scan, else a full parse.
StnLineHead stn_line_head(std::string_view line);
// A full parse alone: the reference the head scan must equal.
StnLineHead stn_line_head_parsed(std::string_view line);

// The members a reader looks at, as the last one of each name left them.
// Texts are views of the line unless they had to be decoded: valid while
// the line and this object are.
class StnLineFields {
public:
    enum Key {
        kType, kTime, kId, kIndex, kSerial, kOldVersion, kNewVersion, kResult, kFailure,
        kMessage, kDetail, kMs, kRecovered, kEvent, kOperator, kOrder, kStation, kUtcOffset,
        kWas, kKeys
    };
    struct Value {
        enum Kind { kAbsent, kOther, kString, kUnsigned, kNegative, kTrue } kind = kAbsent;
        std::string_view text;  // kString
        std::string own;        // text when it is not a view of the line
        std::uint64_t u = 0;    // kUnsigned
        std::int64_t i = 0;     // kNegative
    };

    // Reads line (a CR at its end dropped): the flat scan, else a full
    // parse. False when it is not one JSON object: then every member is
    // absent.
    bool read(std::string_view line);
    // The same by a full parse alone.
    bool read_parsed(std::string_view line);

    const Value &operator[](Key k) const { return values_[k]; }
    // A string member; empty when absent or not a string.
    std::string_view text(Key k) const {
        return values_[k].kind == Value::kString ? values_[k].text : std::string_view();
    }
    // A whole number that is not negative.
    bool count(Key k, std::uint64_t *out) const;

private:
    class Scan;
    void clear();

    std::string_view line_;
    Value values_[kKeys];
};
