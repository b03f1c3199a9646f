#pragma once
// Dialog templates of the dialog tests.
#define IDD_COMMANDS 100
#define IDD_CLASSED 101
#define IDD_TABLE 102
#define IDD_PLAIN 103

// Controls.
#define IDC_HELP_LIKE 9
#define IDC_OUT_10 10
#define IDC_OUT_2999 2999
#define IDC_IN_3000 3000
#define IDC_IN_3999 3999
#define IDC_OUT_4000 4000
#define IDC_COMBO 3500
#define IDC_TEXT 3600
#define IDC_TRANS 3601
#define IDC_EDIT 3700
#define IDC_SCROLL 3800
#define IDC_PROGRESS 3900
#define IDC_MISSING 3950

// Strings.
#define IDS_CLASS 600
#define IDS_TITLE 601
#define IDS_MESSAGE 602
#define IDS_LONG 603

// Bitmaps.
#define IDB_TEST 700
