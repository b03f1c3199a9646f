// Digit table: character of each digit value 0..15.
#pragma once

extern const char c_com_asc_2ascii[16];
