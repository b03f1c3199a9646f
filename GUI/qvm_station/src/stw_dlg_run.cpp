// The station window's run: Start (who, which order, the report, the
// claim on the devices), Stop and the question before units are cut short,
// the run's end, and the end of the user's session while units are
// written. On the window's thread; the run itself is StwRun's.
#include "stw_dlg.h"

#include "stn_http_win.h"
#include "stn_mes.h"
#include "stn_store_win.h"
#include "stn_text.h"
#include "stw_path.h"
#include "stw_resource.h"
#include "stw_text.h"

bool StwDialog::TakeMes(StnConfig *config, StnMesConfig *mes) {
    *mes = args_.mes;
    if (!args_.mes_given) mes->url = stn_mes_machine_default();
    if (mes->url.empty()) return true;
    std::string why;
    std::unique_ptr<StnHttp> http;
    if (stn_mes_config_ok(*mes, &why)) http = stn_winhttp(mes->url, &why);
    if (http == nullptr) {
        stw_message(m_hWnd,
                    "The station cannot ask the MES: " + stn_mes_redact_in(why, *mes) +
                        (args_.mes_given ? "." : " (the registry value Mes)."),
                    MB_OK | MB_ICONERROR);
        return false;
    }
    config->check_in = std::make_shared<StnMesClient>(std::move(http), *mes);
    config->mes_down_allow = args_.mes_down_allow;
    return true;
}

void StwDialog::Start() {
    TakeImage();
    if (!image_ok_ || (run_ != nullptr && run_->running())) return;
    if (const int missing = MissingField()) {
        FocusItem(missing);
        return;
    }
    StnWho who;
    who.operator_name = Field(IDC_OPERATOR);
    who.order = Field(IDC_ORDER);
    who.station = station_name_;
    if (!FieldsFit(who)) return;
    if (!chosen_report_) {
        // Today's file, in case the day changed since the window opened.
        report_ = stw_default_report(true);
        ShowReport();
    }
    if (report_.empty()) {
        stw_message(m_hWnd, "There is no Documents folder for the report. Choose a report "
                            "with Change... first.", MB_OK | MB_ICONWARNING);
        return;
    }
    // The full path, as qvm_cli claims it: a second program names the real file.
    std::unique_ptr<StnOwner> owner(new StnOwner);
    std::string holder;
    if (!owner->claim(stn_full_path(report_), &holder)) {
        stw_message(m_hWnd, stw_station_runs_text(holder), MB_OK | MB_ICONWARNING);
        return;
    }
    StnConfig config;
    config.image = image_;
    config.parallel = args_.parallel;
    config.timeout_s = args_.timeout_s;
    config.halt_after = args_.halt_after;
    config.who = who;
    StnMesConfig mes;
    if (!TakeMes(&config, &mes)) return;
    const std::vector<StnDelivery *> deliveries = Deliveries(mes);
    if (!deliveries.empty()) config.flushed = delivery_flushed_;
    std::unique_ptr<StwRun> run(new StwRun(m_hWnd));
    std::string why;
    if (!run->start(config, report_, &why, deliveries)) {
        stw_message(m_hWnd, "The station cannot start: " + why + ".\n" + report_,
                    MB_OK | MB_ICONERROR);
        return;
    }
    owner_ = std::move(owner);
    run_ = std::move(run);
    close_after_ = stop_requested_ = aborted_ = notice_of_stop_ = false;
    shown_recorded_ = ~0ull;
    SetText(IDC_NOTICE, "");
    HideHalt();
    Buttons();
    Refresh(true);
}

bool StwDialog::RequestStop(bool closing) {
    if (run_ == nullptr || !run_->running()) return closing;
    if (closing) close_after_ = true;
    if (!stop_requested_) {
        stop_requested_ = true;
        run_->request_stop();
        Refresh(true);
        return false;
    }
    const unsigned busy = UnitsRunning();
    if (busy == 0 || aborted_ || in_box_) return false;
    in_box_ = true;
    const int answer = stw_message(
        m_hWnd,
        std::to_string(busy) + (busy == 1 ? " update is" : " updates are") +
            " still running.\n\nCut them short now? Those units are recorded as interrupted "
            "and must be updated again.",
        MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
    in_box_ = false;
    if (run_->running()) {
        if (answer == IDYES) {
            run_->request_abort();
            aborted_ = true;
            Refresh(true);
        }
        return false;
    }
    // The run ended while the question was open.
    return close_after_;
}

void StwDialog::OnEnded() {
    if (run_ == nullptr) return;
    run_->join();
    owner_.reset();  // the devices are free for others again
    Refresh(true);
    // A notice about the stop itself is over once the station has stopped.
    if (notice_of_stop_) SetText(IDC_NOTICE, "");
    if (close_after_ && !in_box_) DestroyWindow();
}

unsigned StwDialog::UnitsRunning() {
    return run_ != nullptr && run_->running() ? stw_units_running(run_->snapshot()) : 0;
}

void StwDialog::BlockReason(unsigned units_busy) {
    if (units_busy == block_shown_) return;
    block_shown_ = units_busy;
    // Wine 8 has no such reasons (the calls fail with error 120): the
    // answer to WM_QUERYENDSESSION holds the session up all the same.
    if (units_busy == 0) {
        ShutdownBlockReasonDestroy(m_hWnd);
    } else {
        ShutdownBlockReasonCreate(m_hWnd, stn_wide(stw_block_reason_text(units_busy)).c_str());
    }
}

LRESULT StwDialog::OnQueryEndSession() {
    const unsigned busy = UnitsRunning();
    BlockReason(busy);
    return busy == 0 ? TRUE : FALSE;
}

void StwDialog::OnEndSession() {
    if (run_ == nullptr || !run_->running()) return;
    close_after_ = true;  // the window closes once the run has ended
    run_->end_session();
    aborted_ = aborted_ || run_->aborted();
    BlockReason(0);
}
