// The 256-bin histogram: every pixel is counted once, in the bin of its saturating 8-bit value.

#include "TestSupport.h"

#include "lumerix/LumerixUtils.h"

#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

using lmxtest::imageOf;
using lmxtest::pixels;

namespace {

using Counts = std::array<unsigned int, 256>;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The bin of a pixel: the fraction dropped, NaN and values below 0 in bin 0, values of 255
// and above in bin 255.
int binOf(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= 255.0f) return 255;
    return static_cast<int>(std::trunc(v));
}

Counts referenceCounts(const std::vector<float>& v) {
    Counts c{};
    for (float x : v) ++c[static_cast<std::size_t>(binOf(x))];
    return c;
}

Counts histogramOf(Lumerix& img) {
    Counts c;
    c.fill(0xDEADBEEFu);
    histogram256(img, c.data());
    return c;
}

unsigned long long total(const Counts& c) {
    return std::accumulate(c.begin(), c.end(), 0ULL);
}

// Pixels over the whole 8-bit range and past both ends, with fractions.
std::vector<float> mixedPixels(std::size_t n, unsigned seed) {
    std::vector<float> v = lmxtest::randomValues(n, -20.0f, 280.0f, seed);
    for (std::size_t i = 0; i < n; i += 37) v[i] = kNaN;
    for (std::size_t i = 5; i < n; i += 41) v[i] = 1.0e9f;
    return v;
}

const std::size_t kSizes[] = {1,     2,     3,     4,     5,     10,    255,   256,
                              1000,  1073,  12287, 12288, 12289, 49151, 49152, 49153,
                              49155, 262147};

}  // namespace

class HistogramOfSize : public ::testing::TestWithParam<std::size_t> {};

TEST_P(HistogramOfSize, CountsEveryPixelInTheBinOfItsEightBitValue) {
    const std::size_t n = GetParam();
    const std::vector<float> v = mixedPixels(n, static_cast<unsigned>(n));
    Lumerix img = imageOf(v);
    const Counts got = histogramOf(img);
    EXPECT_EQ(total(got), n);
    EXPECT_EQ(got, referenceCounts(v));
    const std::vector<float> kept = pixels(img);
    for (std::size_t i = 0; i < n; ++i)
        ASSERT_TRUE(lmxtest::sameFloat(kept[i], v[i])) << "the image keeps its pixels: " << i;
}

TEST_P(HistogramOfSize, CountsAnImageOfOneValueInOneBin) {
    const std::size_t n = GetParam();
    Lumerix img = imageOf(std::vector<float>(n, 200.5f));
    const Counts got = histogramOf(img);
    Counts want{};
    want[200] = static_cast<unsigned int>(n);
    EXPECT_EQ(got, want);
}

INSTANTIATE_TEST_SUITE_P(Sizes, HistogramOfSize, ::testing::ValuesIn(kSizes));

TEST(Histogram, CountsTheWorkedExample) {
    Lumerix img = imageOf({0.0f, 0.0f, 7.0f, 255.0f});
    Counts want{};
    want[0] = 2;
    want[7] = 1;
    want[255] = 1;
    EXPECT_EQ(histogramOf(img), want);
}

TEST(Histogram, CountsThePixelsThatFillNoWholeWord) {
    Lumerix three = imageOf({9.0f, 9.5f, 250.0f});
    Counts want{};
    want[9] = 2;
    want[250] = 1;
    EXPECT_EQ(histogramOf(three), want);
    Lumerix ten = imageOf({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    const Counts got = histogramOf(ten);
    EXPECT_EQ(total(got), 10u);
    EXPECT_EQ(got[9], 1u);
    EXPECT_EQ(got[10], 1u);
}

TEST(Histogram, BinsComeFromTheSaturatingConversion) {
    const std::vector<float> v = {-1.0f, -0.5f, -0.0f, kNaN, -kInf, 0.99f, 1.0f,  2.9f,
                                  254.9f, 255.0f, 255.9f, 256.0f, 300.0f, 1.0e10f, kInf};
    Lumerix img = imageOf(v);
    const Counts got = histogramOf(img);
    Counts want{};
    want[0] = 6;  // -1, -0.5, -0, NaN, -inf, 0.99
    want[1] = 1;
    want[2] = 1;
    want[254] = 1;
    want[255] = 6;  // 255 and above
    EXPECT_EQ(got, want);
}

TEST(Histogram, WritesExactlyTheTwoHundredFiftySixCounts) {
    Lumerix img = imageOf(mixedPixels(5000, 3));
    std::vector<unsigned int> buffer(258, 0xDEADBEEFu);
    histogram256(img, buffer.data() + 1);
    EXPECT_EQ(buffer.front(), 0xDEADBEEFu);
    EXPECT_EQ(buffer.back(), 0xDEADBEEFu);
    unsigned long long sum = 0;
    for (std::size_t i = 1; i <= 256; ++i) sum += buffer[i];
    EXPECT_EQ(sum, 5000u);
}

TEST(Histogram, ReadsAllPixelsOfMultiDimensionalImages) {
    const cmm::cmmDims dims(13, 7, 3, 2);
    const std::vector<float> v = mixedPixels(static_cast<std::size_t>(dims.Size()), 4);
    Lumerix img = imageOf(dims, v);
    EXPECT_EQ(histogramOf(img), referenceCounts(v));
}

TEST(Histogram, AnImageWithoutPixelsHasAllBinsEmpty) {
    Lumerix e;
#if defined(LMX_BACKEND_CPU)
    const long launches = lmx::cpu::counters().launches;
#endif
    EXPECT_EQ(histogramOf(e), Counts{});
#if defined(LMX_BACKEND_CPU)
    EXPECT_EQ(lmx::cpu::counters().launches, launches);
#endif
}

TEST(Histogram, RepeatedCallsAgree) {
    Lumerix img = imageOf(mixedPixels(12289, 6));
    const Counts first = histogramOf(img);
    EXPECT_EQ(histogramOf(img), first) << "no count survives from one call to the next";
}

#if defined(LMX_BACKEND_CPU)

TEST(Histogram, OutOfMemoryForTheImageGivesBothBuffersBack) {
    LMX_CPU_BACKEND_ONLY();
    const std::size_t n = 4096;
    const std::vector<float> v = mixedPixels(n, 8);
    Lumerix img = imageOf(v);
    const Counts want = histogramOf(img);  // leaves an n-byte chunk in the chunk cache
    pixels(img);                           // the image's device memory becomes a zombie
    lmxtest::putDownAllZombies();
    const std::size_t inUse = lmx::cpu::deviceBytesInUse();
    const std::size_t capacity = lmx::cpu::deviceCapacity();
    // Room for the 64 partial histograms, not for the image's 16 KiB.
    lmx::cpu::setDeviceCapacity(inUse + 64 * 256 * sizeof(unsigned int) + 1024);
    std::string message = "(nothing thrown)";
    try {
        Counts c;
        histogram256(img, c.data());
    } catch (const std::runtime_error& e) {
        message = e.what();
    }
    lmx::cpu::setDeviceCapacity(capacity);
    cudaGetLastError();
    EXPECT_EQ(message, "Out of memory");
    EXPECT_EQ(img.page->lockCount, 0);
    EXPECT_EQ(lmx::cpu::deviceBytesInUse(), inUse) << "the partial histograms leaked";
    const long allocations = lmx::cpu::counters().allocations;
    EXPECT_EQ(histogramOf(img), want);
    // The image and the partial histograms; the 8-bit copy comes from the chunk cache.
    EXPECT_EQ(lmx::cpu::counters().allocations - allocations, 2);
}

namespace {

// Empties the chunk cache (a request the device cannot serve releases every cached chunk),
// then makes the nth allocation from now on fail while the histogram runs.
void histogramWithFailingAllocation(long nth) {
    Lumerix img = imageOf({1.0f, 2.0f, 3.0f, 4.0f, 5.0f});
    lmx::cpu::injectPersistentFault(lmx::cpu::Fault::Allocation, 1, cudaErrorMemoryAllocation);
    void* drained = nullptr;
    LumerixMalloc(&drained, 768017);
    lmx::cpu::clearFaults();
    cudaGetLastError();
    lmx::cpu::injectFault(lmx::cpu::Fault::Allocation, nth, cudaErrorMemoryAllocation);
    Counts c;
    histogram256(img, c.data());
}

}  // namespace

// The partial histograms are allocated first, then the 8-bit copy of the image.
TEST(HistogramDeathTest, NoDeviceMemoryForThePartialHistogramsEndsTheProcess) {
    LMX_CPU_BACKEND_ONLY();
    EXPECT_EXIT(histogramWithFailingAllocation(1), ::testing::ExitedWithCode(1),
                "LUMERIX error\nLumerixHistogram\\.cpp:[0-9]+ : out of memory\n"
                "Function: cudaMalloc\\(");
}

TEST(HistogramDeathTest, NoDeviceMemoryForTheEightBitCopyEndsTheProcess) {
    LMX_CPU_BACKEND_ONLY();
    EXPECT_EXIT(histogramWithFailingAllocation(2), ::testing::ExitedWithCode(1),
                "LUMERIX error\nLumerixHistogram\\.cpp:[0-9]+ : out of memory\n"
                "Function: LumerixMalloc\\(\\(void \\*\\*\\)&chardata, "
                "img\\.GetDimensions\\(\\)\\.Size\\(\\)\\*sizeof\\(unsigned char\\)\\)\n");
}

#endif  // LMX_BACKEND_CPU
