// A segment table that holds nothing but its terminator.
#include "rom.h"
#include "rom_test_util.h"

extern const SROM_ROM_RD c_rom_rd[] = {{0, nullptr, nullptr}};

namespace {

using EmptyTable = PromReadTest;

TEST_F(EmptyTable, YieldsNoImage) {
    expect_read_fails();
}

}  // namespace
