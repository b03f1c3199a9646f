#include "skin_util.h"

#include "dlg_harness.h"

void mouse_to(HWND wnd, int x, int y) {
    POINT p{x, y};
    ClientToScreen(wnd, &p);
    SetCursorPos(p.x, p.y);
    // A move of nothing makes sure the window under the pointer hears of it.
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dwFlags = MOUSEEVENTF_MOVE;
    SendInput(1, &in, sizeof in);
}

void mouse_button(bool down) {
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dwFlags = down ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
    SendInput(1, &in, sizeof in);
}

std::vector<RECT> shape_of(HWND wnd, int *kind) {
    std::vector<RECT> rects;
    HRGN rgn = CreateRectRgn(0, 0, 0, 0);
    *kind = GetWindowRgn(wnd, rgn);
    if (*kind != ERROR) {
        DWORD size = GetRegionData(rgn, 0, nullptr);
        std::vector<char> buf(size);
        auto *data = reinterpret_cast<RGNDATA *>(buf.data());
        if (size != 0 && GetRegionData(rgn, size, data) == size) {
            const RECT *r = reinterpret_cast<const RECT *>(data->Buffer);
            rects.assign(r, r + data->rdh.nCount);
        }
    }
    DeleteObject(rgn);
    return rects;
}

void pump_for(DWORD ms) {
    const DWORD start = GetTickCount();
    pump_until([start, ms] { return GetTickCount() - start >= ms; }, ms + 1000);
}

HWND plain_window(int w, int h) {
    return CreateWindowExA(WS_EX_TOOLWINDOW, "STATIC", "", WS_POPUP, 40, 60, w, h, nullptr,
                           nullptr, GetModuleHandleA(nullptr), nullptr);
}
