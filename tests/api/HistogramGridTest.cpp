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
#include <memory>
#include <vector>

using namespace lmxtest;

namespace {

// Device memory holding `host`, given back when the last copy of the pointer goes.
template <class T>
std::shared_ptr<T> onDevice(const std::vector<T>& host) {
    T* p = nullptr;
    EXPECT_EQ(cudaMalloc(reinterpret_cast<void**>(&p), host.size() * sizeof(T)), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(p, host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice),
              cudaSuccess);
    return std::shared_ptr<T>(p, [](T* q) { cudaFree(q); });
}

template <class T>
std::vector<T> fromDevice(const std::shared_ptr<T>& p, std::size_t count) {
    std::vector<T> v(count);
    EXPECT_EQ(cudaMemcpy(v.data(), p.get(), count * sizeof(T), cudaMemcpyDeviceToHost),
              cudaSuccess);
    return v;
}

// 0xDEADBEEF everywhere, so that a counter nobody writes shows.
std::shared_ptr<unsigned int> counters(std::size_t count) {
    return onDevice(std::vector<unsigned int>(count, 0xDEADBEEFu));
}

}  // namespace

TEST(HistogramGrid, HasTheBlocksTheDeviceRunsAtOnceOrFewerForASmallImage) {
    int device = 0, perMultiprocessor = 0;
    cudaDeviceProp prop;
    std::memset(&prop, 0, sizeof prop);
    ASSERT_EQ(cudaGetDevice(&device), cudaSuccess);
    ASSERT_EQ(cudaGetDeviceProperties(&prop, device), cudaSuccess);
    ASSERT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessor(
                  &perMultiprocessor, reinterpret_cast<const void*>(&histogram256GridKernel),
                  lmx::kHistogramThreads, 0),
              cudaSuccess);
    const int blocks = prop.multiProcessorCount * perMultiprocessor;
    ASSERT_GT(blocks, 0);
    const int perBlock = 16 * lmx::kHistogramThreads;  // one 16-byte load per thread
    const struct {
        int bytes, blocks;
    } cases[] = {{0, 1},
                 {1, 1},
                 {perBlock, 1},
                 {perBlock + 1, std::min(2, blocks)},
                 {(blocks - 1) * perBlock + 1, blocks},
                 {blocks * perBlock + 1, blocks},
                 {INT_MAX, blocks}};
    for (const auto& c : cases) EXPECT_EQ(lmx::histogramGrid(c.bytes), c.blocks) << c.bytes;
}

// Data that starts at each word of a 16-byte group, with lengths at each edge of the loops (no
// whole word, words before the first 16-byte boundary only, one load per thread of a block and
// of the grid, a round of loads in flight for the whole grid and past it), counted on the
// device's grid and on grids of other sizes: counts are exact integers, so every grid agrees.
TEST(HistogramGrid, CountsEveryByteAtAnyStartAndLengthOnAnyGrid) {
    const int device = lmx::histogramGrid(INT_MAX);
    const int load = 16 * lmx::kHistogramThreads;
    const int round = device * load * lmx::kLoadsInFlight;
    const int most = 2 * round + 16 * 97 + 7;
    std::vector<unsigned char> host(static_cast<std::size_t>(most) + 16);
    for (std::size_t i = 0; i < host.size(); ++i)
        host[i] = static_cast<unsigned char>((i * 2654435761u) >> 23);
    const auto bytes = onDevice(host);
    for (int offset : {0, 4, 8, 12}) {
        for (int n : {1, 3, 4, 7, 12, 15, 16, 17, 33, load - 1, load + 5, device * load + 29,
                      round - 16, round + 13, most}) {
            SCOPED_TRACE(testing::Message() << "offset " << offset << ", " << n << " bytes");
            Counts want{};
            for (int i = 0; i < n; ++i) ++want[host[static_cast<std::size_t>(offset + i)]];
            const auto result = counters(lmx::kBins);
            lmx::countBytesOnGrid(bytes.get() + offset, n, result.get());
            EXPECT_EQ(fromDevice(result, lmx::kBins),
                      std::vector<unsigned>(want.begin(), want.end()));
            for (int blocks : {1, 3, lmx::kGridMergeRows + 3, 2 * device + 1}) {
                const auto partial = counters(static_cast<std::size_t>(blocks) * lmx::kBins);
                const auto other = counters(lmx::kBins);
                lmx::launch(&histogram256GridKernel, dim3(static_cast<unsigned>(blocks)),
                            dim3(lmx::kHistogramThreads), 0, partial.get(),
                            reinterpret_cast<unsigned int*>(bytes.get() + offset), n);
                lmx::launch(&mergeHistogram256GridKernel, dim3(lmx::kGridMergeBlocks),
                            dim3(lmx::kGridMergeThreads), 0, other.get(), partial.get(), blocks);
                EXPECT_EQ(fromDevice(other, lmx::kBins), fromDevice(result, lmx::kBins))
                    << blocks << " blocks";
            }
        }
    }
}

// The shared arrays follow the shapes' constants: another block size, or a merge of more blocks
// than it has groups of bins, writes nothing.
TEST(HistogramGrid, KernelsRefuseAnotherShape) {
    const auto bytes = onDevice(std::vector<unsigned char>(40000, 3));
    const std::vector<unsigned int> untouched(4 * lmx::kBins, 0xDEADBEEFu);
    for (unsigned threads : {96u, 256u, 1024u}) {
        const auto partial = counters(untouched.size());
        lmx::launch(&histogram256GridKernel, dim3(4), dim3(threads), 0, partial.get(),
                    reinterpret_cast<unsigned int*>(bytes.get()), 40000);
        EXPECT_EQ(fromDevice(partial, untouched.size()), untouched) << threads << " threads";
    }
    const auto zeros = onDevice(std::vector<unsigned int>(4 * lmx::kBins, 0u));
    for (const dim3& shape : {dim3(lmx::kGridMergeBlocks, 128),
                              dim3(2 * lmx::kGridMergeBlocks, lmx::kGridMergeThreads)}) {
        const auto result = counters(untouched.size());
        lmx::launch(&mergeHistogram256GridKernel, dim3(shape.x), dim3(shape.y), 0, result.get(),
                    zeros.get(), 4);
        EXPECT_EQ(fromDevice(result, untouched.size()), untouched) << shape.x << " x " << shape.y;
    }
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

// The partial histograms come from the chunk allocator: a second count of the same size
// allocates nothing (the counters say so where the backend keeps them).
TEST(HistogramGrid, ThePartialHistogramsComeFromTheChunkCache) {
    const auto bytes = onDevice(std::vector<unsigned char>(100000, 200));
    const auto result = counters(lmx::kBins);
    lmx::countBytesOnGrid(bytes.get(), 100000, result.get());
    const RuntimeTotals before = RuntimeTotals::now();
    lmx::countBytesOnGrid(bytes.get(), 100000, result.get());
    const RuntimeTotals moved = RuntimeTotals::now().since(before);
    EXPECT_EQ(moved.allocations, 0);
    EXPECT_EQ(moved.frees, 0);
    std::vector<unsigned int> want(lmx::kBins, 0u);
    want[200] = 100000;
    EXPECT_EQ(fromDevice(result, lmx::kBins), want);
}
