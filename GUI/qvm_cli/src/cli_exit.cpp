#include "cli_exit.h"

#include "stn_json.h"

std::string cli_json_error(const std::string &message, int exit_code) {
    return StnJson("error").str("message", message).num("exit", exit_code).line();
}

std::string cli_json_summary(const StnTotals &t, int exit_code) {
    return StnJson("summary")
        .num("updated", t.updated)
        .num("current", t.current)
        .num("failed", t.failed)
        .num("interrupted", t.interrupted)
        .num("rejected", t.rejected)
        .num("exit", exit_code)
        .line();
}

int cli_exit_code(const StnTotals &t) {
    if (t.interrupted != 0) return kCliExitInterrupted;
    if (t.failed != 0) return kCliExitFailed;
    return kCliExitOk;
}

int cli_station_exit_code(bool spilled, bool halted) {
    if (spilled) return kCliExitFailed;
    if (halted) return kCliExitHalted;
    return kCliExitInterrupted;
}
