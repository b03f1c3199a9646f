#pragma once
// Resources of the skin tests.
#define IDD_SKIN 110

// Controls of the skinned dialog (ids in the dialog's accepted range).
#define IDC_PUSH 3001
#define IDC_CLOSE 3002
#define IDC_MAX 3003
#define IDC_MIN 3004
#define IDC_TRANS 3005
#define IDC_EDIT 3006
#define IDC_NOBMP 3007

// Shapes.
#define IDB_OPAQUE 700
#define IDB_CLEAR 701
#define IDB_CORNER 702
#define IDB_RUNS 703
#define IDB_REDKEY 704
#define IDB_MISSING 799

// The skinned dialog: wallpaper, mask, and four images per button.
#define IDB_WALL 900
#define IDB_MASK 901
#define IDB_PUSH 800
#define IDB_CLOSE 810
#define IDB_MAX 820
#define IDB_MIN 830
#define IDB_NONE 850

// The splash image (fixed id of the toolkit).
#define IDB_SPLASH 10401
