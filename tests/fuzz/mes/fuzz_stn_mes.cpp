// The MES's answers are untrusted bytes from the network; report lines
// and URLs come from files and command lines.
#include <cstddef>
#include <cstdint>
#include <string>

#include "stn_deliver.h"
#include "stn_json.h"
#include "stn_mes.h"
#include "stn_sha256.h"
#include "stn_text.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const std::string bytes(reinterpret_cast<const char *>(data) + 1, size - 1);
    // The first byte picks the status: mostly 200, else 100..599.
    StnHttpResult r;
    r.failure = StnHttpFailure::kNone;
    r.status = data[0] < 128 ? 200 : 100 + data[0] * 2;
    r.body = bytes;
    const StnCheckInAnswer a = stn_mes_check_in_answer(r, 84600017);
    if (a.verdict == StnCheckInVerdict::kRejected) {
        check(stn_printable_text(a.reason, 1, static_cast<unsigned>(kStnMesReasonMax)));
    } else if (a.verdict == StnCheckInVerdict::kAllowed) {
        check(r.status >= 200 && r.status < 300 && a.reason.empty());
    } else {
        check(!a.reason.empty());
    }

    StnCheckOut c, again;
    if (stn_mes_check_out(bytes, &c)) {
        check(stn_json_is_object(c.body));
        check(c.key == stn_sha256_hex(reinterpret_cast<const std::uint8_t *>(bytes.data()),
                                      bytes.size()));
        check(stn_mes_check_out(bytes, &again) && again.body == c.body);
    }

    StnUrl u;
    std::string why;
    if (stn_url_parse(bytes, &u, &why)) {
        check(!u.host.empty() && u.port >= 1 && u.port <= 65535 && !u.path.empty() &&
              u.path[0] == '/');
    }
    (void)stn_url_redact(bytes);
    (void)stn_mes_redact_in(bytes, {bytes, {bytes}});
    return 0;
}
