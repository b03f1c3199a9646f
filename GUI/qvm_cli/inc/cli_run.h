// The commands of qvm_cli over a small console interface, so that the
// same code runs in the program and, natively, against in-process devices.
//
// Threads: cli_run runs on the caller's thread (the main thread) and
// returns the exit code. update and station start one worker thread per
// device being written (each with its own handle, at most --parallel at
// once); a worker writes only its own slot (StnProgress, its result and
// its done flag, released last), and the main thread reads a slot's result
// only after it saw the done flag. CliIo is called from the main thread
// only, except stop_requested/abort_requested, which may be set from any
// thread (a console control handler).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli_args.h"
#include "stn_report.h"
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
    // Current UTC time as ISO 8601 ("2026-12-08T19:40:00.123Z").
    virtual std::string utc_now() = 0;
    virtual void sleep_ms(unsigned ms);
    // The station's report file.
    virtual StnReportStore *open_report(const std::string &path) = 0;
    // The whole file at utf8_path, for `report`; false when it cannot be
    // read (the default reads nothing).
    virtual bool read_file(const std::string &utf8_path, std::string *bytes) {
        (void)utf8_path;
        bytes->clear();
        return false;
    }
};

// What the program knows about itself.
struct CliProgram {
    const char *version_text = "";   // this program's version ("3.50")
    bool image_ok = false;           // the embedded image is usable
    StnImage image;
    unsigned poll_ms = 300;          // station: how often names are probed
};

// Runs the parsed command. Returns the exit code (kCliExit*). After an
// abort, worker threads may still be running: the caller must end the
// process at once (they are detached).
int cli_run(const CliArgs &args, const CliProgram &prog, CliIo &io);
