// Reductions of all pixels: sum, minimum, maximum, mean and variance, and the 256-bin histogram.

#include "TestSupport.h"

#include "cmm/cmmReclaim.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

struct Reference {
    double sum = 0.0, absSum = 0.0, mean = 0.0, var = 0.0;
};

Reference reference(const std::vector<float>& v) {
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
double tolerance(std::size_t n, double magnitude, int extraSteps = 0) {
    const double steps = std::ceil(static_cast<double>(n) / 8192.0) + 7.0 + 64.0 + extraSteps;
    return steps * (FLT_EPSILON / 2.0) * magnitude;
}

float minOf(const std::vector<float>& v) {
    return *std::min_element(v.begin(), v.end());
}
float maxOf(const std::vector<float>& v) {
    return *std::max_element(v.begin(), v.end());
}

// Sizes around the grid's stride of 8192 pixels and past several strides.
const std::size_t kSizes[] = {1, 2, 3, 100, 1073, 8191, 8192, 8193, 12288 * 4, 12288 * 4 + 3};

}  // namespace

class ReductionOfSize : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ReductionOfSize, MatchesTheDoublePrecisionReference) {
    const std::size_t n = GetParam();
    const std::vector<float> v = randomValues(n, -100.0f, 300.0f, static_cast<unsigned>(n));
    const Reference ref = reference(v);
    Lumerix img = imageOf(v);
    const float s = sum(img);
    EXPECT_NEAR(s, ref.sum, tolerance(n, ref.absSum));
    EXPECT_EQ(fmin(img), minOf(v));
    EXPECT_EQ(fmax(img), maxOf(v));
    const float m = mean(img);
    EXPECT_EQ(m, s / static_cast<float>(n));  // the float sum divided by the pixel count
    EXPECT_NEAR(m, ref.mean, tolerance(n, ref.absSum) / n + std::fabs(ref.mean) * FLT_EPSILON);
    EXPECT_NEAR(var(img), ref.var, tolerance(n, ref.var, 3) + 1e-30);
    EXPECT_EQ(pixels(img), v) << "the image keeps its pixels";
}

// Small integers add without rounding, so a pixel missed or counted twice changes the result.
TEST_P(ReductionOfSize, CountsEveryPixelOnceAndFindsTheExtremesWhereverTheyLie) {
    const std::size_t n = GetParam();
    std::vector<float> v(n);
    long long exact = 0;
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<float>(static_cast<int>(i % 7) - 2);
        exact += static_cast<int>(i % 7) - 2;
    }
    exact += 1000 - static_cast<long long>(v[n - 1]);
    v[n - 1] = 1000.0f;
    EXPECT_EQ(sum(imageOf(v)), static_cast<float>(exact));
    Lumerix ones = imageOf(std::vector<float>(n, 1.0f));
    EXPECT_EQ(sum(ones), static_cast<float>(n));
    EXPECT_EQ(mean(ones), 1.0f);
    EXPECT_EQ(var(ones), 0.0f);
    // All positive and all negative images: the identities of min and max must not win.
    const std::vector<float> positive = randomValues(n, 1.0f, 2.0f, 3);
    std::vector<float> negative(positive);
    for (float& x : negative) x = -x;
    Lumerix p = imageOf(positive), q = imageOf(negative);
    EXPECT_EQ(fmin(p), minOf(positive));
    EXPECT_EQ(fmax(p), maxOf(positive));
    EXPECT_EQ(fmin(q), minOf(negative));
    EXPECT_EQ(fmax(q), maxOf(negative));
    // The last pixel, the first, one in the middle: each in another thread and block.
    const std::vector<float> w = randomValues(n, -1.0f, 1.0f, 5);
    for (std::size_t at : {n - 1, std::size_t(0), n / 2}) {
        std::vector<float> x = w;
        x[at] = 1000.0f;
        EXPECT_EQ(fmax(imageOf(x)), 1000.0f) << at;
        x[at] = -1000.0f;
        EXPECT_EQ(fmin(imageOf(x)), -1000.0f) << at;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReductionOfSize, ::testing::ValuesIn(kSizes));

TEST(Reduction, WorkedExamples) {
    Lumerix pair = imageOf({1.0f, 3.0f});
    EXPECT_EQ(mean(pair), 2.0f);
    EXPECT_EQ(var(pair), 1.0f);  // the population variance: divided by the pixel count
    Lumerix extremes = imageOf({3.0f, kInf, -2.0f, -kInf, 5.0f});
    EXPECT_EQ(fmax(extremes), kInf);
    EXPECT_EQ(fmin(extremes), -kInf);
    EXPECT_EQ(sum(imageOf({1.0f, kInf})), kInf);
    // Only the pixels count, not the extents they are laid out in.
    const std::vector<float> v = randomValues(7 * 5 * 3 * 2, -2.0f, 2.0f, 9);
    Lumerix flat = imageOf(v), volume = imageOf(cmmDims(7, 5, 3, 2), v);
    EXPECT_EQ(sum(volume), sum(flat));
    EXPECT_EQ(fmin(volume), fmin(flat));
    EXPECT_EQ(fmax(volume), fmax(flat));
    EXPECT_EQ(var(volume), var(flat));
}

TEST(Reduction, AnImageWithoutPixelsSumsToZeroHasNoOtherStatisticAndLaunchesNothing) {
    Lumerix e, zero{cmmDims(0, 0)};
    const RuntimeTotals runtime = RuntimeTotals::now();
    for (Lumerix* img : {&e, &zero}) {
        EXPECT_EQ(sum(*img), 0.0f);
        EXPECT_TRUE(std::isnan(fmin(*img)));
        EXPECT_TRUE(std::isnan(fmax(*img)));
        EXPECT_TRUE(std::isnan(mean(*img)));
        EXPECT_TRUE(std::isnan(var(*img)));
    }
    EXPECT_EQ(RuntimeTotals::now().since(runtime).launches, 0);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

#if defined(LMX_BACKEND_CPU)

TEST(Reduction, OnlyThe64PartialsComeBackAndTheirBufferIsReused) {
    LMX_CPU_BACKEND_ONLY();
    Lumerix img = imageOf(randomValues(20000, 0.0f, 1.0f, 13));
    sum(img);  // the image is on the device and a partial buffer is in the chunk cache
    const RuntimeTotals before = RuntimeTotals::now();
    sum(img);
    fmin(img);
    fmax(img);
    const RuntimeTotals moved = RuntimeTotals::now().since(before);
    EXPECT_EQ(moved.allocations, 0) << "the partial buffer came from the cache";
    EXPECT_EQ(moved.frees, 0);
    EXPECT_EQ(moved.deviceToHost, 3);
    EXPECT_EQ(moved.deviceToHostBytes, 3 * 64 * sizeof(float));
    EXPECT_EQ(moved.hostToDevice, 0);
}

TEST(Reduction, OutOfMemoryForTheImageReleasesItAndKeepsThePartialBuffer) {
    LMX_CPU_BACKEND_ONLY();
    const std::vector<float> v = randomValues(3000, 0.0f, 1.0f, 15);
    Lumerix img = imageOf(v);
    sum(img);             // a partial buffer is cached
    pixels(img);          // the image's device memory becomes a zombie...
    putDownAllZombies();  // ...which is released: the next lock has to allocate
    {
        const NoDeviceMemory full;
        LMX_EXPECT_RUNTIME_ERROR(sum(img), "Out of memory");
    }
    EXPECT_EQ(img.page->lockCount, 0);
    const long allocations = lmx::cpu::counters().allocations;
    EXPECT_FLOAT_EQ(sum(img), static_cast<float>(reference(v).sum));
    EXPECT_EQ(lmx::cpu::counters().allocations - allocations, 1) << "only the image's memory";
}

#endif  // LMX_BACKEND_CPU

// ---- the 256-bin histogram: every pixel is counted once, in the bin of its saturating 8-bit
// value -----------------------------------------------------------------------------------------

namespace {

using Counts = std::array<unsigned int, 256>;

// The bin of a pixel: the fraction dropped, NaN and values below 0 in bin 0, values of 255
// and above in bin 255.
Counts referenceCounts(const std::vector<float>& v) {
    Counts c{};
    for (float x : v) ++c[!(x > 0.0f) ? 0 : x >= 255.0f ? 255 : static_cast<int>(std::trunc(x))];
    return c;
}

Counts histogramOf(Lumerix& img) {
    Counts c;
    c.fill(0xDEADBEEFu);
    histogram256(img, c.data());
    return c;
}
Counts histogramOf(Lumerix&& img) {
    return histogramOf(img);
}

// Pixels over the whole 8-bit range and past both ends, with fractions.
std::vector<float> mixedPixels(std::size_t n, unsigned seed) {
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

}  // namespace

class HistogramOfSize : public ::testing::TestWithParam<std::size_t> {};

TEST_P(HistogramOfSize, CountsEveryPixelInTheBinOfItsEightBitValue) {
    const std::size_t n = GetParam();
    const std::vector<float> v = mixedPixels(n, static_cast<unsigned>(n));
    Lumerix img = imageOf(v);
    const Counts got = histogramOf(img);
    EXPECT_EQ(std::accumulate(got.begin(), got.end(), 0ULL), n);
    EXPECT_EQ(got, referenceCounts(v));
    EXPECT_EQ(histogramOf(img), got) << "no count survives from one call to the next";
    EXPECT_TRUE(sameFloats(pixels(img), v)) << "the image keeps its pixels";
    // All pixels in one bin.
    Counts one{};
    one[200] = static_cast<unsigned int>(n);
    EXPECT_EQ(histogramOf(imageOf(std::vector<float>(n, 200.5f))), one);
}

INSTANTIATE_TEST_SUITE_P(Sizes, HistogramOfSize, ::testing::ValuesIn(kHistogramSizes));

TEST(Histogram, WorkedExamplesIncludingThePixelsThatFillNoWholeWord) {
    Counts want{};
    want[0] = 2;
    want[7] = 1;
    want[255] = 1;
    EXPECT_EQ(histogramOf(imageOf({0.0f, 0.0f, 7.0f, 255.0f})), want);
    want = Counts{};
    want[9] = 2;
    want[250] = 1;
    EXPECT_EQ(histogramOf(imageOf({9.0f, 9.5f, 250.0f})), want);
    want = Counts{};
    for (int b = 1; b <= 10; ++b) want[static_cast<std::size_t>(b)] = 1;
    EXPECT_EQ(histogramOf(imageOf({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})), want);
    // The bins come from the saturating conversion.
    want = Counts{};
    want[0] = 6;  // -1, -0.5, -0, NaN, -inf, 0.99
    want[1] = 1;
    want[2] = 1;
    want[254] = 1;
    want[255] = 6;  // 255 and above
    EXPECT_EQ(histogramOf(imageOf({-1.0f, -0.5f, -0.0f, kNaN, -kInf, 0.99f, 1.0f, 2.9f, 254.9f,
                                   255.0f, 255.9f, 256.0f, 300.0f, 1.0e10f, kInf})),
              want);
}

TEST(Histogram, WritesExactlyTheTwoHundredFiftySixCountsOfAllPixels) {
    const cmmDims dims(13, 7, 3, 2);  // every pixel of a four-extent image
    const std::vector<float> v = mixedPixels(static_cast<std::size_t>(dims.Size()), 4);
    Lumerix img = imageOf(dims, v);
    std::vector<unsigned int> buffer(258, 0xDEADBEEFu);
    histogram256(img, buffer.data() + 1);
    EXPECT_EQ(buffer.front(), 0xDEADBEEFu);
    EXPECT_EQ(buffer.back(), 0xDEADBEEFu);
    const Counts want = referenceCounts(v);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), buffer.begin() + 1));
}

TEST(Histogram, AnImageWithoutPixelsHasAllBinsEmptyAndLaunchesNothing) {
    Lumerix e;
    const RuntimeTotals runtime = RuntimeTotals::now();
    EXPECT_EQ(histogramOf(e), Counts{});
    EXPECT_EQ(RuntimeTotals::now().since(runtime).launches, 0);
}

#if defined(LMX_BACKEND_CPU)

TEST(Histogram, OutOfMemoryForTheImageGivesBothBuffersBack) {
    LMX_CPU_BACKEND_ONLY();
    const std::vector<float> v = mixedPixels(4096, 8);
    Lumerix img = imageOf(v);
    // Nothing idle from earlier tests that the failed lock could give back, then both scratch
    // buffers (partial histograms, 8-bit copy) in the chunk cache.
    lmx::releaseDeviceCaches();
    const Counts want = histogramOf(img);
    pixels(img);  // the image's device memory becomes a zombie
    putDownAllZombies();
    const std::size_t inUse = lmx::cpu::deviceBytesInUse();
    {
        // Both buffers come from the cache, and while the call holds them they are not idle
        // memory the page could reclaim: no room for the image's 16 KiB.
        const ScopedDeviceCapacity capacity(1024);
        Counts c;
        LMX_EXPECT_RUNTIME_ERROR(histogram256(img, c.data()), "Out of memory");
    }
    EXPECT_EQ(img.page->lockCount, 0);
    EXPECT_EQ(lmx::cpu::deviceBytesInUse(), inUse) << "a scratch buffer leaked";
    const long allocations = lmx::cpu::counters().allocations;
    EXPECT_EQ(histogramOf(img), want);
    // Only the image: both scratch buffers went back to the cache.
    EXPECT_EQ(lmx::cpu::counters().allocations - allocations, 1);
}

#endif  // LMX_BACKEND_CPU
