// The kernel table: every row is a kernel the backend can launch, under its own name and with its
// own parameter list, and the operations launch them in the shapes the table promises.

#include "TestSupport.h"

#include "kernels/Kernels.h"

#if defined(LMX_BACKEND_CPU)
#include "backend/cpu/Registry.h"
#endif

#include <cstdlib>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

struct KernelRow {
    const char* name;
    const void* function;
};

// Generated from the table itself, so a row added there is checked here without further work.
const KernelRow kRows[] = {
#define LMX_KERNEL_ROW(name, params) {#name, reinterpret_cast<const void*>(&name)},
#include "kernels/KernelTable.def"
#undef LMX_KERNEL_ROW
};

// The kernels written out by hand: a row renamed or dropped from the table (the never-launched
// ones would not break any caller) shows up here.
std::vector<std::string> expectedNames() {
    std::vector<std::string> names;
    for (const char* op :
         {"Add", "Subt", "Mul", "Div", "Greater", "GreaterEqual", "Less", "LessEqual", "Equal",
          "And", "Or", "XOr", "BitAnd", "BitOr", "BitXor", "Max", "Min"})
        for (const char* form : {"II2I", "IF2I", "IF2I_swap"})
            names.push_back(std::string("LumerixPixel") + op + form);
    for (const char* name :
         {"Int8ToFloat", "FloatToInt8", "Int16ToFloat", "FloatToInt16", "FloatToInt32", "Merge3",
          "Split3", "SqrtI2I", "LogI2I", "AbsI2I", "NotI2I", "SumI2F", "MinI2F", "MaxI2F"})
        names.push_back(std::string("LumerixPixel") + name);
    names.push_back("histogram256Kernel");
    names.push_back("mergeHistogram256Kernel");
    for (const char* name : {"Erosion4I2I", "ErosionI2I", "Dilation4I2I", "DilationI2I",
                             "ConvolveID2I", "ConvolveIDD2I"})
        names.push_back(std::string("Lumerix") + name);
    for (const char* name : {"Shift", "Slice", "SliceInterp", "XX", "YY", "Affine", "Resize"})
        names.push_back(std::string("LumerixGeometric") + name);
    for (const char* name : {"FloatToComplex", "Deinterleave", "Interleave", "ComplexToFloat"})
        names.push_back(std::string("LumerixFFT") + name);
    for (const char* name : {"CorrelateBorderI2I", "CorrelateBorderIT2I", "CorrelateRowsIT2I",
                             "CorrelateColumnsIT2I", "MedianI2I"})
        names.push_back(std::string("Lumerix") + name);
    return names;
}

}  // namespace

TEST(KernelTable, NamesEveryKernelOnceAndEachExistsOnTheBackend) {
    std::set<std::string> names;
    std::set<const void*> functions;
    for (const KernelRow& row : kRows) {
        names.insert(row.name);
        functions.insert(row.function);
    }
    EXPECT_EQ(names.size(), std::size(kRows));
    EXPECT_EQ(functions.size(), std::size(kRows)) << "two rows share one function";
    for (const std::string& name : expectedNames()) EXPECT_EQ(names.count(name), 1u) << name;
#if defined(LMX_BACKEND_CPU)
    EXPECT_EQ(lmx::cpu::kernelCount(), std::size(kRows));
    for (const KernelRow& row : kRows) {
        const lmx::cpu::KernelEntry* entry = lmx::cpu::findKernel(row.function);
        ASSERT_NE(entry, nullptr) << row.name << " is not registered";
        EXPECT_STREQ(entry->name, row.name);
        EXPECT_NE(entry->invoke, nullptr) << row.name;
    }
    EXPECT_EQ(lmx::cpu::findKernel(reinterpret_cast<const void*>(&expectedNames)), nullptr);
#else
    // Only the block-cooperative kernels hold shared memory, in the amounts of their shapes.
    for (const KernelRow& row : kRows) {
        cudaFuncAttributes attributes{};
        ASSERT_EQ(cudaFuncGetAttributes(&attributes, row.function), cudaSuccess) << row.name;
        EXPECT_EQ(attributes.localSizeBytes, 0u) << row.name;
        const std::string name = row.name;
        std::size_t shared = 0;
        if (name == "LumerixPixelSumI2F" || name == "LumerixPixelMinI2F" ||
            name == "LumerixPixelMaxI2F" || name == "LumerixPixelSquaredDeviationI2F")
            shared = 128 * sizeof(float);
        else if (name == "histogram256Kernel")
            shared = 6 * 256 * sizeof(unsigned int);
        else if (name == "mergeHistogram256Kernel")
            shared = 64 * sizeof(unsigned int);
        EXPECT_EQ(attributes.sharedSizeBytes, shared) << row.name;
    }
#endif
}

#if defined(LMX_BACKEND_CPU)

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
    LMX_CPU_BACKEND_ONLY();
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
    Lumerix re, im;
    expectLaunches([&] { fft(c0, re, im); },
                   {{"LumerixFFTFloatToComplex", 4, 256}, {"LumerixFFTDeinterleave", 4, 256}});
    expectLaunches([&] { ifft(re, im); },
                   {{"LumerixFFTInterleave", 4, 256}, {"LumerixFFTComplexToFloat", 4, 256}});
}

#endif  // LMX_BACKEND_CPU
