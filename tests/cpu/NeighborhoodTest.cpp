// Neighbourhood filters against the CPU backend's launch log, counters and capacity, and the
// fatal report of a table larger than the symbol.

#include "NeighborhoodSupport.h"
#include "TestSupport.h"
#include "cpu/StandIn.h"

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
            EXPECT_EQ(rec.grid.x, 2u);
            EXPECT_EQ(rec.grid.y, 2u);
            EXPECT_EQ(rec.block.x, 16u);
            EXPECT_EQ(rec.block.y, 12u);
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
    EXPECT_EQ(rec.grid.x * 10 + rec.grid.y, 22u);
    EXPECT_EQ(rec.block.x * 100 + rec.block.y, 1612u);
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
