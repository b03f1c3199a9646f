#pragma once
#define IDS_SEPARATED 500
#define IDS_PLAIN 501
#define IDS_TRAILING 502
#define IDC_TEST_CURSOR 11
