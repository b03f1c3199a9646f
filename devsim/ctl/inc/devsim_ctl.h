// Client of the simulated-device driver's control device
// (\\.\R846_QVM2K_CTL): configure simulated R846-QVM2K devices, arm faults,
// set delays, read back state, exchange log and flash.
//
// devsim::Control holds one handle to the control device and forwards each
// call as one DeviceIoControl. Calls are synchronous. One object may be used
// by one thread at a time; separate objects (and processes) may be used at
// the same time, since the control device is shareable and the driver
// serialises requests.
//
// Results: every call but open() on a closed object returns true on
// success; on false GetLastError() tells why: ERROR_FILE_NOT_FOUND (no
// device at that index, or the driver is not running, for open()),
// ERROR_ALREADY_EXISTS (add at a present index), ERROR_INVALID_PARAMETER
// (index above 255, unknown fault kind, full fault table, delay too long,
// flash range outside the window), ERROR_INVALID_HANDLE (not open).
// Every call on one index also reaches a device that an unplug or
// power-loss fault took away (devsim_ioc_state.plugged 0), so that its
// state, log and flash can be read; only add() treats its index as taken.
#ifndef DEVSIM_CTL_H
#define DEVSIM_CTL_H

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <vector>

#include "devsim_ioctl.h"
#include "devsim_model.h"

namespace devsim {

// What a device holds when it is plugged in; the defaults are the model's
// default device at index 0 (devsim_default_config).
struct DeviceConfig {
    std::uint32_t firm_version = DEVSIM_DEFAULT_FIRM_VERSION;
    std::uint32_t mcu_version = DEVSIM_DEFAULT_MCU_VERSION;
    std::uint32_t boot_version = DEVSIM_DEFAULT_BOOT_VERSION;
    std::int32_t serial_no = DEVSIM_DEFAULT_SERIAL;
    std::uint32_t license_low = DEVSIM_DEFAULT_LICENSE_LOW;
    std::int32_t license_high = DEVSIM_DEFAULT_LICENSE_HIGH;
};

// The default device at this index: its own serial number,
// DEVSIM_DEFAULT_SERIAL + index (devsim_indexed_config).
DeviceConfig default_config(std::uint32_t index);

class Control {
public:
    Control() = default;
    ~Control() { close(); }
    Control(const Control &) = delete;
    Control &operator=(const Control &) = delete;

    // Opens the control device; false when the driver is not running.
    bool open();
    void close();
    bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }

    bool info(devsim_ioc_info *out);
    bool add(std::uint32_t index, const DeviceConfig &config);
    bool remove(std::uint32_t index);
    bool remove_all();
    // Power cycle: back to the configuration; flash, log and faults cleared.
    bool reset(std::uint32_t index);
    // Pulls the device out and puts it back (DEVSIM_IOCTL_REPLUG): also
    // brings back one that an unplug or power-loss fault took away. Flash
    // and firmware are kept; handles opened before stay dead.
    bool replug(std::uint32_t index);
    // kind: devsim_fault_kind; after: 0 = the next exchange.
    bool arm_fault(std::uint32_t index, std::uint32_t after, std::uint32_t kind,
                   std::uint32_t param = 0);
    bool clear_faults(std::uint32_t index);
    // Added before the answer of every read (at most DEVSIM_MAX_DELAY_MS).
    bool set_delay(std::uint32_t index, std::uint32_t ms);
    bool state(std::uint32_t index, devsim_ioc_state *out);
    // Every entry the device still keeps, oldest first; *total (optional)
    // counts every exchange logged since the last clear.
    bool log(std::uint32_t index, std::vector<devsim_ioc_log_entry> *out,
             std::uint32_t *total = nullptr);
    bool clear_log(std::uint32_t index);
    // The whole flash window 0x4000..0x7FFF.
    bool flash(std::uint32_t index, std::vector<std::uint8_t> *out);

    // One raw request, for callers that need a code or length of their own;
    // *got (optional) receives the bytes returned.
    bool request(DWORD code, const void *in, DWORD in_len, void *out, DWORD out_len,
                 DWORD *got = nullptr);

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Name of a fault kind for people ("checksum"), and back; the parse takes a
// name or a number and returns false for neither.
const char *fault_kind_name(std::uint32_t kind);
bool parse_fault_kind(const char *text, std::uint32_t *kind);

}  // namespace devsim

#endif  // DEVSIM_CTL_H
