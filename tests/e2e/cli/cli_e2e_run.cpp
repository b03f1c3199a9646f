#include "cli_e2e_run.h"

#include <cstdio>
#include <sstream>

#include "qvm_e2e.h"

#ifndef QVM_CLI_EXE
#error "the build defines QVM_CLI_EXE, the path of the program under test"
#endif

namespace cli_e2e {

namespace {

std::string exe_path() { return qvm_e2e::windows_path(QVM_CLI_EXE); }

HANDLE inheritable_file(const std::string &path) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::string temp_path(const char *name) {
    char dir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, dir);
    std::string p = std::string(dir) + "qvm_cli_e2e_" + std::to_string(GetCurrentProcessId()) +
                    "_" + name;
    DeleteFileA(p.c_str());
    return p;
}

std::string read_file(const std::string &path) {
    std::string s;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return s;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof(buf), f)) > 0;) s.append(buf, n);
    std::fclose(f);
    return s;
}

std::vector<std::string> report_lines(const std::string &path, const char *type) {
    const std::string s = read_file(path);
    const std::string quoted = type != nullptr ? std::string("\"") + type + "\"" : "";
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t nl; (nl = s.find('\n', from)) != std::string::npos; from = nl + 1) {
        const std::string l = s.substr(from, nl - from);
        if (type == nullptr || field(l, "type") == quoted) lines.push_back(l);
    }
    return lines;
}

bool wait_report(const std::string &path, std::size_t n, const char *type, DWORD ms) {
    for (DWORD waited = 0; waited < ms; waited += 100) {
        if (report_lines(path, type).size() >= n) return true;
        Sleep(100);
    }
    return false;
}

Cli::Cli(const std::string &args) {
    static int runs = 0;
    ++runs;
    out_path_ = temp_path(("out" + std::to_string(runs)).c_str());
    err_path_ = temp_path(("err" + std::to_string(runs)).c_str());
    HANDLE out = inheritable_file(out_path_);
    HANDLE err = inheritable_file(err_path_);
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out;
    si.hStdError = err;
    const std::string exe = exe_path();
    std::string line = "\"" + exe + "\" " + args;
    if (!CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &si, &pi_)) {
        pi_ = PROCESS_INFORMATION{};
    }
    CloseHandle(out);
    CloseHandle(err);
}

Cli::~Cli() {
    if (pi_.hProcess != nullptr) {
        kill();
        CloseHandle(pi_.hProcess);
        CloseHandle(pi_.hThread);
    }
    DeleteFileA(out_path_.c_str());
    DeleteFileA(err_path_.c_str());
}

void Cli::kill() {
    if (pi_.hProcess == nullptr) return;
    TerminateProcess(pi_.hProcess, 99);
    WaitForSingleObject(pi_.hProcess, 10000);
}

bool Cli::wait(Output *o, DWORD ms) {
    *o = Output();
    if (pi_.hProcess == nullptr) return false;
    o->timed_out = WaitForSingleObject(pi_.hProcess, ms) != WAIT_OBJECT_0;
    if (o->timed_out) kill();
    GetExitCodeProcess(pi_.hProcess, &o->exit);
    std::istringstream lines(read_file(out_path_));
    for (std::string l; std::getline(lines, l);) o->out.push_back(l);
    o->err = read_file(err_path_);
    return !o->timed_out;
}

std::string Cli::err_so_far() const { return read_file(err_path_); }

std::string unix_sh(const std::string &command, DWORD ms) {
    static int calls = 0;
    const std::string out =
        "/tmp/qvm-e2e-sh." + std::to_string(GetCurrentProcessId()) + "." + std::to_string(++calls);
    std::string line = "/bin/sh -c \"( " + command + " ) >" + out + ".part 2>&1; mv " + out +
                       ".part " + out + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA("Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi)) {
        return "(cannot start /bin/sh)";
    }
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    std::string dos = "Z:" + out;
    for (char &c : dos) c = c == '/' ? '\\' : c;
    if (!wait_for([&] { return GetFileAttributesA(dos.c_str()) != INVALID_FILE_ATTRIBUTES; },
                  ms)) {
        return "(no end of: " + command + ")";
    }
    const std::string text = read_file(dos);
    DeleteFileA(dos.c_str());
    return text;
}


bool Cli::stop() {
    if (pi_.hProcess == nullptr || WaitForSingleObject(pi_.hProcess, 0) == WAIT_OBJECT_0) {
        return false;
    }
    // Wine hands no console event to a program without a console, but turns
    // SIGINT into Ctrl+C: the signal goes to the qvm_cli whose standard
    // output is this run's file, and to no other process.
    const std::string marker = out_path_.substr(out_path_.find_last_of('\\') + 1);
    const std::string found = unix_sh(
        "for p in /proc/[0-9]*; do grep -qaF qvm_cli.exe $p/cmdline 2>/dev/null || continue; "
        "ls -l $p/fd 2>/dev/null | grep -q -- '/" + marker +
        "$' && kill -INT ${p#/proc/} && echo ${p#/proc/}; done");
    return !found.empty() && found[0] != '(';
}

std::vector<std::string> Cli::out_so_far() const {
    const std::string s = read_file(out_path_);
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t nl; (nl = s.find('\n', from)) != std::string::npos; from = nl + 1) {
        std::string l = s.substr(from, nl - from);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        lines.push_back(l);
    }
    return lines;
}

Output run(const std::string &args, DWORD ms) {
    Cli cli(args);
    Output o;
    cli.wait(&o, ms);
    return o;
}

}  // namespace cli_e2e
