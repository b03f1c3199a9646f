#include "pcom_lib.h"

void *CLS_pcom_lib::pcom_memset(void *buff, char data, unsigned long len) {
    auto *p = static_cast<char *>(buff);
    for (unsigned long i = 0; i < len; ++i) p[i] = data;
    return buff;
}

void *CLS_pcom_lib::pcom_memcpy(void *t_buff, void *s_buff, unsigned long len) {
    auto *t = static_cast<char *>(t_buff);
    const auto *s = static_cast<const char *>(s_buff);
    for (unsigned long i = 0; i < len; ++i) t[i] = s[i];
    return t_buff;
}

char CLS_pcom_lib::pcom_memcmp(const void *buff_1, const void *buff_2, unsigned long len) {
    const auto *a = static_cast<const signed char *>(buff_1);
    const auto *b = static_cast<const signed char *>(buff_2);
    for (unsigned long i = 0; i < len; ++i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

unsigned long CLS_pcom_lib::pcom_strlen(const char *str) {
    unsigned long n = 0;
    while (str[n] != '\0') ++n;
    return n;
}

char *CLS_pcom_lib::pcom_strcpy(char *t_str, const char *s_str) {
    unsigned long i = 0;
    do {
        t_str[i] = s_str[i];
    } while (s_str[i++] != '\0');
    return t_str;
}

char *CLS_pcom_lib::pcom_strcat(char *t_str, const char *s_str) {
    pcom_strcpy(t_str + pcom_strlen(t_str), s_str);
    return t_str;
}
