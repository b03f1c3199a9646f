// Runs qvm_cli.exe as a child process with its standard output and error
// in files, and reads them back.
//
// Threads: the test thread only. Every wait has a deadline.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "test_json_field.h"

namespace cli_e2e {

struct Output {
    DWORD exit = 0xFFFFFFFF;  // STILL_ACTIVE-free: the process's exit code
    std::vector<std::string> out;  // standard output, by line
    std::string err;               // standard error
    bool timed_out = false;
};

// A started qvm_cli.exe.
class Cli {
public:
    // args: the command line after the program name.
    explicit Cli(const std::string &args);
    ~Cli();
    Cli(const Cli &) = delete;
    Cli &operator=(const Cli &) = delete;

    bool started() const { return pi_.hProcess != nullptr; }
    // Waits for the end (false after ms); then *out holds what it wrote.
    bool wait(Output *out, DWORD ms = 120000);
    // Ends it at once, as a crash or a power cut would.
    void kill();
    // Ctrl+C, as an operator's (SIGINT to its Wine process); false when it
    // could not be sent.
    bool stop();
    // What it wrote to standard output so far, by whole line.
    std::vector<std::string> out_so_far() const;
    // What it wrote to standard error so far.
    std::string err_so_far() const;
    // The running program (null when it did not start); still owned here.
    HANDLE process() const { return pi_.hProcess; }

private:
    PROCESS_INFORMATION pi_{};
    std::string out_path_, err_path_;
};

// Runs to the end.
Output run(const std::string &args, DWORD ms = 120000);

// Whole file contents ("" when missing).
std::string read_file(const std::string &path);

// text in double quotes, for a command line.
inline std::string quoted(const std::string &text) { return "\"" + text + "\""; }

// Waits until pred() holds, checking every 20 ms; pred() once more at the end.
template <typename Pred>
bool wait_for(Pred pred, DWORD ms) {
    for (DWORD waited = 0; waited < ms; waited += 20) {
        if (pred()) return true;
        Sleep(20);
    }
    return pred();
}
// Runs a shell command line on the Unix side; its standard output and
// error, once it has ended. Wine's handle of a Unix process does not wait
// for its end, so the command renames its output into place when done.
std::string unix_sh(const std::string &command, DWORD ms = 60000);

// A fresh path in the temporary folder, with no file there.
std::string temp_path(const char *name);

using test_support::field;
// A report's whole lines, without their line ends (a torn tail is left
// out); with type, only its lines of that "type" ("start", "unit").
std::vector<std::string> report_lines(const std::string &path, const char *type = nullptr);
// Waits until the report holds at least n whole lines (of that type).
bool wait_report(const std::string &path, std::size_t n, const char *type = nullptr,
                 DWORD ms = 90000);

}  // namespace cli_e2e
