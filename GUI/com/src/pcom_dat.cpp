#include "pcom_dat.h"

#include <windows.h>

#include "pcom_asc.h"
#include "pcom_lib.h"

void CLS_pcom_dat::pcom_version(unsigned long ver, char *ver_str, int ver_dot) {
    CLS_pcom_lib::pcom_memset(ver_str, 0, 13);
    char *out = ver_str;
    if (ver_dot == 1) {
        CLS_pcom_lib::pcom_strcpy(out, "Ver.");
        out += 4;
    }

    char digits[11];
    CLS_pcom_asc::pcom_dec2ascii(ver & 0xFFFFul, digits, 2, 0);
    unsigned long n = CLS_pcom_lib::pcom_strlen(digits);
    if (n == 2) CLS_pcom_lib::pcom_strcat(out, "0");
    if (n == 1) CLS_pcom_lib::pcom_strcat(out, "00");
    CLS_pcom_lib::pcom_strcat(out, digits);

    // Insert the point before the last two digits.
    unsigned long len = CLS_pcom_lib::pcom_strlen(out);
    out[len] = out[len - 1];
    out[len - 1] = out[len - 2];
    out[len - 2] = '.';
    out[len + 1] = '\0';

    char suffix[3] = {0, 0, 0};
    int s = 0;
    char high = static_cast<char>((ver >> 24) & 0xFF);
    char low = static_cast<char>((ver >> 16) & 0xFF);
    if (high != 0) suffix[s++] = high;
    if (low != 0) suffix[s++] = low;
    CLS_pcom_lib::pcom_strcat(out, suffix);
}

void CLS_pcom_dat::pcom_dispose_allocate(void **mem, void *add_mem, unsigned long *num,
                                         unsigned long size) {
    unsigned long used = size * *num;
    void *block = LocalAlloc(LPTR, used + size);
    if (block == nullptr) return;
    if (*mem != nullptr) {
        CLS_pcom_lib::pcom_memcpy(block, *mem, used);
        LocalFree(*mem);
    }
    *mem = block;
    CLS_pcom_lib::pcom_memcpy(static_cast<char *>(block) + used, add_mem, size);
    *num += 1;
}
