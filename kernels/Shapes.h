#pragma once
// Fixed launch shapes of the block-cooperative kernels, shared by the kernels, the host code
// that launches them and the CPU traversals.

namespace lmx {

// Reductions: 64 blocks of 128 threads, one shared float per thread.
constexpr int kReduceBlocks = 64;
constexpr int kReduceThreads = 128;

// Histogram: 64 blocks of 192 threads (6 warps, one 256-bin sub-histogram each); the merge runs
// one block of 64 threads per bin.
constexpr int kHistogramBlocks = 64;
constexpr int kHistogramThreads = 192;
constexpr int kHistogramWarps = kHistogramThreads / 32;
constexpr int kBins = 256;

// Region statistics: at most 64 blocks of 256 threads, each block counting a contiguous run of
// pixels into its own slots; the label scan runs exactly 64 blocks.
constexpr int kRegionBlocks = 64;
constexpr int kRegionThreads = 256;

}  // namespace lmx
