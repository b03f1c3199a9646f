#include "stn_text.h"

#include <cstdio>

#include "stn_json.h"
#include "com_type.h"
#include "pcom_dat.h"

std::string stn_version_text(std::uint32_t version) {
    if (version == kNoVersion) return "No firm";
    char text[240] = {};
    CLS_pcom_dat::pcom_version(version, text, 0);
    return text;
}

const char *stn_outcome_name(StnOutcome outcome) {
    static const char *const kNames[] = {"updated", "current", "failed", "interrupted",
                                                "rejected"};
    const auto i = static_cast<std::size_t>(outcome);
    return i < sizeof kNames / sizeof kNames[0] ? kNames[i] : "failed";
}

std::string stn_device_name(unsigned index, const StnUnitResult &r) {
    std::string s = "device " + std::to_string(index);
    if (r.identified) s += " (serial " + std::to_string(r.device.serial) + ")";
    return s;
}

std::string stn_result_text(const StnUnitResult &r) {
    std::string s = stn_device_name(r.device.index, r) + ": ";
    switch (r.outcome) {
    case StnOutcome::kUpdated:
        s += "updated " + stn_version_text(r.device.firm_version) + " -> " +
             stn_version_text(r.new_version);
        break;
    case StnOutcome::kCurrent:
        s += "current (" + stn_version_text(r.device.firm_version) + "), left alone";
        break;
    case StnOutcome::kInterrupted:
        s += "interrupted";
        break;
    case StnOutcome::kRejected:
        s += "rejected by the MES: " + r.what;
        break;
    default:
        s += r.what;
        break;
    }
    return s + " (" + std::to_string(r.ms) + " ms)";
}

namespace {

StnJson &device_fields(StnJson &j, const StnUnitResult &r) {
    j.num("index", r.device.index);
    if (r.identified) {
        j.num("serial", r.device.serial).num("mcu_version", r.device.mcu_version);
        j.str("old_version", stn_version_text(r.device.firm_version));
    } else {
        j.null("serial").null("mcu_version").null("old_version");
    }
    if (r.has_new) {
        j.str("new_version", stn_version_text(r.new_version));
    } else {
        j.null("new_version");
    }
    j.str("result", stn_outcome_name(r.outcome)).num("detail", r.detail);
    if (r.outcome == StnOutcome::kFailed) {
        j.str("failure", stn_failure_name(r.failure));
        j.str("message", stn_result_text(r));
    } else if (r.outcome == StnOutcome::kRejected) {
        j.str("reason", r.what);
        j.str("message", stn_result_text(r));
    }
    if (r.mes_unchecked) j.str("mes", "unchecked");
    return j.num("ms", static_cast<std::int64_t>(r.ms));
}

StnJson &who_fields(StnJson &j, const StnWho &who) {
    return j.str("operator", who.operator_name).str("order", who.order).str("station", who.station);
}

}  // namespace

std::string stn_json_device(const StnDevice &d) {
    return StnJson("device")
        .num("index", d.index)
        .num("serial", d.serial)
        .str("firmware", stn_version_text(d.firm_version))
        .num("firmware_raw", d.firm_version)
        .num("mcu_version", d.mcu_version)
        .line();
}

std::string stn_json_result(const StnUnitResult &r, const StnWho &who) {
    StnJson j("result");
    device_fields(j, r);
    return who_fields(j, who).line();
}

std::string stn_json_report(const StnUnitResult &r, const std::string &utc_time,
                            const std::string &image_sha256, const StnWho &who) {
    StnJson j("unit");
    j.str("time", utc_time);
    if (r.id != 0) j.num("id", static_cast<std::int64_t>(r.id));
    device_fields(j, r);
    j.str("image_sha256", image_sha256);
    return who_fields(j, who).line();
}


std::string stn_totals_text(const StnTotals &t) {
    std::string s = "updated " + std::to_string(t.updated) + ", current " +
                    std::to_string(t.current) + ", failed " + std::to_string(t.failed);
    if (t.interrupted != 0) s += ", interrupted " + std::to_string(t.interrupted);
    if (t.rejected != 0) s += ", rejected " + std::to_string(t.rejected);
    return s;
}


const char *stn_failure_name(StnFailure kind) {
    static const char *const kNames[kStnFailureKinds] = {
        "", "refused", "no_answer", "deadline", "unplugged", "unverified", "other"};
    const auto i = static_cast<std::size_t>(kind);
    return i < sizeof kNames / sizeof kNames[0] ? kNames[i] : "";
}

std::string stn_hours_text(std::uint64_t ms) {
    const std::uint64_t minutes = ms / 60000;
    char buf[48];
    std::snprintf(buf, sizeof(buf), "%llu h %02u min",
                  static_cast<unsigned long long>(minutes / 60),
                  static_cast<unsigned>(minutes % 60));
    return buf;
}

const char *stn_failure_words(StnFailure kind) {
    static const char *const kWords[kStnFailureKinds] = {
        "", "refused by the device", "no valid answer", "deadline", "unplugged or powered off",
        "not verified", "other"};
    const auto i = static_cast<std::size_t>(kind);
    return i < sizeof kWords / sizeof kWords[0] ? kWords[i] : "";
}

std::string stn_json_start(const StnDevice &d, std::uint64_t id, const std::string &utc_time,
                           const std::string &image_sha256, const StnWho &who,
                           bool mes_unchecked) {
    StnJson j("start");
    j.str("time", utc_time)
        .num("id", static_cast<std::int64_t>(id))
        .num("index", d.index)
        .num("serial", d.serial)
        .num("mcu_version", d.mcu_version)
        .str("old_version", stn_version_text(d.firm_version))
        .str("image_sha256", image_sha256);
    if (mes_unchecked) j.str("mes", "unchecked");
    return who_fields(j, who).line();
}

std::string stn_json_run(const char *event, const std::string &utc_time,
                         const std::string &station, const std::string &utc_offset,
                         const std::string &version, const std::string &order,
                         const std::string &was) {
    StnJson j("run");
    j.str("time", utc_time).str("event", event).str("station", station);
    if (utc_offset.empty()) {
        j.null("utc_offset");
    } else {
        j.str("utc_offset", utc_offset);
    }
    j.str("version", version).str("order", order);
    if (!was.empty()) j.str("was", was);
    return j.line();
}

std::string stn_utc_offset_text(int minutes_east) {
    const unsigned m = static_cast<unsigned>(minutes_east < 0 ? -minutes_east : minutes_east);
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%c%02u:%02u", minutes_east < 0 ? '-' : '+', m / 60 % 100,
                  m % 60);
    return buf;
}

std::string stn_printable_clip(const std::string &text, unsigned max) {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const std::size_t size = text.size();
    std::string out;
    unsigned chars = 0;
    for (std::size_t i = 0; i < size && chars < max; ++chars) {
        std::uint32_t cp = p[i];
        std::size_t n = 1;
        if (cp >= 0x80) {
            n = stn_utf8_sequence(p + i, size - i, &cp);
            if (n == 0) {
                out += '?';
                ++i;
                continue;
            }
        }
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
            out += ' ';
        } else {
            out.append(text, i, n);
        }
        i += n;
    }
    return out;
}

bool stn_printable_text(const std::string &text, unsigned lo, unsigned hi) {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const std::size_t size = text.size();
    unsigned chars = 0;
    for (std::size_t i = 0; i < size; ++chars) {
        std::uint32_t cp = p[i];
        std::size_t n = 1;
        if (cp >= 0x80) {
            n = stn_utf8_sequence(p + i, size - i, &cp);
            if (n == 0) return false;
        }
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return false;
        i += n;
    }
    return chars >= lo && chars <= hi;
}
