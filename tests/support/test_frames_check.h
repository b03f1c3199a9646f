// GoogleTest check that an answer is framed as the protocol says.
#pragma once

#include <gtest/gtest.h>

#include "test_frames.h"

namespace test_frames {

// An answer framed as the protocol says: stx, len = bytes, sum, etx.
inline ::testing::AssertionResult well_framed(const Bytes &b) {
    if (b.size() < 17) return ::testing::AssertionFailure() << "only " << b.size() << " bytes";
    if (b[0] != 0x02) return ::testing::AssertionFailure() << "stx " << int(b[0]);
    if (get32(b, 4) != b.size())
        return ::testing::AssertionFailure() << "len " << get32(b, 4) << " of " << b.size();
    if (b.back() != 0x03) return ::testing::AssertionFailure() << "etx " << int(b.back());
    if (b[1] != frame_sum(b))
        return ::testing::AssertionFailure() << "sum " << int(b[1]) << " want " << int(frame_sum(b));
    return ::testing::AssertionSuccess();
}

}  // namespace test_frames
