// One owned kernel handle for tests: closed when the holder goes out of
// scope, so a failed assertion between open and close leaks nothing (and no
// second, misleading leak failure follows). Works with the Win32 calls and
// with the POSIX layer's. Null and INVALID_HANDLE_VALUE both mean "none".
#pragma once

#include <windows.h>

namespace test_support {

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() { reset(); }
    Handle(Handle &&other) noexcept : h_(other.release()) {}
    Handle &operator=(Handle &&other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    HANDLE get() const { return h_; }
    bool ok() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return ok(); }

    // Closes the held handle (if any) and holds h instead.
    void reset(HANDLE h = INVALID_HANDLE_VALUE) {
        if (ok()) CloseHandle(h_);
        h_ = h;
    }
    // Gives the handle up without closing it.
    HANDLE release() {
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

}  // namespace test_support
