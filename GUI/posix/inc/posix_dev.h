// Test controls of the POSIX layer: in-process devices behind the "\\.\NAME"
// namespace, and failure injection for the heap and thread start.
//
// Threads: registration and the injection counters may be changed from any
// thread; a device's callbacks run on the thread that does the file call,
// except on_cancel, which runs on the thread that cancels.
#pragma once

#include <cstdint>

namespace qvm_posix {

// One device file. The layer never owns the device object.
class Device {
public:
    virtual ~Device() = default;
    // CreateFileA on this device. Return false to make the open fail (the
    // caller then sees INVALID_HANDLE_VALUE with the error given).
    virtual bool on_open(std::uint32_t *error) { (void)error; return true; }
    // WriteFile: return false to fail the call; *written is what the caller sees.
    virtual bool on_write(const std::uint8_t *data, std::uint32_t len, std::uint32_t *written) = 0;
    // ReadFile: return false to fail the call; *read is what the caller sees.
    virtual bool on_read(std::uint8_t *buf, std::uint32_t capacity, std::uint32_t *read) = 0;
    // CloseHandle of a handle opened on this device.
    virtual void on_close() {}
    // CancelIoEx, or CloseHandle from another thread, on a handle with a call
    // inside this device: wake that call. A blocking device checks
    // cancel_requested() on the blocked thread (under the lock it takes here)
    // and, when it is true, returns false promptly; the caller then sees
    // ERROR_OPERATION_ABORTED. Called only while such a call is running.
    virtual void on_cancel() {}
};

// On the thread inside a device callback: true once the file call it serves
// has been cancelled (CancelIoEx, or its handle closed). False elsewhere.
bool cancel_requested();

// Makes "\\.\name" resolve to dev until it is unregistered. A second
// registration under the same name replaces the first.
void register_device(const char *name, Device *dev);
void unregister_device(const char *name);
void unregister_all_devices();

// Number of device-file handles that are open now (for leak checks).
int open_device_handles();

// Heap failure injection: the n-th LocalAlloc from now (1 = the next) fails,
// and with every_after also each one after it. 0 switches it off.
void fail_alloc_at(unsigned n, bool every_after = false);
// Number of LocalAlloc blocks not yet given back with LocalFree.
long live_allocations();

// Thread start failure injection: the n-th _beginthread from now fails.
void fail_thread_start_at(unsigned n);
// Number of threads started by _beginthread that have not ended yet.
int running_threads();

}  // namespace qvm_posix
