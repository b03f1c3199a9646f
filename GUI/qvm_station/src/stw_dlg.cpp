#include "stw_dlg.h"

#include <commctrl.h>

#include <algorithm>

#include "stn_args.h"
#include "stn_deliver_win.h"
#include "stn_http_win.h"
#include "stn_mes.h"
#include "stn_store_win.h"
#include "stn_text.h"
#include "stw_path.h"
#include "stw_place.h"
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
const int kCaptions[] = {IDC_CAP_UPDATED, IDC_CAP_CURRENT, IDC_CAP_FAILED,
                         IDC_CAP_YIELD,   IDC_CAP_RATE,    IDC_CAP_TIME};
constexpr int kFieldChars = 64;  // what a field may hold (stn_printable_text)

// How control id follows a resized window; false: it stays where it was
// designed. The counters share the width; the grid takes the rest.
bool anchor_of(int id, StwAnchor *a) {
    for (int i = 0; i < 6; ++i) {
        if (id == kCounters[i] || id == kCaptions[i]) {
            *a = {i / 6.0, 0, (i + 1) / 6.0, 0};
            return true;
        }
    }
    switch (id) {
    case IDC_FIELD_HINT:
    case IDC_STATUS:
    case IDC_REPORT:
    case IDC_NOTICE:
    case IDC_HALT: *a = {0, 0, 1, 0}; return true;
    case IDC_CHANGE:
    case IDC_REPORT_PAGE: *a = {1, 0, 1, 0}; return true;
    case IDC_GRID: *a = {0, 0, 1, 1}; return true;
    case IDC_CAP_RECENT: *a = {0, 1, 0, 1}; return true;
    case IDC_DATABASE:
    case IDC_RECENT: *a = {0, 1, 1, 1}; return true;
    default: return false;
    }
}

int screen_dpi() {
    HDC screen = ::GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    return dpi;
}

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
    if (banner_font_ != nullptr) DeleteObject(banner_font_);
    // A short, bounded time for the last lines; a database that is away
    // is left behind, and the cursor lets the next start resume.
    if (delivery_ != nullptr) delivery_->finish(kDeliveryEndMs);
}

int StwDialog::ShowCommand(int asked) const {
    const bool plain = asked == SW_SHOWNORMAL || asked == SW_SHOW || asked == SW_SHOWDEFAULT;
    return start_maximized_ && plain ? SW_SHOWMAXIMIZED : asked;
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
    for (int i = 0; i < 5; ++i) {
        int cx = 0;  // the reason's: set by ReasonColumn
        if (i < 4) {
            RECT r = {0, 0, columns[i].dlu, 1};
            MapDialogRect(m_hWnd, &r);
            cx = r.right;
        }
        LVCOLUMNA c{};
        c.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        c.pszText = const_cast<char *>(i < 4 ? columns[i].name : "Reason");
        c.cx = cx;
        c.iSubItem = i;
        ::SendMessageA(list, LVM_INSERTCOLUMNA, i, reinterpret_cast<LPARAM>(&c));
    }
    ReasonColumn();

    CheckDlgButton(m_hWnd, IDC_SOUND, BST_CHECKED);
    char status[256] = {};
    GetDlgItem(IDC_STATUS)->GetWindowText(status, sizeof status);
    status_words_ = status;
    // Lines an earlier run kept in the spill wait for their report to be opened.
    std::string waiting;
    for (const std::string &n : stn_spill_notices()) waiting += (waiting.empty() ? "" : "  ") + n;
    SetText(IDC_NOTICE, waiting);
    station_name_ = args_.station_name.empty() ? stn_computer_name() : args_.station_name;
    for (int id : {IDC_OPERATOR, IDC_ORDER}) {
        ::SendMessageW(GetDlgItem(id)->m_hWnd, EM_LIMITTEXT, kFieldChars, 0);
    }
    ::SetWindowTextW(GetDlgItem(IDC_OPERATOR)->m_hWnd, stn_wide(args_.operator_name).c_str());
    ::SetWindowTextW(GetDlgItem(IDC_ORDER)->m_hWnd, stn_wide(args_.order).c_str());
    // The banner of a halt: bold, 1.6 times the dialog font.
    LOGFONTA lf{};
    HFONT base = reinterpret_cast<HFONT>(SendMessage(WM_GETFONT));
    if (base != nullptr && GetObjectA(base, sizeof lf, &lf)) {
        lf.lfHeight = lf.lfHeight * 8 / 5;
        lf.lfWidth = 0;
        lf.lfWeight = FW_BOLD;
        banner_font_ = CreateFontIndirectA(&lf);
    }
    KeepDesign();
    RestorePlacement();
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
    Status("The embedded image is unusable: no unit can be updated.");
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
    const int missing = MissingField();
    HWND page = GetDlgItem(IDC_REPORT_PAGE)->m_hWnd;
    // Off the button before it is disabled: a disabled window with the
    // focus takes no keys, and the dialog's Tab would start nowhere.
    if (MakingPage() && ::GetFocus() == page) SendMessage(WM_NEXTDLGCTL, 0, FALSE);
    ::EnableWindow(page, !MakingPage());
    HWND focus = ::GetFocus();
    GetDlgItem(IDC_START)->EnableWindow(image_ok_ && !running && missing == 0);
    GetDlgItem(IDC_CHANGE)->EnableWindow(!running);
    GetDlgItem(IDC_STOP)->EnableWindow(running);
    // Who and which order stay as they were for the whole run.
    if (fields_locked_ != static_cast<int>(running)) {
        fields_locked_ = running;
        for (int id : {IDC_OPERATOR, IDC_ORDER}) {
            ::SendMessageA(GetDlgItem(id)->m_hWnd, EM_SETREADONLY, running, 0);
        }
    }
    SetText(IDC_FIELD_HINT,
            running ? std::string()
                    : stw_fields_hint(args_.require_operator && Field(IDC_OPERATOR).empty(),
                                      args_.require_order && Field(IDC_ORDER).empty()));
    if (!move_focus) return;
    // The keyboard never stays on a button that has just been disabled.
    HWND start = GetDlgItem(IDC_START)->m_hWnd, stop = GetDlgItem(IDC_STOP)->m_hWnd;
    HWND change = GetDlgItem(IDC_CHANGE)->m_hWnd;
    if (running && (focus == start || focus == change || focus == nullptr)) {
        SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(stop), TRUE);
    } else if (!running && (focus == stop || focus == nullptr) && image_ok_) {
        if (missing != 0) {
            FocusItem(missing);
        } else {
            SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(start), TRUE);
        }
    }
}

std::string StwDialog::Field(int id) {
    HWND edit = GetDlgItem(id)->m_hWnd;
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(edit)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextW(edit, &text[0], static_cast<int>(text.size()))));
    return stw_field_value(stn_utf8(text));
}

int StwDialog::MissingField() {
    if (args_.require_operator && Field(IDC_OPERATOR).empty()) return IDC_OPERATOR;
    if (args_.require_order && Field(IDC_ORDER).empty()) return IDC_ORDER;
    return 0;
}

void StwDialog::FocusItem(int id) {
    SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(id)->m_hWnd), TRUE);
}

BOOL StwDialog::PreTranslateMessage(MSG *msg) {
    // A scanner ends its code with Enter. Taken here, before the dialog
    // manager, which would press the default button (or, under Wine,
    // nothing while it is disabled).
    if (msg->message == WM_KEYDOWN && msg->wParam == VK_RETURN &&
        ::GetParent(msg->hwnd) == m_hWnd) {
        const int id = ::GetDlgCtrlID(msg->hwnd);
        if (id == IDC_OPERATOR || id == IDC_ORDER) {
            ScanEnter(id);
            return TRUE;
        }
    }
    return CDialog::PreTranslateMessage(msg);
}

void StwDialog::ScanEnter(int id) {
    if (id == IDC_OPERATOR) {
        if (args_.require_operator && Field(IDC_OPERATOR).empty()) {
            MessageBeep(MB_OK);
            return;
        }
        FocusItem(IDC_ORDER);  // all of it selected: a new scan replaces it
        return;
    }
    const int missing = MissingField();
    if (missing != 0) {
        MessageBeep(MB_OK);
        FocusItem(missing);
        return;
    }
    if (GetDlgItem(IDC_START)->IsWindowEnabled()) Start();
}

BOOL StwDialog::OnCommand(WPARAM wp, LPARAM lp) {
    if (HIWORD(wp) == EN_CHANGE && (LOWORD(wp) == IDC_OPERATOR || LOWORD(wp) == IDC_ORDER)) {
        Buttons(false);  // a required field filled or emptied
        return TRUE;
    }
    if (HIWORD(wp) == BN_CLICKED) {
        switch (LOWORD(wp)) {
        case IDC_START: Start(); return TRUE;
        case IDC_STOP:
            if (RequestStop(false)) DestroyWindow();
            return TRUE;
        case IDC_CHANGE: ChangeReport(); return TRUE;
        case IDC_REPORT_PAGE: MakePage(); return TRUE;
        default: break;
        }
    }
    return CDialog::OnCommand(wp, lp);
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
    const struct {
        const std::string &value;
        int id;
        const char *name;
    } fields[] = {{who.operator_name, IDC_OPERATOR, "operator"}, {who.order, IDC_ORDER, "work order"}};
    for (const auto &f : fields) {
        if (stn_printable_text(f.value, 0, kFieldChars)) continue;
        stw_message(m_hWnd, std::string("The ") + f.name + " must be printable text of at most " +
                                std::to_string(kFieldChars) + " characters.",
                    MB_OK | MB_ICONWARNING);
        FocusItem(f.id);
        return;
    }
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
    // The factory's MES, when one is configured: asked before each unit.
    StnMesConfig mes = args_.mes;
    if (!args_.mes_given) mes.url = stn_mes_machine_default();
    if (!mes.url.empty()) {
        std::string why;
        std::unique_ptr<StnHttp> http;
        if (stn_mes_config_ok(mes, &why)) http = stn_winhttp(mes.url, &why);
        if (http == nullptr) {
            stw_message(m_hWnd,
                        "The station cannot ask the MES: " + stn_mes_redact_in(why, mes) +
                            (args_.mes_given ? "." : " (the registry value Mes)."),
                        MB_OK | MB_ICONERROR);
            return;
        }
        config.check_in = std::make_shared<StnMesClient>(std::move(http), mes);
        config.mes_down_allow = args_.mes_down_allow;
    }
    StnDelivery *delivery = Delivery();
    if (delivery != nullptr) config.flushed = delivery_flushed_;
    std::unique_ptr<StwRun> run(new StwRun(m_hWnd));
    std::string why;
    if (!run->start(config, report_, &why, delivery)) {
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

void StwDialog::ChangeReport() {
    if (run_ != nullptr && run_->running()) return;
    std::string chosen;
    if (!stw_choose_report(m_hWnd, report_, &chosen)) return;
    report_ = chosen;
    chosen_report_ = true;
    ShowReport();
}

void StwDialog::Status(const std::string &words) {
    status_words_ = words;
    SetText(IDC_STATUS, MakingPage() ? std::string(kStwMakingPage) + " " + words : words);
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
        if (e.kind == StwEvent::kHalt) {
            ShowHalt(e.text);
            pass = fail = false;  // its own sound instead
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
    Status(status);
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

void StwDialog::KeepDesign() {
    RECT rc{}, wr{};
    ::GetClientRect(m_hWnd, &rc);
    ::GetWindowRect(m_hWnd, &wr);
    designed_client_ = {rc.right - rc.left, rc.bottom - rc.top};
    min_track_ = {wr.right - wr.left, wr.bottom - wr.top};
    for (HWND c = ::GetWindow(m_hWnd, GW_CHILD); c != nullptr; c = ::GetWindow(c, GW_HWNDNEXT)) {
        Placed p;
        p.id = ::GetDlgCtrlID(c);
        if (!anchor_of(p.id, &p.anchor)) continue;
        RECT r{};
        ::GetWindowRect(c, &r);
        ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT *>(&r), 2);
        p.designed = {r.left, r.top, r.right, r.bottom};
        placed_.push_back(p);
    }
}

void StwDialog::Relayout() {
    RECT rc{};
    ::GetClientRect(m_hWnd, &rc);
    if (placed_.empty() || rc.right <= 0 || rc.bottom <= 0) return;  // minimized
    const int dw = rc.right - designed_client_.cx, dh = rc.bottom - designed_client_.cy;
    RECT gap = {0, 0, 4, 4};
    MapDialogRect(m_hWnd, &gap);
    std::vector<std::pair<HWND, StwRect>> moves;
    int banner_bottom = -1;  // the banner's, when it shows
    for (const Placed &p : placed_) {
        StwRect r = stw_anchored(p.designed, p.anchor, dw, dh);
        if (p.id == IDC_HALT && !halt_text_.empty()) {
            r.bottom = r.top + BannerHeight(r.right - r.left);
            banner_bottom = r.bottom;
        }
        moves.emplace_back(GetDlgItem(p.id)->m_hWnd, r);
    }
    HDWP dwp = BeginDeferWindowPos(static_cast<int>(moves.size()));
    for (auto &m : moves) {
        StwRect &r = m.second;
        // The grid starts below a banner that shows.
        if (m.first == grid_.m_hWnd && banner_bottom >= 0) {
            r.top = std::min(banner_bottom + static_cast<int>(gap.bottom), r.bottom);
        }
        if (dwp != nullptr) {
            dwp = DeferWindowPos(dwp, m.first, nullptr, r.left, r.top, r.right - r.left,
                                 r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    if (dwp != nullptr) EndDeferWindowPos(dwp);
    ReasonColumn();
    // The children too: the dialog's background is painted over their old places.
    ::RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void StwDialog::ReasonColumn() {
    // The reason takes what is left of the width, a vertical scroll bar's
    // room kept, so no horizontal one appears.
    HWND list = GetDlgItem(IDC_RECENT)->m_hWnd;
    RECT rc{};
    ::GetClientRect(list, &rc);
    int left = rc.right - GetSystemMetrics(SM_CXVSCROLL);
    for (int i = 0; i < 4; ++i) {
        left -= static_cast<int>(::SendMessageA(list, LVM_GETCOLUMNWIDTH, i, 0));
    }
    ::SendMessageA(list, LVM_SETCOLUMNWIDTH, 4, MAKELPARAM(std::max(left, 40), 0));
}

void StwDialog::RestorePlacement() {
    StwPlacement p;
    // A size kept at another DPI would not fit this one's controls.
    if (!stw_load_placement(&p) || p.dpi != screen_dpi()) return;
    RECT r = p.normal;
    r.right = std::max(r.right, r.left + min_track_.cx);
    r.bottom = std::max(r.bottom, r.top + min_track_.cy);
    if (MonitorFromRect(&r, MONITOR_DEFAULTTONULL) == nullptr) return;  // off every screen now
    WINDOWPLACEMENT wp{};
    wp.length = sizeof wp;
    if (!GetWindowPlacement(m_hWnd, &wp)) return;
    wp.flags = 0;
    wp.showCmd = SW_HIDE;  // shown by the application (ShowCommand)
    wp.rcNormalPosition = r;
    SetWindowPlacement(m_hWnd, &wp);
    start_maximized_ = p.maximized;
}

void StwDialog::SavePlacement() {
    WINDOWPLACEMENT wp{};
    wp.length = sizeof wp;
    if (!GetWindowPlacement(m_hWnd, &wp)) return;
    StwPlacement p;
    p.normal = wp.rcNormalPosition;
    p.maximized = wp.showCmd == SW_SHOWMAXIMIZED ||
                  (wp.showCmd == SW_SHOWMINIMIZED && (wp.flags & WPF_RESTORETOMAXIMIZED) != 0);
    p.dpi = screen_dpi();
    stw_save_placement(p);
}

void StwDialog::ShowHalt(const std::string &text) {
    halt_text_ = text;
    HWND banner = GetDlgItem(IDC_HALT)->m_hWnd;
    ::SetWindowTextW(banner, stn_wide(text).c_str());  // for screen readers and tests
    ::ShowWindow(banner, SW_SHOWNA);
    Relayout();
    ::InvalidateRect(banner, nullptr, FALSE);
    // Not to be missed: the fail sound whatever the sound switch says, and
    // the task bar button flashes until the window is in front.
    MessageBeep(MB_ICONHAND);
    FLASHWINFO fw{};
    fw.cbSize = sizeof fw;
    fw.hwnd = m_hWnd;
    fw.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;
    FlashWindowEx(&fw);
}

void StwDialog::HideHalt() {
    if (halt_text_.empty()) return;
    halt_text_.clear();
    HWND banner = GetDlgItem(IDC_HALT)->m_hWnd;
    ::ShowWindow(banner, SW_HIDE);
    ::SetWindowTextW(banner, L"");
    Relayout();
}

int StwDialog::BannerHeight(int width) {
    HDC dc = ::GetDC(m_hWnd);
    HGDIOBJ old = SelectObject(dc, banner_font_ != nullptr ? banner_font_ : GetStockObject(DEFAULT_GUI_FONT));
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    const int pad = tm.tmHeight / 2;
    const std::wstring text = stn_wide(halt_text_);
    RECT r = {0, 0, std::max(1, width - 2 * pad), 0};
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r,
              DT_CALCRECT | DT_WORDBREAK | DT_CENTER | DT_NOPREFIX);
    SelectObject(dc, old);
    ::ReleaseDC(m_hWnd, dc);
    return r.bottom + 2 * pad;
}

void StwDialog::DrawBanner(const DRAWITEMSTRUCT &di) {
    // White on red across the window, a dark frame round it; in a
    // high-contrast theme the theme's highlight colours.
    const bool hc = stw_high_contrast();
    const COLORREF back = hc ? GetSysColor(COLOR_HIGHLIGHT) : RGB(190, 0, 0);
    const COLORREF text = hc ? GetSysColor(COLOR_HIGHLIGHTTEXT) : RGB(255, 255, 255);
    const COLORREF frame = hc ? GetSysColor(COLOR_WINDOWTEXT) : RGB(100, 0, 0);
    HDC dc = di.hDC;
    RECT rc = di.rcItem;
    HBRUSH b = CreateSolidBrush(back);
    FillRect(dc, &rc, b);
    DeleteObject(b);
    b = CreateSolidBrush(frame);
    for (int i = 0; i < 3; ++i) {
        RECT f = {rc.left + i, rc.top + i, rc.right - i, rc.bottom - i};
        FrameRect(dc, &f, b);
    }
    DeleteObject(b);
    HGDIOBJ old = SelectObject(dc, banner_font_ != nullptr ? banner_font_ : GetStockObject(DEFAULT_GUI_FONT));
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    const int pad = tm.tmHeight / 2;
    const std::wstring words = stn_wide(halt_text_);
    RECT t = {rc.left + pad, rc.top + pad, rc.right - pad, rc.bottom - pad};
    RECT need = t;
    DrawTextW(dc, words.c_str(), static_cast<int>(words.size()), &need,
              DT_CALCRECT | DT_WORDBREAK | DT_CENTER | DT_NOPREFIX);
    const int h = need.bottom - need.top;
    if (h < t.bottom - t.top) t.top += (t.bottom - t.top - h) / 2;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, text);
    DrawTextW(dc, words.c_str(), static_cast<int>(words.size()), &t,
              DT_WORDBREAK | DT_CENTER | DT_NOPREFIX);
    SelectObject(dc, old);
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
    case kStwMsgPage: PageMade(); return 0;
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
    case WM_SIZE:
        if (wp != SIZE_MINIMIZED) Relayout();
        break;
    case WM_GETMINMAXINFO:
        if (min_track_.cx > 0) {
            MINMAXINFO *mmi = reinterpret_cast<MINMAXINFO *>(lp);
            mmi->ptMinTrackSize.x = min_track_.cx;
            mmi->ptMinTrackSize.y = min_track_.cy;
            return 0;
        }
        break;
    case WM_DRAWITEM:
        if (wp == IDC_HALT) {
            DrawBanner(*reinterpret_cast<const DRAWITEMSTRUCT *>(lp));
            return TRUE;
        }
        break;
    case WM_DESTROY:
        KillTimer(kTimer);
        SavePlacement();
        break;
    default: break;
    }
    return CDialog::WindowProc(msg, wp, lp);
}
