#include "stw_page.h"

#include <shellapi.h>

#include <atomic>

#include "stn_db_figures.h"
#include "stn_deliver.h"
#include "stn_page.h"
#include "stn_reading.h"
#include "stn_sql_odbc_win.h"
#include "stn_store_win.h"
#include "stn_time.h"
#include "stw_system.h"

struct StwPageMaker::Job {
    HWND notify = nullptr;
    std::string report;
    // The whole line from the database (connection not empty) on a day.
    std::string connection;
    int year = 0, month = 0, day = 0;
    std::int64_t from_ms = 0, to_ms = 0;
    std::atomic<bool> cancel{false};
    StwPageResult result;  // the page thread's until it has posted
};

namespace {

// The database's login, and how long its queries may take: the page of a
// day reads that day's rows only.
constexpr unsigned kLoginS = 15;
constexpr unsigned kQueryS = 300;

// How long the window's end waits for a page thread (the shell may hold it
// in a browser's start-up) before leaving it to end with the process.
constexpr DWORD kEndWaitMs = 3000;

// The report, read until the window asks the reading to stop (a failed
// read ends StnReading's pass). Keeps the system's error of a failed read.
class StoppableSource : public StnByteSource {
public:
    StoppableSource(StnByteSource *inner, const std::atomic<bool> *cancel)
        : inner_(inner), cancel_(cancel) {}
    bool read(std::uint64_t offset, char *buf, std::size_t n, std::size_t *got) override {
        if (cancel_->load()) return false;
        if (inner_->read(offset, buf, n, got)) return true;
        error = GetLastError();
        return false;
    }
    DWORD error = 0;

private:
    StnByteSource *inner_;
    const std::atomic<bool> *cancel_;
};

// Opens the page as a double click would, with no error box of the shell's
// (the window says it). COM first, as the shell's handlers may need it on
// this thread.
void open_page(const std::wstring &page, StwPageResult *r) {
    using ExecFn = BOOL(WINAPI *)(SHELLEXECUTEINFOW *);
    using InitFn = HRESULT(WINAPI *)(LPVOID, DWORD);
    using EndFn = void(WINAPI *)();
    static const ExecFn exec = stw_system_function<ExecFn>(L"shell32.dll", "ShellExecuteExW");
    static const InitFn com_init = stw_system_function<InitFn>(L"ole32.dll", "CoInitializeEx");
    static const EndFn com_end = stw_system_function<EndFn>(L"ole32.dll", "CoUninitialize");
    if (exec == nullptr) {
        r->outcome = StwPageOutcome::kOpenFailed;
        r->error = ERROR_PROC_NOT_FOUND;
        return;
    }
    const bool com = com_init != nullptr && com_end != nullptr &&
                     SUCCEEDED(com_init(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof sei;
    // NOASYNC: the shell's work is done before this thread ends.
    sei.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    sei.lpVerb = L"open";
    sei.lpFile = page.c_str();
    sei.nShow = SW_SHOWNORMAL;
    const bool opened = exec(&sei) != FALSE;
    const DWORD error = opened ? 0 : GetLastError();
    if (com) com_end();
    if (opened) {
        r->outcome = StwPageOutcome::kOpened;
        return;
    }
    const bool none = error == ERROR_NO_ASSOCIATION ||
                      reinterpret_cast<INT_PTR>(sei.hInstApp) == SE_ERR_NOASSOC;
    r->outcome = none ? StwPageOutcome::kNoOpener : StwPageOutcome::kOpenFailed;
    r->error = error;
}

// The temporary folder (UTF-8), or "" with r's outcome and error set.
std::string temp_folder(StwPageResult *r) {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    if (n == 0 || n > MAX_PATH) {
        r->outcome = StwPageOutcome::kWriteFailed;
        r->error = n == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW;
        return "";
    }
    return stn_utf8(temp);
}

// Writes html to r->page and opens it (unless the window has gone).
void write_and_open(StwPageMaker::Job *job, const std::string &html) {
    StwPageResult &r = job->result;
    const std::wstring page = stn_wide(r.page);
    // Whole or not at all (a browser that reloads never sees half a
    // page); not flushed: it can be made again.
    if (!stn_write_whole_file(page, html, /*durable=*/false)) {
        r.outcome = StwPageOutcome::kWriteFailed;
        r.error = GetLastError();
        return;
    }
    if (job->cancel.load()) return;  // the window has gone: nothing to open it for
    open_page(page, &r);
}

void make_line_page(StwPageMaker::Job *job) {
    StwPageResult &r = job->result;
    const std::string &cs = job->connection;
    r.report = stn_db_redact(cs);
    std::string why;
    bool unreachable = false;
    std::unique_ptr<StnSql> db = stn_sql_odbc(cs, kLoginS, kQueryS, &unreachable, &why);
    if (db == nullptr) {
        r.outcome = StwPageOutcome::kDbUnreachable;
        r.report = stn_db_redact_in(why, cs);
        return;
    }
    StnFigureFilter filter;
    filter.from_ms = job->from_ms;
    filter.to_ms = job->to_ms;
    std::int64_t now_ms = 0;
    if (!stn_utc_ms(stn_utc_now(), &now_ms)) now_ms = 0;
    StnFigures figures;
    if (!stn_db_figures(db.get(), filter, now_ms, &figures, nullptr, &why)) {
        r.outcome = StwPageOutcome::kDbFailed;
        r.report = stn_db_redact_in(why, cs);
        return;
    }
    db.reset();
    StnPageInput input;
    input.figures = &figures;
    input.database = stn_db_redact(cs);
    input.from_ms = job->from_ms;
    input.to_ms = job->to_ms;
    input.generated_utc = stn_utc_now();
    const std::string html = stn_report_page(input);
    const std::string folder = temp_folder(&r);
    if (folder.empty()) return;
    r.page = stw_line_page_path(folder, job->year, job->month, job->day);
    write_and_open(job, html);
}

void make_page(StwPageMaker::Job *job) {
    if (!job->connection.empty()) {
        make_line_page(job);
        return;
    }
    StwPageResult &r = job->result;
    r.report = job->report;
    StnWinFile file(job->report, StnWinFile::kRead);
    if (!file.ok()) {
        const DWORD e = GetLastError();
        r.outcome = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND
                        ? StwPageOutcome::kNotFound
                        : StwPageOutcome::kReadFailed;
        r.error = e;
        return;
    }
    StnReading::Options options;
    options.chain = true;
    options.now = stn_utc_now();
    StnReading reading(std::move(options));
    StoppableSource source(&file, &job->cancel);
    StnPageFile checked;
    checked.name = job->report;
    if (!reading.read(&source, &checked.chain)) {
        r.outcome = StwPageOutcome::kReadFailed;
        r.error = source.error;
        return;
    }
    StnPageInput input;
    const StnFigures figures = reading.tally.summary();
    input.figures = &figures;
    input.files.push_back(checked);
    input.generated_utc = stn_utc_now();
    const std::string html = stn_report_page(input);

    const std::string folder = temp_folder(&r);
    if (folder.empty()) return;
    r.page = stw_page_path(stn_full_path(job->report), folder);
    write_and_open(job, html);
}

DWORD WINAPI page_thread(void *arg) {
    // The thread's own hold on the job, given up as it ends.
    std::unique_ptr<std::shared_ptr<StwPageMaker::Job>> held(
        static_cast<std::shared_ptr<StwPageMaker::Job> *>(arg));
    StwPageMaker::Job *job = held->get();
    make_page(job);
    ::PostMessageW(job->notify, kStwMsgPage, 0, 0);
    return 0;
}

}  // namespace

StwPageMaker::~StwPageMaker() {
    if (job_ != nullptr) job_->cancel.store(true);
    if (thread_ == nullptr) return;
    WaitForSingleObject(thread_, kEndWaitMs);
    CloseHandle(thread_);
}

void StwPageMaker::launch(std::shared_ptr<Job> job) {
    job_ = std::move(job);
    job_->notify = notify_;
    auto *held = new std::shared_ptr<Job>(job_);
    thread_ = CreateThread(nullptr, 0, page_thread, held, 0, nullptr);
    if (thread_ == nullptr) page_thread(held);  // no thread to be had: here, slower
}

bool StwPageMaker::start(const std::string &report) {
    if (busy()) return false;
    auto job = std::make_shared<Job>();
    job->report = report;
    launch(std::move(job));
    return true;
}

bool StwPageMaker::start_line(const std::string &connection_string, int year, int month,
                              int day, std::int64_t from_ms, std::int64_t to_ms) {
    if (busy()) return false;
    auto job = std::make_shared<Job>();
    job->connection = connection_string;
    job->year = year;
    job->month = month;
    job->day = day;
    job->from_ms = from_ms;
    job->to_ms = to_ms;
    launch(std::move(job));
    return true;
}

StwPageResult StwPageMaker::take() {
    if (thread_ != nullptr) {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    StwPageResult r;
    if (job_ != nullptr) r = job_->result;
    job_.reset();
    return r;
}
