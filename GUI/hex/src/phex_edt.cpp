#include "phex_edt.h"

#include <windows.h>

#include "pcom_lib.h"

unsigned char CLS_phex_edt::phex_edt_make_edit(SHEX_HEX *hex) {
    SHEX_DATA &org = hex->org;
    SHEX_DATA &edit = hex->edit;
    unsigned char result = EDT_WHOLE;
    edit.data = nullptr;
    edit.sum = 0;

    if (org.data == nullptr) {
        result = EDT_NO_ORG;
        goto done;
    }

    // Complete the window; a start above the end leaves len 0.
    if (edit.len != 0) {
        edit.end_addr = edit.start_addr + edit.len - 1;
    } else if (edit.start_addr <= edit.end_addr) {
        edit.len = edit.end_addr - edit.start_addr + 1;
    }

    if (org.end_addr < edit.start_addr || edit.end_addr < org.start_addr) {
        result = EDT_APART;
        goto done;
    }
    if (edit.len != 0) edit.data = static_cast<unsigned char *>(LocalAlloc(LMEM_ZEROINIT, edit.len));
    if (edit.data == nullptr) {
        result = EDT_NO_MEM;
        goto done;
    }
    if (org.start_addr < edit.start_addr || edit.end_addr < org.end_addr) result = EDT_CUT;

    CLS_pcom_lib::pcom_memset(edit.data, static_cast<char>(hex->skip), edit.len);
    // Per index, so that a window whose addresses wrap past 0xFFFFFFFF still
    // maps every byte as the window describes it.
    for (std::uint32_t i = 0; i < edit.len; ++i) {
        const std::uint32_t a = edit.start_addr + i;
        if (org.start_addr <= a && a <= org.end_addr) edit.data[i] = org.data[a - org.start_addr];
    }
    for (std::uint32_t i = 0; i < edit.len; ++i) edit.sum += edit.data[i];

    hex->edit_info.start_addr = edit.start_addr;
    hex->edit_info.search_data = hex->skip;
    hex->edit_info.fill_start = edit.start_addr;
    hex->edit_info.fill_end = edit.end_addr;
    hex->edit_info.fill_data = hex->skip;

done:
    if (result != EDT_WHOLE && result != EDT_CUT && edit.data != nullptr) {
        LocalFree(edit.data);
        edit.data = nullptr;
    }
    return result;
}
