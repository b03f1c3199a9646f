// The station window's report: its path and Change..., the line manager's
// page of it (Report..., made on StwPageMaker's thread), and its delivery
// to the database with the words that say how far it is. On the window's
// thread.
#include "stw_dlg.h"

#include "stn_deliver_win.h"
#include "stn_store_win.h"
#include "stn_text.h"
#include "stw_path.h"
#include "stw_resource.h"
#include "stw_text.h"

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

StnDelivery *StwDialog::Delivery() {
    if (delivery_ != nullptr && delivery_report_ == report_) return delivery_.get();
    if (delivery_ != nullptr) delivery_->finish(0);
    delivery_.reset();
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
    delivery_flushed_ = std::make_shared<StnFlushed>();
    config.flushed = delivery_flushed_;
    delivery_.reset(new StnDelivery(std::move(db), std::move(files), config));
    delivery_report_ = report_;
    return delivery_.get();
}

void StwDialog::ShowDatabase() {
    if (delivery_ == nullptr) return;
    const StnDeliverStatus s = delivery_->status();
    std::string text = "Database: " + stn_deliver_words(s);
    if (!delivery_->may_take_units()) text += "; no new units until it takes them";
    SetText(IDC_DATABASE, text);
}
