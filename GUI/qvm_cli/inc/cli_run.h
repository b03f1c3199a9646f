// The commands of qvm_cli over a small console interface, so that the
// same code runs in the program and, natively, against in-process devices.
//
// Threads: cli_run runs on the caller's thread (the main thread) and
// returns the exit code. update and station start one worker thread per
// device being served (StnPool; the station through StnEngine), each
// exchange within the deadline (--timeout). The main thread sleeps until a
// worker ends, a stop comes or the next probe is due. CliIo is called from
// the main thread only, except utc_now (any thread) and the waker handed
// to set_waker, which the shell calls from its console handler.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli_args.h"
#include "stn_deliver.h"
#include "stn_http.h"
#include "stn_lines.h"
#include "stn_report.h"
#include "stn_sql.h"
#include "stn_unit.h"

class CliIo {
public:
    virtual ~CliIo() = default;
    // One whole line to standard output / standard error.
    virtual void out(const std::string &line) = 0;
    virtual void err(const std::string &line) = 0;
    // Whether a live view may be drawn (standard error is a console).
    virtual bool live_ok() { return false; }
    // Redraws the live view in place: these lines replace the previous ones.
    virtual void live(const std::vector<std::string> &lines) { (void)lines; }
    // First Ctrl+C (or Break, or the console closing): stop taking devices.
    virtual bool stop_requested() { return false; }
    // Second Ctrl+C: stop at once.
    virtual bool abort_requested() { return false; }
    // The running command's waker: the shell calls it (any thread) after a
    // stop or abort request, so the main thread looks at once. Empty: none.
    virtual void set_waker(std::function<void()> wake) { (void)wake; }
    // After every turn of update's and station's main loop.
    virtual void tick() {}
    // Current UTC time as ISO 8601 ("2026-12-08T19:40:00.123Z"). Any thread.
    virtual std::string utc_now() = 0;
    // The computer's offset from UTC now ("+01:00"); empty when unknown.
    virtual std::string utc_offset() { return std::string(); }
    // The station's report file (null: it cannot be opened), shared with
    // the report's writer.
    virtual std::shared_ptr<StnReportStore> open_report(const std::string &path) = 0;
    // A line for every spill that waits on this machine for its report
    // (stn_spill_notice); none by default.
    virtual std::vector<std::string> waiting_spills() { return {}; }
    // The file at utf8_path, for `report` to read a chunk at a time;
    // nullptr when it cannot be opened (the default opens nothing).
    virtual std::unique_ptr<StnByteSource> open_file(const std::string &utf8_path) {
        (void)utf8_path;
        return nullptr;
    }
    // Replaces the file at utf8_path with bytes as a whole (a reader never
    // sees half of it); false when it cannot (the default writes nothing).
    virtual bool write_file(const std::string &utf8_path, const std::string &bytes) {
        (void)utf8_path, (void)bytes;
        return false;
    }
    // The factory's database (every call within timeout_s seconds), and a
    // report as delivery reads it (with its cursor file "<report><cursor>",
    // or none: nullptr, see stn_win_deliver_files); nullptr
    // with *why when they cannot be had. Used on one thread at a time.
    virtual std::unique_ptr<StnDatabase> open_database(const std::string &connection_string,
                                                       unsigned timeout_s, std::string *why) {
        (void)connection_string, (void)timeout_s;
        *why = "this build has no database access";
        return nullptr;
    }
    virtual std::unique_ptr<StnDeliverFiles> open_deliver_files(const std::string &utf8_path,
                                                                const char *cursor,
                                                                std::string *why) {
        (void)utf8_path, (void)cursor;
        *why = "this build cannot read files for delivery";
        return nullptr;
    }
    // The factory's database for figures (login within timeout_s seconds,
    // queries without a limit); nullptr with *why when it cannot be had,
    // and *unreachable when it was there to ask but did not answer or
    // refused the login (not when this build has no database access).
    virtual std::unique_ptr<StnSql> open_sql(const std::string &connection_string,
                                             unsigned timeout_s, std::string *why,
                                             bool *unreachable) {
        (void)connection_string, (void)timeout_s;
        *unreachable = false;
        *why = "this build has no database access";
        return nullptr;
    }
    // The machine's default connection string; empty when none.
    virtual std::string default_database() { return ""; }
    // HTTP to the MES at url (scheme, host and port); nullptr with *why
    // when it cannot be had. Called from several threads at once.
    virtual std::unique_ptr<StnHttp> open_http(const std::string &url, std::string *why) {
        (void)url;
        *why = "this build has no HTTP";
        return nullptr;
    }
    // The machine's default MES URL; empty when none.
    virtual std::string default_mes() { return ""; }
    // This computer's name, for lines that name no station.
    virtual std::string station_name() { return ""; }
};

// What the program knows about itself.
struct CliProgram {
    const char *version_text = "";   // this program's version ("3.50")
    std::string station_name;        // the computer's name: the station's by default
    bool image_ok = false;           // the embedded image is usable
    StnImage image;
    unsigned poll_ms = 300;          // station: how often names are probed
    unsigned timeout_ms = 0;         // 0: the --timeout in seconds (tests set less)
};

// Runs the parsed command. Returns the exit code (kCliExit*). After an
// abort, worker threads may still be running (let go; they own what they
// touch): the caller should end the process soon.
int cli_run(const CliArgs &args, const CliProgram &prog, CliIo &io);
