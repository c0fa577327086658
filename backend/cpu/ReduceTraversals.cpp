// CPU traversals of kernels whose plain form suits a GPU better than a CPU.
//
// The block-cooperative kernels. On a GPU the 8192 threads of a reduction
// read neighbouring pixels together; run block after block on a CPU, the same kernel would walk
// memory in 512-byte pieces 32 KiB apart, once per block. These traversals interchange the loops
// so that each CPU thread streams through memory, while every GPU thread's accumulator still
// sees its pixels in the same order (and the histogram's counts are order-free). They reorder
// work across threads of the launch, never within one thread's arithmetic: the results are the
// plain kernels' bits, which a test checks.

#include "backend/cpu/Traversal.h"
#include "kernels/Kernels.h"
#include "kernels/PixelMath.h"
#include "kernels/ReduceOps.h"
#include "kernels/Shapes.h"
#include "runtime/Backend.h"

#include <algorithm>
#include <cmath>

namespace lmx::cpu {
namespace {

// Each CPU thread reads its half of every 32 KiB stretch of the image; without help the hardware
// prefetcher loses the stream at every gap. Asking for the same rows two stretches ahead keeps
// the reads near the bandwidth of a plain sequential pass.
constexpr long long kPrefetchAhead = 16384;  // elements

// Rows of the reductions' grid stride that the streaming traversal folds in one pass over the
// slots (8 measured faster than 4 on one thread, 1024² and 4096²).
constexpr int kRowsAtOnce = 8;

// Blocks [first, last) of a launch of `blocks` blocks that part `id` of `count` takes.
void blockRange(int blocks, int id, int count, int& first, int& last) {
    long long lo, hi;
    partRange(blocks, id, count, lo, hi);
    first = static_cast<int>(lo);
    last = static_cast<int>(hi);
}

// Fold folds a thread's pixels into its slot, Combine joins slots in the block's tree.
template <class Fold, class Combine>
void reduceStreaming(const float* in, float* partial, int n, float identity, Fold fold,
                     Combine op) {
    const int blocks = static_cast<int>(currentLaunch.grid.x);
    constexpr int size = kReduceThreads;
    const long long stride = 1LL * blocks * size;
    // Blocks from `filled` on get no pixel: their slots keep the identity, and their partial is
    // the tree of identities, folded once rather than once per block (on a small image that
    // tree is most of the work).
    const int filled =
        n > 0 ? static_cast<int>(std::min<long long>(blocks, (n + size - 1LL) / size)) : 0;
    if (filled < blocks) {
        alignas(64) float slot[size];
        for (int t = 0; t < size; ++t) slot[t] = identity;
        for (int s = size / 2; s > 0; s >>= 1)
            for (int t = 0; t < s; ++t) slot[t] = op(slot[t], slot[t + s]);
        for (int b = filled; b < blocks; ++b) partial[b] = slot[0];
    }
    parallelParts(teamSize(), n, [&](int id, int parts) {
        int first, last;
        blockRange(filled, id, parts, first, last);
        alignas(64) float slots[kReduceBlocks][size];
        for (int b = first; b < last; ++b)
            for (int t = 0; t < size; ++t) slots[b - first][t] = identity;
        // Rows of the grid's stride whose pixels all exist are taken kRowsAtOnce at a time:
        // each slot is loaded once, folds its pixel of every row in row order and is stored
        // once, so the slots cost a load and a store per kRowsAtOnce pixels instead of per
        // pixel (on one thread they, not the image, bound the pass). Each slot still folds
        // its pixels one row after another. A thread's pieces of the rows are then 16 KiB or
        // more, long enough for the hardware prefetcher: asking for them as below was slower.
        long long base = 0;
        for (; base + kRowsAtOnce * stride <= n; base += kRowsAtOnce * stride) {
            for (int b = first; b < last; ++b) {
                const long long start = base + 1LL * b * size;
                float* slot = slots[b - first];
                const float* src = in + start;
                LMX_SIMD
                for (int t = 0; t < size; ++t) {
                    float a = slot[t];
                    for (int r = 0; r < kRowsAtOnce; ++r) a = fold(a, src[t + r * stride]);
                    slot[t] = a;
                }
            }
        }
        for (; base < n; base += stride) {
            for (int b = first; b < last; ++b) {
                const long long start = base + 1LL * b * size;
                if (start >= n) break;
                const int count = static_cast<int>(std::min<long long>(size, n - start));
                float* slot = slots[b - first];
                const float* src = in + start;
                if (start + kPrefetchAhead < n)
                    for (int l = 0; l < size; l += 16) __builtin_prefetch(src + kPrefetchAhead + l);
                LMX_SIMD
                for (int t = 0; t < count; ++t) slot[t] = fold(slot[t], src[t]);
            }
        }
        for (int b = first; b < last; ++b) {
            float* slot = slots[b - first];
            for (int s = size / 2; s > 0; s >>= 1)
                for (int t = 0; t < s; ++t) slot[t] = op(slot[t], slot[t + s]);
            partial[b] = slot[0];
        }
    });
}

// True when a reduction's launch has the shape the streaming traversal is written for.
bool reductionShape() {
    return currentLaunch.grid.x <= static_cast<unsigned>(kReduceBlocks) &&
           currentLaunch.block.x == static_cast<unsigned>(kReduceThreads);
}

// The histogram's counting kernel: each block's counts are those of the words the plain kernel
// gives it (and block 0 counts the tail), so the partial histograms are identical.
void countBlocks(unsigned int* partial, const unsigned int* data, int n) {
    const int blocks = static_cast<int>(currentLaunch.grid.x);
    const int size = static_cast<int>(currentLaunch.block.x);
    const int words = n / 4;
    const long long stride = 1LL * blocks * size;
    parallelParts(teamSize(), n, [&](int id, int parts) {
        int first, last;
        blockRange(blocks, id, parts, first, last);
        alignas(64) unsigned int counts[kHistogramBlocks][kBins];
        for (int b = first; b < last; ++b)
            std::fill(counts[b - first], counts[b - first] + kBins, 0u);
        for (long long base = 0; base < words; base += stride) {
            for (int b = first; b < last; ++b) {
                const long long start = base + 1LL * b * size;
                if (start >= words) break;
                const int count = static_cast<int>(std::min<long long>(size, words - start));
                unsigned int* h = counts[b - first];
                const unsigned int* src = data + start;
                if (start + kPrefetchAhead < words)
                    for (int l = 0; l < size; l += 16) __builtin_prefetch(src + kPrefetchAhead + l);
                for (int t = 0; t < count; ++t) {
                    const unsigned int w = src[t];
                    ++h[w & 0xFFu];
                    ++h[(w >> 8) & 0xFFu];
                    ++h[(w >> 16) & 0xFFu];
                    ++h[w >> 24];
                }
            }
        }
        if (first == 0) {
            const unsigned char* tail = reinterpret_cast<const unsigned char*>(data) + 4LL * words;
            for (int t = 0; t < n % 4; ++t) ++counts[0][tail[t]];
        }
        for (int b = first; b < last; ++b)
            std::copy(counts[b - first], counts[b - first] + kBins, partial + 1LL * b * kBins);
    });
}

// The bin of a pixel: its 8-bit value, which the conversion kernel computes as the integer part
// of the pixel clamped to [0, 255] (NaN to 0).
inline int binOf(float v) {
    return static_cast<int>(px::clampTo(v, 255.0f));
}

// Counts pixels [lo, hi) into `out` (256 counters), a block of kBlock pixels at a time: first
// the block's bins, all converted by one vector loop into a small buffer, then the counts. Kept
// apart, the conversion runs at vector speed and its stores have reached the cache by the time
// the counting loop reads them back one by one (read back straight after a vector store, each
// would wait for the store). Eight sub-histograms, used in turn: runs of equal pixels, common in
// images, would otherwise make each increment wait for the one before.
void countRange(const float* src, long long lo, long long hi, unsigned int* out) {
    constexpr int kWays = 8, kBlock = 256;
    alignas(64) unsigned int counts[kWays][kBins] = {};
    long long i = lo;
    for (; i + kBlock <= hi; i += kBlock) {
        alignas(64) unsigned int bins[kBlock];
        LMX_SIMD
        for (int j = 0; j < kBlock; ++j) bins[j] = static_cast<unsigned int>(binOf(src[i + j]));
        // The prefetches are spread over the counting, which issues no other reads of the image,
        // so that the memory stays busy between the blocks' bursts of loads.
        for (int j = 0; j < kBlock; j += 4 * kWays) {
            prefetchAhead(src + i + j, 4 * kWays * sizeof(float));
            for (int m = j; m < j + 4 * kWays; m += kWays)
                for (int k = 0; k < kWays; ++k) ++counts[k][bins[m + k]];
        }
    }
    for (; i < hi; ++i) ++counts[0][binOf(src[i])];
    for (int b = 0; b < kBins; ++b) {
        unsigned int total = 0;
        for (int k = 0; k < kWays; ++k) total += counts[k][b];
        out[b] = total;
    }
}

}  // namespace

// The traversals run the launches of the shape they are written for; any other launch runs the
// kernel as written.
void sumBlocks(float* in, float* partial, int n) {
    if (!reductionShape()) return LumerixPixelSumI2F(in, partial, n);
    reduceStreaming(in, partial, n, 0.0f, SumOp{}, SumOp{});
}
void minBlocks(float* in, float* partial, int n) {
    if (!reductionShape()) return LumerixPixelMinI2F(in, partial, n);
    reduceStreaming(in, partial, n, NAN, MinOp{}, MinOp{});
}
void maxBlocks(float* in, float* partial, int n) {
    if (!reductionShape()) return LumerixPixelMaxI2F(in, partial, n);
    reduceStreaming(in, partial, n, NAN, MaxOp{}, MaxOp{});
}
// The variance's sum of squared deviations from the mean.
void squaredDeviationBlocks(float* in, float* partial, int n, float mean) {
    if (!reductionShape()) return LumerixPixelSquaredDeviationI2F(in, partial, n, mean);
    reduceStreaming(in, partial, n, 0.0f, SquaredDeviationOp{mean}, SumOp{});
}

void countHistogramBlocks(unsigned int* partial, unsigned int* data, int n) {
    if (currentLaunch.grid.x > static_cast<unsigned>(kHistogramBlocks) ||
        currentLaunch.block.x != static_cast<unsigned>(kHistogramThreads))
        return histogram256Kernel(partial, data, n);
    countBlocks(partial, data, n);
}

}  // namespace lmx::cpu

// Each thread of the team counts one contiguous part of the image into one block histogram;
// the blocks without a thread stay zero. The counts are exact integers, so the merged result
// is the one the two kernels give, whatever the split.
bool lmx::countFloatPixels(const float* pixels, int n, unsigned int* partial) {
    using namespace lmx::cpu;
    std::fill(partial, partial + kHistogramBlocks * kBins, 0u);
    parallelParts(std::min(teamSize(), kHistogramBlocks), n, [&](int id, int parts) {
        long long first, last;
        partRange(n, id, parts, first, last);
        countRange(pixels, first, last, partial + 1LL * id * kBins);
    });
    return true;
}
