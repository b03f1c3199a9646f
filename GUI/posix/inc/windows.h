// The Win32 kernel calls that the portable modules (com, hex, rom, cmc) use,
// implemented on POSIX so that those modules build and are tested natively.
// Only what they use: device files (with cancelling), events and waiting
// on several, the tick count, the process heap, last error.
// Thread start and end are in <process.h>. Test controls (in-process
// devices, failure injection) are in posix_dev.h.
//
// Threads: every call is safe from any thread, as on Windows.
#pragma once

#include <cstddef>
#include <cstdint>

typedef void *HANDLE;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef int BOOL;
typedef std::uint8_t BYTE;
typedef std::uint16_t WORD;
typedef std::uint32_t DWORD;
typedef std::uint64_t ULONGLONG;
typedef DWORD *LPDWORD;
typedef std::uint32_t UINT;
typedef void *HLOCAL;
typedef std::size_t SIZE_T;
typedef const char *LPCSTR;
typedef struct SECURITY_ATTRIBUTES_ *LPSECURITY_ATTRIBUTES;
typedef struct OVERLAPPED_ *LPOVERLAPPED;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(std::intptr_t)-1)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x80u

#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64u

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_NOT_FOUND 1168u

// A device name "\\.\NAME" resolves to an in-process device registered under
// NAME (posix_dev.h), otherwise to /dev/NAME. Other names are plain paths.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                   DWORD disposition, DWORD flags, HANDLE tmpl);
BOOL WriteFile(HANDLE file, LPCVOID buf, DWORD len, LPDWORD written, LPOVERLAPPED ov);
BOOL ReadFile(HANDLE file, LPVOID buf, DWORD len, LPDWORD read, LPOVERLAPPED ov);
// Closing a device handle while a call on it is inside the device (another
// thread) cancels that call, as CancelIoEx does.
BOOL CloseHandle(HANDLE h);
// Cancels the calls now inside the device on this device handle, from any
// thread: each blocked ReadFile/WriteFile returns FALSE with
// ERROR_OPERATION_ABORTED (unless it completed first). ov must be null
// (ERROR_INVALID_PARAMETER otherwise). FALSE with ERROR_NOT_FOUND when no call
// is pending on the handle, ERROR_INVALID_HANDLE for a handle that is not a
// file.
BOOL CancelIoEx(HANDLE file, LPOVERLAPPED ov);

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manual_reset, BOOL initial, LPCSTR name);
BOOL SetEvent(HANDLE ev);
BOOL ResetEvent(HANDLE ev);
// Waits on events only (ERROR_INVALID_HANDLE for any other handle).
DWORD WaitForSingleObject(HANDLE h, DWORD ms);
// WAIT_OBJECT_0 + the lowest index of a signalled event (an auto-reset one
// is reset), WAIT_TIMEOUT, or WAIT_FAILED. Only wait_all FALSE; wait_all
// TRUE, no handles or more than MAXIMUM_WAIT_OBJECTS fail with
// ERROR_INVALID_PARAMETER.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL wait_all, DWORD ms);
// Milliseconds of a steady clock (never set back).
ULONGLONG GetTickCount64();

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL mem);

DWORD GetLastError();
void SetLastError(DWORD code);
void Sleep(DWORD ms);
