// One device, as the station and qvm_cli see it: probing its name, reading
// its version, and updating it with the shared update sequence (read,
// decide, write, verify). Each call works on a handle of its own, opened
// and closed inside the call, so devices can be served side by side from
// separate threads.
//
// Threads: every function blocks its calling thread for the device's
// exchanges, each within the watch's deadline when a watch is given (none:
// no time-out). A StnProgress is written by the one worker that updates its
// device and read by any other thread (the view).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "shex_hex.h"
#include "stn_checkin.h"
#include "stn_outcome.h"

// The image qvm_cli writes: the embedded image's device window.
struct StnImage {
    const SHEX_DATA *edit = nullptr;  // 0x4000..0x7FFF; not owned
    std::uint32_t version = 0;        // at 0x7F00
    std::string sha256;               // of edit's bytes, as written
};

// Where a unit's update is; written by its worker.
// kStnPhaseAsking: its check-in is with the MES, nothing written yet.
enum StnPhase : int { kStnPhaseWaiting, kStnPhaseChecking, kStnPhaseWriting, kStnPhaseVerifying,
                      kStnPhaseDone, kStnPhaseAsking };
struct StnProgress {
    std::atomic<int> phase{kStnPhaseWaiting};
    std::atomic<int> percent{0};
    // The device as first read; valid once identified is true (release).
    std::atomic<std::int32_t> serial{0};
    std::atomic<std::uint32_t> firm_version{0};
    std::atomic<std::uint16_t> mcu_version{0};
    std::atomic<bool> identified{false};
};

class StnWatch;

// Whether device file index opens now (opened and closed again).
enum class StnPresence {
    kAbsent,
    kPresent,
    kBusy,  // another program holds it (sharing violation, access denied)
};
StnPresence stn_device_probe(unsigned index);

// Reads device index's version record (own handle, closed again), each
// exchange within watch's deadline (null: none).
// Returns true   *out filled
//         false  *why says what failed, in words; *failure (optional) its kind
bool stn_read_device(unsigned index, StnDevice *out, std::string *why, StnWatch *watch = nullptr,
                     StnFailure *failure = nullptr);

// One unit's update.
struct StnUnitJob {
    unsigned index = 0;
    const StnImage *image = nullptr;
    bool force = false;                // write a current device too
    StnProgress *progress = nullptr;   // may be null
    StnWatch *watch = nullptr;         // deadlines; null: none
    // Runs on the worker after the device was read and found due: the
    // MES's say on it (allowed: written; rejected: kRejected with the
    // reason; no answer: not written, detail kStnDetailMesWaiting, unless
    // mes_down_allow, when it is written and marked mes_unchecked). Empty:
    // every unit is allowed.
    std::function<StnCheckInAnswer(const StnDevice &)> check_in;
    bool mes_down_allow = false;
    // Runs after the check-in, before before_write: false when the unit
    // may no longer be written (let go while it asked; detail
    // kStnDetailMesWaiting). May be empty.
    std::function<bool()> may_write;
    // Runs on the worker before its first write, after the check-in
    // (unchecked: written although the MES did not answer). Returns false
    // to leave the device alone (the unit fails with kStnDetailNotRecorded).
    // May be empty.
    std::function<bool(const StnDevice &, bool unchecked)> before_write;
};

// A unit stopped before its end (interrupted), with what its worker had
// published of the device (p may be null).
StnUnitResult stn_interrupted(unsigned index, const StnProgress *p);

// Reads the device's version, leaves it alone when it is current (unless
// force), otherwise runs the update sequence and reads the version back.
// The result is kUpdated only when the device accepted the end and then
// reported the image's version.
StnUnitResult stn_update_unit(const StnUnitJob &job);
