// The MES's contract (docs/mes.md) and its client. Bodies are written by
// hand, field by field, so that their bytes depend on nothing but what
// goes in; answers are read with nlohmann-json and checked member by
// member: whatever does not follow the contract is no answer.
#include "stn_mes.h"

#include <cstdint>

#include <nlohmann/json.hpp>

#include "stn_deliver.h"
#include "stn_json.h"
#include "stn_sha256.h"
#include "stn_text.h"

const char kStnMesCheckInPath[] = "check-in";
const char kStnMesCheckOutPath[] = "check-out";

namespace {

using Json = nlohmann::json;

bool is_token_char(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string("!#$%&'*+-.^_`|~").find(c) != std::string::npos;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XX decoded; false on a broken escape.
bool percent_decode(const std::string &in, std::string *out) {
    out->clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            *out += in[i];
            continue;
        }
        if (i + 2 >= in.size()) return false;
        const int hi = hex_value(in[i + 1]), lo = hex_value(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        *out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

std::string base64(const std::string &in) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < in.size(); i += 3) {
        const std::size_t n = in.size() - i < 3 ? in.size() - i : 3;
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            v = (v << 8) | (k < n ? static_cast<unsigned char>(in[i + k]) : 0u);
        }
        for (std::size_t k = 0; k < 4; ++k) {
            out += k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 63u] : '=';
        }
    }
    return out;
}

bool lower_equal(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// text as printable characters: valid UTF-8 kept, control characters as
// blanks, broken bytes as '?'; blanks around dropped; at most max
// characters ("..." at the cut).
std::string printable(const std::string &text, std::size_t max) {
    // One character more than fits tells that the text was cut; the clip's
    // characters are whole UTF-8 sequences, so its lead bytes count them.
    std::string out = stn_printable_clip(text, static_cast<unsigned>(max + 1));
    std::vector<std::size_t> starts;  // where each character of out begins
    for (std::size_t i = 0; i < out.size(); ++i) {
        if ((static_cast<unsigned char>(out[i]) & 0xC0u) != 0x80u) starts.push_back(i);
    }
    if (starts.size() > max) {
        // Cut: the last three characters make room for the mark.
        out.resize(starts[max >= 3 ? max - 3 : 0]);
        out += "...";
    }
    const std::size_t b = out.find_first_not_of(' ');
    if (b == std::string::npos) return std::string();
    return out.substr(b, out.find_last_not_of(' ') - b + 1);
}

StnCheckInAnswer no_answer(const std::string &why) {
    StnCheckInAnswer a;
    a.verdict = StnCheckInVerdict::kNoAnswer;
    a.reason = why;
    return a;
}

// A validation result's "Result" and "Message": *passed, *message.
// false: not a validation result.
bool read_validation(const Json &v, bool *passed, std::string *message) {
    if (!v.is_object()) return false;
    const auto r = v.find("Result");
    if (r == v.end() || !r->is_string()) return false;
    const std::string result = r->get<std::string>();
    if (result == "Passed") {
        *passed = true;
    } else if (result == "Failed") {
        *passed = false;
    } else {
        return false;
    }
    const auto m = v.find("Message");
    message->clear();
    if (m != v.end() && m->is_string()) *message = m->get<std::string>();
    return m == v.end() || m->is_string() || m->is_null();
}

const char *work_result(const std::string &result) {
    if (result == "updated" || result == "current") return "Completed";
    if (result == "failed") return "Failed";
    return "Aborted";  // interrupted, rejected: not worked to its end
}

bool parse_port(const std::string &text, unsigned *out) {
    if (text.empty() || text.size() > 5) return false;
    unsigned v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v < 1 || v > 65535) return false;
    *out = v;
    return true;
}

std::string shorten(const std::string &body) {
    return printable(body, 80);
}

}  // namespace

namespace {

// Takes "user[:password]@" off the front of authority into out.
bool take_userinfo(std::string *authority, StnUrl *out, std::string *why) {
    const std::size_t at = authority->rfind('@');
    if (at == std::string::npos) return true;
    const std::string userinfo = authority->substr(0, at);
    const std::size_t colon = userinfo.find(':');
    if (!percent_decode(userinfo.substr(0, colon), &out->user) ||
        (colon != std::string::npos &&
         !percent_decode(userinfo.substr(colon + 1), &out->password))) {
        *why = "the MES's URL has a broken %-escape in its user part";
        return false;
    }
    authority->erase(0, at + 1);
    return true;
}

// The host (an IPv6 address in brackets) and the port of what is left of
// the authority; the scheme's port when none is given.
bool take_host_port(const std::string &authority, StnUrl *out, std::string *why) {
    std::string port;
    if (!authority.empty() && authority[0] == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos) {
            *why = "the MES's URL has an unclosed [ in its host";
            return false;
        }
        out->host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') {
                *why = "the MES's URL has something after its host's ]";
                return false;
            }
            port = authority.substr(close + 2);
        }
    } else {
        const std::size_t colon = authority.find(':');
        out->host = authority.substr(0, colon);
        if (colon != std::string::npos) port = authority.substr(colon + 1);
    }
    if (out->host.empty()) {
        *why = "the MES's URL names no host";
        return false;
    }
    out->port = out->https ? 443 : 80;
    if (!port.empty() || (authority.find(':') != std::string::npos && authority[0] != '[')) {
        if (!parse_port(port, &out->port)) {
            *why = "the MES's URL has a bad port (1 to 65535)";
            return false;
        }
    }
    return true;
}

}  // namespace

bool stn_url_parse(const std::string &url, StnUrl *out, std::string *why) {
    *out = StnUrl();
    std::size_t rest = 0;
    if (url.compare(0, 7, "http://") == 0) {
        rest = 7;
    } else if (url.compare(0, 8, "https://") == 0) {
        out->https = true;
        rest = 8;
    } else {
        *why = "the MES's URL must start with http:// or https://";
        return false;
    }
    for (char c : url) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
            *why = "the MES's URL holds a blank or a control character";
            return false;
        }
    }
    const std::size_t auth_end = url.find_first_of("/?#", rest);
    std::string authority =
        url.substr(rest, auth_end == std::string::npos ? std::string::npos : auth_end - rest);
    if (!take_userinfo(&authority, out, why) || !take_host_port(authority, out, why)) {
        return false;
    }
    if (auth_end == std::string::npos) {
        out->path = "/";
        return true;
    }
    if (url[auth_end] != '/' || url.find_first_of("?#", auth_end) != std::string::npos) {
        *why = "the MES's URL may have no query (?) or fragment (#)";
        return false;
    }
    out->path = url.substr(auth_end);
    return true;
}

std::string stn_url_path(const std::string &base_path, const std::string &sub) {
    std::string p = base_path.empty() ? "/" : base_path;
    if (p.back() != '/') p += '/';
    return p + sub;
}

bool stn_http_header_parse(const std::string &text, StnHttpHeader *out) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    const std::string name = text.substr(0, colon);
    for (char c : name) {
        if (!is_token_char(c)) return false;
    }
    std::string value = text.substr(colon + 1);
    const std::size_t b = value.find_first_not_of(" \t");
    value = b == std::string::npos ? std::string() : value.substr(b, value.find_last_not_of(" \t") - b + 1);
    if (value.empty() || !stn_printable_text(value, 1, 4000)) return false;
    out->name = name;
    out->value = value;
    return true;
}

bool stn_mes_config_ok(const StnMesConfig &config, std::string *why) {
    StnUrl url;
    if (!config.url.empty() && !stn_url_parse(config.url, &url, why)) {
        *why += ": " + stn_url_redact(config.url);
        return false;
    }
    for (const std::string &h : config.headers) {
        StnHttpHeader parsed;
        if (!stn_http_header_parse(h, &parsed)) {
            *why = "a header for the MES must be \"Name: value\" (a name of letters, digits and -, a value "
                   "of printable characters): " + stn_header_redact(h);
            return false;
        }
    }
    return true;
}

std::string stn_mes_shown(const StnMesConfig &config) {
    std::string s = stn_url_redact(config.url);
    for (const std::string &h : config.headers) s += ", header " + stn_header_redact(h);
    return s;
}

std::string stn_mes_redact_in(const std::string &text, const StnMesConfig &config) {
    std::vector<std::string> secrets;
    StnUrl url;
    std::string why;
    if (stn_url_parse(config.url, &url, &why) && !url.password.empty()) {
        secrets.push_back(url.password);
        // As written in the URL too (it may be %-escaped): what the
        // redacted URL no longer holds.
        const std::string shown = stn_url_redact(config.url);
        const std::size_t colon = shown.find("***");
        if (colon != std::string::npos) {
            secrets.push_back(
                config.url.substr(colon, config.url.size() - (shown.size() - 3)));
        }
    }
    for (const std::string &h : config.headers) {
        StnHttpHeader parsed;
        if (stn_http_header_parse(h, &parsed)) secrets.push_back(parsed.value);
    }
    for (const StnHttpHeader &h : stn_mes_headers(config)) {
        if (lower_equal(h.name, "Authorization")) secrets.push_back(h.value);
    }
    return stn_redact_in(text, secrets);
}

std::vector<StnHttpHeader> stn_mes_headers(const StnMesConfig &config) {
    std::vector<StnHttpHeader> out;
    bool authorization = false;
    for (const std::string &h : config.headers) {
        StnHttpHeader parsed;
        if (!stn_http_header_parse(h, &parsed)) continue;
        authorization = authorization || lower_equal(parsed.name, "Authorization");
        out.push_back(parsed);
    }
    StnUrl url;
    std::string why;
    if (!authorization && stn_url_parse(config.url, &url, &why) && !url.user.empty()) {
        out.push_back({"Authorization", "Basic " + base64(url.user + ":" + url.password)});
    }
    return out;
}

std::string stn_mes_check_in_body(const StnCheckInRequest &r) {
    const std::string id = stn_json_quote(std::to_string(r.serial));
    std::string b = "{\"MessageName\":\"CFX.Production.ValidateUnitsRequest\"";
    b += ",\"TimeStamp\":" + stn_json_quote(r.time);
    b += ",\"Source\":" + stn_json_quote(r.station);
    b += ",\"Validations\":[\"UnitRouteValidation\",\"UnitStatusValidation\"]";
    b += ",\"PrimaryIdentifier\":" + id;
    b += ",\"Units\":[{\"UnitIdentifier\":" + id +
         ",\"PositionNumber\":" + std::to_string(r.index) + ",\"PositionName\":" +
         stn_json_quote("device " + std::to_string(r.index)) + "}]";
    if (!r.operator_name.empty()) {
        b += ",\"Operator\":{\"OperatorIdentifier\":" + stn_json_quote(r.operator_name) + "}";
    }
    if (!r.order.empty()) {
        b += ",\"WorkOrderIdentifier\":{\"WorkOrderId\":" + stn_json_quote(r.order) + "}";
    }
    b += ",\"Firmware\":{\"UnitVersion\":" + stn_json_quote(stn_version_text(r.unit_version)) +
         ",\"ImageVersion\":" + stn_json_quote(stn_version_text(r.image_version)) +
         ",\"ImageSHA256\":" + stn_json_quote(r.image_sha256) + "}";
    return b + "}";
}

namespace {

// Why an HTTP result is no answer at all (no connection, a redirect, a
// status other than 2xx); empty when it is one.
std::string not_an_answer(const StnHttpResult &result) {
    if (result.failure != StnHttpFailure::kNone) return result.why;
    if (result.status >= 300 && result.status < 400) {
        return "the MES redirects (status " + std::to_string(result.status) +
               "); redirects are not followed: give the URL it names";
    }
    if (result.status < 200 || result.status >= 300) {
        std::string s = "the MES answered status " + std::to_string(result.status);
        const std::string b = shorten(result.body);
        return b.empty() ? s : s + ": " + b;
    }
    return std::string();
}

// The unit's verdict in an answer whose request succeeded: its entry in
// ValidationResults, else the PrimaryResult. Empty when read; else how the
// answer departs from the contract.
std::string read_unit_result(const Json &j, std::int32_t serial, bool *passed,
                             std::string *message) {
    bool found = false;
    const std::string id = std::to_string(serial);
    const auto units = j.find("ValidationResults");
    if (units != j.end() && !units->is_null()) {
        if (!units->is_array()) return "ValidationResults is no list";
        for (const Json &u : *units) {
            if (!u.is_object() || !u.contains("UnitIdentifier") || !u["UnitIdentifier"].is_string()) {
                return "a validation result names no unit";
            }
            if (u["UnitIdentifier"].get<std::string>() != id) continue;
            if (!read_validation(u, passed, message)) return "the unit's Result is not Passed or Failed";
            found = true;
        }
        if (!found && !units->empty()) return "it is about other units than " + id;
    }
    if (found) return std::string();
    const auto primary = j.find("PrimaryResult");
    if (primary == j.end() || !read_validation(*primary, passed, message)) {
        return "no PrimaryResult that is Passed or Failed";
    }
    return std::string();
}

}  // namespace

StnCheckInAnswer stn_mes_check_in_answer(const StnHttpResult &result, std::int32_t serial) {
    const std::string problem = not_an_answer(result);
    if (!problem.empty()) return no_answer(problem);
    const std::string kNotContract = "the MES's answer does not follow the contract: ";
    const Json j = Json::parse(result.body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return no_answer(kNotContract + "not a JSON object");
    const auto res = j.find("Result");
    if (res == j.end() || !res->is_object() || !res->contains("Result") ||
        !(*res)["Result"].is_string()) {
        return no_answer(kNotContract + "no Result.Result");
    }
    const std::string request_result = (*res)["Result"].get<std::string>();
    if (request_result != "Success") {
        std::string m;
        if (res->contains("Message") && (*res)["Message"].is_string()) {
            m = printable((*res)["Message"].get<std::string>(), kStnMesReasonMax);
        }
        return no_answer("the MES could not check the unit (" + printable(request_result, 32) +
                         ")" + (m.empty() ? "" : ": " + m));
    }
    bool passed = false;
    std::string message;
    const std::string bad = read_unit_result(j, serial, &passed, &message);
    if (!bad.empty()) return no_answer(kNotContract + bad);
    StnCheckInAnswer a;
    if (passed) {
        a.verdict = StnCheckInVerdict::kAllowed;
        return a;
    }
    a.verdict = StnCheckInVerdict::kRejected;
    a.reason = printable(message, kStnMesReasonMax);
    if (a.reason.empty()) a.reason = "no reason given";
    return a;
}

bool stn_mes_check_out(const std::string &line, StnCheckOut *out) {
    // Our lines start with their brace; a byte order mark would not stay
    // valid inside the body.
    if (line.empty() || line[0] != '{') return false;
    const Json j = Json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("type") || j["type"] != "unit" ||
        !stn_json_is_object(line)) {
        return false;
    }
    auto text = [&j](const char *key) {
        const auto it = j.find(key);
        return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    out->path = kStnMesCheckOutPath;
    out->key = stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(line.data()), line.size());
    std::string b = "{\"MessageName\":\"CFX.Production.WorkCompleted\"";
    b += ",\"IdempotencyKey\":" + stn_json_quote(out->key);
    b += ",\"TimeStamp\":" + stn_json_quote(text("time"));
    b += ",\"Source\":" + stn_json_quote(text("station"));
    b += ",\"Result\":" + stn_json_quote(work_result(text("result")));
    const auto serial = j.find("serial");
    const auto index = j.find("index");
    if (serial != j.end() && serial->is_number_integer()) {
        const std::string id = stn_json_quote(std::to_string(serial->get<std::int64_t>()));
        b += ",\"PrimaryIdentifier\":" + id + ",\"Units\":[{\"UnitIdentifier\":" + id;
        if (index != j.end() && index->is_number_unsigned()) {
            b += ",\"PositionNumber\":" + std::to_string(index->get<std::uint64_t>());
        }
        b += "}]";
    } else {
        b += ",\"PrimaryIdentifier\":null,\"Units\":[]";
    }
    // The line's own bytes: its key is their SHA-256.
    b += ",\"ReportLine\":" + line;
    out->body = b + "}";
    return true;
}

bool stn_mes_check_out_taken(const StnHttpResult &result) {
    return result.failure == StnHttpFailure::kNone &&
           ((result.status >= 200 && result.status < 300) || result.status == 409);
}

bool stn_mes_send_check_out(StnHttp *http, const StnMesConfig &config, const StnCheckOut &c,
                            unsigned deadline_ms, std::string *why) {
    StnUrl url;
    if (!stn_url_parse(config.url, &url, why)) return false;
    std::vector<StnHttpHeader> headers = stn_mes_headers(config);
    headers.push_back({"Content-Type", "application/json; charset=utf-8"});
    headers.push_back({"Idempotency-Key", c.key});
    const StnHttpResult r = http->post(stn_url_path(url.path, c.path), headers, c.body, deadline_ms);
    if (stn_mes_check_out_taken(r)) return true;
    if (r.failure != StnHttpFailure::kNone) {
        *why = r.why;
    } else {
        *why = "the MES answered status " + std::to_string(r.status);
        const std::string b = shorten(r.body);
        if (!b.empty()) *why += ": " + b;
    }
    *why = stn_mes_redact_in(*why, config);
    return false;
}

StnMesClient::StnMesClient(std::unique_ptr<StnHttp> http, const StnMesConfig &config)
    : http_(std::move(http)), config_(config), headers_(stn_mes_headers(config)) {
    StnUrl url;
    std::string why;
    stn_url_parse(config.url, &url, &why);
    path_ = stn_url_path(url.path, kStnMesCheckInPath);
    headers_.push_back({"Content-Type", "application/json; charset=utf-8"});
}

StnCheckInAnswer StnMesClient::check_in(const StnCheckInRequest &request, unsigned deadline_ms) {
    const StnHttpResult r =
        http_->post(path_, headers_, stn_mes_check_in_body(request), deadline_ms);
    StnCheckInAnswer a = stn_mes_check_in_answer(r, request.serial);
    if (a.verdict == StnCheckInVerdict::kNoAnswer) a.reason = stn_mes_redact_in(a.reason, config_);
    return a;
}
