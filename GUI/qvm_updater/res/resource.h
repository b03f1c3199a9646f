// Resource ids of qvm_updater.exe, shared by qvm_updater.rc and the code.
// Preprocessor lines only: the resource compiler reads this file too.
#pragma once

// The program's version, as the About dialog shows it and as the version
// record carries it.
#define QVM_VERSION_TEXT "3.50"
#define QVM_VERSION_BIN 3, 5, 0, 0

// Controls that no code addresses.
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Icon: the main dialog's window icon and the picture in every dialog.
#define IDI_QVM_APP 100

// Dialog templates.
#define IDD_QVM_MAIN 2000
#define IDD_QVM_ABOUT 20000
#define IDD_QVM_SEARCH 21500
#define IDD_QVM_PROGRESS 21501

// Main dialog controls (buttons 1..9 are the platform's standard ids).
#define IDC_MAIN_ABOUT 3000
#define IDC_MAIN_UPDATE 3001
#define IDC_MAIN_GET_VER 3002
#define IDC_MAIN_DEV_VER 3010
#define IDC_MAIN_ARROW 3011
#define IDC_MAIN_ROM_VER 3012

// About dialog: the program version text.
#define IDC_ABOUT_VER 3000

// Device-search and progress dialogs.
#define IDC_DLG_ICON 3300
#define IDC_PROGRESS_BAR 3200

// String table.
#define IDS_NO_FIRM 4040
#define IDS_NO_VERSION 4041
#define IDS_CLASS_NAME 10300
#define IDS_MAIN_CAPTION 10301
#define IDS_MSG_TITLE 10302
#define IDS_NOT_NECESSARY 21610
#define IDS_COMM_ERROR 21611
#define IDS_NOT_FOUND 21612
#define IDS_START_UPDATE 21613
#define IDS_UPDATE_DONE 21620
