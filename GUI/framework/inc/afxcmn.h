// Common controls of the thin framework. User-interface thread (SetPos may
// also be sent from another thread: it is a synchronous window message).
#pragma once

#include <afxwin.h>
#include <commctrl.h>

// A progress bar (msctls_progress32) of a dialog template; obtained with
// GetDlgItem or attached with SubclassDlgItem. Adds no fields, so a
// GetDlgItem result may be used as one.
class CProgressCtrl : public CWnd {
public:
    // Returns the previous position.
    int SetPos(int pos) { return static_cast<int>(SendMessage(PBM_SETPOS, pos, 0)); }
    int GetPos() const { return static_cast<int>(SendMessage(PBM_GETPOS, 0, 0)); }
    void SetRange(short lower, short upper) { SendMessage(PBM_SETRANGE, 0, MAKELPARAM(lower, upper)); }
    void SetRange32(int lower, int upper) { SendMessage(PBM_SETRANGE32, lower, upper); }
    void GetRange(int &lower, int &upper) const {
        PBRANGE r{};
        SendMessage(PBM_GETRANGE, 0, reinterpret_cast<LPARAM>(&r));
        lower = r.iLow;
        upper = r.iHigh;
    }
};
