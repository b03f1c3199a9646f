// POSIX implementation of the Win32 kernel subset in windows.h/process.h.
// Handles are pointers to kernel objects kept in one registry, so a stale or
// foreign handle is refused with ERROR_INVALID_HANDLE instead of crashing.
#include <windows.h>
#include <process.h>
#include "posix_dev.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <set>
#include <string>
#include <unistd.h>

namespace {

thread_local DWORD t_last_error = 0;

struct KObject {
    virtual ~KObject() = default;
};

struct DeviceFile : KObject {
    std::string name;
    qvm_posix::Device *dev;
};

struct FdFile : KObject {
    int fd;
};

struct Event : KObject {
    std::mutex m;
    std::condition_variable cv;
    bool manual = true;
    bool signaled = false;
};

std::mutex g_mutex;  // guards g_handles and g_devices
std::set<KObject *> g_handles;
std::map<std::string, qvm_posix::Device *> g_devices;
std::atomic<int> g_open_devices{0};

std::atomic<unsigned> g_alloc_countdown{0};
std::atomic<bool> g_alloc_fail_after{false};
std::atomic<long> g_live_allocs{0};
std::atomic<unsigned> g_thread_countdown{0};
std::atomic<int> g_running_threads{0};

HANDLE add_handle(KObject *obj) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handles.insert(obj);
    return obj;
}

template <class T>
T *lookup(HANDLE h) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto *obj = static_cast<KObject *>(h);
    if (g_handles.count(obj) == 0) return nullptr;
    return dynamic_cast<T *>(obj);
}

// The device behind a device-file handle, or null when it has been
// unregistered (unplugged) since the open.
qvm_posix::Device *live_device(DeviceFile *f) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_devices.find(f->name);
    return (it != g_devices.end() && it->second == f->dev) ? it->second : nullptr;
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
            auto *f = new DeviceFile;
            f->name = dev_name;
            f->dev = dev;
            g_open_devices.fetch_add(1);
            t_last_error = 0;
            return add_handle(f);
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
    auto *f = new FdFile;
    f->fd = fd;
    t_last_error = 0;
    return add_handle(f);
}

namespace {

// One read or write: a device file goes to its device (failing once the
// device has been unplugged), any other file to its descriptor.
template <class DeviceCall, class FdCall>
BOOL transfer(HANDLE file, LPDWORD done, DeviceCall on_device, FdCall on_fd) {
    if (done != nullptr) *done = 0;
    if (auto *d = lookup<DeviceFile>(file)) {
        qvm_posix::Device *dev = live_device(d);
        if (dev == nullptr) {
            t_last_error = ERROR_GEN_FAILURE;
            return FALSE;
        }
        std::uint32_t n = 0;
        bool ok = on_device(dev, &n);
        if (done != nullptr) *done = n;
        t_last_error = ok ? 0 : ERROR_GEN_FAILURE;
        return ok ? TRUE : FALSE;
    }
    if (auto *f = lookup<FdFile>(file)) {
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
    KObject *obj = static_cast<KObject *>(h);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_handles.erase(obj) == 0) {
            t_last_error = ERROR_INVALID_HANDLE;
            return FALSE;
        }
    }
    if (auto *d = dynamic_cast<DeviceFile *>(obj)) {
        if (qvm_posix::Device *dev = live_device(d)) dev->on_close();
        g_open_devices.fetch_sub(1);
    } else if (auto *f = dynamic_cast<FdFile *>(obj)) {
        ::close(f->fd);
    }
    delete obj;
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial, LPCSTR) {
    auto *ev = new Event;
    ev->manual = manual_reset != FALSE;
    ev->signaled = initial != FALSE;
    return add_handle(ev);
}

BOOL SetEvent(HANDLE h) {
    auto *ev = lookup<Event>(h);
    if (ev == nullptr) {
        t_last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    // Notified under the lock: a waiter that wakes may close the event at
    // once, which must not find this call still using it.
    std::lock_guard<std::mutex> lock(ev->m);
    ev->signaled = true;
    ev->cv.notify_all();
    return TRUE;
}

BOOL ResetEvent(HANDLE h) {
    auto *ev = lookup<Event>(h);
    if (ev == nullptr) {
        t_last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(ev->m);
    ev->signaled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD ms) {
    auto *ev = lookup<Event>(h);
    if (ev == nullptr) {
        t_last_error = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> lock(ev->m);
    if (ms == INFINITE) {
        ev->cv.wait(lock, [ev] { return ev->signaled; });
    } else if (!ev->cv.wait_for(lock, std::chrono::milliseconds(ms),
                                [ev] { return ev->signaled; })) {
        return WAIT_TIMEOUT;
    }
    if (!ev->manual) ev->signaled = false;
    return WAIT_OBJECT_0;
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

void fail_alloc_at(unsigned n, bool every_after) {
    g_alloc_fail_after.store(every_after);
    g_alloc_countdown.store(n);
}

long live_allocations() { return g_live_allocs.load(); }

void fail_thread_start_at(unsigned n) { g_thread_countdown.store(n); }

int running_threads() { return g_running_threads.load(); }

}  // namespace qvm_posix
