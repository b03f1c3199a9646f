// Asking the factory's MES whether a unit may be written, before anything
// is written to it. The engine asks through StnCheckIn; the MES client
// (deliver/) answers over HTTP. Only this contract crosses between them.
//
// Threads: check_in is called on units' worker threads, several at once;
// an implementation is safe for that, and returns within the deadline it
// is given (a late answer is kNoAnswer).
#pragma once

#include <cstdint>
#include <string>

// What the station knows of a unit when it asks.
struct StnCheckInRequest {
    std::int32_t serial = 0;
    unsigned index = 0;                 // the device's slot index
    std::string station;                // StnWho
    std::string operator_name;
    std::string order;
    std::uint32_t unit_version = 0;     // the firmware the unit holds (0xFFFFFFFF: none)
    std::uint32_t image_version = 0;    // the firmware it would get
    std::string image_sha256;           // hex, of the bytes that would be written
    std::string time;                   // UTC, ISO 8601
};

enum class StnCheckInVerdict {
    kAllowed,    // the MES confirmed the unit: write it
    kRejected,   // the MES refused it: never written while it stays plugged in
    kNoAnswer,   // no answer that follows the contract, within the deadline
};

struct StnCheckInAnswer {
    StnCheckInVerdict verdict = StnCheckInVerdict::kNoAnswer;
    // kRejected: the MES's reason, printable characters only, at most 300.
    // kNoAnswer: why, for people (no connection, status 500, ...), with
    // every secret of the configuration already hidden.
    std::string reason;
};

class StnCheckIn {
public:
    virtual ~StnCheckIn() = default;
    virtual StnCheckInAnswer check_in(const StnCheckInRequest &request, unsigned deadline_ms) = 0;
};
