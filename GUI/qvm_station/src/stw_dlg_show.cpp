// What the station window shows of its run: the events since the last
// look (sounds, notices, the banner), the counters, the tiles, the last
// results, the status line and the buttons' state. On the window's thread.
#include "stw_dlg.h"

#include <commctrl.h>

#include "stn_text.h"
#include "stw_resource.h"
#include "stw_text.h"

namespace {

constexpr ULONGLONG kRedrawMs = 200;  // at most five redraws a second

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

void StwDialog::MakeRecentList() {
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
        if (e.kind == StwEvent::kMes) {
            SetText(IDC_NOTICE, stw_mes_notice_text(e.mes, local_clock(e.mes.since)));
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

    ShowRecent(snap);

    BlockReason(run_->running() ? stw_units_running(snap) : 0);
    ShowDatabase();
    std::string status =
        stw_status_text(run_->running(), snap, aborted_, local_clock(snap.mes.since));
    if (run_->running() && close_after_) status += " The window closes then.";
    Status(status);
    Buttons();
}

// The last results, drawn again only when a unit has been recorded.
void StwDialog::ShowRecent(const StnSnapshot &snap) {
    if (snap.recorded == shown_recorded_) return;
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

void StwDialog::Status(const std::string &words) {
    status_words_ = words;
    SetText(IDC_STATUS, MakingPage() ? std::string(kStwMakingPage) + " " + words : words);
}

void StwDialog::SetText(int id, const std::string &text) {
    CWnd *w = GetDlgItem(id);
    if (w == nullptr) return;
    char now[512] = {};
    w->GetWindowText(now, sizeof now);
    if (text != now) w->SetWindowText(text.c_str());
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
