// Reductions: sum, minimum, maximum, mean and variance of all pixels.

#include "TestSupport.h"

#include "lumerix/LumerixUtils.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

using lmxtest::imageOf;
using lmxtest::pixels;

namespace {

struct Reference {
    double sum = 0.0;
    double absSum = 0.0;
    double mean = 0.0;
    double var = 0.0;
    float min = 0.0f;
    float max = 0.0f;
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
    r.min = *std::min_element(v.begin(), v.end());
    r.max = *std::max_element(v.begin(), v.end());
    return r;
}

// Rounding bound of a float sum: a sum whose every term passes through at most k roundings is
// within k * u * (sum of |terms|) of the exact sum, u = 2^-24. Here a pixel passes through its
// thread's running sum (one step per 8192 pixels), the block's 7-level tree over 128 slots and
// the host's sequential fold of the 64 partials.
double sumTolerance(std::size_t n, double absSum) {
    const double steps = std::ceil(static_cast<double>(n) / 8192.0) + 7.0 + 64.0;
    return steps * (FLT_EPSILON / 2.0) * absSum;
}

// The variance sums non-negative squares (two more roundings each: the deviation and its
// square) and divides; the float mean it starts from adds (mean error)^2, which is negligible
// against these bounds.
double varTolerance(std::size_t n, double var) {
    const double steps = std::ceil(static_cast<double>(n) / 8192.0) + 7.0 + 64.0 + 3.0;
    return steps * (FLT_EPSILON / 2.0) * var + 1e-30;
}

const std::size_t kSizes[] = {1, 2, 3, 100, 1073, 8191, 8192, 8193, 12288 * 4, 12288 * 4 + 3};

}  // namespace

class ReductionOfSize : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ReductionOfSize, MatchesTheDoublePrecisionReference) {
    const std::size_t n = GetParam();
    const std::vector<float> v = lmxtest::randomValues(n, -100.0f, 300.0f, static_cast<unsigned>(n));
    const Reference ref = reference(v);
    Lumerix img = imageOf(v);

    const float s = sum(img);
    EXPECT_NEAR(s, ref.sum, sumTolerance(n, ref.absSum));
    EXPECT_EQ(fmin(img), ref.min);
    EXPECT_EQ(fmax(img), ref.max);
    const float m = mean(img);
    EXPECT_NEAR(m, ref.mean, sumTolerance(n, ref.absSum) / static_cast<double>(n) +
                                 std::fabs(ref.mean) * FLT_EPSILON);
    // mean is the float sum divided by the pixel count.
    EXPECT_EQ(m, sum(img) / static_cast<float>(n));
    EXPECT_NEAR(var(img), ref.var, varTolerance(n, ref.var));
    EXPECT_EQ(pixels(img), v) << "the image keeps its pixels";
}

// Small integers add without rounding, so a pixel missed or counted twice changes the result.
TEST_P(ReductionOfSize, SumsSmallIntegersExactly) {
    const std::size_t n = GetParam();
    std::vector<float> v(n);
    long long exact = 0;
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<float>(static_cast<int>(i % 7) - 2);
        exact += static_cast<int>(i % 7) - 2;
    }
    v[n - 1] = 1000.0f;
    exact += 1000 - (static_cast<int>((n - 1) % 7) - 2);
    Lumerix img = imageOf(v);
    EXPECT_EQ(sum(img), static_cast<float>(exact));
    Lumerix ones = imageOf(std::vector<float>(n, 1.0f));
    EXPECT_EQ(sum(ones), static_cast<float>(n));
    EXPECT_EQ(mean(ones), 1.0f);
    EXPECT_EQ(var(ones), 0.0f);
}

TEST_P(ReductionOfSize, FindsTheTrueExtremesOfAllPositiveAndAllNegativeImages) {
    const std::size_t n = GetParam();
    const std::vector<float> positive = lmxtest::randomValues(n, 1.0f, 2.0f, 3);
    std::vector<float> negative(positive);
    for (float& x : negative) x = -x;
    Lumerix p = imageOf(positive);
    Lumerix q = imageOf(negative);
    EXPECT_EQ(fmin(p), *std::min_element(positive.begin(), positive.end()));
    EXPECT_EQ(fmax(p), *std::max_element(positive.begin(), positive.end()));
    EXPECT_EQ(fmin(q), *std::min_element(negative.begin(), negative.end()));
    EXPECT_EQ(fmax(q), *std::max_element(negative.begin(), negative.end()));
    EXPECT_GT(sum(p), 0.0f);
    EXPECT_LT(sum(q), 0.0f);
}

TEST_P(ReductionOfSize, FindsAnExtremeWhereverItLies) {
    const std::size_t n = GetParam();
    std::vector<float> v = lmxtest::randomValues(n, -1.0f, 1.0f, 5);
    // The last pixel, the first, one in the middle: each lies in a different thread and block.
    for (std::size_t at : {n - 1, std::size_t(0), n / 2}) {
        std::vector<float> w = v;
        w[at] = 1000.0f;
        Lumerix hi = imageOf(w);
        EXPECT_EQ(fmax(hi), 1000.0f) << at;
        w[at] = -1000.0f;
        Lumerix lo = imageOf(w);
        EXPECT_EQ(fmin(lo), -1000.0f) << at;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReductionOfSize, ::testing::ValuesIn(kSizes));

TEST(Reduction, TenByTenOnesHaveSumHundredMeanOneVarianceZero) {
    Lumerix img = imageOf(cmm::cmmDims(10, 10), std::vector<float>(100, 1.0f));
    EXPECT_EQ(sum(img), 100.0f);
    EXPECT_EQ(mean(img), 1.0f);
    EXPECT_EQ(var(img), 0.0f);
    EXPECT_EQ(fmin(img), 1.0f);
    EXPECT_EQ(fmax(img), 1.0f);
}

TEST(Reduction, VarianceDividesByPixelCount) {
    Lumerix img = imageOf({1.0f, 3.0f});
    EXPECT_EQ(mean(img), 2.0f);
    EXPECT_EQ(var(img), 1.0f);
}

TEST(Reduction, ASinglePixelIsItsOwnSumMinimumMaximumAndMean) {
    for (float x : {-5.0f, 0.0f, 7.25f}) {
        Lumerix img = imageOf({x});
        EXPECT_EQ(sum(img), x);
        EXPECT_EQ(fmin(img), x);
        EXPECT_EQ(fmax(img), x);
        EXPECT_EQ(mean(img), x);
        EXPECT_EQ(var(img), 0.0f);
    }
}

TEST(Reduction, DimensionsDoNotMatterOnlyThePixels) {
    const std::vector<float> v = lmxtest::randomValues(7 * 5 * 3 * 2, -2.0f, 2.0f, 9);
    Lumerix flat = imageOf(v);
    Lumerix volume = imageOf(cmm::cmmDims(7, 5, 3, 2), v);
    EXPECT_EQ(sum(volume), sum(flat));
    EXPECT_EQ(fmin(volume), fmin(flat));
    EXPECT_EQ(fmax(volume), fmax(flat));
    EXPECT_EQ(var(volume), var(flat));
}

TEST(Reduction, InfinitiesAreExtremes) {
    const float inf = std::numeric_limits<float>::infinity();
    Lumerix img = imageOf({3.0f, inf, -2.0f, -inf, 5.0f});
    EXPECT_EQ(fmax(img), inf);
    EXPECT_EQ(fmin(img), -inf);
    Lumerix plus = imageOf({1.0f, inf});
    EXPECT_EQ(sum(plus), inf);
}

TEST(Reduction, AnImageWithoutPixelsSumsToZeroAndHasNoOtherStatistic) {
    Lumerix e;
    EXPECT_EQ(sum(e), 0.0f);
    EXPECT_TRUE(std::isnan(fmin(e)));
    EXPECT_TRUE(std::isnan(fmax(e)));
    EXPECT_TRUE(std::isnan(mean(e)));
    EXPECT_TRUE(std::isnan(var(e)));
    Lumerix zero{cmm::cmmDims(0, 0)};
    EXPECT_EQ(sum(zero), 0.0f);
    EXPECT_TRUE(std::isnan(fmax(zero)));
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST(Reduction, AnImageWithoutPixelsLaunchesNothing) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    Lumerix e;
    const long launches = lmx::cpu::counters().launches;
    sum(e);
    fmin(e);
    fmax(e);
    mean(e);
    var(e);
    EXPECT_EQ(lmx::cpu::counters().launches, launches);
#endif
}

TEST(Reduction, OnlyThe64PartialsComeBackAndTheirBufferIsReused) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    Lumerix img = imageOf(lmxtest::randomValues(20000, 0.0f, 1.0f, 13));
    sum(img);  // the image is on the device and a partial buffer is in the chunk cache
    const lmx::cpu::Counters before = lmx::cpu::counters();
    sum(img);
    fmin(img);
    fmax(img);
    const lmx::cpu::Counters& after = lmx::cpu::counters();
    EXPECT_EQ(after.allocations, before.allocations) << "the partial buffer came from the cache";
    EXPECT_EQ(after.frees, before.frees);
    EXPECT_EQ(after.deviceToHost() - before.deviceToHost(), 3);
    EXPECT_EQ(after.bytes[cudaMemcpyDeviceToHost] - before.bytes[cudaMemcpyDeviceToHost],
              3 * 64 * sizeof(float));
    EXPECT_EQ(after.hostToDevice(), before.hostToDevice());
#endif
}

TEST(Reduction, OutOfMemoryForTheImageReleasesItAndKeepsThePartialBuffer) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    const std::vector<float> v = lmxtest::randomValues(3000, 0.0f, 1.0f, 15);
    Lumerix img = imageOf(v);
    sum(img);       // a partial buffer is cached
    pixels(img);    // the image's device memory becomes a zombie...
    lmxtest::putDownAllZombies();  // ...which is released: the next lock has to allocate
    lmx::cpu::injectPersistentFault(lmx::cpu::Fault::Allocation, 1, cudaErrorMemoryAllocation);
    std::string message = "(nothing thrown)";
    try {
        sum(img);
    } catch (const std::runtime_error& e) {
        message = e.what();
    }
    lmx::cpu::clearFaults();
    cudaGetLastError();
    EXPECT_EQ(message, "Out of memory");
    EXPECT_EQ(img.page->lockCount, 0);
    const long allocations = lmx::cpu::counters().allocations;
    EXPECT_FLOAT_EQ(sum(img), static_cast<float>(reference(v).sum));
    EXPECT_EQ(lmx::cpu::counters().allocations - allocations, 1) << "only the image's memory";
#endif
}

#if defined(LMX_BACKEND_CPU)

namespace {

// The chunk cache may hold a 256-byte buffer from earlier reductions; a request the device
// cannot serve releases every cached chunk, so the reduction's own request has to allocate.
void reduceWithoutDeviceMemory() {
    Lumerix img = imageOf({1.0f, 2.0f, 3.0f});
    lmx::cpu::injectPersistentFault(lmx::cpu::Fault::Allocation, 1, cudaErrorMemoryAllocation);
    void* drained = nullptr;
    LumerixMalloc(&drained, 768017);
    sum(img);
}

}  // namespace

TEST(ReductionDeathTest, NoDeviceMemoryForThePartialsEndsTheProcess) {
    LMX_CPU_BACKEND_ONLY();
    EXPECT_EXIT(reduceWithoutDeviceMemory(), ::testing::ExitedWithCode(1),
                "LUMERIX error\nLumerixReduce\\.cpp:[0-9]+ : out of memory\n"
                "Function: LumerixMalloc\\(");
}

#endif  // LMX_BACKEND_CPU
