// The histogram's counting on a grid sized to the device: the grid the device gets, and exact
// counts for every start and length, whatever the number of blocks.

#include "ReductionSupport.h"
#include "TestSupport.h"

#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "kernels/Shapes.h"
#include "lumerix/HistogramGrid.h"

#include <climits>
#include <cstring>
#include <vector>

using namespace lmxtest;

namespace {

// Device memory for the test's bytes and counters, given back at the end of the test.
template <class T>
struct Device {
    explicit Device(std::size_t count) : size(count) {
        EXPECT_EQ(cudaMalloc(reinterpret_cast<void**>(&ptr), count * sizeof(T)), cudaSuccess);
    }
    ~Device() { cudaFree(ptr); }
    std::vector<T> values() const {
        std::vector<T> v(size);
        EXPECT_EQ(cudaMemcpy(v.data(), ptr, size * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
        return v;
    }
    void fill(T value) {
        const std::vector<T> v(size, value);
        EXPECT_EQ(cudaMemcpy(ptr, v.data(), size * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
    }
    std::size_t size;
    T* ptr = nullptr;
};

// The grid that the device runs at once, asked of the runtime here rather than of the library.
int deviceBlocks() {
    int device = 0, perMultiprocessor = 0;
    cudaDeviceProp prop;
    std::memset(&prop, 0, sizeof prop);
    EXPECT_EQ(cudaGetDevice(&device), cudaSuccess);
    EXPECT_EQ(cudaGetDeviceProperties(&prop, device), cudaSuccess);
    EXPECT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessor(
                  &perMultiprocessor, reinterpret_cast<const void*>(&histogram256GridKernel),
                  lmx::kHistogramThreads, 0),
              cudaSuccess);
    return prop.multiProcessorCount * perMultiprocessor;
}

Counts countsOf(const unsigned int* result) {
    Counts got{};
    EXPECT_EQ(cudaMemcpy(got.data(), result, sizeof got, cudaMemcpyDeviceToHost), cudaSuccess);
    return got;
}

}  // namespace

TEST(HistogramGrid, HasTheBlocksTheDeviceRunsAtOnceOrFewerForASmallImage) {
    const int blocks = deviceBlocks();
    ASSERT_GT(blocks, 0);
    const int perBlock = 16 * lmx::kHistogramThreads;  // one 16-byte load per thread
    EXPECT_EQ(lmx::histogramGrid(INT_MAX), blocks);
    EXPECT_EQ(lmx::histogramGrid(0), 1);
    EXPECT_EQ(lmx::histogramGrid(1), 1);
    EXPECT_EQ(lmx::histogramGrid(perBlock), 1);
    EXPECT_EQ(lmx::histogramGrid(perBlock + 1), std::min(2, blocks));
    EXPECT_EQ(lmx::histogramGrid(blocks * perBlock), blocks);
    EXPECT_EQ(lmx::histogramGrid(blocks * perBlock + 1), blocks);
    if (blocks > 1) {
        EXPECT_EQ(lmx::histogramGrid((blocks - 1) * perBlock), blocks - 1);
    }
}

// Data that starts at each word of a 16-byte group, with lengths at each edge of the loops: no
// whole word, words before the first 16-byte boundary only, one quad, one load per thread of one
// block and of the device's grid, a full round of loads in flight for every thread of the grid
// and one past it, each with words and bytes after the last whole quad.
TEST(HistogramGrid, CountsEveryByteAtAnyStartAndLength) {
    const int blocks = lmx::histogramGrid(INT_MAX);
    const int oneLoadEach = 16 * lmx::kHistogramThreads;
    const int round = blocks * oneLoadEach * lmx::kLoadsInFlight;
    const int lengths[] = {1,
                           3,
                           4,
                           7,
                           12,
                           15,
                           16,
                           17,
                           31,
                           33,
                           100,
                           oneLoadEach - 1,
                           oneLoadEach,
                           oneLoadEach + 5,
                           blocks * oneLoadEach + 29,
                           round - 16,
                           round,
                           round + 13,
                           2 * round + 16 * 97 + 7};
    const int most = 2 * round + 16 * 97 + 7;
    Device<unsigned char> bytes(static_cast<std::size_t>(most) + 16);
    std::vector<unsigned char> host(bytes.size);
    for (std::size_t i = 0; i < host.size(); ++i)
        host[i] = static_cast<unsigned char>((i * 2654435761u) >> 23);
    ASSERT_EQ(cudaMemcpy(bytes.ptr, host.data(), host.size(), cudaMemcpyHostToDevice), cudaSuccess);
    Device<unsigned int> result(lmx::kBins);
    for (int offset : {0, 4, 8, 12}) {
        for (int n : lengths) {
            SCOPED_TRACE(testing::Message() << "offset " << offset << ", " << n << " bytes");
            Counts want{};
            for (int i = 0; i < n; ++i) ++want[host[static_cast<std::size_t>(offset + i)]];
            result.fill(0xDEADBEEFu);
            lmx::countBytesOnGrid(bytes.ptr + offset, n, result.ptr);
            EXPECT_EQ(countsOf(result.ptr), want);
        }
    }
}

// Counts are exact integers: one block, a few, the device's grid and twice it give the same
// histogram, and every block writes its own partial one.
TEST(HistogramGrid, AnyNumberOfBlocksGivesTheSameCounts) {
    const int n = 3 * 16 * lmx::kHistogramThreads * 5 + 4 * 3 + 2;
    Device<unsigned char> bytes(static_cast<std::size_t>(n) + 4);
    std::vector<unsigned char> host(bytes.size);
    for (std::size_t i = 0; i < host.size(); ++i) host[i] = static_cast<unsigned char>(i % 251);
    ASSERT_EQ(cudaMemcpy(bytes.ptr, host.data(), host.size(), cudaMemcpyHostToDevice), cudaSuccess);
    Counts want{};
    for (int i = 0; i < n; ++i) ++want[host[static_cast<std::size_t>(4 + i)]];
    auto* words = reinterpret_cast<unsigned int*>(bytes.ptr + 4);
    const int device = lmx::histogramGrid(INT_MAX);
    for (int blocks : {1, 2, 3, 7, device, 2 * device + 1}) {
        SCOPED_TRACE(testing::Message() << blocks << " blocks");
        Device<unsigned int> partial(static_cast<std::size_t>(blocks) * lmx::kBins);
        partial.fill(0xDEADBEEFu);
        Device<unsigned int> result(lmx::kBins);
        lmx::launch(&histogram256GridKernel, dim3(static_cast<unsigned>(blocks)),
                    dim3(lmx::kHistogramThreads), 0, partial.ptr, words, n);
        lmx::launch(&mergeHistogram256GridKernel, dim3(lmx::kGridMergeBlocks),
                    dim3(lmx::kGridMergeThreads), 0, result.ptr, partial.ptr, blocks);
        EXPECT_EQ(countsOf(result.ptr), want);
        const std::vector<unsigned int> partials = partial.values();
        unsigned long long all = 0;
        for (int b = 0; b < blocks; ++b) {
            unsigned long long total = 0;
            for (int bin = 0; bin < lmx::kBins; ++bin)
                total += partials[static_cast<std::size_t>(b) * lmx::kBins + bin];
            EXPECT_LE(total, static_cast<unsigned long long>(n)) << "block " << b;
            all += total;
        }
        EXPECT_EQ(all, static_cast<unsigned long long>(n));
    }
}

// The shared arrays follow the shapes' constants: another block size, or a merge of more blocks
// than it has groups of bins, writes nothing.
TEST(HistogramGrid, KernelsRefuseAnotherShape) {
    const int n = 40000;
    Device<unsigned char> bytes(n);
    bytes.fill(3);
    Device<unsigned int> partial(4 * lmx::kBins), result(2 * lmx::kBins);
    for (unsigned threads : {96u, 256u, 1024u}) {
        partial.fill(0xDEADBEEFu);
        lmx::launch(&histogram256GridKernel, dim3(4), dim3(threads), 0, partial.ptr,
                    reinterpret_cast<unsigned int*>(bytes.ptr), n);
        EXPECT_EQ(partial.values(), std::vector<unsigned int>(partial.size, 0xDEADBEEFu))
            << threads << " threads";
    }
    partial.fill(0u);
    for (const dim3& shape : {dim3(lmx::kGridMergeBlocks, 128),
                              dim3(2 * lmx::kGridMergeBlocks, lmx::kGridMergeThreads)}) {
        result.fill(0xDEADBEEFu);
        lmx::launch(&mergeHistogram256GridKernel, dim3(shape.x), dim3(shape.y), 0, result.ptr,
                    partial.ptr, 4);
        EXPECT_EQ(result.values(), std::vector<unsigned int>(result.size, 0xDEADBEEFu))
            << shape.x << " x " << shape.y;
    }
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

// The partial histograms come from the chunk allocator: a second count of the same size
// allocates nothing (the counters say so where the backend keeps them).
TEST(HistogramGrid, ThePartialHistogramsComeFromTheChunkCache) {
    const int n = 100000;
    Device<unsigned char> bytes(n);
    bytes.fill(200);
    Device<unsigned int> result(lmx::kBins);
    lmx::countBytesOnGrid(bytes.ptr, n, result.ptr);
    const RuntimeTotals before = RuntimeTotals::now();
    lmx::countBytesOnGrid(bytes.ptr, n, result.ptr);
    const RuntimeTotals moved = RuntimeTotals::now().since(before);
    EXPECT_EQ(moved.allocations, 0);
    EXPECT_EQ(moved.frees, 0);
    Counts want{};
    want[200] = n;
    EXPECT_EQ(countsOf(result.ptr), want);
}
