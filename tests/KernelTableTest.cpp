// The kernel table: every row is a kernel the backend can launch, under its own name and with its
// own parameter list, and the operations launch them in the shapes the table promises.

#include "TestSupport.h"

#include "kernels/Kernels.h"

#if defined(LMX_BACKEND_CPU)
#include "backend/cpu/Registry.h"
#endif

#include <cstring>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

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

// The kernels of the pixel, channel, reduction and histogram families, written out by hand: a
// row renamed or dropped from the table (the never-launched ones would not break any caller)
// shows up here.
const char* const kPixelFamilyNames[] = {
    "LumerixPixelAddII2I", "LumerixPixelAddIF2I", "LumerixPixelAddIF2I_swap",
    "LumerixPixelSubtII2I", "LumerixPixelSubtIF2I", "LumerixPixelSubtIF2I_swap",
    "LumerixPixelMulII2I", "LumerixPixelMulIF2I", "LumerixPixelMulIF2I_swap",
    "LumerixPixelDivII2I", "LumerixPixelDivIF2I", "LumerixPixelDivIF2I_swap",
    "LumerixPixelGreaterII2I", "LumerixPixelGreaterIF2I", "LumerixPixelGreaterIF2I_swap",
    "LumerixPixelGreaterEqualII2I", "LumerixPixelGreaterEqualIF2I",
    "LumerixPixelGreaterEqualIF2I_swap",
    "LumerixPixelLessII2I", "LumerixPixelLessIF2I", "LumerixPixelLessIF2I_swap",
    "LumerixPixelLessEqualII2I", "LumerixPixelLessEqualIF2I", "LumerixPixelLessEqualIF2I_swap",
    "LumerixPixelEqualII2I", "LumerixPixelEqualIF2I", "LumerixPixelEqualIF2I_swap",
    "LumerixPixelAndII2I", "LumerixPixelAndIF2I", "LumerixPixelAndIF2I_swap",
    "LumerixPixelOrII2I", "LumerixPixelOrIF2I", "LumerixPixelOrIF2I_swap",
    "LumerixPixelXOrII2I", "LumerixPixelXOrIF2I", "LumerixPixelXOrIF2I_swap",
    "LumerixPixelBitAndII2I", "LumerixPixelBitAndIF2I", "LumerixPixelBitAndIF2I_swap",
    "LumerixPixelBitOrII2I", "LumerixPixelBitOrIF2I", "LumerixPixelBitOrIF2I_swap",
    "LumerixPixelBitXorII2I", "LumerixPixelBitXorIF2I", "LumerixPixelBitXorIF2I_swap",
    "LumerixPixelMaxII2I", "LumerixPixelMaxIF2I", "LumerixPixelMaxIF2I_swap",
    "LumerixPixelMinII2I", "LumerixPixelMinIF2I", "LumerixPixelMinIF2I_swap",
    "LumerixPixelInt8ToFloat", "LumerixPixelFloatToInt8", "LumerixPixelInt16ToFloat",
    "LumerixPixelFloatToInt16", "LumerixPixelFloatToInt32",
    "LumerixPixelMerge3", "LumerixPixelSplit3",
    "LumerixPixelSqrtI2I", "LumerixPixelLogI2I", "LumerixPixelAbsI2I", "LumerixPixelNotI2I",
    "LumerixPixelSumI2F", "LumerixPixelMinI2F", "LumerixPixelMaxI2F",
    "histogram256Kernel", "mergeHistogram256Kernel",
};

// Parameter lists, checked at compile time: host code converts its arguments to these types.
template <class F, class Expected>
constexpr bool kHasParameters = std::is_same_v<F, Expected>;

using II2I = void (*)(float*, float*, float*, int);
using IF2I = void (*)(float*, float, float*, int);
using I2I = void (*)(float*, float*, int);
using Channels = void (*)(float*, float*, float*, float*, int);

static_assert(kHasParameters<decltype(&LumerixPixelAddII2I), II2I>);
static_assert(kHasParameters<decltype(&LumerixPixelAddIF2I), IF2I>);
static_assert(kHasParameters<decltype(&LumerixPixelAddIF2I_swap), IF2I>);
static_assert(kHasParameters<decltype(&LumerixPixelXOrII2I), II2I>);
static_assert(kHasParameters<decltype(&LumerixPixelXOrIF2I_swap), IF2I>);
static_assert(kHasParameters<decltype(&LumerixPixelMinIF2I_swap), IF2I>);
static_assert(kHasParameters<decltype(&LumerixPixelInt8ToFloat),
                             void (*)(unsigned char*, float*, int)>);
static_assert(kHasParameters<decltype(&LumerixPixelFloatToInt8),
                             void (*)(float*, unsigned char*, int)>);
static_assert(kHasParameters<decltype(&LumerixPixelInt16ToFloat),
                             void (*)(unsigned short*, float*, int)>);
static_assert(kHasParameters<decltype(&LumerixPixelFloatToInt16),
                             void (*)(float*, unsigned short*, int)>);
static_assert(kHasParameters<decltype(&LumerixPixelFloatToInt32),
                             void (*)(float*, unsigned int*, int)>);
static_assert(kHasParameters<decltype(&LumerixPixelMerge3), Channels>);
static_assert(kHasParameters<decltype(&LumerixPixelSplit3), Channels>);
static_assert(kHasParameters<decltype(&LumerixPixelSqrtI2I), I2I>);
static_assert(kHasParameters<decltype(&LumerixPixelNotI2I), I2I>);
static_assert(kHasParameters<decltype(&LumerixPixelSumI2F), I2I>);
static_assert(kHasParameters<decltype(&LumerixPixelMaxI2F), I2I>);
static_assert(kHasParameters<decltype(&histogram256Kernel),
                             void (*)(unsigned int*, unsigned int*, int)>);
static_assert(kHasParameters<decltype(&mergeHistogram256Kernel), void (*)(unsigned int*)>);

std::set<std::string> tableNames() {
    std::set<std::string> names;
    for (const KernelRow& row : kRows) names.insert(row.name);
    return names;
}

}  // namespace

TEST(KernelTable, NamesEveryKernelOnce) {
    EXPECT_EQ(tableNames().size(), std::size(kRows));
    std::set<const void*> functions;
    for (const KernelRow& row : kRows) functions.insert(row.function);
    EXPECT_EQ(functions.size(), std::size(kRows)) << "two rows share one function";
}

TEST(KernelTable, HoldsEveryPixelReductionAndHistogramKernel) {
    const std::set<std::string> names = tableNames();
    for (const char* name : kPixelFamilyNames) EXPECT_EQ(names.count(name), 1u) << name;
}

TEST(KernelTable, EveryRowExistsOnTheBackendUnderItsName) {
#if defined(LMX_BACKEND_CPU)
    EXPECT_EQ(lmx::cpu::kernelCount(), std::size(kRows));
    for (const KernelRow& row : kRows) {
        const lmx::cpu::KernelEntry* entry = lmx::cpu::findKernel(row.function);
        ASSERT_NE(entry, nullptr) << row.name << " is not registered";
        EXPECT_STREQ(entry->name, row.name);
        EXPECT_NE(entry->invoke, nullptr) << row.name;
    }
    EXPECT_EQ(lmx::cpu::findKernel(reinterpret_cast<const void*>(&tableNames)), nullptr);
#else
    for (const KernelRow& row : kRows) {
        cudaFuncAttributes attributes{};
        EXPECT_EQ(cudaFuncGetAttributes(&attributes, row.function), cudaSuccess) << row.name;
        EXPECT_EQ(attributes.localSizeBytes, 0u) << row.name;
    }
    cudaGetLastError();
#endif
}

#if defined(LMX_BACKEND_CUDA)
// Only the block-cooperative kernels hold shared memory, in the amounts of their shapes.
TEST(KernelTable, OnlyBlockCooperativeKernelsUseSharedMemory) {
    for (const KernelRow& row : kRows) {
        cudaFuncAttributes attributes{};
        ASSERT_EQ(cudaFuncGetAttributes(&attributes, row.function), cudaSuccess) << row.name;
        const std::string name = row.name;
        std::size_t expected = 0;
        if (name == "LumerixPixelSumI2F" || name == "LumerixPixelMinI2F" ||
            name == "LumerixPixelMaxI2F")
            expected = 128 * sizeof(float);
        else if (name == "histogram256Kernel")
            expected = 6 * 256 * sizeof(unsigned int);
        else if (name == "mergeHistogram256Kernel")
            expected = 64 * sizeof(unsigned int);
        EXPECT_EQ(attributes.sharedSizeBytes, expected) << row.name;
    }
}
#endif

#if defined(LMX_BACKEND_CPU)

namespace {

using lmx::cpu::LaunchRecord;

// The launches that f made, oldest first.
std::vector<LaunchRecord> launchesDuring(const std::function<void()>& f) {
    const long before = lmx::cpu::counters().launches;
    f();
    const long made = lmx::cpu::counters().launches - before;
    const auto& log = lmx::cpu::launchLog();
    EXPECT_LE(static_cast<std::size_t>(made), log.size());
    return std::vector<LaunchRecord>(log.end() - made, log.end());
}

void expectShape(const LaunchRecord& r, const char* kernel, unsigned grid, unsigned block) {
    EXPECT_EQ(r.kernel, kernel);
    EXPECT_EQ(r.grid.x, grid) << kernel;
    EXPECT_EQ(r.grid.y, 1u) << kernel;
    EXPECT_EQ(r.grid.z, 1u) << kernel;
    EXPECT_EQ(r.block.x, block) << kernel;
    EXPECT_EQ(r.block.y, 1u) << kernel;
    EXPECT_EQ(r.block.z, 1u) << kernel;
}

struct PixelCount {
    int pixels;
    unsigned blocks;
};

// 256 threads per block, n / 256 blocks rounded up.
const PixelCount kPixelCounts[] = {{1, 1}, {255, 1}, {256, 1}, {257, 2}, {1000, 4}, {8192, 32}};

}  // namespace

TEST(LaunchShape, PixelWiseOperationsUseBlocksOf256CoveringEveryPixel) {
    LMX_CPU_BACKEND_ONLY();
    for (const PixelCount& c : kPixelCounts) {
        SCOPED_TRACE(c.pixels);
        Lumerix a = lmxtest::imageOf(lmxtest::randomValues(c.pixels, 0.0f, 9.0f));
        Lumerix b = lmxtest::imageOf(lmxtest::randomValues(c.pixels, 0.0f, 9.0f, 2));
        auto runs = launchesDuring([&] { Lumerix r = a + b; });
        ASSERT_EQ(runs.size(), 1u);
        expectShape(runs[0], "LumerixPixelAddII2I", c.blocks, 256);
        runs = launchesDuring([&] { Lumerix r = a * 2.0f; });
        ASSERT_EQ(runs.size(), 1u);
        expectShape(runs[0], "LumerixPixelMulIF2I", c.blocks, 256);
        runs = launchesDuring([&] { Lumerix r = 2.0f / a; });
        ASSERT_EQ(runs.size(), 1u);
        expectShape(runs[0], "LumerixPixelDivIF2I_swap", c.blocks, 256);
        runs = launchesDuring([&] { Lumerix r = sqrt(a); });
        ASSERT_EQ(runs.size(), 1u);
        expectShape(runs[0], "LumerixPixelSqrtI2I", c.blocks, 256);
        runs = launchesDuring([&] { std::free(a.GetDataInt8()); });
        ASSERT_EQ(runs.size(), 1u);
        expectShape(runs[0], "LumerixPixelFloatToInt8", c.blocks, 256);
        std::vector<unsigned short> words(static_cast<std::size_t>(c.pixels), 7);
        runs = launchesDuring([&] { b.SetDataInt16(words.data()); });
        ASSERT_EQ(runs.size(), 1u);
        expectShape(runs[0], "LumerixPixelInt16ToFloat", c.blocks, 256);
    }
}

TEST(LaunchShape, ChannelKernelsRunOneThreadPerPixelOfOneChannel) {
    LMX_CPU_BACKEND_ONLY();
    // 1000 pixels per channel: 4 blocks, not the 12 that the 3000 merged values would need.
    Lumerix c0 = lmxtest::imageOf(cmm::cmmDims(40, 25), lmxtest::randomValues(1000, 0, 1, 1));
    Lumerix c1 = lmxtest::imageOf(cmm::cmmDims(40, 25), lmxtest::randomValues(1000, 0, 1, 2));
    Lumerix c2 = lmxtest::imageOf(cmm::cmmDims(40, 25), lmxtest::randomValues(1000, 0, 1, 3));
    Lumerix m;
    auto runs = launchesDuring([&] { m = merge3(c0, c1, c2); });
    ASSERT_EQ(runs.size(), 1u);
    expectShape(runs[0], "LumerixPixelMerge3", 4, 256);
    runs = launchesDuring([&] { split3(m, c0, c1, c2); });
    ASSERT_EQ(runs.size(), 1u);
    expectShape(runs[0], "LumerixPixelSplit3", 4, 256);
}

TEST(LaunchShape, ReductionsRun64BlocksOf128ThreadsWhateverTheImageSize) {
    LMX_CPU_BACKEND_ONLY();
    for (int n : {1, 1000, 8192, 8193, 49152}) {
        SCOPED_TRACE(n);
        Lumerix img = lmxtest::imageOf(lmxtest::randomValues(n, -1.0f, 1.0f));
        auto runs = launchesDuring([&] { sum(img); });
        ASSERT_EQ(runs.size(), 1u);
        expectShape(runs[0], "LumerixPixelSumI2F", 64, 128);
        runs = launchesDuring([&] { fmin(img); });
        ASSERT_EQ(runs.size(), 1u);
        expectShape(runs[0], "LumerixPixelMinI2F", 64, 128);
        runs = launchesDuring([&] { fmax(img); });
        ASSERT_EQ(runs.size(), 1u);
        expectShape(runs[0], "LumerixPixelMaxI2F", 64, 128);
    }
}

TEST(LaunchShape, HistogramConvertsPixelWiseThenCounts64x192AndMerges256x64) {
    LMX_CPU_BACKEND_ONLY();
    for (const PixelCount& c : kPixelCounts) {
        SCOPED_TRACE(c.pixels);
        Lumerix img = lmxtest::imageOf(lmxtest::randomValues(c.pixels, 0.0f, 255.0f));
        unsigned int counts[256];
        const auto runs = launchesDuring([&] { histogram256(img, counts); });
        ASSERT_EQ(runs.size(), 3u);
        expectShape(runs[0], "LumerixPixelFloatToInt8", c.blocks, 256);
        expectShape(runs[1], "histogram256Kernel", 64, 192);
        expectShape(runs[2], "mergeHistogram256Kernel", 256, 64);
    }
}

#endif  // LMX_BACKEND_CPU
