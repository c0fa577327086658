// The kernel table against the CPU backend's registry (every row registered under its name)
// and its launch log (the operations launch the shapes the table promises).

#include "TestSupport.h"
#include "cpu/StandIn.h"

#include "backend/cpu/Registry.h"
#include "kernels/Kernels.h"
#include "kernels/Shapes.h"
#include "lumerix/HistogramGrid.h"

#include <climits>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

struct KernelRow {
    const char* name;
    const void* function;
    lmx::LaunchShape shape;
};

// Generated from the table itself, so a row added there is checked here without further work.
const KernelRow kRows[] = {
#define LMX_KERNEL_ROW(name, shape, params) \
    {#name, reinterpret_cast<const void*>(&name), lmx::LaunchShape::shape},
#include "kernels/KernelTable.def"
#undef LMX_KERNEL_ROW
};

void notAKernel() {}

}  // namespace

TEST(KernelTable, EveryRowIsRegisteredUnderItsNameAndNothingElseIs) {
    EXPECT_EQ(lmx::cpu::kernelCount(), std::size(kRows));
    for (const KernelRow& row : kRows) {
        const lmx::cpu::KernelEntry* entry = lmx::cpu::findKernel(row.function);
        ASSERT_NE(entry, nullptr) << row.name << " is not registered";
        EXPECT_STREQ(entry->name, row.name);
        EXPECT_NE(entry->invoke, nullptr) << row.name;
    }
    EXPECT_EQ(lmx::cpu::findKernel(reinterpret_cast<const void*>(&notAKernel)), nullptr);
}

namespace {

struct Shape {
    const char* kernel;
    unsigned grid, block;
};

// Expects f to make exactly the given launches, in order, each of a one-dimensional shape.
void expectLaunches(const std::function<void()>& f, const std::vector<Shape>& want) {
    const long before = lmx::cpu::counters().launches;
    f();
    const auto& log = lmx::cpu::launchLog();
    ASSERT_EQ(lmx::cpu::counters().launches - before, static_cast<long>(want.size()));
    for (std::size_t i = 0; i < want.size(); ++i) {
        const lmx::cpu::LaunchRecord& r = log[log.size() - want.size() + i];
        EXPECT_EQ(r.kernel, want[i].kernel);
        EXPECT_EQ(r.grid.x, want[i].grid) << r.kernel;
        EXPECT_EQ(r.block.x, want[i].block) << r.kernel;
        EXPECT_EQ(r.grid.y * r.grid.z * r.block.y * r.block.z, 1u) << r.kernel;
    }
}

}  // namespace

TEST(LaunchShape, PixelWiseLaunchesUseBlocksOf256AndTheOthersFixedGrids) {
    // Pixel-wise: 256 threads per block, n / 256 blocks rounded up.
    const struct {
        int pixels;
        unsigned blocks;
    } counts[] = {{1, 1}, {255, 1}, {256, 1}, {257, 2}, {1000, 4}, {8192, 32}, {49152, 192}};
    for (const auto& c : counts) {
        SCOPED_TRACE(c.pixels);
        const unsigned g = c.blocks;
        Lumerix a = imageOf(randomValues(c.pixels, 0.0f, 255.0f));
        Lumerix b = imageOf(randomValues(c.pixels, 0.0f, 9.0f, 2));
        expectLaunches([&] { a + b; }, {{"LumerixPixelAddII2I", g, 256}});
        expectLaunches([&] { a * 2.0f; }, {{"LumerixPixelMulIF2I", g, 256}});
        expectLaunches([&] { 2.0f / a; }, {{"LumerixPixelDivIF2I_swap", g, 256}});
        expectLaunches([&] { sqrt(a); }, {{"LumerixPixelSqrtI2I", g, 256}});
        expectLaunches([&] { std::free(a.GetDataInt8()); }, {{"LumerixPixelFloatToInt8", g, 256}});
        const std::vector<unsigned short> words(static_cast<std::size_t>(c.pixels), 7);
        expectLaunches([&] { b.SetDataInt16(words.data()); },
                       {{"LumerixPixelInt16ToFloat", g, 256}});
        // Reductions: 64 blocks of 128 threads whatever the size.
        expectLaunches([&] { sum(a); }, {{"LumerixPixelSumI2F", 64, 128}});
        expectLaunches([&] { fmin(a); }, {{"LumerixPixelMinI2F", 64, 128}});
        expectLaunches([&] { fmax(a); }, {{"LumerixPixelMaxI2F", 64, 128}});
        // Histogram: this backend counts the float pixels into the block histograms in one
        // pass (the GPU converts in a pixel-wise launch and counts in 64 x 192); the merge runs
        // in 256 x 64.
        unsigned int bins[256];
        expectLaunches([&] { histogram256(a, bins); }, {{"mergeHistogram256Kernel", 256, 64}});
    }
    // Channels: one thread per pixel of one channel; 1000 pixels are 4 blocks, not the 12
    // that the 3000 merged values would need.
    Lumerix c0 = imageOf(cmmDims(40, 25), randomValues(1000, 0, 1, 1));
    Lumerix c1(c0), c2(c0), m;
    expectLaunches([&] { m = merge3(c0, c1, c2); }, {{"LumerixPixelMerge3", 4, 256}});
    expectLaunches([&] { split3(m, c0, c1, c2); }, {{"LumerixPixelSplit3", 4, 256}});
    // FFT: one thread per pixel (not per float of the complex array) on each side of the plan.
    // This backend transforms an image, and inverts an exactly Hermitian array (a forward
    // transform), with the conversions inside the transform's passes: no launch. The inverse of
    // any other array converts on each side of the plan.
    Lumerix re, im;
    expectLaunches([&] { fft(c0, re, im); }, {});
    expectLaunches([&] { ifft(re, im); }, {});
    expectLaunches([&] { ifft(re, c0); },
                   {{"LumerixFFTInterleave", 4, 256}, {"LumerixFFTComplexToFloat", 4, 256}});
    // A single pixel has no plan: its conversions are the whole transform.
    Lumerix one = imageOf(std::vector<float>{2.5f});
    expectLaunches([&] { fft(one, re, im); },
                   {{"LumerixFFTFloatToComplex", 1, 256}, {"LumerixFFTDeinterleave", 1, 256}});
}

namespace {

using lmx::LaunchShape;

// Whether a launch has the grid and block its shape promises (the plane's and the pixel-wise
// grids follow the result, so only their blocks are fixed). No launch has the shape Unlaunched.
bool hasShape(const lmx::cpu::LaunchRecord& r, LaunchShape shape) {
    const auto line = [&](unsigned minBlocks, unsigned maxBlocks, unsigned threads) {
        return r.grid.x >= minBlocks && r.grid.x <= maxBlocks && r.grid.y == 1 && r.grid.z == 1 &&
               r.block.x == threads && r.block.y == 1 && r.block.z == 1;
    };
    switch (shape) {
        case LaunchShape::Pixel:
            return line(1, ~0u, 256);
        case LaunchShape::Plane:
            // 16 x 12, or the same 192 threads in 1, 2, 3, 4 or 6 rows for a plane of fewer
            // rows than 12 (lmx::planeBlock).
            return r.grid.x >= 1 && r.grid.y >= 1 && r.grid.z == 1 && r.block.z == 1 &&
                   r.block.x * r.block.y == 192 &&
                   (r.block.y == 12 || r.block.y == 6 || r.block.y == 4 || r.block.y == 3 ||
                    r.block.y == 2 || r.block.y == 1);
        case LaunchShape::Reduce:
            return line(64, 64, 128);
        case LaunchShape::Histogram:
            return line(64, 64, 192);
        case LaunchShape::HistogramMerge:
            return line(256, 256, 64);
        case LaunchShape::Regions:
            return line(1, 64, 256);
        case LaunchShape::HistogramGrid:
            return line(1, static_cast<unsigned>(lmx::histogramGrid(INT_MAX)), 192);
        case LaunchShape::GridMerge:
            return line(32, 32, 1024);
        case LaunchShape::Unlaunched:
            return false;
        case LaunchShape::ReduceChains:
            return line(1, lmx::kChainGroups, lmx::kChainThreads);
    }
    return false;
}

}  // namespace

TEST(KernelTable, EveryLaunchHasTheShapeOfItsRow) {
    std::map<std::string, LaunchShape> shapeOf;
    for (const KernelRow& row : kRows) shapeOf[row.name] = row.shape;

    // 37 x 29: neither side a multiple of the plane's block, nor the pixel count of 256.
    const cmmDims dims(37, 29);
    Lumerix a = imageOf(dims, randomValues(37 * 29, 0.0f, 255.0f, 1));
    Lumerix b = imageOf(dims, randomValues(37 * 29, 1.0f, 9.0f, 2));
    float taps[9] = {0, 1, 0, 1, -4, 1, 0, 1, 0};
    float m[6] = {0.9f, 0.1f, 2.0f, -0.1f, 1.1f, -1.5f};
    const std::vector<unsigned short> words(37 * 29, 7);
    const struct {
        const char* what;
        std::function<void()> run;
    } operations[] = {
        {"binary",
         [&] {
             a + b;
             a - 2.0f;
             2.0f / a;
             a > b;
             a&& b;
             a ^ b;
             fmax(a, b);
         }},
        {"unary",
         [&] {
             sqrt(b);
             log(b);
             abs(a);
             !a;
         }},
        {"reductions",
         [&] {
             sum(a);
             fmin(a);
             fmax(a);
             var(a);
         }},
        {"histogram",
         [&] {
             unsigned int bins[256];
             histogram256(a, bins);
         }},
        {"conversions",
         [&] {
             std::free(a.GetDataInt8());
             Lumerix c(dims);
             c.SetDataInt16(words.data());
         }},
        {"channels",
         [&] {
             Lumerix c0(a), c1(b), c2(a);
             Lumerix merged = merge3(c0, c1, c2);
             split3(merged, c0, c1, c2);
         }},
        {"neighbourhood",
         [&] {
             erosion(a, 2, 0);
             dilation(a, 1, 2);
             convolve(a, taps, 1, 1);
             gauss(a, 1.5f);
         }},
        {"geometry",
         [&] {
             a(3, -2);
             a(2, 30, 4, 20);
             slice(a, 1.5f, 2.25f, 20, 10);
             xx(a);
             yy(a);
             affine(a, m);
             resize(a, cmmDims(20, 50), 1, 1);
         }},
        {"fft",
         [&] {
             Lumerix re, im;
             fft(a, re, im);
             ifft(re, im);
             ifft(a, a);  // not Hermitian: the general path's conversions
         }},
        {"border filters",
         [&] {
             correlate(a, taps, 1, 1, LumerixBorder::Wrap);
             gaussian(a, 2.0f);
             median(a, 2, 1, LumerixBorder::Mirror);
         }},
        {"scaling",
         [&] {
             scale(a, 50, 60, LumerixInterpolation::Nearest);
             scale(a, 50, 60, LumerixInterpolation::Cubic);
             scale(a, 11, 7, LumerixInterpolation::Area);
             affine(a, m, LumerixBorder::Constant, 1.0f);
         }},
        {"regions",
         [&] {
             Lumerix labels = label(a > 128.0f);
             regions(labels, a);
         }},
        // What the GPU's histogram launches after its conversion to 8 bits.
        {"histogram on the device's grid",
         [&] {
             const int n = 40000;
             unsigned char* bytes = nullptr;
             unsigned int* result = nullptr;
             ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&bytes), n), cudaSuccess);
             ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&result), 1024), cudaSuccess);
             ASSERT_EQ(cudaMemset(bytes, 9, n), cudaSuccess);
             lmx::countBytesOnGrid(bytes, n, result);
             cudaFree(result);
             cudaFree(bytes);
         }},
    };
    std::set<LaunchShape> seen;
    for (const auto& op : operations) {
        SCOPED_TRACE(op.what);
        const long before = lmx::cpu::counters().launches;
        op.run();
        const long made = lmx::cpu::counters().launches - before;
        const auto& log = lmx::cpu::launchLog();
        ASSERT_GT(made, 0);
        ASSERT_LE(made, static_cast<long>(log.size()));
        for (std::size_t i = log.size() - static_cast<std::size_t>(made); i < log.size(); ++i) {
            const lmx::cpu::LaunchRecord& r = log[i];
            const auto row = shapeOf.find(r.kernel);
            ASSERT_NE(row, shapeOf.end()) << r.kernel << " has no row";
            EXPECT_TRUE(hasShape(r, row->second))
                << r.kernel << ": grid " << r.grid.x << " x " << r.grid.y << " x " << r.grid.z
                << ", block " << r.block.x << " x " << r.block.y << " x " << r.block.z;
            seen.insert(row->second);
        }
    }
    // Every shape was checked at least once, except the histogram's counting (this backend counts
    // the float pixels without it) and the rows that no operation launches.
    for (LaunchShape shape : {LaunchShape::Pixel, LaunchShape::Plane, LaunchShape::Reduce,
                              LaunchShape::HistogramMerge, LaunchShape::Regions})
        EXPECT_EQ(seen.count(shape), 1u) << static_cast<int>(shape);
    for (LaunchShape shape : {LaunchShape::HistogramGrid, LaunchShape::GridMerge})
        EXPECT_EQ(seen.count(shape), 1u) << static_cast<int>(shape);
}
