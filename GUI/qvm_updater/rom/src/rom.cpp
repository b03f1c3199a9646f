#include <windows.h>

#include "pcom_lib.h"
#include "phex_edt.h"
#include "prom.h"
#include "rom.h"

unsigned char CLS_prom::rom_make_image(SHEX_HEX *hex) {
    // 5: no assembled block, whatever the reason.
    const unsigned char code = rom_hex_read(hex) == 1 ? CLS_phex_edt::phex_edt_make_edit(hex) : 5;
    if (code == CLS_phex_edt::EDT_WHOLE || code == CLS_phex_edt::EDT_CUT) {
        prom_free_mem(hex, FREE_ORG);
        return 0;
    }
    prom_free_mem(hex, FREE_ALL);
    return 2;
}

int CLS_prom::rom_hex_read(SHEX_HEX *hex) {
    SHEX_DATA &org = hex->org;
    org.start_addr = 0xFFFFFFFFu;
    org.end_addr = 0;
    // An empty table spans nothing; without this check the wrapped length
    // 0 - 0xFFFFFFFF + 1 would build a meaningless two-byte block.
    if (c_rom_rd[0].addr == 0) return 0;
    for (const SROM_ROM_RD *row = c_rom_rd; row->addr != 0; ++row) {
        if (row->addr < org.start_addr) org.start_addr = row->addr;
        if (org.end_addr < row->addr) org.end_addr = row->addr + *row->len - 1;
    }
    org.len = org.end_addr - org.start_addr + 1;

    org.data = static_cast<unsigned char *>(LocalAlloc(LMEM_ZEROINIT, org.len));
    if (org.data == nullptr) return 0;
    CLS_pcom_lib::pcom_memset(org.data, static_cast<char>(hex->skip), org.len);
    for (const SROM_ROM_RD *row = c_rom_rd; row->addr != 0; ++row) {
        CLS_pcom_lib::pcom_memcpy(org.data + (row->addr - org.start_addr),
                                  const_cast<unsigned char *>(row->data), *row->len);
    }
    return 1;
}
