// Helpers of the skin tests: real mouse input, window shapes read back,
// pumping the message loop for a while.
#pragma once

#include <windows.h>

#include <vector>

// Moves the real pointer to client point (x, y) of wnd (a mouse move that
// the window under it receives).
void mouse_to(HWND wnd, int x, int y);
// Presses (true) or releases the real left mouse button where it is.
void mouse_button(bool down);

// The rectangles of wnd's window shape (window coordinates); empty for an
// empty shape. *kind gets GetWindowRgn's answer (ERROR without a shape).
std::vector<RECT> shape_of(HWND wnd, int *kind);

// Pumps the calling thread's messages the framework's way for ms.
void pump_for(DWORD ms);

// A hidden top-level window for tests that need one; destroy it yourself.
HWND plain_window(int w = 50, int h = 50);
