#include "cli_text.h"

#include <cstdio>

#include "cli_json.h"
#include "com_type.h"
#include "pcom_dat.h"

std::string cli_version_text(std::uint32_t version) {
    if (version == kNoVersion) return "No firm";
    char text[240] = {};
    CLS_pcom_dat::pcom_version(version, text, 0);
    return text;
}

const char *cli_outcome_name(CliOutcome outcome) {
    switch (outcome) {
    case CliOutcome::kUpdated:
        return "updated";
    case CliOutcome::kCurrent:
        return "current";
    case CliOutcome::kInterrupted:
        return "interrupted";
    default:
        return "failed";
    }
}

std::string cli_device_name(unsigned index, const CliUnitResult &r) {
    std::string s = "device " + std::to_string(index);
    if (r.identified) s += " (serial " + std::to_string(r.device.serial) + ")";
    return s;
}

std::string cli_result_text(const CliUnitResult &r) {
    std::string s = cli_device_name(r.device.index, r) + ": ";
    switch (r.outcome) {
    case CliOutcome::kUpdated:
        s += "updated " + cli_version_text(r.device.firm_version) + " -> " +
             cli_version_text(r.new_version);
        break;
    case CliOutcome::kCurrent:
        s += "current (" + cli_version_text(r.device.firm_version) + "), left alone";
        break;
    case CliOutcome::kInterrupted:
        s += "interrupted";
        break;
    default:
        s += r.what;
        break;
    }
    return s + " (" + std::to_string(r.ms) + " ms)";
}

namespace {

CliJson &device_fields(CliJson &j, const CliUnitResult &r) {
    j.num("index", r.device.index);
    if (r.identified) {
        j.num("serial", r.device.serial).num("mcu_version", r.device.mcu_version);
        j.str("old_version", cli_version_text(r.device.firm_version));
    } else {
        j.null("serial").null("mcu_version").null("old_version");
    }
    if (r.has_new) {
        j.str("new_version", cli_version_text(r.new_version));
    } else {
        j.null("new_version");
    }
    j.str("result", cli_outcome_name(r.outcome)).num("detail", r.detail);
    if (r.outcome == CliOutcome::kFailed) j.str("message", cli_result_text(r));
    return j.num("ms", static_cast<std::int64_t>(r.ms));
}

}  // namespace

std::string cli_json_device(const CliDevice &d) {
    return CliJson("device")
        .num("index", d.index)
        .num("serial", d.serial)
        .str("firmware", cli_version_text(d.firm_version))
        .num("firmware_raw", d.firm_version)
        .num("mcu_version", d.mcu_version)
        .line();
}

std::string cli_json_result(const CliUnitResult &r) {
    CliJson j("result");
    return device_fields(j, r).line();
}

std::string cli_json_report(const CliUnitResult &r, const std::string &utc_time,
                            const std::string &image_sha256) {
    CliJson j("unit");
    j.str("time", utc_time);
    device_fields(j, r);
    return j.str("image_sha256", image_sha256).line();
}

std::string cli_json_error(const std::string &message, int exit_code) {
    return CliJson("error").str("message", message).num("exit", exit_code).line();
}

void CliTotals::count(CliOutcome outcome) {
    switch (outcome) {
    case CliOutcome::kUpdated:
        ++updated;
        break;
    case CliOutcome::kCurrent:
        ++current;
        break;
    case CliOutcome::kInterrupted:
        ++interrupted;
        break;
    default:
        ++failed;
        break;
    }
}

std::string cli_json_summary(const CliTotals &t, int exit_code) {
    return CliJson("summary")
        .num("updated", t.updated)
        .num("current", t.current)
        .num("failed", t.failed)
        .num("interrupted", t.interrupted)
        .num("exit", exit_code)
        .line();
}

std::string cli_totals_text(const CliTotals &t) {
    std::string s = "updated " + std::to_string(t.updated) + ", current " +
                    std::to_string(t.current) + ", failed " + std::to_string(t.failed);
    if (t.interrupted != 0) s += ", interrupted " + std::to_string(t.interrupted);
    return s;
}

int cli_exit_code(const CliTotals &t) {
    if (t.interrupted != 0) return kCliExitInterrupted;
    if (t.failed != 0) return kCliExitFailed;
    return kCliExitOk;
}
