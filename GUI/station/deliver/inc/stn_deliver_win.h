// The Windows side of delivery (Windows builds only): the report read with
// a handle of its own, the cursor file beside it, the factory's database
// through ODBC, and the machine's default connection string.
//
// odbc32.dll is loaded when the first database is made, never imported: on
// Windows it brings user32 into the process, and a console program with
// user32 no longer gets the logoff and shutdown events. Only the wide ODBC
// calls are used (Wine's SQLDriverConnectA ends the process).
//
// Threads: a StnDeliverFiles or StnDatabase made here is used by one
// thread at a time (the delivery thread, or a command's). The functions
// may be called from any thread.
#pragma once

#include <memory>
#include <string>

#include "stn_deliver.h"

// The report at utf8_path, read-only and shared (a station may be writing
// it), with its cursor "<path><cursor>" (kStnDbCursor, kStnMesCursor;
// nullptr: none is read or written, and the file must exist; with one, a
// missing report is made empty, as the station would). nullptr when the
// file cannot be opened; *why says so.
std::unique_ptr<StnDeliverFiles> stn_win_deliver_files(const std::string &utf8_path,
                                                       const char *cursor, std::string *why);

// The database at connection_string (UTF-8), every login and statement
// within timeout_s seconds. nullptr when ODBC itself is missing; *why says so.
std::unique_ptr<StnDatabase> stn_odbc_database(const std::string &connection_string,
                                               unsigned timeout_s, std::string *why);

// HKLM\Software\R846-QVM2K\Station, value Database (REG_SZ): the machine's
// connection string, or empty when there is none.
std::string stn_db_machine_default();

// HKLM\Software\R846-QVM2K\Station, value name (REG_SZ), or empty.
std::string stn_station_machine_value(const wchar_t *name);

// A DLL of the system folder, loaded by name (an HMODULE); nullptr when it
// cannot be.
void *stn_load_system_dll(const wchar_t *name);

// GetProcAddress as a plain pointer.
void *stn_dll_proc(void *module, const char *name);
// The function name of the DLL module (from stn_load_system_dll) in *out;
// false when it has none.
template <typename F>
bool stn_get_proc(void *module, const char *name, F *out) {
    void *p = stn_dll_proc(module, name);
    *out = reinterpret_cast<F>(p);
    return p != nullptr;
}
