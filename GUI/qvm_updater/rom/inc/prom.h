// ROM reader: builds the embedded firmware image (segment table c_rom_rd)
// into one block, cuts the device window 0x4000..0x7FFF out of it through
// the edit step, checks the product name and reads the version fields.
// Static functions only. prom_read and prom_free_mem run on the
// user-interface thread; between them the edit block is only read.
#pragma once

#include "shex_hex.h"

class CLS_prom {
public:
    // Device window written to the device, and the fields read from it.
    static constexpr std::uint32_t kEditStart = 0x4000;
    static constexpr std::uint32_t kEditEnd = 0x7FFF;
    static constexpr std::uint32_t kVersionOffset = 0x3F00;     // 0x7F00, 32-bit LE
    static constexpr std::uint32_t kMcuVersionOffset = 0x3F04;  // 0x7F04, 16-bit LE
    static constexpr std::uint32_t kProductOffset = 0x3FF0;     // 0x7FF0, 16 bytes read
    static constexpr unsigned long kProductLen = 240;          // size of a product buffer

    // Bits of prom_free_mem's free argument.
    enum : unsigned char { FREE_ORG = 1, FREE_EDIT = 2, FREE_ALL = 3 };

    // Builds the image into hex. hex's data pointers are overwritten, not
    // released: pass a record that holds no blocks (e.g. all zero).
    // 1: image ready (org.data null, edit = 0x4000..0x7FFF, 16384 bytes, sum
    //    set; skip 0xFF) and the product name matched; *file_ver, *mcu_ver
    //    written, product holds "R846-QVM2K".
    // 0: no image (out of memory, no segments, edit step failure, or product
    //    mismatch); both data pointers null; *file_ver and *mcu_ver untouched.
    //    product is cleared, or holds the 16 name bytes read on a mismatch.
    // product: at least kProductLen bytes.
    static int prom_read(SHEX_HEX *hex, unsigned long *file_ver, unsigned long *mcu_ver,
                         char *product);

    // data: first byte of a 16384-byte edit block. Clears kProductLen bytes
    // of product and copies the 16 bytes of the name area into it. 1 when
    // they begin with "R846-QVM2K" (a NUL then follows those 10 bytes);
    // 0 otherwise.
    static int prom_get_product(unsigned char *data, char *product);
    // The image's firmware version (32-bit, little-endian at 0x7F00).
    static void prom_get_version(unsigned char *data, unsigned long *file_ver);
    // The image's microcontroller version (16-bit, little-endian at 0x7F04).
    static void prom_get_mcu_version(unsigned char *data, unsigned long *mcu_ver);

    // Releases the blocks selected by free (FREE_ORG, FREE_EDIT) and sets
    // their pointers to null; a null pointer is left alone, so releasing
    // twice is harmless. No other field changes.
    static void prom_free_mem(SHEX_HEX *hex, unsigned char free);

private:
    // Builds org, cuts edit from it, releases org. 0: edit ready; 2: failure
    // (both blocks released).
    static unsigned char rom_make_image(SHEX_HEX *hex);
    // Builds org from c_rom_rd: the span from the lowest segment address to
    // the highest segment byte, skip wherever no segment supplies a byte.
    // 1: built; 0: out of memory, or the table holds no segment (org.data
    // then stays null).
    static int rom_hex_read(SHEX_HEX *hex);
};
