// Unsigned number to decimal text. Stateless; any thread.
#pragma once

class CLS_pcom_asc {
public:
    // Writes dec_data as decimal text into ascii_str (at least 11 bytes; the
    // first 11 are always cleared). form: 1 left-aligned in 10 with blanks
    // after, 2 digits alone, 3 right-aligned in 10 with blanks in front,
    // 4 right-aligned with zeros in front and cut to `digit` characters
    // (1..10, else 10); any other form behaves as 2.
    static void pcom_dec2ascii(unsigned long dec_data, char *ascii_str, unsigned char form,
                               unsigned char digit);
};
