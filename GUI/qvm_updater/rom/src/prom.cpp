#include "prom.h"

#include <windows.h>

#include "pcom_lib.h"

namespace {
const char kProduct[] = "R846-QVM2K";
constexpr unsigned long kNameBytesRead = 16;
}  // namespace

int CLS_prom::prom_read(SHEX_HEX *hex, unsigned long *file_ver, unsigned long *mcu_ver,
                        char *product) {
    hex->org.data = nullptr;
    hex->edit.data = nullptr;
    // len 0: the edit step derives the length from the two addresses.
    hex->edit.start_addr = kEditStart;
    hex->edit.end_addr = kEditEnd;
    hex->edit.len = 0;
    hex->skip = 0xFF;

    int result = 1;
    if (rom_make_image(hex) != 0) result = 0;
    if (result == 1) result = prom_get_product(hex->edit.data, product);
    if (result == 1) {
        prom_get_version(hex->edit.data, file_ver);
        prom_get_mcu_version(hex->edit.data, mcu_ver);
    } else {
        prom_free_mem(hex, FREE_ALL);
    }
    return result;
}

int CLS_prom::prom_get_product(unsigned char *data, char *product) {
    CLS_pcom_lib::pcom_memset(product, 0, kProductLen);
    const unsigned long n = CLS_pcom_lib::pcom_strlen(kProduct);
    CLS_pcom_lib::pcom_memcpy(product, data + kProductOffset, kNameBytesRead);
    if (CLS_pcom_lib::pcom_memcmp(product, kProduct, n) != 0) return 0;
    product[n] = '\0';
    return 1;
}

void CLS_prom::prom_get_version(unsigned char *data, unsigned long *file_ver) {
    const unsigned char *p = data + kVersionOffset;
    *file_ver = static_cast<unsigned long>(p[0]) | static_cast<unsigned long>(p[1]) << 8 |
                static_cast<unsigned long>(p[2]) << 16 | static_cast<unsigned long>(p[3]) << 24;
}

void CLS_prom::prom_get_mcu_version(unsigned char *data, unsigned long *mcu_ver) {
    const unsigned char *p = data + kMcuVersionOffset;
    *mcu_ver = static_cast<unsigned long>(p[0]) | static_cast<unsigned long>(p[1]) << 8;
}

void CLS_prom::prom_free_mem(SHEX_HEX *hex, unsigned char free) {
    if ((free & FREE_ORG) != 0 && hex->org.data != nullptr) {
        LocalFree(hex->org.data);
        hex->org.data = nullptr;
    }
    if ((free & FREE_EDIT) != 0 && hex->edit.data != nullptr) {
        LocalFree(hex->edit.data);
        hex->edit.data = nullptr;
    }
}
