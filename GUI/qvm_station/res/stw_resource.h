// Resource ids of qvm_station.exe, shared by qvm_station.rc and the code.
// Preprocessor lines only: the resource compiler reads this file too.
#pragma once

// The program's version (QVM_VERSION_TEXT, QVM_VERSION_BIN), from the build.
#include "qvm_version.h"

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define IDI_STATION 100
#define IDD_STATION 200

// Counters at the top: large values under small captions.
#define IDC_CNT_UPDATED 1001
#define IDC_CNT_CURRENT 1002
#define IDC_CNT_FAILED 1003
#define IDC_CNT_YIELD 1004
#define IDC_CNT_RATE 1005
#define IDC_CNT_TIME 1006

#define IDC_START 1010
#define IDC_STOP 1011
#define IDC_SOUND 1012
#define IDC_STATUS 1013
#define IDC_REPORT 1014
#define IDC_CHANGE 1015
#define IDC_NOTICE 1016
// Placeholder of the tile grid (the grid window takes its place and id).
#define IDC_GRID 1017
#define IDC_RECENT 1018
// Who runs the line and for which work order (a scanner types them).
#define IDC_OPERATOR 1019
#define IDC_ORDER 1020
#define IDC_FIELD_HINT 1021
// The banner of a line that stopped itself (owner-drawn).
#define IDC_HALT 1022
// Captions over the counters, in the counters' order, and over the list.
#define IDC_CAP_UPDATED 1031
#define IDC_CAP_CURRENT 1032
#define IDC_CAP_FAILED 1033
#define IDC_CAP_YIELD 1034
#define IDC_CAP_RATE 1035
#define IDC_CAP_TIME 1036
#define IDC_CAP_RECENT 1037
// How the report's delivery to the database goes.
#define IDC_DATABASE 1023
// Report...: the line manager's page of the report, in the browser.
#define IDC_REPORT_PAGE 1024

// Report... with a database: this station's report, or the whole line
// from the database for today or a chosen day.
#define IDD_REPORT_SOURCE 210
#define IDC_SRC_FILE 1040
#define IDC_SRC_LINE 1041
#define IDC_DAY_TODAY 1042
#define IDC_DAY_CHOSEN 1043
#define IDC_DAY_PICK 1044

// Tile of device index N inside the grid: child id IDC_TILE_BASE + N.
#define IDC_TILE_BASE 2000
