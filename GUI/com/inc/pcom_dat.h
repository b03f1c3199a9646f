// Version text and the growable array. Stateless; any thread.
#pragma once

class CLS_pcom_dat {
public:
    // Text of a version number into ver_str (at least 13 bytes): the low 16
    // bits as a number with two decimals ("3.50"), then the high and low
    // byte of the high 16 bits as suffix characters, zero bytes skipped.
    // ver_dot 1 puts "Ver." in front. 0xFFFFFFFF is never passed.
    static void pcom_version(unsigned long ver, char *ver_str, int ver_dot);

    // Appends one element of `size` bytes to the array *mem holding *num
    // elements: a new LocalAlloc block one element larger replaces the old
    // one. Out of memory leaves *mem and *num unchanged; callers that need to
    // know compare *num before and after. The owner frees *mem with LocalFree.
    static void pcom_dispose_allocate(void **mem, void *add_mem, unsigned long *num,
                                      unsigned long size);
};
