// Neighbourhood filters against the CPU backend's launch log, counters and capacity, and the
// fatal report of a table larger than the symbol.

#include "NeighborhoodSupport.h"
#include "TestSupport.h"
#include "cpu/StandIn.h"

#include "runtime/Backend.h"

#include <cmath>
#include <string>
#include <utility>
#include <vector>

using namespace cmm;
using namespace lmxtest;

TEST(Morphology, PassesLaunchThePlaneShapeAndNeedNoCopy) {
    Lumerix img = imageOf(cmmDims(17, 13), testPixels(17, 13, 3));
    onDevice({&img});
    const struct {
        int iterations, shape;
        std::vector<std::string> kernels;
    } cases[] = {
        {0, 0, {}},
        {1, 7, {"LumerixErosion4I2I"}},
        {1, 2, {"LumerixErosionI2I"}},
        {3, 0, {"LumerixErosion4I2I", "LumerixErosionI2I", "LumerixErosion4I2I"}},
        {2, 1, {"LumerixErosion4I2I", "LumerixErosion4I2I"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.iterations);
        const RuntimeTotals before = RuntimeTotals::now();
        Lumerix r = erosion(img, c.iterations, c.shape);
        const RuntimeTotals spent = RuntimeTotals::now().since(before);
        ASSERT_EQ(spent.launches, static_cast<long>(c.kernels.size()));
        const auto& log = lmx::cpu::launchLog();
        for (std::size_t i = 0; i < c.kernels.size(); ++i) {
            const lmx::cpu::LaunchRecord& rec = log[log.size() - c.kernels.size() + i];
            EXPECT_EQ(rec.kernel, c.kernels[i]);
            // Threads write strips of four rows: the 13 rows are 4 strips, so one block of 192
            // threads in 4 rows of 48 covers the plane.
            EXPECT_EQ(rec.grid.x, 1u);
            EXPECT_EQ(rec.grid.y, 1u);
            EXPECT_EQ(rec.block.x, 48u);
            EXPECT_EQ(rec.block.y, 4u);
        }
        // The last pass writes the result itself; only no pass at all copies the input.
        EXPECT_EQ(spent.deviceToDevice, c.iterations == 0 ? 1 : 0);
        EXPECT_EQ(spent.deviceToHost, 0);
    }
}

TEST(ConvolutionDeathTest, MoreTapsThanTheTableEndTheProcessAtTheUpload) {
    const std::string report =
        "^LUMERIX error\nLumerixNeighborhood\\.cpp:[0-9]+ : invalid argument\nFunction: "
        "cudaMemcpyToSymbol\\(d_kernel, kernel, \\(xradius\\*2\\+1\\)\\*\\(yradius\\*2\\+1\\)\\*"
        "sizeof\\(float\\)\\)\n$";
    for (const auto& radii : {std::pair<int, int>{8, 7}, {113, 0}, {1 << 30, 1 << 30}}) {
        EXPECT_EXIT(
            {
                std::vector<float> taps(256, 1.0f);
                Lumerix img = imageOf(cmmDims(4, 4), ramp(16));
                convolve(img, taps.data(), radii.first, radii.second);
            },
            ::testing::ExitedWithCode(1), report);
    }
}

TEST(SymbolCopy, LargerThanTheSymbolIsRefusedWithoutWriting) {
    float symbol[4] = {1, 2, 3, 4};
    const float src[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    cudaGetLastError();
    EXPECT_EQ(cudaMemcpyToSymbol(symbol, src, 5 * sizeof(float)), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpyToSymbol(symbol, src, sizeof(float), 4 * sizeof(float)),
              cudaErrorInvalidValue);
    cudaGetLastError();
    EXPECT_TRUE(sameFloats(std::vector<float>(symbol, symbol + 4), {1, 2, 3, 4}));
    EXPECT_EQ(cudaMemcpyToSymbol(symbol, src, 4 * sizeof(float)), cudaSuccess);
    EXPECT_EQ(symbol[3], 9.0f);
}

TEST(Convolution, LaunchesThePlaneShapeOnce) {
    Lumerix img = imageOf(cmmDims(17, 13), ramp(17 * 13));
    float taps[15] = {};
    const RuntimeTotals before = RuntimeTotals::now();
    convolve(img, taps, 2, 1);
    EXPECT_EQ(RuntimeTotals::now().since(before).launches, 1);
    const lmx::cpu::LaunchRecord& rec = lmx::cpu::launchLog().back();
    EXPECT_EQ(rec.kernel, "LumerixConvolveIDD2I");
    // The plane shape over the 17 x 4 strips of four rows: one block of 48 x 4 threads.
    EXPECT_EQ(rec.grid.x * 10 + rec.grid.y, 11u);
    EXPECT_EQ(rec.block.x * 100 + rec.block.y, 4804u);
}

TEST(Neighborhood, OutOfMemoryReleasesEveryImageTheFilterLocked) {
    const std::vector<float> values = randomValues(20 * 10, 0.0f, 1.0f, 31);
    Lumerix img = imageOf(cmmDims(20, 10), values);
    float taps[9] = {0, 0, 0, 0, 1, 0, 0, 0, 0};
    onDevice({&img});
    {
        const NoDeviceMemory full;
        LMX_EXPECT_RUNTIME_ERROR(erosion(img, 1, 1), "Out of memory");
        LMX_EXPECT_RUNTIME_ERROR(dilation(img, 3, 2), "Out of memory");
        LMX_EXPECT_RUNTIME_ERROR(convolve(img, taps, 1, 1), "Out of memory");
        LMX_EXPECT_RUNTIME_ERROR(gaussx(img, 1.0f), "Out of memory");
    }
    expectCachedWith(img, values);
    // With the first working image granted and the second refused, the input and the first are
    // released as well.
    {
        lmxtest::ScopedDeviceCapacity room(values.size() * sizeof(float));
        LMX_EXPECT_RUNTIME_ERROR(erosion(img, 2, 0), "Out of memory");
    }
    expectCachedWith(img, values);
    EXPECT_TRUE(sameFloats(pixels(erosion(img, 2, 0)), plainErosion(values, 20, 10, 2, 0, false)));
}

// ---- square passes folded into one ------------------------------------------------------------

namespace {

// Pixels of one kind of zeros (+0, -0, both or none) among values with ties, infinities and NaN.
enum class Zeros { None, Positive, Negative, Both };

std::vector<float> foldPixels(int w, int h, Zeros zeros, unsigned seed) {
    std::vector<float> v = randomValues(static_cast<std::size_t>(w) * h, 0.0f, 6.0f, seed);
    for (std::size_t i = 0; i < v.size(); ++i) {
        float& x = v[i];
        x = std::floor(x) - 2.0f;  // ties of small integers
        if (x == 0.0f)
            x = zeros == Zeros::Negative || (zeros == Zeros::Both && i % 2) ? -0.0f : 0.0f;
        if (zeros == Zeros::None && x == 0.0f) x = 0.5f;
        if (i % 37 == 5) x = kNaN;
        if (i % 41 == 7) x = i % 2 ? kInf : -kInf;
    }
    return v;
}

}  // namespace

TEST(MorphologyFold, EveryScheduleOfManyPassesMatchesThePassesOneByOne) {
    const Plane planes[] = {{1, 1}, {1, 9}, {9, 1}, {2, 2}, {17, 13}, {3, 40}, {40, 3}, {130, 67}};
    for (const Plane& p : planes)
        for (Zeros zeros : {Zeros::None, Zeros::Positive, Zeros::Negative, Zeros::Both})
            for (int shape : {1, 2, 0})
                for (int passes : {2, 3, 5, 8, 9, 17, 40})
                    for (bool dilate : {false, true}) {
                        SCOPED_TRACE(::testing::Message()
                                     << p.w << "x" << p.h << " zeros " << static_cast<int>(zeros)
                                     << " shape " << shape << " passes " << passes
                                     << (dilate ? " dilation" : " erosion"));
                        const std::vector<float> values =
                            foldPixels(p.w, p.h, zeros, p.w * 13 + p.h + passes);
                        Lumerix img = imageOf(cmmDims(p.w, p.h), values);
                        Lumerix r =
                            dilate ? dilation(img, passes, shape) : erosion(img, passes, shape);
                        ASSERT_TRUE(sameFloats(
                            pixels(r), plainErosion(values, p.w, p.h, passes, shape, dilate)));
                    }
}

// The fold itself: the passes' bits into dst, or declined (an input with zeros of both signs),
// in which case the operation runs the passes one by one.
TEST(MorphologyFold, FoldsSquarePassesUnlessBothZerosAppear) {
    const Plane planes[] = {{1, 1}, {5, 1}, {1, 5}, {17, 13}, {64, 65}, {301, 40}};
    for (const Plane& p : planes)
        for (Zeros zeros : {Zeros::None, Zeros::Positive, Zeros::Negative, Zeros::Both})
            for (int passes : {2, 4, 8, 9, 16, 25})
                for (bool dilate : {false, true}) {
                    SCOPED_TRACE(::testing::Message()
                                 << p.w << "x" << p.h << " zeros " << static_cast<int>(zeros)
                                 << " passes " << passes << (dilate ? " dilation" : " erosion"));
                    const std::vector<float> values = foldPixels(p.w, p.h, zeros, passes + p.w);
                    const std::size_t bytes = values.size() * sizeof(float);
                    DeviceBuffer src(bytes), spare(bytes), dst(bytes);
                    writeDevice(src.get(), values);
                    bool positive = false, negative = false;
                    for (float v : values) {
                        positive |= v == 0.0f && !std::signbit(v);
                        negative |= v == 0.0f && std::signbit(v);
                    }
                    const bool both = positive && negative;
                    const bool folded = lmx::foldSquarePasses(src.get(), spare.get(), dst.get(),
                                                              p.w, p.h, passes, dilate);
                    EXPECT_EQ(folded, !both);
                    if (!folded) continue;
                    std::vector<float> got(values.size());
                    cudaMemcpy(got.data(), dst.get(), bytes, cudaMemcpyDeviceToHost);
                    EXPECT_TRUE(sameFloats(got, plainErosion(values, p.w, p.h, passes, 2, dilate)));
                }
}

TEST(MorphologyFold, ManySquarePassesLaunchNothingAndSignedZerosPassByPass) {
    const std::vector<float> plain = foldPixels(17, 13, Zeros::Positive, 3);
    const std::vector<float> mixed = foldPixels(17, 13, Zeros::Both, 3);
    Lumerix a = imageOf(cmmDims(17, 13), plain), b = imageOf(cmmDims(17, 13), mixed);
    onDevice({&a, &b});
    RuntimeTotals before = RuntimeTotals::now();
    Lumerix ra = erosion(a, 4, 2);
    EXPECT_EQ(RuntimeTotals::now().since(before).launches, 0);
    before = RuntimeTotals::now();
    Lumerix rb = dilation(b, 4, 2);
    EXPECT_EQ(RuntimeTotals::now().since(before).launches, 4);
    EXPECT_TRUE(sameFloats(pixels(ra), plainErosion(plain, 17, 13, 4, 2, false)));
    EXPECT_TRUE(sameFloats(pixels(rb), plainErosion(mixed, 17, 13, 4, 2, true)));
    expectUnlocked({&a, &b, &ra, &rb});
}
