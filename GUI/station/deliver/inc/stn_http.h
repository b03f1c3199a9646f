// HTTP for the factory's MES: one POST at a time to a path under a base
// URL, within a deadline. Portable: the MES client (stn_mes.h) speaks
// through StnHttp; Windows' WinHTTP is one implementation
// (stn_http_win.h), a scripted one the tests' another.
//
// Threads: an StnHttp may be called from several threads at once (units'
// workers check in side by side); each call stands alone.
#pragma once

#include <string>
#include <vector>

// A base URL, http:// or https:// only.
struct StnUrl {
    bool https = false;
    std::string host;      // without brackets for an IPv6 address
    unsigned port = 0;     // given, else 80 or 443
    std::string path;      // from the first '/', without query; "/" at least
    std::string user;      // the user part before '@', percent-decoded; empty: none
    std::string password;  // a secret: never shown (stn_url_redact)
};

// Reads url. false: *why says what is wrong, without the password.
bool stn_url_parse(const std::string &url, StnUrl *out, std::string *why);

// The base's path with one more segment: "/mes" + "check-in" ->
// "/mes/check-in" (one slash between, whatever the base ends with).
std::string stn_url_path(const std::string &base_path, const std::string &sub);

struct StnHttpHeader {
    std::string name;
    std::string value;  // may be a secret: shown only as "***"
};

// "Name: value" (the form of --mes-header) read: a token as name, a value
// of printable characters (blanks around it dropped). false: not one.
bool stn_http_header_parse(const std::string &text, StnHttpHeader *out);

enum class StnHttpFailure {
    kNone,           // an answer came: status and body hold it
    kCannotConnect,  // no connection (refused, no route, unknown name)
    kTimeout,        // no whole answer within the deadline
    kOther,          // anything else (TLS, a broken answer, ...)
};

struct StnHttpResult {
    StnHttpFailure failure = StnHttpFailure::kOther;
    int status = 0;     // kNone: the HTTP status (3xx is not followed)
    std::string body;   // kNone: the answer's body
    std::string why;    // not kNone: for people, with no secret in it
};

class StnHttp {
public:
    virtual ~StnHttp() = default;
    // POSTs body to path (absolute, under the base URL the implementation
    // was made with) with headers, as given.
    virtual StnHttpResult post(const std::string &path, const std::vector<StnHttpHeader> &headers,
                               const std::string &body, unsigned deadline_ms) = 0;
};
