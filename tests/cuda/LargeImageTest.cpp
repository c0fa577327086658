// An image of INT_MAX pixels on a GPU with the memory for it.

#include "TestSupport.h"

#include <climits>

// On a GPU: an image of INT_MAX pixels through a comparison, a negation, the histogram and a
// reduction; every pixel, the last ones included, must be counted and seen.
TEST(LargeImage, AnIntMaxPixelImageOnTheGpu) {
    std::size_t freeBytes = 0, totalBytes = 0;
    cudaMemGetInfo(&freeBytes, &totalBytes);
    cudaGetLastError();
    if (freeBytes < (std::size_t(30) << 30)) GTEST_SKIP() << "needs 30 GiB of device memory";
    lmxtest::startClean();
    {
        Lumerix a{cmm::cmmDims(INT_MAX)};  // no data: whatever the device memory holds
        Lumerix zero = a > a;              // x > x is false for every value, NaN included
        unsigned int counts[256];
        histogram256(zero, counts);
        EXPECT_EQ(counts[0], static_cast<unsigned int>(INT_MAX));
        Lumerix one = !zero;
        EXPECT_EQ(fmax(one), 1.0f);
        EXPECT_EQ(fmin(one), 1.0f);
        histogram256(one, counts);
        EXPECT_EQ(counts[1], static_cast<unsigned int>(INT_MAX));
        EXPECT_EQ(counts[0], 0u);
    }
    lmxtest::startClean();
}
