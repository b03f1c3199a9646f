// qvm_cli.exe: the console shell around cli_run. It loads the embedded
// image, wires standard output and error, the live view on the console, the
// report file and the console's control events. Arguments come from the
// wide command line (wmain, linked with -municode) and are UTF-8 from there
// on, so a path such as "Prüfstand 2" works whatever the code page.
//
// Threads: main thread (everything here but the handler); the console
// control handler runs on a thread of the system's: it sets the request
// flags and, when the session or the console ends, holds that thread
// until the running units are recorded (stn_session.h).
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <cstdio>
#include <string>
#include <vector>

#include "cli_args.h"
#include "stn_json.h"
#include "cli_run.h"
#include "stn_sha256.h"
#include "cli_exit.h"
#include "stn_text.h"
#include "com_type.h"
#include "prom.h"
#include "resource.h"
#include "stn_deliver_win.h"
#include "stn_http_win.h"
#include "stn_owner.h"
#include "stn_session.h"
#include "stn_sql_odbc_win.h"
#include "stn_store_win.h"

namespace {

std::atomic<int> g_breaks{0};      // console control events so far
std::mutex g_wake_mu;
std::function<void()> g_wake;      // under g_wake_mu: the running command's waker

void wake_command() {
    std::lock_guard<std::mutex> lock(g_wake_mu);
    if (g_wake) g_wake();
}
std::atomic<bool> g_graceful{false}; // the command finishes running updates on a stop
// done() once the command has ended and recorded. Never destroyed: the
// handler may still be waking in it while the process exits.
StnSessionEnd &g_session = *new StnSessionEnd;

// At least n control events so far: 1 stops taking devices, 2 stops at once.
void raise_breaks(int n) {
    int now = g_breaks.load();
    while (now < n && !g_breaks.compare_exchange_weak(now, n)) {
    }
    wake_command();
}

BOOL WINAPI on_console_event(DWORD event) {
    // list and info may wait on a device that never answers: the system's
    // own handling ends them.
    if (!g_graceful.load()) return FALSE;
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        g_breaks.fetch_add(1);
        wake_command();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The system ends the process when this returns, and about 5 s
        // after the event whatever happens: running units get 3 s to
        // finish, the rest are recorded interrupted before this returns.
        // (These events reach only a console program that loads no user32.)
        g_session.end([] { raise_breaks(1); }, [] { raise_breaks(2); });
        return TRUE;
    default:
        return FALSE;
    }
}

// The handle when it is a console, else nullptr.
HANDLE console_of(DWORD which) {
    HANDLE h = GetStdHandle(which);
    DWORD mode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? h : nullptr;
}

// One line of our text (UTF-8) to a standard stream: a console gets it as
// UTF-16, whatever its code page; a file or pipe gets the bytes.
void write_line(FILE *stream, HANDLE console, const std::string &line) {
    if (console != nullptr) {
        std::fflush(stream);
        const std::wstring w = stn_wide(line + "\n");
        DWORD put = 0;
        WriteConsoleW(console, w.data(), static_cast<DWORD>(w.size()), &put, nullptr);
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

class WinIo : public CliIo {
public:
    WinIo() {
        err_ = GetStdHandle(STD_ERROR_HANDLE);
        out_console_ = console_of(STD_OUTPUT_HANDLE);
        err_console_ = console_of(STD_ERROR_HANDLE);
        console_ = err_console_ != nullptr;
    }
    ~WinIo() override = default;
    WinIo(const WinIo &) = delete;
    WinIo &operator=(const WinIo &) = delete;

    void out(const std::string &line) override {
        clear_live();
        write_line(stdout, out_console_, line);
    }
    void err(const std::string &line) override {
        clear_live();
        write_line(stderr, err_console_, line);
    }
    bool live_ok() override { return console_; }
    void live(const std::vector<std::string> &lines) override {
        if (!console_) return;
        clear_live();
        for (const std::string &l : lines) {
            std::fwrite(l.data(), 1, l.size(), stderr);
            std::fputc('\n', stderr);
        }
        std::fflush(stderr);
        shown_ = lines.size();
    }
    bool stop_requested() override { return g_breaks.load() >= 1; }
    bool abort_requested() override { return g_breaks.load() >= 2; }
    void set_waker(std::function<void()> wake) override {
        std::lock_guard<std::mutex> lock(g_wake_mu);
        g_wake = std::move(wake);
    }
    std::string utc_now() override { return stn_utc_now(); }
    std::string utc_offset() override { return stn_utc_offset(); }
    std::shared_ptr<StnReportStore> open_report(const std::string &path) override {
        auto report = std::make_shared<StnWinReportStore>(path);
        if (!report->ok()) return nullptr;
        return report;
    }
    std::vector<std::string> waiting_spills() override { return stn_spill_notices(); }
    std::unique_ptr<StnDatabase> open_database(const std::string &connection_string,
                                               unsigned timeout_s, std::string *why) override {
        return stn_odbc_database(connection_string, timeout_s, why);
    }
    std::unique_ptr<StnDeliverFiles> open_deliver_files(const std::string &utf8_path,
                                                        const char *cursor,
                                                        std::string *why) override {
        return stn_win_deliver_files(utf8_path, cursor, why);
    }
    std::unique_ptr<StnSql> open_sql(const std::string &connection_string, unsigned timeout_s,
                                     std::string *why, bool *unreachable) override {
        // A report reads as long as it needs; Ctrl+C ends it.
        return stn_sql_odbc(connection_string, timeout_s, 0, unreachable, why);
    }
    std::string default_database() override { return stn_db_machine_default(); }
    std::unique_ptr<StnHttp> open_http(const std::string &url, std::string *why) override {
        return stn_winhttp(url, why);
    }
    std::string default_mes() override { return stn_mes_machine_default(); }
    std::string station_name() override { return stn_computer_name(); }
    std::unique_ptr<StnByteSource> open_file(const std::string &utf8_path) override {
        std::unique_ptr<StnWinFile> f(new StnWinFile(utf8_path, StnWinFile::kRead));
        if (!f->ok()) return nullptr;
        return f;
    }
    bool write_file(const std::string &utf8_path, const std::string &bytes) override {
        return stn_write_whole_file(stn_wide(utf8_path), bytes, /*durable=*/false);
    }

private:
    // Takes the live view's lines off the console (they are redrawn).
    void clear_live() {
        if (!console_ || shown_ == 0) return;
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (GetConsoleScreenBufferInfo(err_, &info)) {
            COORD at = info.dwCursorPosition;
            at.X = 0;
            at.Y = static_cast<SHORT>(at.Y > static_cast<SHORT>(shown_) ? at.Y - shown_ : 0);
            DWORD n = 0;
            const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(shown_);
            FillConsoleOutputCharacterA(err_, ' ', cells, at, &n);
            SetConsoleCursorPosition(err_, at);
        }
        shown_ = 0;
    }

    HANDLE err_ = nullptr;
    HANDLE out_console_ = nullptr;  // standard output / error when a console
    HANDLE err_console_ = nullptr;
    bool console_ = false;
    std::size_t shown_ = 0;
};

// The program and its embedded image, built as the window program builds
// it into hex (freed by the caller).
void read_program(SHEX_HEX *hex, CliProgram *prog) {
    unsigned long version = kNoVersion;
    unsigned long mcu = 0;
    char product[CLS_prom::kProductLen] = {};
    prog->version_text = QVM_VERSION_TEXT;
    prog->station_name = stn_computer_name();
    if (CLS_prom::prom_read(hex, &version, &mcu, product) == 1 && version != kNoVersion) {
        prog->image_ok = true;
        prog->image.edit = &hex->edit;
        prog->image.version = static_cast<std::uint32_t>(version);
        prog->image.sha256 = stn_sha256_hex(hex->edit.data, hex->edit.len);
    }
}

// The command would open the devices while a station holds them; the
// station's own command claims them in owner. holder: the report named.
bool refused_by_owner(const CliArgs &args, StnOwner *owner, std::string *holder) {
    const bool opens = args.command == CliCommand::kList || args.command == CliCommand::kUpdate ||
                       args.command == CliCommand::kStation;
    if (args.command == CliCommand::kStation) {
        return !owner->claim(stn_full_path(args.report), holder);
    }
    return opens && StnOwner::held(holder);
}

}  // namespace

extern "C" int wmain(int argc, wchar_t **argv) {
    // Lines end in "\n" alone, as JSON Lines readers expect.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    SetConsoleCtrlHandler(on_console_event, TRUE);

    WinIo io;
    std::vector<std::string> utf8(static_cast<std::size_t>(argc > 0 ? argc : 0));
    std::vector<const char *> utf8_argv;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        utf8[i] = stn_utf8(argv[i]);
        utf8_argv.push_back(utf8[i].c_str());
    }
    CliArgs args;
    std::string error;
    if (!cli_parse_args(argc, utf8_argv.data(), &args, &error)) {
        if (args.json) io.out(cli_json_error(error, kCliExitUsage));
        io.err("qvm_cli: " + error);
        return kCliExitUsage;
    }

    SHEX_HEX hex{};
    CliProgram prog;
    read_program(&hex, &prog);

    g_graceful.store(args.command == CliCommand::kUpdate || args.command == CliCommand::kStation);
    // One owner of the devices: a running station keeps every other
    // command that would open them away; the station claims them.
    StnOwner owner;
    std::string holder;
    const bool refused = refused_by_owner(args, &owner, &holder);
    int code = kCliExitStation;
    if (refused) {
        const std::string msg = "a station runs on this machine (report " +
                                (holder.empty() ? std::string("unknown") : holder) +
                                "); nothing was sent";
        if (args.json) io.out(cli_json_error(msg, kCliExitStation));
        io.err("qvm_cli: " + msg);
    } else {
        code = cli_run(args, prog, io);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    g_session.done();
    // After a second Ctrl+C workers may still be writing: end them with us.
    if (io.abort_requested()) ExitProcess(static_cast<UINT>(code));
    CLS_prom::prom_free_mem(&hex, CLS_prom::FREE_ALL);
    return code;
}
