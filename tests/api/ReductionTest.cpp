// Reductions of all pixels: sum, minimum, maximum, mean and variance, and the 256-bin histogram.

#include "ReductionSupport.h"
#include "TestSupport.h"

#include "cmm/cmmReclaim.h"
#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "kernels/Shapes.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

using namespace cmm;
using namespace lmxtest;

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

// ---- the 256-bin histogram: every pixel is counted once, in the bin of its saturating 8-bit
// value -----------------------------------------------------------------------------------------

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

// The counting kernel on its own, on 8-bit data that starts at each byte offset of a 16-byte
// group: the whole words, the words after the last whole group of four and the pixels that fill
// no word are each counted once, wherever the data starts.
TEST(Histogram, TheCountingKernelCountsEveryByteAtAnyStartAndLength) {
    const std::size_t counters = lmx::kHistogramBlocks * lmx::kBins;
    unsigned char* base = nullptr;
    unsigned int* partial = nullptr;
    // Past eight 16-byte loads for every thread of the grid, so the GPU's unrolled loop runs too.
    const int words = lmx::kHistogramBlocks * lmx::kHistogramThreads;
    const int most = 4 * 4 * 8 * words + 4 * 4 * words + 4 * 3 + 3;
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&base), most + 16), cudaSuccess);
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&partial), counters * sizeof(unsigned int)),
              cudaSuccess);
    std::vector<unsigned char> bytes(most + 16);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>((i * 2654435761u) >> 24);
    ASSERT_EQ(cudaMemcpy(base, bytes.data(), bytes.size(), cudaMemcpyHostToDevice), cudaSuccess);
    for (int offset : {0, 4, 8, 12}) {  // the kernel reads words: starts on a word boundary
        for (int n : {1, 3, 4, 13, 16, 17, 28, 31, 1000, 4 * 4 * words + 12, most - 3, most}) {
            SCOPED_TRACE(testing::Message() << "offset=" << offset << " n=" << n);
            Counts want{};
            for (int i = 0; i < n; ++i) ++want[bytes[offset + i]];
            lmx::launch(&histogram256Kernel, dim3(lmx::kHistogramBlocks),
                        dim3(lmx::kHistogramThreads), 0, partial,
                        reinterpret_cast<unsigned int*>(base + offset), n);
            lmx::launch(&mergeHistogram256Kernel, dim3(lmx::kBins), dim3(lmx::kHistogramBlocks), 0,
                        partial);
            Counts got{};
            ASSERT_EQ(cudaMemcpy(got.data(), partial, sizeof(got), cudaMemcpyDeviceToHost),
                      cudaSuccess);
            EXPECT_EQ(got, want);
        }
    }
    EXPECT_EQ(cudaFree(base), cudaSuccess);
    EXPECT_EQ(cudaFree(partial), cudaSuccess);
}
