#pragma once
// The reduction and histogram tests' references in double precision and their test images,
// shared by the tests of both backends and those of the CPU backend's stand-in.

#include "TestSupport.h"

#include <array>
#include <cfloat>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

namespace lmxtest {

struct Reference {
    double sum = 0.0, absSum = 0.0, mean = 0.0, var = 0.0;
};

inline Reference reference(const std::vector<float>& v) {
    Reference r;
    for (float x : v) {
        r.sum += x;
        r.absSum += std::fabs(x);
    }
    r.mean = r.sum / static_cast<double>(v.size());
    for (float x : v) r.var += (x - r.mean) * (x - r.mean);
    r.var /= static_cast<double>(v.size());
    return r;
}

// Rounding bound of a float sum: a sum whose every term passes through at most k roundings is
// within k * u * (sum of |terms|) of the exact sum, u = 2^-24. Here a pixel passes through its
// thread's running sum (one step per 8192 pixels), the block's 7-level tree over 128 slots and
// the host's sequential fold of the 64 partials. The variance sums non-negative squares (two
// more roundings each: the deviation and its square) and divides; the float mean it starts
// from adds (mean error)^2, which is negligible against these bounds.
inline double tolerance(std::size_t n, double magnitude, int extraSteps = 0) {
    const double steps = std::ceil(static_cast<double>(n) / 8192.0) + 7.0 + 64.0 + extraSteps;
    return steps * (FLT_EPSILON / 2.0) * magnitude;
}

inline float minOf(const std::vector<float>& v) {
    return *std::min_element(v.begin(), v.end());
}
inline float maxOf(const std::vector<float>& v) {
    return *std::max_element(v.begin(), v.end());
}

// Sizes around the grid's stride of 8192 pixels and past several strides.
const std::size_t kSizes[] = {1, 2, 3, 100, 1073, 8191, 8192, 8193, 12288 * 4, 12288 * 4 + 3};

using Counts = std::array<unsigned int, 256>;

// The bin of a pixel: the fraction dropped, NaN and values below 0 in bin 0, values of 255
// and above in bin 255.
inline Counts referenceCounts(const std::vector<float>& v) {
    Counts c{};
    for (float x : v) ++c[!(x > 0.0f) ? 0 : x >= 255.0f ? 255 : static_cast<int>(std::trunc(x))];
    return c;
}

inline Counts histogramOf(Lumerix& img) {
    Counts c;
    c.fill(0xDEADBEEFu);
    histogram256(img, c.data());
    return c;
}
inline Counts histogramOf(Lumerix&& img) {
    return histogramOf(img);
}

// Pixels over the whole 8-bit range and past both ends, with fractions.
inline std::vector<float> mixedPixels(std::size_t n, unsigned seed) {
    std::vector<float> v = randomValues(n, -20.0f, 280.0f, seed);
    for (std::size_t i = 0; i < n; i += 37) v[i] = kNaN;
    for (std::size_t i = 5; i < n; i += 41) v[i] = 1.0e9f;
    return v;
}

// Sizes with every tail of n % 4 pixels that fill no whole word, around the 12288 words that
// the 64 x 192 counting threads read in one sweep, and past several sweeps.
const std::size_t kHistogramSizes[] = {1,     2,     3,     4,     5,     10,
                                       255,   256,   1000,  1073,  12287, 12288,
                                       12289, 49151, 49152, 49153, 49155, 262147};

}  // namespace lmxtest
