// In-process simulated R846-QVM2K for native tests: one device model behind
// the POSIX layer's "\\.\R846_QVM2K_<index>", so that CreateFileA, WriteFile,
// ReadFile and CloseHandle reach it as they reach the real driver.
//
// Threads: every member may be called from any thread. The device-file calls
// (on_open, on_write, on_read, on_close) run on the thread that makes the
// file call; one mutex serialises them with the test's accessors. An armed
// delay is served outside the lock, so the test thread can read the log
// while a worker waits in ReadFile; release_delays() ends such a wait early
// (the read then completes normally); unplug(), the destructor, CancelIoEx
// or closing the handle (another thread) end it with a failed read.
// An armed hang (DEVSIM_FAULT_HANG) blocks the read, or the write, until
// one of those four ends it: the call then fails (ERROR_OPERATION_ABORTED
// when cancelled or closed).
//
// Plugging: the constructor plugs the device in (registers its name) unless
// told otherwise. unplug() unregisters it: every further call on a handle
// opened before fails, also after a later plug(), as with a real device that
// is pulled out and put back. Device state (flash, firmware, LED, log)
// survives an unplug; reset() starts the device afresh. An armed unplug or
// power-loss fault unplugs the device from inside the write that meets it;
// replug() puts it back restarted (devsim_replug: LED off, no transfer,
// flash and firmware as the interruption left them).
//
// Lifetime: the object must outlive every file call made on it. The
// destructor unplugs and then waits for calls already inside the device;
// tests still join their workers before destroying the device, because the
// POSIX layer looks the device up and calls it without holding a lock.
#pragma once

#include "devsim_model.h"
#include "posix_dev.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace devsim {

class InProcDevice : public qvm_posix::Device {
public:
    // config null: devsim_indexed_config(index).
    explicit InProcDevice(unsigned index = 0, const devsim_config *config = nullptr,
                          bool plugged = true);
    ~InProcDevice() override;
    InProcDevice(const InProcDevice &) = delete;
    InProcDevice &operator=(const InProcDevice &) = delete;

    // "R846_QVM2K_<index>", the name under which the device is registered.
    const std::string &name() const { return name_; }

    // plug() after an interruption also restarts the device (as replug()).
    void plug();
    void unplug();
    // Pulls the device out if it is in, restarts it (devsim_replug) and
    // plugs it in again.
    void replug();
    bool plugged() const;
    // Plugs in a fresh device (devsim_init; config null: the default at
    // this index): flash, firmware, LED, log and faults as new. Handles stay
    // as they are.
    void reset(const devsim_config *config = nullptr);

    // Arms a fault `after` exchanges from now (devsim_arm_fault); false when
    // the model refuses it.
    bool arm_fault(std::uint32_t after, devsim_fault_kind kind, std::uint32_t param = 0);
    void clear_faults();
    // Ends the delays of every exchange written so far (also one whose read
    // has not begun yet); those reads complete normally.
    void release_delays();
    // Opens fail with this Win32 error from now on; 0 lets them succeed.
    void fail_open(std::uint32_t error);
    // Refuse a second open while one handle is open (ERROR_SHARING_VIOLATION),
    // as a device driver enforcing exclusive access would. Off by default,
    // as under Wine.
    void set_exclusive(bool exclusive);
    // Opens, or closes, of this device stall inside the call (as a driver
    // that misbehaves during enumeration) until switched off again or the
    // device is unplugged; they count as held (wait_held).
    void stall_opens(bool on);
    void stall_closes(bool on);

    // Called with every exchange's log entry as the device takes it (under
    // the device's lock: it must not call back into the device). Null: none.
    void observe(std::function<void(const devsim_log_entry &)> observer);

    // Waits until at least n exchanges (writes) have reached the device
    // since the last reset, or timeout_ms passed. True when they have.
    bool wait_exchanges(std::uint32_t n, unsigned timeout_ms) const;

    // Waits until at least n file calls are held in the device (a delay or
    // a hang), or timeout_ms passed. True when they are.
    bool wait_held(int n, unsigned timeout_ms) const;

    // Read-back, each a consistent snapshot.
    std::vector<devsim_log_entry> log() const;  // oldest kept first
    void clear_log();
    std::uint32_t exchanges() const;
    std::uint32_t led() const;
    std::uint32_t firm_version() const;  // what the version answer reports
    std::uint32_t blocks_received() const;
    std::uint32_t commits() const;
    std::uint32_t boot_state() const;  // devsim_boot_state
    // The whole window, DEVSIM_WINDOW_START first.
    std::vector<std::uint8_t> flash() const;
    // Handles open on the current plug.
    int open_handles() const;

    // qvm_posix::Device: the device-file side.
    bool on_open(std::uint32_t *error) override;
    bool on_write(const std::uint8_t *data, std::uint32_t len, std::uint32_t *written) override;
    bool on_read(std::uint8_t *buf, std::uint32_t capacity, std::uint32_t *read) override;
    void on_close() override;
    // Wakes blocked calls so that a cancelled one ends (posix_dev.h).
    void on_cancel() override;

private:
    class Port;

    // The file calls, through a port (null: called as a qvm_posix::Device
    // directly, which no unplug affects). A call through a port that is no
    // longer the registered one fails.
    bool open_via(const Port *via, std::uint32_t *error);
    bool write_via(const Port *via, const std::uint8_t *data, std::uint32_t len,
                   std::uint32_t *written);
    bool read_via(const Port *via, std::uint8_t *buf, std::uint32_t capacity, std::uint32_t *read);
    void close_via(const Port *via);

    // One of the model's counters, read under the lock.
    std::uint32_t read_locked(std::uint32_t devsim_device::*field) const;

    // Lock held by the caller for these.
    bool live(const Port *via) const;
    void plug_locked();
    void unplug_locked();
    // True once a call through via (begun on the current plug) must end: the
    // device was unplugged or the call cancelled.
    std::function<bool()> ended(const Port *via) const;
    // Serves an armed delay without the lock; false when it ended early
    // (unplugged or cancelled).
    bool serve_delay(std::unique_lock<std::mutex> &lock, const Port *via, std::uint32_t ms);
    // Blocks a hung call without the lock until it ends.
    void serve_hang(std::unique_lock<std::mutex> &lock, const Port *via);
    // Holds an open or close while *stall is set and the call's plug lives.
    void serve_stall(std::unique_lock<std::mutex> &lock, const Port *via, const bool *stall);

    const unsigned index_;
    const std::string name_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::unique_ptr<devsim_device> dev_;
    // One port per plug; the layer sees a new device object after a re-plug,
    // so handles from an earlier plug stay dead. Kept until destruction.
    std::vector<std::unique_ptr<Port>> ports_;
    Port *current_ = nullptr;      // registered port, null while unplugged
    std::uint64_t plug_count_ = 0; // changes on every plug and unplug
    std::uint32_t released_through_ = 0;  // delays of exchanges up to here end at once
    std::uint32_t open_error_ = 0;
    bool exclusive_ = false;
    bool stall_opens_ = false;
    bool stall_closes_ = false;
    std::function<void(const devsim_log_entry &)> observer_;
    int open_handles_ = 0;
    int calls_inside_ = 0;         // file calls now running in this object
    int held_ = 0;                 // of them, held in a delay or a hang
};

}  // namespace devsim
