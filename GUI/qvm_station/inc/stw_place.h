// Where the station window was and whether it was maximized, kept for the
// next start under HKCU\Software\R846-QVM2K\Station (values WindowLeft,
// WindowTop, WindowRight, WindowBottom: the restored rectangle in
// workspace coordinates, as GetWindowPlacement gives it; WindowMaximized;
// WindowDpi: the screen's DPI then, since a size is only worth restoring
// at the DPI it was made for).
//
// Threads: the dialog thread (any thread would do: the registry only).
#pragma once

#include <windows.h>

struct StwPlacement {
    RECT normal{};           // restored rectangle
    bool maximized = false;
    int dpi = 0;             // LOGPIXELSY when it was kept
};

// False when nothing (or nothing whole) was kept.
bool stw_load_placement(StwPlacement *p);
// Keeps p; a failure is not reported (the next start uses the designed size).
void stw_save_placement(const StwPlacement &p);
