// The station window's life and its messages: made, shown, given its
// first state, the commands and keys routed to the units that do them, the
// messages posted by the image's builder, the run and the page, and the
// end. On the window's thread.
#include "stw_dlg.h"

#include "stn_store_win.h"
#include "stn_text.h"
#include "stw_path.h"
#include "stw_resource.h"

namespace {

constexpr UINT_PTR kTimer = 1;
constexpr UINT kMsgDefaultReport = WM_APP + 10;  // fill in the default report
constexpr UINT kMsgBuildImage = WM_APP + 11;     // the window shows: build the image
constexpr UINT kMsgImageBuilt = WM_APP + 12;     // from the builder: take the image
constexpr UINT kTimerMs = 250;      // time running and progress between turns
constexpr unsigned kDeliveryEndMs = 2000;  // delivery's last chance at the end
const wchar_t kCaption[] = L"R846-QVM2K station";

}  // namespace

int stw_message(HWND owner, const std::string &text, UINT type) {
    return MessageBoxW(owner, stn_wide(text).c_str(), kCaption, type);
}

StwDialog::StwDialog(const StwArgs &args, StwImageBuild *image)
    : args_(args), image_build_(image) {}

StwDialog::~StwDialog() {
    if (counter_font_ != nullptr) DeleteObject(counter_font_);
    if (banner_font_ != nullptr) DeleteObject(banner_font_);
    // A short, bounded time for the last lines; a database or MES that is
    // away is left behind, and the cursors let the next start resume.
    FinishDeliveries(kDeliveryEndMs);
}

int StwDialog::ShowCommand(int asked) const {
    const bool plain = asked == SW_SHOWNORMAL || asked == SW_SHOW || asked == SW_SHOWDEFAULT;
    return start_maximized_ && plain ? SW_SHOWMAXIMIZED : asked;
}

BOOL StwDialog::OnInitDialog() {
    HICON icon = LoadIconA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(IDI_STATION));
    SetIcon(icon, TRUE);
    SetIcon(icon, FALSE);
    MakeCounterFont();
    grid_.CreateInPlaceOf(this, IDC_GRID);
    MakeRecentList();
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
    MakeBannerFont();
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

bool StwDialog::OwnMessage(UINT msg, WPARAM wp) {
    switch (msg) {
    case kStwMsgTurn:
        if (run_ != nullptr) {
            run_->turn_seen();
            Refresh(false);
        }
        return true;
    case kStwMsgEnded: OnEnded(); return true;
    case kMsgBuildImage: {
        const HWND self = m_hWnd;
        image_build_->start([self] { ::PostMessageA(self, kMsgImageBuilt, 0, 0); });
        return true;
    }
    case kMsgImageBuilt: TakeImage(); return true;
    case kStwMsgPage: PageMade(); return true;
    case kMsgDefaultReport:
        if (!chosen_report_ && (run_ == nullptr || !run_->running())) {
            report_ = stw_default_report(false);
            ShowReport();
        }
        return true;
    case WM_TIMER:
        if (wp == kTimer && run_ != nullptr && run_->running()) Refresh(false);
        if (wp == kTimer) ShowDatabase();  // it goes on after a run
        return true;
    default: return false;
    }
}

LRESULT StwDialog::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    if (OwnMessage(msg, wp)) return 0;
    switch (msg) {
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
