#include "stw_line.h"

#include <commctrl.h>

#include "stw_resource.h"

namespace {

bool checked(HWND dlg, int id) { return IsDlgButtonChecked(dlg, id) == BST_CHECKED; }

// Local SYSTEMTIME at midnight -> UTC ms since 1970.
bool local_midnight_ms(int year, int month, int day, std::int64_t *ms) {
    SYSTEMTIME local{};
    local.wYear = static_cast<WORD>(year);
    local.wMonth = static_cast<WORD>(month);
    local.wDay = static_cast<WORD>(day);
    SYSTEMTIME utc{};
    FILETIME ft{};
    if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !SystemTimeToFileTime(&utc, &ft)) {
        return false;
    }
    ULARGE_INTEGER u;
    u.LowPart = ft.dwLowDateTime;
    u.HighPart = ft.dwHighDateTime;
    // 100 ns ticks since 1601 -> ms since 1970.
    *ms = static_cast<std::int64_t>(u.QuadPart / 10000) - 11644473600000LL;
    return true;
}

}  // namespace

StwLineDialog::StwLineDialog(CWnd *parent) : CDialog(IDD_REPORT_SOURCE, parent) {
    // The date picker's class, which the framework's common controls leave out.
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_DATE_CLASSES};
    InitCommonControlsEx(&icc);
}

BOOL StwLineDialog::OnInitDialog() {
    CheckRadioButton(m_hWnd, IDC_SRC_FILE, IDC_SRC_LINE, IDC_SRC_LINE);
    CheckRadioButton(m_hWnd, IDC_DAY_TODAY, IDC_DAY_CHOSEN, IDC_DAY_TODAY);
    Enable();
    return TRUE;
}

BOOL StwLineDialog::OnCommand(WPARAM wp, LPARAM lp) {
    switch (LOWORD(wp)) {
    case IDC_SRC_FILE:
    case IDC_SRC_LINE:
    case IDC_DAY_TODAY:
    case IDC_DAY_CHOSEN:
        Enable();
        return TRUE;
    default:
        return CDialog::OnCommand(wp, lp);
    }
}

void StwLineDialog::Enable() {
    const bool line = checked(m_hWnd, IDC_SRC_LINE);
    ::EnableWindow(GetDlgItem(IDC_DAY_TODAY)->m_hWnd, line);
    ::EnableWindow(GetDlgItem(IDC_DAY_CHOSEN)->m_hWnd, line);
    ::EnableWindow(GetDlgItem(IDC_DAY_PICK)->m_hWnd, line && checked(m_hWnd, IDC_DAY_CHOSEN));
}

void StwLineDialog::OnOK() {
    choice_.line = checked(m_hWnd, IDC_SRC_LINE);
    SYSTEMTIME day{};
    if (choice_.line && checked(m_hWnd, IDC_DAY_CHOSEN)) {
        if (SendMessageW(GetDlgItem(IDC_DAY_PICK)->m_hWnd, DTM_GETSYSTEMTIME, 0,
                         reinterpret_cast<LPARAM>(&day)) != GDT_VALID) {
            GetLocalTime(&day);
        }
    } else {
        GetLocalTime(&day);
    }
    choice_.year = day.wYear;
    choice_.month = day.wMonth;
    choice_.day = day.wDay;
    EndDialog(IDOK);
}

bool stw_local_day_utc(int year, int month, int day, std::int64_t *from_ms, std::int64_t *to_ms) {
    if (!local_midnight_ms(year, month, day, from_ms)) return false;
    // The next day: through the calendar, so that a day of 23 or 25 hours
    // (a change of summer time) ends where it should.
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(year);
    t.wMonth = static_cast<WORD>(month);
    t.wDay = static_cast<WORD>(day);
    t.wHour = 12;
    FILETIME ft{};
    if (!SystemTimeToFileTime(&t, &ft)) return false;
    ULARGE_INTEGER u;
    u.LowPart = ft.dwLowDateTime;
    u.HighPart = ft.dwHighDateTime;
    u.QuadPart += 24ULL * 3600 * 10000000;
    ft.dwLowDateTime = u.LowPart;
    ft.dwHighDateTime = u.HighPart;
    SYSTEMTIME next{};
    if (!FileTimeToSystemTime(&ft, &next)) return false;
    return local_midnight_ms(next.wYear, next.wMonth, next.wDay, to_ms);
}
