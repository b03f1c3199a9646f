#include "stw_dlg.h"

#include <commctrl.h>

#include <algorithm>

#include "stn_deliver_win.h"
#include "stn_store_win.h"
#include "stw_path.h"
#include "stw_resource.h"
#include "stw_text.h"

namespace {

constexpr UINT_PTR kTimer = 1;
constexpr UINT kMsgDefaultReport = WM_APP + 10;  // fill in the default report
constexpr UINT kMsgBuildImage = WM_APP + 11;     // the window shows: build the image
constexpr UINT kMsgImageBuilt = WM_APP + 12;     // from the builder: take the image
constexpr UINT kTimerMs = 250;      // time running and progress between turns
constexpr ULONGLONG kRedrawMs = 200;  // at most five redraws a second
constexpr unsigned kDeliveryEndMs = 2000;  // delivery's last chance at the end
const wchar_t kCaption[] = L"R846-QVM2K station";

const int kCounters[] = {IDC_CNT_UPDATED, IDC_CNT_CURRENT, IDC_CNT_FAILED,
                         IDC_CNT_YIELD,   IDC_CNT_RATE,    IDC_CNT_TIME};

// "19:40:00" in local time, or the text as it came.
std::string local_clock(const std::string &utc) {
    StnUtcTime t;
    if (!stn_parse_utc(utc, &t)) return utc;
    SYSTEMTIME u{};
    u.wYear = static_cast<WORD>(t.year);
    u.wMonth = static_cast<WORD>(t.month);
    u.wDay = static_cast<WORD>(t.day);
    u.wHour = static_cast<WORD>(t.hour);
    u.wMinute = static_cast<WORD>(t.minute);
    u.wSecond = static_cast<WORD>(t.second);
    SYSTEMTIME l{};
    if (SystemTimeToTzSpecificLocalTime(nullptr, &u, &l)) {
        t.hour = l.wHour;
        t.minute = l.wMinute;
        t.second = l.wSecond;
    }
    return stw_clock_text(t);
}

}  // namespace

int stw_message(HWND owner, const std::string &text, UINT type) {
    return MessageBoxW(owner, stn_wide(text).c_str(), kCaption, type);
}

StwDialog::StwDialog(const StwArgs &args, StwImageBuild *image)
    : args_(args), image_build_(image) {}

StwDialog::~StwDialog() {
    if (counter_font_ != nullptr) DeleteObject(counter_font_);
    // A short, bounded time for the last lines; a database that is away
    // is left behind, and the cursor lets the next start resume.
    if (delivery_ != nullptr) delivery_->finish(kDeliveryEndMs);
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
    if (db != nullptr) files = stn_win_deliver_files(report_, true, &why);
    if (db == nullptr || files == nullptr) {
        SetText(IDC_DATABASE, "Database: cannot deliver the report: " + stn_db_redact_in(why, cs));
        return nullptr;
    }
    StnDeliverConfig config;
    config.station = stn_computer_name();
    config.required = args_.database_required;
    config.after_wake = true;  // the engine opens the report first
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

BOOL StwDialog::OnInitDialog() {
    HICON icon = LoadIconA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(IDI_STATION));
    SetIcon(icon, TRUE);
    SetIcon(icon, FALSE);
    MakeCounterFont();
    grid_.CreateInPlaceOf(this, IDC_GRID);

    HWND list = GetDlgItem(IDC_RECENT)->m_hWnd;
    ::SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT,
                   LVS_EX_FULLROWSELECT);
    struct Column {
        const char *name;
        int dlu;
    };
    const Column columns[] = {{"Time", 44}, {"Device", 32}, {"Serial", 48}, {"Result", 44}};
    RECT list_rc;
    ::GetClientRect(list, &list_rc);
    // The reason takes what is left of the width, a vertical scroll bar's
    // room kept, so no horizontal one appears.
    int left = list_rc.right - GetSystemMetrics(SM_CXVSCROLL);
    for (int i = 0; i < 5; ++i) {
        int cx = left;
        if (i < 4) {
            RECT r = {0, 0, columns[i].dlu, 1};
            MapDialogRect(m_hWnd, &r);
            cx = r.right;
            left -= cx;
        }
        LVCOLUMNA c{};
        c.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        c.pszText = const_cast<char *>(i < 4 ? columns[i].name : "Reason");
        c.cx = cx;
        c.iSubItem = i;
        ::SendMessageA(list, LVM_INSERTCOLUMNA, i, reinterpret_cast<LPARAM>(&c));
    }

    CheckDlgButton(m_hWnd, IDC_SOUND, BST_CHECKED);
    chosen_report_ = !args_.report.empty();
    report_ = args_.report;
    // The Documents folder is looked up once the window shows (the shell's
    // folder lookup is slow to load under some systems).
    if (!chosen_report_) PostMessage(kMsgDefaultReport);
    else ShowReport();
    PostMessage(kMsgBuildImage);
    // The dialog manager gives the first tab stop the focus as this returns.
    Buttons(false);
    SetTimer(kTimer, kTimerMs);
    return TRUE;
}

void StwDialog::MakeCounterFont() {
    LOGFONTA lf{};
    HFONT base = reinterpret_cast<HFONT>(SendMessage(WM_GETFONT));
    if (base == nullptr || !GetObjectA(base, sizeof lf, &lf)) return;
    RECT box;
    ::GetClientRect(GetDlgItem(IDC_CNT_TIME)->m_hWnd, &box);
    HDC dc = ::GetDC(m_hWnd);
    lf.lfWidth = 0;
    lf.lfWeight = FW_BOLD;
    // Large enough to read from two metres, made for the system DPI, and
    // as large as the widest value lets it be in its box.
    static const char kWidest[] = "10 h 59 min";
    const int room = box.right - box.left - 4;
    HFONT f = nullptr;
    // Text width grows about in step with the size, so the measure at the
    // largest size tells where to look (from one point above the guess,
    // the guess being rounded down); each font made costs a few
    // milliseconds of start-up.
    constexpr int kLargest = 22, kSmallest = 10;
    for (int pt = kLargest;;) {
        lf.lfHeight = -MulDiv(pt, GetDeviceCaps(dc, LOGPIXELSY), 72);
        HFONT tryf = CreateFontIndirectA(&lf);
        if (tryf == nullptr) break;
        HGDIOBJ old = SelectObject(dc, tryf);
        SIZE sz{};
        GetTextExtentPoint32A(dc, kWidest, sizeof kWidest - 1, &sz);
        SelectObject(dc, old);
        if (f != nullptr) DeleteObject(f);
        f = tryf;
        if (sz.cx <= room || pt == kSmallest) break;
        const int guess = sz.cx > 0 ? pt * room / sz.cx + 1 : pt - 1;
        pt = std::max(kSmallest, std::min(guess, pt - 1));
    }
    ::ReleaseDC(m_hWnd, dc);
    if (f == nullptr) return;
    for (int id : kCounters) ::SendMessageA(GetDlgItem(id)->m_hWnd, WM_SETFONT,
                                            reinterpret_cast<WPARAM>(f), FALSE);
    if (counter_font_ != nullptr) DeleteObject(counter_font_);
    counter_font_ = f;
}

void StwDialog::TakeImage() {
    if (image_taken_) return;
    image_taken_ = true;
    const StwBuiltImage &built = image_build_->wait();
    image_ = built.image;
    image_ok_ = built.ok;
    if (image_ok_) return;
    SetText(IDC_STATUS, "The embedded image is unusable: no unit can be updated.");
    Buttons();
}

void StwDialog::SetText(int id, const std::string &text) {
    CWnd *w = GetDlgItem(id);
    if (w == nullptr) return;
    char now[512] = {};
    w->GetWindowText(now, sizeof now);
    if (text != now) w->SetWindowText(text.c_str());
}

void StwDialog::ShowReport() {
    ::SetWindowTextW(GetDlgItem(IDC_REPORT)->m_hWnd,
                     report_.empty() ? L"(no Documents folder: choose a report)"
                                     : stn_wide(report_).c_str());
}

void StwDialog::Buttons(bool move_focus) {
    const bool running = run_ != nullptr && run_->running();
    HWND focus = ::GetFocus();
    GetDlgItem(IDC_START)->EnableWindow(image_ok_ && !running);
    GetDlgItem(IDC_CHANGE)->EnableWindow(!running);
    GetDlgItem(IDC_STOP)->EnableWindow(running);
    if (!move_focus) return;
    // The keyboard never stays on a button that has just been disabled.
    HWND start = GetDlgItem(IDC_START)->m_hWnd, stop = GetDlgItem(IDC_STOP)->m_hWnd;
    HWND change = GetDlgItem(IDC_CHANGE)->m_hWnd;
    if (running && (focus == start || focus == change || focus == nullptr)) {
        SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(stop), TRUE);
    } else if (!running && (focus == stop || focus == nullptr) && image_ok_) {
        SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(start), TRUE);
    }
}

BOOL StwDialog::OnCommand(WPARAM wp, LPARAM lp) {
    if (HIWORD(wp) == BN_CLICKED) {
        switch (LOWORD(wp)) {
        case IDC_START: Start(); return TRUE;
        case IDC_STOP:
            if (RequestStop(false)) DestroyWindow();
            return TRUE;
        case IDC_CHANGE: ChangeReport(); return TRUE;
        default: break;
        }
    }
    return CDialog::OnCommand(wp, lp);
}

void StwDialog::Start() {
    TakeImage();
    if (!image_ok_ || (run_ != nullptr && run_->running())) return;
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
    std::unique_ptr<StwRun> run(new StwRun(m_hWnd));
    std::string why;
    if (!run->start(config, report_, &why, Delivery())) {
        stw_message(m_hWnd, "The station cannot start: " + why + ".\n" + report_,
                    MB_OK | MB_ICONERROR);
        return;
    }
    owner_ = std::move(owner);
    run_ = std::move(run);
    close_after_ = stop_requested_ = aborted_ = notice_of_stop_ = false;
    shown_recorded_ = ~0ull;
    SetText(IDC_NOTICE, "");
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

void StwDialog::ChangeReport() {
    if (run_ != nullptr && run_->running()) return;
    std::string chosen;
    if (!stw_choose_report(m_hWnd, report_, &chosen)) return;
    report_ = chosen;
    chosen_report_ = true;
    ShowReport();
}

void StwDialog::Refresh(bool force) {
    const ULONGLONG now = GetTickCount64();
    if (!force && now - last_refresh_ < kRedrawMs) return;
    last_refresh_ = now;
    if (run_ == nullptr) return;

    bool pass = false, fail = false;
    for (const StwEvent &e : run_->take_events()) {
        pass = pass || e.kind == StwEvent::kPass;
        fail = fail || e.kind == StwEvent::kFail;
        if (e.kind == StwEvent::kNotice) {
            SetText(IDC_NOTICE, e.text);
            notice_of_stop_ = stop_requested_;
        }
    }
    if (IsDlgButtonChecked(m_hWnd, IDC_SOUND) == BST_CHECKED) {
        if (fail) MessageBeep(MB_ICONHAND);
        if (pass) MessageBeep(MB_OK);
    }

    const StnSnapshot snap = run_->snapshot();
    grid_.Update(snap.tiles, image_.version);
    SetText(IDC_CNT_UPDATED, std::to_string(snap.tally.updated));
    SetText(IDC_CNT_CURRENT, std::to_string(snap.tally.current));
    SetText(IDC_CNT_FAILED, std::to_string(snap.tally.failed));
    SetText(IDC_CNT_YIELD, stw_yield_text(snap.tally.first_pass_yield));
    SetText(IDC_CNT_RATE, stw_per_hour_text(snap.tally.units_per_hour));
    SetText(IDC_CNT_TIME, stw_duration_text(snap.ms_running));

    if (snap.recorded != shown_recorded_) {
        shown_recorded_ = snap.recorded;
        HWND list = GetDlgItem(IDC_RECENT)->m_hWnd;
        ::SendMessageA(list, WM_SETREDRAW, FALSE, 0);
        ::SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
        int row = 0;
        for (const StnRecent &r : snap.recent) {
            const StwRecentRow cols = stw_recent_row(r);
            const std::string time = local_clock(r.time);
            const std::string *texts[] = {&time, &cols.index, &cols.serial, &cols.result,
                                          &cols.reason};
            LVITEMA item{};
            item.mask = LVIF_TEXT;
            item.iItem = row;
            item.pszText = const_cast<char *>(time.c_str());
            const int at = static_cast<int>(
                ::SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
            for (int c = 1; c < 5 && at >= 0; ++c) {
                LVITEMA sub{};
                sub.iSubItem = c;
                sub.pszText = const_cast<char *>(texts[c]->c_str());
                ::SendMessageA(list, LVM_SETITEMTEXTA, at, reinterpret_cast<LPARAM>(&sub));
            }
            ++row;
        }
        ::SendMessageA(list, WM_SETREDRAW, TRUE, 0);
        ::InvalidateRect(list, nullptr, TRUE);
    }

    BlockReason(run_->running() ? stw_units_running(snap) : 0);
    ShowDatabase();
    std::string status = stw_status_text(run_->running(), snap, aborted_);
    if (run_->running() && close_after_) status += " The window closes then.";
    SetText(IDC_STATUS, status);
    Buttons();
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

void StwDialog::OnEnded() {
    if (run_ == nullptr) return;
    run_->join();
    owner_.reset();  // the devices are free for others again
    Refresh(true);
    // A notice about the stop itself is over once the station has stopped.
    if (notice_of_stop_) SetText(IDC_NOTICE, "");
    if (close_after_ && !in_box_) DestroyWindow();
}

LRESULT StwDialog::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case kStwMsgTurn:
        if (run_ != nullptr) {
            run_->turn_seen();
            Refresh(false);
        }
        return 0;
    case kStwMsgEnded: OnEnded(); return 0;
    case kMsgBuildImage: {
        const HWND self = m_hWnd;
        image_build_->start([self] { ::PostMessageA(self, kMsgImageBuilt, 0, 0); });
        return 0;
    }
    case kMsgImageBuilt: TakeImage(); return 0;
    case kMsgDefaultReport:
        if (!chosen_report_ && (run_ == nullptr || !run_->running())) {
            report_ = stw_default_report(false);
            ShowReport();
        }
        return 0;
    case WM_TIMER:
        if (wp == kTimer && run_ != nullptr && run_->running()) Refresh(false);
        if (wp == kTimer) ShowDatabase();  // it goes on after a run
        return 0;
    case WM_CLOSE:
        if (RequestStop(true)) DestroyWindow();
        return 0;
    case WM_QUERYENDSESSION: return OnQueryEndSession();
    case WM_ENDSESSION:
        if (wp) OnEndSession();
        return 0;
    case WM_MOUSEWHEEL: {
        // The wheel goes to the window with the focus; over the grid it
        // scrolls the grid.
        POINT p = {static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
        RECT r;
        grid_.GetWindowRect(&r);
        if (grid_.m_hWnd != nullptr && PtInRect(&r, p)) {
            grid_.SendMessage(msg, wp, lp);
            return 0;
        }
        break;
    }
    case WM_SETTINGCHANGE:
    case WM_SYSCOLORCHANGE:
    case WM_THEMECHANGED:
        ::SendMessageA(GetDlgItem(IDC_RECENT)->m_hWnd, msg, wp, lp);
        grid_.SettingsChanged();
        Invalidate(TRUE);
        break;
    case WM_DESTROY: KillTimer(kTimer); break;
    default: break;
    }
    return CDialog::WindowProc(msg, wp, lp);
}
