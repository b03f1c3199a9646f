// WinHTTP for the MES: see stn_http_win.h and docs/mes.md. What Wine 8's
// winhttp was found to do: WinHttpSetTimeouts on the session does not bound
// the wait for an answer, so every request handle gets its own time-outs
// and WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, set again to what is left of
// the deadline before each step; a time-out comes back as 12002 or as 10060
// (WSAETIMEDOUT), or not at all, so a step that fails once the deadline is
// spent is a time-out; a closed port fails as 12029 at once; a certificate
// it does not trust fails the handshake as 12157.
#include "stn_http_win.h"

#include <windows.h>

#include <winhttp.h>

#include <chrono>
#include <mutex>

#include "stn_deliver_win.h"
#include "stn_store_win.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
bool get_proc(HMODULE m, const char *name, F *out) {
    FARPROC p = GetProcAddress(m, name);
    *out = reinterpret_cast<F>(reinterpret_cast<void *>(p));
    return p != nullptr;
}

struct WinHttpApi {
    HINTERNET(WINAPI *Open)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);
    HINTERNET(WINAPI *Connect)(HINTERNET, LPCWSTR, INTERNET_PORT, DWORD);
    HINTERNET(WINAPI *OpenRequest)(HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR *,
                                   DWORD);
    BOOL(WINAPI *SetTimeouts)(HINTERNET, int, int, int, int);
    BOOL(WINAPI *SetOption)(HINTERNET, DWORD, LPVOID, DWORD);
    BOOL(WINAPI *AddRequestHeaders)(HINTERNET, LPCWSTR, DWORD, DWORD);
    BOOL(WINAPI *SendRequest)(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR);
    BOOL(WINAPI *ReceiveResponse)(HINTERNET, LPVOID);
    BOOL(WINAPI *QueryHeaders)(HINTERNET, DWORD, LPCWSTR, LPVOID, LPDWORD, LPDWORD);
    BOOL(WINAPI *ReadData)(HINTERNET, LPVOID, DWORD, LPDWORD);
    BOOL(WINAPI *CloseHandle)(HINTERNET);
};

// winhttp.dll, loaded once on first use; nullptr when it cannot be.
const WinHttpApi *winhttp() {
    static std::once_flag once;
    static WinHttpApi api;
    static bool ok = false;
    std::call_once(once, [] {
        HMODULE m = static_cast<HMODULE>(stn_load_system_dll(L"winhttp.dll"));
        if (m == nullptr) return;
        ok = get_proc(m, "WinHttpOpen", &api.Open) && get_proc(m, "WinHttpConnect", &api.Connect) &&
             get_proc(m, "WinHttpOpenRequest", &api.OpenRequest) &&
             get_proc(m, "WinHttpSetTimeouts", &api.SetTimeouts) &&
             get_proc(m, "WinHttpSetOption", &api.SetOption) &&
             get_proc(m, "WinHttpAddRequestHeaders", &api.AddRequestHeaders) &&
             get_proc(m, "WinHttpSendRequest", &api.SendRequest) &&
             get_proc(m, "WinHttpReceiveResponse", &api.ReceiveResponse) &&
             get_proc(m, "WinHttpQueryHeaders", &api.QueryHeaders) &&
             get_proc(m, "WinHttpReadData", &api.ReadData) &&
             get_proc(m, "WinHttpCloseHandle", &api.CloseHandle);
    });
    return ok ? &api : nullptr;
}

// One WinHTTP handle, closed when it goes.
class Handle {
public:
    Handle(const WinHttpApi *api, HINTERNET h) : api_(api), h_(h) {}
    ~Handle() {
        if (h_ != nullptr) api_->CloseHandle(h_);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    HINTERNET get() const { return h_; }
    bool ok() const { return h_ != nullptr; }

protected:
    const WinHttpApi *api_;
    HINTERNET h_;
};

class Session : public Handle {
public:
    explicit Session(const WinHttpApi *api)
        : Handle(api, api->Open(L"R846-QVM2K station", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)) {}
};

class Connection : public Handle {
public:
    Connection(const WinHttpApi *api, const Session &s, const std::wstring &host, unsigned port)
        : Handle(api, api->Connect(s.get(), host.c_str(), static_cast<INTERNET_PORT>(port), 0)) {}
};

class Request : public Handle {
public:
    Request(const WinHttpApi *api, const Connection &c, const std::wstring &path, bool https)
        : Handle(api, api->OpenRequest(c.get(), L"POST", path.c_str(), nullptr,
                                       WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                       https ? WINHTTP_FLAG_SECURE : 0)) {}
    // Every wait of this request within ms.
    bool bound(unsigned ms) {
        int t = static_cast<int>(ms == 0 ? 1 : ms);
        DWORD d = static_cast<DWORD>(t);
        return api_->SetTimeouts(h_, t, t, t, t) &&
               api_->SetOption(h_, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &d, sizeof d);
    }
    // A 3xx is handed back, not followed.
    bool no_redirects() {
        DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        DWORD disable = WINHTTP_DISABLE_REDIRECTS;
        const bool policy = api_->SetOption(h_, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
        const bool feature = api_->SetOption(h_, WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof disable);
        return policy || feature;
    }
    bool add_header(const std::wstring &line) {
        return api_->AddRequestHeaders(h_, line.c_str(), static_cast<DWORD>(-1L),
                                       WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE);
    }
    bool send(const std::string &body) {
        return api_->SendRequest(h_, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                 const_cast<char *>(body.data()), static_cast<DWORD>(body.size()),
                                 static_cast<DWORD>(body.size()), 0);
    }
    bool receive() { return api_->ReceiveResponse(h_, nullptr); }
    bool status(int *out) {
        DWORD code = 0, size = sizeof code;
        if (!api_->QueryHeaders(h_, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX)) {
            return false;
        }
        *out = static_cast<int>(code);
        return true;
    }
    // Up to max bytes; *got 0 at the body's end.
    bool read(char *buf, DWORD max, DWORD *got) { return api_->ReadData(h_, buf, max, got); }
};

// The answers' bodies are short; a longer one is no answer of ours.
constexpr std::size_t kBodyMax = 1 << 20;

class WinHttp : public StnHttp {
public:
    WinHttp(const WinHttpApi *api, const StnUrl &url, std::string shown)
        : api_(api), session_(api), url_(url), shown_(std::move(shown)) {}
    bool ok() const { return session_.ok(); }

    StnHttpResult post(const std::string &path, const std::vector<StnHttpHeader> &headers,
                       const std::string &body, unsigned deadline_ms) override {
        const Clock::time_point end = Clock::now() + std::chrono::milliseconds(deadline_ms);
        auto left = [end]() -> unsigned {
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            return ms <= 0 ? 0u : static_cast<unsigned>(ms);
        };
        StnHttpResult r;
        // A step that fails once the deadline is spent failed for that
        // (Wine does not always say so).
        auto failed = [&](StnHttpResult *res, const std::string &doing) -> StnHttpResult & {
            const DWORD e = GetLastError();
            return fail(res, doing, left() == 0 ? static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT) : e);
        };
        Connection c(api_, session_, stn_wide(url_.host), url_.port);
        if (!c.ok()) return failed(&r, "cannot reach");
        Request q(api_, c, stn_wide(path), url_.https);
        if (!q.ok()) return failed(&r, "cannot make a request for");
        if (!q.no_redirects()) return failed(&r, "cannot turn off redirects for");
        if (!q.bound(left())) return failed(&r, "cannot set the time-outs for");
        for (const StnHttpHeader &h : headers) {
            if (!q.add_header(stn_wide(h.name + ": " + h.value))) {
                return failed(&r, "cannot add the header " + h.name + " for");
            }
        }
        if (!q.send(body) || left() == 0 || !q.bound(left()) || !q.receive()) {
            return failed(&r, "no answer from");
        }
        if (!q.status(&r.status)) return failed(&r, "no status from");
        char buf[8192];
        for (;;) {
            DWORD got = 0;
            if (left() == 0) {
                SetLastError(ERROR_WINHTTP_TIMEOUT);
                return failed(&r, "the answer did not end in time from");
            }
            if (!q.bound(left()) || !q.read(buf, sizeof buf, &got)) {
                return failed(&r, "the answer broke off from");
            }
            if (got == 0) break;
            r.body.append(buf, got);
            if (r.body.size() > kBodyMax) {
                SetLastError(0);
                return failed(&r, "an answer of more than 1 MB from");
            }
        }
        if (left() == 0) {
            SetLastError(ERROR_WINHTTP_TIMEOUT);
            return failed(&r, "the answer came too late from");
        }
        r.failure = StnHttpFailure::kNone;
        return r;
    }

private:
    // Error e as a failure: *r, with what was being done.
    StnHttpResult &fail(StnHttpResult *r, const std::string &doing, DWORD e) {
        r->status = 0;
        r->body.clear();
        switch (e) {
        case ERROR_WINHTTP_TIMEOUT:
        case WSAETIMEDOUT:
            r->failure = StnHttpFailure::kTimeout;
            r->why = "no answer in time from " + shown_;
            return *r;
        case ERROR_WINHTTP_CANNOT_CONNECT:
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        case WSAECONNREFUSED:
            r->failure = StnHttpFailure::kCannotConnect;
            r->why = "cannot connect to " + shown_ +
                     (e == ERROR_WINHTTP_NAME_NOT_RESOLVED ? " (unknown host name)" : "");
            return *r;
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:
            r->failure = StnHttpFailure::kOther;
            r->why = "the certificate of " + shown_ + " is not trusted by Windows";
            return *r;
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
            r->failure = StnHttpFailure::kOther;
            r->why = "the TLS handshake with " + shown_ +
                     " failed (is its certificate trusted by Windows?)";
            return *r;
        case ERROR_WINHTTP_CONNECTION_ERROR:
            r->failure = StnHttpFailure::kOther;
            r->why = "the connection to " + shown_ + " was closed";
            return *r;
        default:
            r->failure = StnHttpFailure::kOther;
            r->why = doing + " " + shown_ + (e != 0 ? " (WinHTTP error " + std::to_string(e) + ")" : "");
            return *r;
        }
    }

    const WinHttpApi *api_;
    Session session_;
    StnUrl url_;
    std::string shown_;  // scheme, host and port: no secret
};

}  // namespace

std::unique_ptr<StnHttp> stn_winhttp(const std::string &url, std::string *why) {
    StnUrl u;
    if (!stn_url_parse(url, &u, why)) return nullptr;
    const WinHttpApi *api = winhttp();
    if (api == nullptr) {
        *why = "WinHTTP (winhttp.dll) cannot be loaded";
        return nullptr;
    }
    const bool v6 = u.host.find(':') != std::string::npos;
    const std::string shown = std::string(u.https ? "https://" : "http://") +
                              (v6 ? "[" + u.host + "]" : u.host) + ":" + std::to_string(u.port);
    std::unique_ptr<WinHttp> h(new WinHttp(api, u, shown));
    if (!h->ok()) {
        *why = "WinHTTP has no session (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    return std::unique_ptr<StnHttp>(std::move(h));
}

std::string stn_mes_machine_default() { return stn_station_machine_value(L"Mes"); }
