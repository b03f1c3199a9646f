#include "pcom_asc.h"

#include "com_atb.h"
#include "pcom_lib.h"

namespace {
constexpr int kField = 10;  // decimal positions of a 32-bit value
}

void CLS_pcom_asc::pcom_dec2ascii(unsigned long dec_data, char *ascii_str, unsigned char form,
                                  unsigned char digit) {
    // Values are 32-bit on the wire and on Windows; keep native builds equal.
    unsigned long value = dec_data & 0xFFFFFFFFul;
    int width = (form == 4 && digit >= 1 && digit <= kField) ? digit : kField;

    int n = 1;
    unsigned long place = 1;
    while (value / place >= 10) {
        place *= 10;
        ++n;
    }

    char work[kField + 1];
    CLS_pcom_lib::pcom_memset(ascii_str, 0, kField + 1);
    CLS_pcom_lib::pcom_memset(work, 0, kField + 1);

    int pos = 0;
    switch (form) {
    case 1:
        CLS_pcom_lib::pcom_memset(work, ' ', kField);
        break;
    case 3:
        CLS_pcom_lib::pcom_memset(work, ' ', kField);
        pos = kField - n;
        break;
    case 4:
        CLS_pcom_lib::pcom_memset(work, '0', kField);
        pos = kField - n;
        break;
    default:
        break;
    }

    for (; place >= 1; place /= 10) {
        unsigned long d = value / place;
        work[pos++] = c_com_asc_2ascii[d];
        value -= d * place;
        if (place == 1) break;
    }

    CLS_pcom_lib::pcom_strcpy(ascii_str, work + (kField - width));
}
