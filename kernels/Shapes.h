#pragma once
// Fixed launch shapes of the block-cooperative kernels, shared by the kernels, the host code
// that launches them and the CPU traversals.

namespace lmx {

//! The launch shapes, as the kernel table names them for each row.
enum class LaunchShape {
    Pixel,           // one thread per pixel: n / 256 blocks (rounded up) of 256 threads
    Plane,           // 16 x 12 threads per block, over the result's w x h (rounded up)
    Reduce,          // kReduceBlocks blocks of kReduceThreads threads
    Histogram,       // kHistogramBlocks blocks of kHistogramThreads threads
    HistogramMerge,  // kBins blocks (one per bin) of kHistogramBlocks threads
    Regions,         // at most kRegionBlocks blocks of kRegionThreads threads
    Unlaunched,      // kept in the module, launched by no operation
    ReduceChains,    // at most kChainGroups blocks of kChainThreads threads, sized to the device
    HistogramGrid,   // blocks of kHistogramThreads threads, as many as the device runs at once
    GridMerge,       // kGridMergeBlocks blocks of kGridMergeThreads threads
};

// Reductions: 64 blocks of 128 threads, one shared float per thread.
constexpr int kReduceBlocks = 64;
constexpr int kReduceThreads = 128;

// Histogram: 64 blocks of 192 threads (6 warps, one 256-bin sub-histogram each); the merge runs
// one block of 64 threads per bin.
constexpr int kHistogramBlocks = 64;
constexpr int kHistogramThreads = 192;
constexpr int kHistogramWarps = kHistogramThreads / 32;
constexpr int kBins = 256;

// Histogram on a grid sized to the device: blocks of kHistogramThreads threads, as many as the
// device's multiprocessors hold at once (fewer for a small image), one partial histogram each.
// The merge gives each of its kGridMergeBlocks blocks kGridMergeBins adjacent bins; its threads
// sum every kGridMergeRows-th partial histogram, so that a warp reads whole 32-byte sectors and
// a device-sized grid of partial histograms takes each thread only a few loads.
constexpr int kGridMergeThreads = 1024;
constexpr int kGridMergeBins = 8;
constexpr int kGridMergeRows = kGridMergeThreads / kGridMergeBins;
constexpr int kGridMergeBlocks = kBins / kGridMergeBins;

// Region statistics: at most 64 blocks of 256 threads, each block counting a contiguous run of
// pixels into its own slots; the label scan runs exactly 64 blocks.
constexpr int kRegionBlocks = 64;
constexpr int kRegionThreads = 256;

// The reductions' chains: thread t of block b of the 64 x 128 grid folds chain b * 128 + t,
// the pixels i with i % kReduceChains equal to it, in order. The chain pass of a GPU gives
// each group of kChainGroup adjacent chains to one block of kChainThreads threads, which
// stages kChainRows rows of the group in shared memory with 16-byte loads (kChainQuads per
// thread) while one warp folds the rows staged before.
constexpr int kReduceChains = kReduceBlocks * kReduceThreads;
constexpr int kChainGroup = 32;
constexpr int kChainGroups = kReduceChains / kChainGroup;
constexpr int kChainThreads = 128;
constexpr int kChainQuads = 8;
constexpr int kChainRows = kChainThreads * kChainQuads * 4 / kChainGroup;

}  // namespace lmx
