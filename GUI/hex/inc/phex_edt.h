// Image edit step: cuts a window of device addresses out of an assembled
// image (SHEX_HEX::org) into its own block (SHEX_HEX::edit), the block that
// is written to the device. Static functions only; no state. Any thread, but
// one SHEX_HEX must not be edited from two threads at once.
#pragma once

#include "shex_hex.h"

class CLS_phex_edt {
public:
    // Result codes of phex_edt_make_edit.
    enum : unsigned char {
        EDT_WHOLE = 0,    // edit block built; the window covers all of org
        EDT_CUT = 1,      // edit block built; org bytes outside the window left out
        EDT_APART = 2,    // window and org do not overlap
        EDT_NO_ORG = 3,   // org.data is null
        EDT_NO_MEM = 4,   // allocation failed, or the window length is 0
    };

    // Before the call: org built (data, start_addr, end_addr), skip set, and
    // the window given by edit.start_addr with edit.len, or with
    // edit.end_addr when edit.len is 0 (a nonzero len wins and sets end_addr).
    //
    // Always: edit.data is set (any block it held before is not released)
    // and edit.sum starts at 0; org is read, never changed or released.
    // On EDT_WHOLE/EDT_CUT the caller owns edit.data (LocalAlloc, zero-init
    // then filled: org's bytes inside the window, skip elsewhere), edit.sum
    // is the wrap-around byte sum and edit_info records the window and skip.
    // On the other codes edit.data is null, edit.sum 0, edit_info untouched.
    static unsigned char phex_edt_make_edit(SHEX_HEX *hex);
};
