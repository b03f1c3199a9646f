// The embedded image's segment table over the generated data unit.
#include "qvm_83firm.h"
#include "rom.h"

extern const SROM_ROM_RD c_rom_rd[] = {
    {0x004000, c_qvm_83firm_004000, &c_qvm_83firm_004000_SZ},
    {0x007E00, c_qvm_83firm_007E00, &c_qvm_83firm_007E00_SZ},
    {0x007FF0, c_qvm_83firm_007FF0, &c_qvm_83firm_007FF0_SZ},
    {0xFE0000, c_qvm_83firm_FE0000, &c_qvm_83firm_FE0000_SZ},
    {0xFFFFDC, c_qvm_83firm_FFFFDC, &c_qvm_83firm_FFFFDC_SZ},
    {0, nullptr, nullptr},
};
