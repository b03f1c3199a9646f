// Byte-range and string helpers. Stateless; any thread. They check no
// pointers or sizes: every size is the caller's promise.
#pragma once

class CLS_pcom_lib {
public:
    // Sets len bytes to data; returns buff.
    static void *pcom_memset(void *buff, char data, unsigned long len);
    // Copies len bytes, lowest address first; ranges must not overlap.
    static void *pcom_memcpy(void *t_buff, void *s_buff, unsigned long len);
    // -1, 0 or 1 at the first differing byte, bytes compared as signed 8-bit.
    static char pcom_memcmp(const void *buff_1, const void *buff_2, unsigned long len);
    static unsigned long pcom_strlen(const char *str);
    static char *pcom_strcpy(char *t_str, const char *s_str);
    static char *pcom_strcat(char *t_str, const char *s_str);
};
