#include "pwin_fle.h"

#include "pcom_asc.h"
#include "pcom_lib.h"

void CLS_pwin_fle::pwin_make_dev_file_name(char *dev_file, char *dev_name, unsigned long index) {
    if (dev_file == nullptr) return;
    dev_file[0] = '\0';
    if (dev_name == nullptr) return;

    char digits[11];
    CLS_pcom_asc::pcom_dec2ascii(index, digits, 2, 0);
    CLS_pcom_lib::pcom_strcpy(dev_file, "\\\\.\\");
    CLS_pcom_lib::pcom_strcat(dev_file, dev_name);
    CLS_pcom_lib::pcom_strcat(dev_file, digits);
}
