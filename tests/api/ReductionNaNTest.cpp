// fmin and fmax of an image ignore NaN pixels, wherever they are: in any thread's run of pixels,
// any slot of a block's tree, any of the 64 partial results. NaN comes out only when every
// pixel is NaN.

#include "TestSupport.h"

#include <algorithm>
#include <cmath>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

// Writes one pixel of an image whose data is on the device, leaving it cached there.
void setPixel(Lumerix& image, int index, float value) {
    float* device = image.Lock();
    ASSERT_EQ(cudaMemcpy(device + index, &value, sizeof value, cudaMemcpyHostToDevice),
              cudaSuccess);
    image.Release();
}

}  // namespace

class ReductionNaN : public ::testing::TestWithParam<int> {};

// A NaN at each position in turn: the result is the minimum (maximum) of the other pixels. Up to
// 10000 pixels one position at a time; beyond, where every reduction is a parallel launch, the
// positions go in 199 runs of every 199th pixel (199 is prime to the strides of 128 and 8192),
// so each position is NaN in exactly one run.
TEST_P(ReductionNaN, ANaNPixelAtAnyPositionIsIgnored) {
    const int n = GetParam();
    const int runs = n <= 10000 ? n : 199;
    const std::vector<float> values = randomValues(static_cast<std::size_t>(n), -1e3f, 1e3f, n);
    Lumerix image = imageOf(values);
    onDevice({&image});
    int failures = 0;
    for (int r = 0; r < runs && failures < 5; ++r) {
        float low = kInf, high = -kInf;
        for (int p = 0; p < n; ++p) {
            if (p % runs == r) {
                setPixel(image, p, kNaN);
            } else {
                low = std::min(low, values[static_cast<std::size_t>(p)]);
                high = std::max(high, values[static_cast<std::size_t>(p)]);
            }
        }
        const float gotLow = fmin(image), gotHigh = fmax(image);
        for (int p = r; p < n; p += runs) setPixel(image, p, values[static_cast<std::size_t>(p)]);
        if (gotLow != low || gotHigh != high) {
            ++failures;
            ADD_FAILURE() << "NaN at " << r << " (every " << runs << "th pixel) of " << n
                          << ": fmin " << gotLow << " (want " << low << "), fmax " << gotHigh
                          << " (want " << high << ")";
        }
    }
}

TEST_P(ReductionNaN, OnlyAnImageOfNaNGivesNaN) {
    const int n = GetParam();
    Lumerix nan = imageOf(std::vector<float>(static_cast<std::size_t>(n), kNaN));
    EXPECT_TRUE(std::isnan(fmin(nan)));
    EXPECT_TRUE(std::isnan(fmax(nan)));
    // One number among the NaN, at the first, a middle and the last position.
    for (int p : {0, n / 2, n - 1}) {
        std::vector<float> v(static_cast<std::size_t>(n), kNaN);
        v[static_cast<std::size_t>(p)] = -7.5f;
        Lumerix image = imageOf(v);
        EXPECT_EQ(fmin(image), -7.5f) << p;
        EXPECT_EQ(fmax(image), -7.5f) << p;
    }
    // Infinities are numbers like any other.
    std::vector<float> v(static_cast<std::size_t>(n), kNaN);
    v.front() = kInf;
    v.back() = -kInf;
    Lumerix image = imageOf(v);
    EXPECT_EQ(fmin(image), -kInf);
    EXPECT_EQ(fmax(image), kInf);
}

// Sizes inside one block's run, across blocks, across the 8192-pixel stride and several strides.
INSTANTIATE_TEST_SUITE_P(Sizes, ReductionNaN, ::testing::Values(7, 300, 9000, 40000));
