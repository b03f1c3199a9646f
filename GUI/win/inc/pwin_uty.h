// Resource helpers of the dialog toolkit.
#pragma once

#include <windows.h>

class CLS_pwin_uty {
public:
    // Loads string resource str_id into str (str_len bytes: at most
    // str_len - 1 characters and a terminator), then turns every byte 0x01
    // of the text into NUL, so one resource can hold NUL-separated parts.
    // Does not block; any thread. With a null str or a str_len of 0 nothing
    // is written.
    //   n  the number of characters loaded (0 < n < str_len)
    //   0  no such string, or no room for one character
    static unsigned long pwin_load_str_res(unsigned short str_id, char *str,
                                           unsigned long str_len);

    // Cursor by small id: 0 and 1 the arrow, 2 I-beam, 3 wait, 4 cross,
    // 5 up-arrow, 6 NWSE, 7 NESW, 8 WE, 9 NS, 10 size-all (shared system
    // cursors); 11 and above the application's cursor resource with that id.
    // Does not block; any thread. Handles are shared: never destroy them.
    //   handle  the cursor
    //   null    no cursor resource with that id
    static HCURSOR pwin_load_cursor(unsigned short cur_id);
};
