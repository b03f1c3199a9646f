// HTTP through Windows' WinHTTP (Windows builds only), for the MES.
//
// winhttp.dll is loaded when the first StnHttp is made, never imported:
// qvm_cli imports only KERNEL32 and msvcrt, and a station without an MES
// loads nothing. Redirects are not followed (a 3xx is handed back as it
// is); HTTPS certificates are checked by Windows, with no way to turn that
// off. The machine's WinHTTP proxy setting (netsh winhttp) applies.
//
// Threads: the StnHttp made here may be called from several threads at
// once; each post has its own connection and request handles.
#pragma once

#include <memory>
#include <string>

#include "stn_http.h"

// An StnHttp for url's scheme, host and port (its path and user are the
// caller's: StnMesClient puts them in the path and a header). nullptr when
// WinHTTP cannot be loaded or url is not http(s)://; *why says so.
std::unique_ptr<StnHttp> stn_winhttp(const std::string &url, std::string *why);

// HKLM\Software\R846-QVM2K\Station, value Mes (REG_SZ): the machine's MES
// URL, or empty when there is none.
std::string stn_mes_machine_default();
