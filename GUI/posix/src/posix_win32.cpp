// POSIX implementation of the Win32 kernel subset in windows.h/process.h.
// Handles name kernel objects kept in one registry, so a stale or foreign
// handle is refused with ERROR_INVALID_HANDLE instead of crashing; a call
// holds its object alive, so closing a handle from another thread while the
// call runs is safe (as on Windows).
#include <windows.h>
#include <process.h>
#include "posix_dev.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

thread_local DWORD t_last_error = 0;

struct KObject {
    virtual ~KObject() = default;
};

// One ReadFile or WriteFile inside a device.
struct DeviceCall {
    std::atomic<bool> cancelled{false};
};
thread_local DeviceCall *t_call = nullptr;  // the call this thread is making

struct DeviceFile : KObject {
    std::string name;
    qvm_posix::Device *dev = nullptr;
    std::mutex m;                     // guards calls and closed
    std::vector<DeviceCall *> calls;  // inside the device now
    bool closed = false;
};

struct FdFile : KObject {
    int fd;
};

// Every event shares one lock and one condition, so that a wait can watch
// several events at once.
std::mutex g_event_mutex;
std::condition_variable g_event_cv;

struct Event : KObject {
    bool manual = true;     // g_event_mutex
    bool signaled = false;  // g_event_mutex
};

std::mutex g_mutex;  // guards g_handles and g_devices
std::map<KObject *, std::shared_ptr<KObject>> g_handles;
std::map<std::string, qvm_posix::Device *> g_devices;
std::atomic<int> g_open_devices{0};

std::atomic<unsigned> g_alloc_countdown{0};
std::atomic<bool> g_alloc_fail_after{false};
std::atomic<long> g_live_allocs{0};
std::atomic<unsigned> g_thread_countdown{0};
std::atomic<int> g_running_threads{0};

HANDLE add_handle(std::shared_ptr<KObject> obj) {
    KObject *key = obj.get();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handles.emplace(key, std::move(obj));
    return key;
}

template <class T>
std::shared_ptr<T> lookup(HANDLE h) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_handles.find(static_cast<KObject *>(h));
    if (it == g_handles.end()) return nullptr;
    return std::dynamic_pointer_cast<T>(it->second);
}

// The device behind a device-file handle, or null when it has been
// unregistered (unplugged) since the open.
qvm_posix::Device *live_device(const DeviceFile &f) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_devices.find(f.name);
    return (it != g_devices.end() && it->second == f.dev) ? it->second : nullptr;
}

// Marks every call inside the device on this handle cancelled (and, with
// close, refuses new ones), then wakes them. True when there was one.
bool cancel_calls(DeviceFile &f, bool close) {
    bool any;
    {
        std::lock_guard<std::mutex> lock(f.m);
        if (close) f.closed = true;
        for (DeviceCall *c : f.calls) c->cancelled = true;
        any = !f.calls.empty();
    }
    if (any) f.dev->on_cancel();
    return any;
}

// Counts down an injection counter; true when this call is the one to fail.
bool injected_failure(std::atomic<unsigned> &countdown, bool keep_failing) {
    unsigned n = countdown.load();
    while (n != 0) {
        unsigned next = (n == 1 && keep_failing) ? 1 : n - 1;
        if (countdown.compare_exchange_weak(n, next)) return n == 1;
    }
    return false;
}

struct ThreadStart {
    void (*start)(void *);
    void *arg;
};

// Counted from _beginthread on, so a thread that has not run yet counts.
struct RunningThread {
    ~RunningThread() { g_running_threads.fetch_sub(1); }
};

void *thread_main(void *p) {
    ThreadStart ts = *static_cast<ThreadStart *>(p);
    delete static_cast<ThreadStart *>(p);
    RunningThread running;  // also unwound by _endthread
    ts.start(ts.arg);
    return nullptr;
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD, HANDLE) {
    (void)share;
    if (name == nullptr) {
        t_last_error = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    static const char kDevPrefix[] = "\\\\.\\";
    std::string path(name);
    if (path.compare(0, 4, kDevPrefix) == 0) {
        std::string dev_name = path.substr(4);
        qvm_posix::Device *dev = nullptr;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            auto it = g_devices.find(dev_name);
            if (it != g_devices.end()) dev = it->second;
        }
        if (dev != nullptr) {
            std::uint32_t err = ERROR_GEN_FAILURE;
            if (!dev->on_open(&err)) {
                t_last_error = err;
                return INVALID_HANDLE_VALUE;
            }
            auto f = std::make_shared<DeviceFile>();
            f->name = dev_name;
            f->dev = dev;
            g_open_devices.fetch_add(1);
            t_last_error = 0;
            return add_handle(std::move(f));
        }
        path = "/dev/" + dev_name;
    }
    if (disposition != OPEN_EXISTING) {
        t_last_error = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_CLOEXEC;
    bool rd = access & GENERIC_READ, wr = access & GENERIC_WRITE;
    flags |= (rd && wr) ? O_RDWR : (wr ? O_WRONLY : O_RDONLY);
    int fd = ::open(path.c_str(), flags);
    if (fd < 0) {
        t_last_error = (errno == ENOENT) ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    auto f = std::make_shared<FdFile>();
    f->fd = fd;
    t_last_error = 0;
    return add_handle(std::move(f));
}

namespace {

// One call inside a device, registered on its handle so that CancelIoEx and
// CloseHandle from another thread can end it.
template <class DeviceCallFn>
BOOL device_transfer(DeviceFile &f, LPDWORD done, DeviceCallFn on_device) {
    qvm_posix::Device *dev = live_device(f);
    if (dev == nullptr) {
        t_last_error = ERROR_GEN_FAILURE;
        return FALSE;
    }
    DeviceCall call;
    {
        std::lock_guard<std::mutex> lock(f.m);
        if (f.closed) {  // closed by another thread since the lookup
            t_last_error = ERROR_INVALID_HANDLE;
            return FALSE;
        }
        f.calls.push_back(&call);
    }
    DeviceCall *outer = t_call;
    t_call = &call;
    std::uint32_t n = 0;
    const bool ok = on_device(dev, &n);
    t_call = outer;
    {
        std::lock_guard<std::mutex> lock(f.m);
        f.calls.erase(std::find(f.calls.begin(), f.calls.end(), &call));
    }
    if (done != nullptr) *done = n;
    t_last_error = ok ? 0 : (call.cancelled ? ERROR_OPERATION_ABORTED : ERROR_GEN_FAILURE);
    return ok ? TRUE : FALSE;
}

// One read or write: a device file goes to its device (failing once the
// device has been unplugged), any other file to its descriptor.
template <class DeviceCallFn, class FdCall>
BOOL transfer(HANDLE file, LPDWORD done, DeviceCallFn on_device, FdCall on_fd) {
    if (done != nullptr) *done = 0;
    if (auto d = lookup<DeviceFile>(file)) return device_transfer(*d, done, on_device);
    if (auto f = lookup<FdFile>(file)) {
        ssize_t n = on_fd(f->fd);
        if (n < 0) {
            t_last_error = ERROR_GEN_FAILURE;
            return FALSE;
        }
        if (done != nullptr) *done = static_cast<DWORD>(n);
        return TRUE;
    }
    t_last_error = ERROR_INVALID_HANDLE;
    return FALSE;
}

}  // namespace

BOOL WriteFile(HANDLE file, LPCVOID buf, DWORD len, LPDWORD written, LPOVERLAPPED) {
    const auto *bytes = static_cast<const std::uint8_t *>(buf);
    return transfer(
        file, written,
        [&](qvm_posix::Device *dev, std::uint32_t *n) { return dev->on_write(bytes, len, n); },
        [&](int fd) { return ::write(fd, buf, len); });
}

BOOL ReadFile(HANDLE file, LPVOID buf, DWORD len, LPDWORD read, LPOVERLAPPED) {
    auto *bytes = static_cast<std::uint8_t *>(buf);
    return transfer(
        file, read,
        [&](qvm_posix::Device *dev, std::uint32_t *n) { return dev->on_read(bytes, len, n); },
        [&](int fd) { return ::read(fd, buf, len); });
}

BOOL CloseHandle(HANDLE h) {
    std::shared_ptr<KObject> obj;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_handles.find(static_cast<KObject *>(h));
        if (it == g_handles.end()) {
            t_last_error = ERROR_INVALID_HANDLE;
            return FALSE;
        }
        obj = std::move(it->second);
        g_handles.erase(it);
    }
    if (auto *d = dynamic_cast<DeviceFile *>(obj.get())) {
        cancel_calls(*d, true);
        if (qvm_posix::Device *dev = live_device(*d)) dev->on_close();
        g_open_devices.fetch_sub(1);
    } else if (auto *f = dynamic_cast<FdFile *>(obj.get())) {
        ::close(f->fd);
    }
    return TRUE;  // the object goes with the last call still using it
}

BOOL CancelIoEx(HANDLE file, LPOVERLAPPED ov) {
    if (ov != nullptr) {
        t_last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    auto d = lookup<DeviceFile>(file);
    if (d == nullptr && lookup<FdFile>(file) == nullptr) {
        t_last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (d == nullptr || !cancel_calls(*d, false)) {
        t_last_error = ERROR_NOT_FOUND;
        return FALSE;
    }
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial, LPCSTR) {
    auto ev = std::make_shared<Event>();
    ev->manual = manual_reset != FALSE;
    ev->signaled = initial != FALSE;
    return add_handle(std::move(ev));
}

namespace {

// SetEvent and ResetEvent: the event's state, waking the waiters when set.
BOOL set_event_state(HANDLE h, bool signaled) {
    auto ev = lookup<Event>(h);
    if (ev == nullptr) {
        t_last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(g_event_mutex);
    ev->signaled = signaled;
    if (signaled) g_event_cv.notify_all();
    return TRUE;
}

}  // namespace

BOOL SetEvent(HANDLE h) { return set_event_state(h, true); }

BOOL ResetEvent(HANDLE h) { return set_event_state(h, false); }

DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL wait_all, DWORD ms) {
    if (wait_all != FALSE || count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        t_last_error = ERROR_INVALID_PARAMETER;
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Event>> events;
    for (DWORD i = 0; i < count; ++i) {
        events.push_back(lookup<Event>(handles[i]));
        if (events.back() == nullptr) {
            t_last_error = ERROR_INVALID_HANDLE;
            return WAIT_FAILED;
        }
    }
    auto first_signaled = [&]() -> DWORD {
        for (DWORD i = 0; i < count; ++i)
            if (events[i]->signaled) return i;
        return count;
    };
    std::unique_lock<std::mutex> lock(g_event_mutex);
    DWORD hit = count;
    if (ms == INFINITE) {
        g_event_cv.wait(lock, [&] { return (hit = first_signaled()) < count; });
    } else if (!g_event_cv.wait_for(lock, std::chrono::milliseconds(ms),
                                    [&] { return (hit = first_signaled()) < count; })) {
        return WAIT_TIMEOUT;
    }
    if (!events[hit]->manual) events[hit]->signaled = false;
    return WAIT_OBJECT_0 + hit;
}

DWORD WaitForSingleObject(HANDLE h, DWORD ms) { return WaitForMultipleObjects(1, &h, FALSE, ms); }

ULONGLONG GetTickCount64() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<ULONGLONG>(ts.tv_sec) * 1000u + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000u;
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    if (injected_failure(g_alloc_countdown, g_alloc_fail_after.load())) {
        t_last_error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    // A zero-byte request still gives a distinct block, as on Windows.
    void *p = (flags & LMEM_ZEROINIT) ? std::calloc(bytes ? bytes : 1, 1)
                                      : std::malloc(bytes ? bytes : 1);
    if (p == nullptr) {
        t_last_error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    g_live_allocs.fetch_add(1);
    return p;
}

HLOCAL LocalFree(HLOCAL mem) {
    if (mem != nullptr) {
        std::free(mem);
        g_live_allocs.fetch_sub(1);
    }
    return nullptr;
}

DWORD GetLastError() { return t_last_error; }
void SetLastError(DWORD code) { t_last_error = code; }

void Sleep(DWORD ms) { ::usleep(static_cast<useconds_t>(ms) * 1000u); }

std::uintptr_t _beginthread(void (*start)(void *), unsigned stack_size, void *arg) {
    if (injected_failure(g_thread_countdown, false)) return static_cast<std::uintptr_t>(-1);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stack_size != 0) pthread_attr_setstacksize(&attr, stack_size);
    auto *ts = new ThreadStart{start, arg};
    pthread_t tid;
    g_running_threads.fetch_add(1);
    int rc = pthread_create(&tid, &attr, thread_main, ts);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        g_running_threads.fetch_sub(1);
        delete ts;
        return static_cast<std::uintptr_t>(-1);
    }
    // The runtime closes the thread's handle when it ends; callers get a
    // token that only says "a thread was started".
    static std::atomic<std::uintptr_t> next_token{0x1000};
    return next_token.fetch_add(4);
}

void _endthread() { pthread_exit(nullptr); }

namespace qvm_posix {

void register_device(const char *name, Device *dev) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_devices[name] = dev;
}

void unregister_device(const char *name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_devices.erase(name);
}

void unregister_all_devices() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_devices.clear();
}

int open_device_handles() { return g_open_devices.load(); }

bool cancel_requested() { return t_call != nullptr && t_call->cancelled.load(); }

void fail_alloc_at(unsigned n, bool every_after) {
    g_alloc_fail_after.store(every_after);
    g_alloc_countdown.store(n);
}

long live_allocations() { return g_live_allocs.load(); }

void fail_thread_start_at(unsigned n) { g_thread_countdown.store(n); }

int running_threads() { return g_running_threads.load(); }

}  // namespace qvm_posix
