// What a unit ended with, as every room of the station sees it: the device
// as it reported itself, the outcome and the kind of failure with their
// words, and the detail codes. Pure data; any thread.
#pragma once

#include <cstdint>
#include <string>

// What a device reports about itself.
struct StnDevice {
    unsigned index = 0;
    std::int32_t serial = 0;
    std::uint32_t firm_version = 0;   // 0xFFFFFFFF: no firmware
    std::uint16_t mcu_version = 0;
    std::uint32_t boot_version = 0;
};

// Kinds of failure, as a unit line's "failure" names them.
enum class StnFailure {
    kNone,        // not a failure
    kRefused,     // "refused": the device answered with an error code
    kNoAnswer,    // "no_answer": no valid answer (transfer or framing failure)
    kDeadline,    // "deadline": no answer within the deadline
    kUnplugged,   // "unplugged": unplugged or powered off during the unit
    kUnverified,  // "unverified": could not be opened, or not the image after the end
    kOther,       // "other": the report could not be written, no thread, no image
};
constexpr int kStnFailureKinds = 7;
// The word of a kind in report lines ("refused", ...); "" for kNone.
const char *stn_failure_name(StnFailure kind);
// The kind as people read it: "refused by the device", "no valid answer", ...
const char *stn_failure_words(StnFailure kind);

// kRejected: the factory's MES refused the unit before anything was
// written to it; not a failure of the station.
enum class StnOutcome { kUpdated, kCurrent, kFailed, kInterrupted, kRejected };

// The end of one unit's update.
struct StnUnitResult {
    StnDevice device;                 // serial etc. valid when identified
    bool identified = false;          // its version was read
    std::uint32_t new_version = 0;    // valid when has_new
    bool has_new = false;
    StnOutcome outcome = StnOutcome::kFailed;
    // 0 for updated and current; otherwise the detail code of the window
    // program (0xFFFFFFFF memory, 0xFFFFFFFE transfer, or the device's own
    // error code), 0xFFFFFFFD when the device could not be opened or did
    // not hold the image after an accepted end.
    std::uint32_t detail = 0;
    std::string what;                 // for failures: what failed and where, in words;
                                      // kRejected: the MES's reason (printable, <= 300)
    StnFailure failure = StnFailure::kNone;
    std::uint64_t id = 0;             // the report's id of this unit; 0: none
    std::uint64_t ms = 0;
    // Written although the MES did not answer its check-in (mes_down_allow):
    // its lines say "mes":"unchecked".
    bool mes_unchecked = false;
};

// Detail codes of our own, beside cmc's (0xFFFFFFFF memory, 0xFFFFFFFE
// transfer, 0xFFFFFFFC no thread) and the device's own error codes.
constexpr std::uint32_t kStnDetailUnverified = 0xFFFFFFFDu;  // not opened, or not the image after the end
constexpr std::uint32_t kStnDetailDeadline = 0xFFFFFFFBu;    // no answer within the deadline
constexpr std::uint32_t kStnDetailNoImage = 0xFFFFFFFAu;     // the image has no bytes to write
constexpr std::uint32_t kStnDetailNotRecorded = 0xFFFFFFF9u; // its start could not be recorded
// Not a line's: the unit was not written because the MES did not answer
// its check-in (it waits), or because the station let it go while it asked.
constexpr std::uint32_t kStnDetailMesWaiting = 0xFFFFFFF8u;
