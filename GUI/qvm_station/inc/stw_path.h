// Where the station's report goes: the dated default in the user's
// Documents, and the standard save dialog to choose another. Paths are
// UTF-8 (the report store opens them wide).
//
// Threads: the dialog thread (the save dialog is modal on it).
#pragma once

#include <windows.h>

#include <string>

// Documents\R846-QVM2K\station-YYYY-MM-DD.jsonl (today, local time); the
// folder is created when create_folder is true. Empty when the user has no
// Documents folder.
std::string stw_default_report(bool create_folder);

// The save dialog (GetSaveFileNameW), starting at current; true and
// *chosen when the person chose a file, false when they cancelled.
bool stw_choose_report(HWND owner, const std::string &current, std::string *chosen);
