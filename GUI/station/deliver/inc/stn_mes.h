// The factory's MES over HTTP (docs/mes.md): the check-in asked before a
// unit is written (StnCheckIn), and the check-out of each report line, as
// JSON bodies shaped after IPC-CFX's ValidateUnitsRequest/Response and
// UnitsProcessed, so that a gateway to a CFX broker is a mapping.
//
// Threads: StnMesClient::check_in may be called from several threads at
// once (its StnHttp allows it); everything else is pure.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "stn_checkin.h"
#include "stn_deliver.h"
#include "stn_http.h"

// Paths under the MES's URL.
extern const char kStnMesCheckInPath[];   // "check-in"
extern const char kStnMesCheckOutPath[];  // "check-out"

// A rejection's reason at most this long (characters).
constexpr std::size_t kStnMesReasonMax = 300;

// What configures the MES: --mes, --mes-header (each "Name: value").
struct StnMesConfig {
    std::string url;
    std::vector<std::string> headers;
};

// Whether config can be used (an empty URL: only the headers are
// checked); false: *why says what is wrong, redacted.
bool stn_mes_config_ok(const StnMesConfig &config, std::string *why);

// The configuration as shown to people: the URL with its password hidden
// and each header as "Name: ***".
std::string stn_mes_shown(const StnMesConfig &config);
// text with every secret of config (the URL's password, the headers'
// values) hidden.
std::string stn_mes_redact_in(const std::string &text, const StnMesConfig &config);

// The headers sent with every request: config's, then "Authorization:
// Basic" from the URL's user and password unless a header names
// Authorization already.
std::vector<StnHttpHeader> stn_mes_headers(const StnMesConfig &config);

// The check-in's body (ValidateUnitsRequest).
std::string stn_mes_check_in_body(const StnCheckInRequest &request);
// What an HTTP result means for a check-in of serial: only a 2xx whose body
// follows the contract (and names the serial, when it names units) is an
// answer; a rejection's reason is made printable and cut to
// kStnMesReasonMax. kNoAnswer's reason says why, for people.
StnCheckInAnswer stn_mes_check_in_answer(const StnHttpResult &result, std::int32_t serial);

// A report line's check-out: always the same bytes for the same line.
struct StnCheckOut {
    std::string path;  // kStnMesCheckOutPath
    std::string key;   // SHA-256 (hex) of the line's bytes: Idempotency-Key
    std::string body;  // UnitsProcessed, the line itself inside
};
// line: one whole "unit" line, without its line end. false: it is not one.
bool stn_mes_check_out(const std::string &line, StnCheckOut *out);
// Whether the MES has a check-out after this result: 2xx, or 409 (it holds
// that key already).
bool stn_mes_check_out_taken(const StnHttpResult &result);

// Sends one check-out through http (made for config's URL) with config's
// headers and its key as Idempotency-Key. true: the MES has it
// (stn_mes_check_out_taken); false: *why says why, redacted.
bool stn_mes_send_check_out(StnHttp *http, const StnMesConfig &config, const StnCheckOut &checkout,
                            unsigned deadline_ms, std::string *why);

// The MES's check-outs as a destination of delivery (StnDelivery, with
// its own cursor file, "<report>.mescursor"): each unit line of the report
// once it is on the disk, in order, one check-out each through http (made
// for config's URL), waiting at most deadline_ms for each; other lines move
// the cursor on. A check-out the MES does not take stops delivery there
// until the next try: none is skipped. A unit line that is no check-out
// (stn_mes_check_out: not our writer's) is passed over.
std::unique_ptr<StnDestination> stn_mes_destination(std::unique_ptr<StnHttp> http,
                                                    const StnMesConfig &config,
                                                    unsigned deadline_ms);

// The check-outs' cursor. A report that had no MES before starts its
// check-outs where its whole lines ended when the writer opened it with an
// MES (the size before that open added any), not at its first line; that
// start is kept in the cursor beside the place ("start"), written before
// the first check-out goes, so that a restart keeps it. While the report
// had no line yet, both are at offset 0, report "" and line_sha256 "".
// As a file: {"report":"<64 hex>","offset":N,"seq":N,"line_sha256":"<64
// hex>","start":{"offset":N,"seq":N,"line_sha256":"<64 hex>"}}.
struct StnMesCursor {
    StnDeliverCursor at;     // after the last line delivered
    StnDeliverCursor start;  // where check-outs started (its report_id unused)
};
std::string stn_mes_cursor_text(const StnMesCursor &c);
bool stn_mes_cursor_parse(const std::string &text, StnMesCursor *c);

// The check-in over an StnHttp made for config's URL.
class StnMesClient : public StnCheckIn {
public:
    StnMesClient(std::unique_ptr<StnHttp> http, const StnMesConfig &config);
    StnCheckInAnswer check_in(const StnCheckInRequest &request, unsigned deadline_ms) override;

private:
    std::unique_ptr<StnHttp> http_;
    StnMesConfig config_;
    std::string path_;
    std::vector<StnHttpHeader> headers_;
};
