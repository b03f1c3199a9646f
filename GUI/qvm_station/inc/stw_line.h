// Report... when a database is configured: a small modal dialog that asks
// for this station's report or the whole line from the database, today's
// or a chosen day's (a date picker), and the UTC bounds of that day on
// this computer's clock. Dialog thread.
#pragma once

#include <windows.h>

#include <cstdint>

#include "afxwin.h"

struct StwLineChoice {
    bool line = false;  // false: this station's report file
    int year = 0, month = 0, day = 0;  // the local day asked for
};

class StwLineDialog : public CDialog {
public:
    explicit StwLineDialog(CWnd *parent);
    // IDOK with the choice, or IDCANCEL.
    const StwLineChoice &choice() const { return choice_; }

protected:
    BOOL OnInitDialog() override;
    BOOL OnCommand(WPARAM wp, LPARAM lp) override;
    void OnOK() override;

private:
    void Enable();
    StwLineChoice choice_;
};

// The local day's start and the next day's start as UTC ms since 1970
// (with this computer's time zone rules for that day); false when the
// system cannot convert it.
bool stw_local_day_utc(int year, int month, int day, std::int64_t *from_ms, std::int64_t *to_ms);
