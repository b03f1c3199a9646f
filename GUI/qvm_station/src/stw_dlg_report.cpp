// The station window's report: its path and Change..., the line manager's
// page of it (Report..., made on StwPageMaker's thread), and its deliveries
// to the database and the MES's check-outs with the words that say how far
// each is. On the window's thread.
#include "stw_dlg.h"

#include "stn_deliver_win.h"
#include "stn_http_win.h"
#include "stn_store_win.h"
#include "stn_text.h"
#include "stw_line.h"
#include "stw_path.h"
#include "stw_resource.h"
#include "stw_text.h"

namespace {

// Check-outs in a row between two saves of the MES's cursor.
constexpr std::size_t kMesBatch = 20;

}  // namespace

void StwDialog::ShowReport() {
    ::SetWindowTextW(GetDlgItem(IDC_REPORT)->m_hWnd,
                     report_.empty() ? L"(no Documents folder: choose a report)"
                                     : stn_wide(report_).c_str());
}

void StwDialog::ChangeReport() {
    if (run_ != nullptr && run_->running()) return;
    std::string chosen;
    if (!stw_choose_report(m_hWnd, report_, &chosen)) return;
    report_ = chosen;
    chosen_report_ = true;
    ShowReport();
}

void StwDialog::MakePage() {
    if (MakingPage()) return;
    // With a database, the whole line may be asked for instead.
    const std::string cs = args_.database_given ? args_.database : stn_db_machine_default();
    if (!cs.empty()) {
        StwLineDialog ask(this);
        if (ask.DoModal() != IDOK) return;
        const StwLineChoice &c = ask.choice();
        if (c.line) {
            std::int64_t from = 0, to = 0;
            if (!stw_local_day_utc(c.year, c.month, c.day, &from, &to)) return;
            if (page_ == nullptr) page_.reset(new StwPageMaker(m_hWnd));
            page_->start_line(cs, c.year, c.month, c.day, from, to);
            Buttons();
            Status(status_words_);
            return;
        }
    }
    if (report_.empty()) {
        PageBox(stw_page_text(StwPageOutcome::kNoReport, report_, "", 0), MB_ICONINFORMATION);
        return;
    }
    if (page_ == nullptr) page_.reset(new StwPageMaker(m_hWnd));
    page_->start(report_);
    Buttons();
    Status(status_words_);
}

void StwDialog::PageMade() {
    if (!MakingPage()) return;
    const StwPageResult r = page_->take();
    Buttons(false);
    Status(status_words_);
    const std::string text = stw_page_text(r.outcome, r.report, r.page, r.error);
    if (text.empty()) return;
    PageBox(text, r.outcome == StwPageOutcome::kNotFound ? MB_ICONINFORMATION : MB_ICONWARNING);
}

void StwDialog::PageBox(const std::string &text, UINT icon) {
    // As with the abort question: the window is not destroyed under the box
    // (its loop would take the quit message); a close that came meanwhile
    // and whose run has ended closes it now.
    const bool in_question = in_box_;  // the box may come over the abort question
    in_box_ = true;
    stw_message(m_hWnd, text, MB_OK | icon);
    in_box_ = in_question;
    if (!in_box_ && close_after_ && (run_ == nullptr || !run_->running())) DestroyWindow();
}

std::vector<StnDelivery *> StwDialog::Deliveries(const StnMesConfig &mes) {
    if (delivery_report_ != report_ || delivery_flushed_ == nullptr) {
        // Another report: each delivery of the last one ends (its cursor
        // keeps its place), and the new ones read what the new runs flush.
        FinishDeliveries(0);
        delivery_.reset();
        mes_delivery_.reset();
        delivery_flushed_ = std::make_shared<StnFlushed>();
        delivery_report_ = report_;
    }
    std::vector<StnDelivery *> all;
    if (StnDelivery *d = DbDelivery()) all.push_back(d);
    if (StnDelivery *d = MesDelivery(mes)) all.push_back(d);
    return all;
}

StnDelivery *StwDialog::DbDelivery() {
    if (delivery_ != nullptr) return delivery_.get();
    const std::string cs = args_.database_given ? args_.database : stn_db_machine_default();
    if (cs.empty()) return nullptr;
    std::string why;
    std::unique_ptr<StnDatabase> db = stn_odbc_database(cs, args_.timeout_s, &why);
    std::unique_ptr<StnDeliverFiles> files;
    if (db != nullptr) files = stn_win_deliver_files(report_, kStnDbCursor, &why);
    if (db == nullptr || files == nullptr) {
        SetText(IDC_DATABASE, "Database: cannot deliver the report: " + stn_db_redact_in(why, cs));
        return nullptr;
    }
    StnDeliverConfig config;
    config.station = stn_computer_name();
    config.required = args_.database_required;
    config.after_wake = true;  // the engine opens the report first
    config.flushed = delivery_flushed_;
    delivery_.reset(new StnDelivery(std::move(db), std::move(files), config));
    return delivery_.get();
}

StnDelivery *StwDialog::MesDelivery(const StnMesConfig &mes) {
    if (mes_delivery_ != nullptr || mes.url.empty()) return mes_delivery_.get();
    std::string why;
    std::unique_ptr<StnHttp> http = stn_winhttp(mes.url, &why);
    std::unique_ptr<StnDeliverFiles> files;
    if (http != nullptr) files = stn_win_deliver_files(report_, kStnMesCursor, &why);
    if (http == nullptr || files == nullptr) {
        mes_problem_ = "MES: cannot check units out: " + stn_mes_redact_in(why, mes);
        ShowDatabase();
        return nullptr;
    }
    mes_problem_.clear();
    StnDeliverConfig config;
    config.station = stn_computer_name();
    config.batch = kMesBatch;
    config.after_wake = true;
    config.flushed = delivery_flushed_;
    mes_delivery_.reset(new StnDelivery(
        stn_mes_destination(std::move(http), mes, args_.timeout_s * 1000u), std::move(files),
        config));
    return mes_delivery_.get();
}

void StwDialog::ShowDatabase() {
    std::string text;
    if (delivery_ != nullptr) {
        text = "Database: " + stn_deliver_words(delivery_->status());
        if (!delivery_->may_take_units()) text += "; no new units until it takes them";
    }
    const std::string mes = mes_delivery_ != nullptr
                                ? "MES: " + stn_deliver_words(mes_delivery_->status(), "check-out")
                                : mes_problem_;
    if (!mes.empty()) text += (text.empty() ? "" : "  |  ") + mes;
    if (!text.empty()) SetText(IDC_DATABASE, text);
}

void StwDialog::FinishDeliveries(unsigned ms) {
    // Woken together, they deliver side by side within the one time.
    for (StnDelivery *d : {delivery_.get(), mes_delivery_.get()}) {
        if (d != nullptr) d->wake();
    }
    const ULONGLONG until = GetTickCount64() + ms;
    for (StnDelivery *d : {delivery_.get(), mes_delivery_.get()}) {
        const ULONGLONG now = GetTickCount64();
        if (d != nullptr) d->finish(now < until ? static_cast<unsigned>(until - now) : 0u);
    }
}
