// The C runtime's thread start and end, on POSIX threads.
// _beginthread returns a non-zero value that identifies the thread, or
// (uintptr_t)-1 when it cannot start one. As with the Windows C runtime, the
// value is closed by the runtime when the thread ends: it must not be used
// as a handle to wait on.
#pragma once

#include <cstdint>

std::uintptr_t _beginthread(void (*start)(void *), unsigned stack_size, void *arg);
[[noreturn]] void _endthread();
