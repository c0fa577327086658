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

// On a GPU: a circular shift of one row of 2^30 + 2 pixels, where x + dx passes INT_MAX for the
// columns past the wrap. Each result pixel must read the source one column to its left.
TEST(LargeImage, AShiftOfARowWiderThan2To30PixelsReadsInsideTheRow) {
    std::size_t freeBytes = 0, totalBytes = 0;
    cudaMemGetInfo(&freeBytes, &totalBytes);
    cudaGetLastError();
    if (freeBytes < (std::size_t(12) << 30)) GTEST_SKIP() << "needs 12 GiB of device memory";
    lmxtest::startClean();
    {
        const int w = (1 << 30) + 2;
        Lumerix a{cmm::cmmDims(w, 1)};
        Lumerix columns = xx(a);  // pixel x holds x (as a float)
        Lumerix shifted = columns(w - 1, 0);
        float* device = shifted.Lock();
        // Result x reads source (x + w - 1) mod w = x - 1, and x = 0 reads the last column.
        const long long probes[] = {0,         1,     2,    3, 1LL << 29, (1LL << 30) - 1,
                                    1LL << 30, w - 2, w - 1};
        for (const long long x : probes) {
            float got = -1.0f;
            ASSERT_EQ(cudaMemcpy(&got, device + x, sizeof got, cudaMemcpyDeviceToHost),
                      cudaSuccess);
            const long long source = x == 0 ? w - 1 : x - 1;
            EXPECT_EQ(got, static_cast<float>(source)) << "column " << x;
        }
        shifted.Release();
        EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    }
    lmxtest::startClean();
}
