// Images past 2^31 bytes: byte counts and the statistics' sums must not wrap.

#include "TestSupport.h"

#include <stdexcept>

TEST(LargeImage, ExtentsWhoseCountOverflowsAnIntAreRefused) {
    EXPECT_THROW(cmm::cmmDims(1 << 16, 1 << 15), std::overflow_error);
    EXPECT_THROW(cmm::cmmDims(1 << 10, 1 << 10, 1 << 10, 4), std::overflow_error);
    EXPECT_NO_THROW(cmm::cmmDims(1 << 15, 1 << 15, 1, 1));
}
