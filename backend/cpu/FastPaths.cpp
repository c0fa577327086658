// CPU traversals of kernels whose plain form suits a GPU better than a CPU.
//
// The block-cooperative kernels. On a GPU the 8192 threads of a reduction
// read neighbouring pixels together; run block after block on a CPU, the same kernel would walk
// memory in 512-byte pieces 32 KiB apart, once per block. These traversals interchange the loops
// so that each CPU thread streams through memory, while every GPU thread's accumulator still
// sees its pixels in the same order (and the histogram's counts are order-free). They reorder
// work across threads of the launch, never within one thread's arithmetic: the results are the
// plain kernels' bits, which a test checks.

#include "backend/cpu/FilterPaths.h"
#include "backend/cpu/Registry.h"
#include "backend/cpu/Streaming.h"
#include "kernels/Dialect.h"
#include "kernels/Kernels.h"
#include "kernels/ReduceOps.h"
#include "kernels/Shapes.h"

#include "kernels/PixelMath.h"
#include "platform/Histogram.h"

#include <omp.h>

#include <algorithm>
#include <cmath>

namespace lmx::cpu {
namespace {

// Each CPU thread reads its half of every 32 KiB stretch of the image; without help the hardware
// prefetcher loses the stream at every gap. Asking for the same rows two stretches ahead keeps
// the reads near the bandwidth of a plain sequential pass.
constexpr long long kPrefetchAhead = 16384;  // elements

// Blocks [first, last) of a launch of `blocks` blocks that OpenMP thread `id` of `count` takes.
void blockRange(int blocks, int id, int count, int& first, int& last) {
    first = static_cast<int>(1LL * blocks * id / count);
    last = static_cast<int>(1LL * blocks * (id + 1) / count);
}

// Fold folds a thread's pixels into its slot, Combine joins slots in the block's tree.
template <class Fold, class Combine>
void reduceStreaming(const float* in, float* partial, int n, float identity, Fold fold,
                     Combine op) {
    const int blocks = static_cast<int>(currentLaunch.grid.x);
    constexpr int size = kReduceThreads;
    const long long stride = 1LL * blocks * size;
#pragma omp parallel if (n >= kParallelThreshold)
    {
        int first, last;
        blockRange(blocks, omp_get_thread_num(), omp_get_num_threads(), first, last);
        alignas(64) float slots[kReduceBlocks][size];
        for (int b = first; b < last; ++b)
            for (int t = 0; t < size; ++t) slots[b - first][t] = identity;
        for (long long base = 0; base < n; base += stride) {
            for (int b = first; b < last; ++b) {
                const long long start = base + 1LL * b * size;
                if (start >= n) break;
                const int count = static_cast<int>(std::min<long long>(size, n - start));
                float* slot = slots[b - first];
                const float* src = in + start;
                if (start + kPrefetchAhead < n)
                    for (int l = 0; l < size; l += 16) __builtin_prefetch(src + kPrefetchAhead + l);
#pragma omp simd
                for (int t = 0; t < count; ++t) slot[t] = fold(slot[t], src[t]);
            }
        }
        for (int b = first; b < last; ++b) {
            float* slot = slots[b - first];
            for (int s = size / 2; s > 0; s >>= 1)
                for (int t = 0; t < s; ++t) slot[t] = op(slot[t], slot[t + s]);
            partial[b] = slot[0];
        }
    }
}

// Runs a reduction with the streaming traversal when the launch has the shape it is written for.
template <class Op>
void runReduction(void** args, const void* kernel, float identity) {
    if (currentLaunch.grid.x > static_cast<unsigned>(kReduceBlocks) ||
        currentLaunch.block.x != static_cast<unsigned>(kReduceThreads)) {
        findKernel(kernel)->plain(args);
        return;
    }
    reduceStreaming(*static_cast<float**>(args[0]), *static_cast<float**>(args[1]),
                    *static_cast<int*>(args[2]), identity, Op{}, Op{});
}

void runSum(void** args) {
    runReduction<SumOp>(args, reinterpret_cast<const void*>(&LumerixPixelSumI2F), 0.0f);
}
void runMin(void** args) {
    runReduction<MinOp>(args, reinterpret_cast<const void*>(&LumerixPixelMinI2F), NAN);
}
void runMax(void** args) {
    runReduction<MaxOp>(args, reinterpret_cast<const void*>(&LumerixPixelMaxI2F), NAN);
}

// The variance's sum of squared deviations: the mean is the launch's fourth argument.
void runSquaredDeviation(void** args) {
    const void* kernel = reinterpret_cast<const void*>(&LumerixPixelSquaredDeviationI2F);
    if (currentLaunch.grid.x > static_cast<unsigned>(kReduceBlocks) ||
        currentLaunch.block.x != static_cast<unsigned>(kReduceThreads)) {
        findKernel(kernel)->plain(args);
        return;
    }
    reduceStreaming(*static_cast<float**>(args[0]), *static_cast<float**>(args[1]),
                    *static_cast<int*>(args[2]), 0.0f,
                    SquaredDeviationOp{*static_cast<float*>(args[3])}, SumOp{});
}

// The histogram's counting kernel: each block's counts are those of the words the plain kernel
// gives it (and block 0 counts the tail), so the partial histograms are identical.
void runHistogram(void** args) {
    const int blocks = static_cast<int>(currentLaunch.grid.x);
    const int size = static_cast<int>(currentLaunch.block.x);
    if (blocks > kHistogramBlocks || size != kHistogramThreads) {
        findKernel(reinterpret_cast<const void*>(&histogram256Kernel))->plain(args);
        return;
    }
    unsigned int* partial = *static_cast<unsigned int**>(args[0]);
    const unsigned int* data = *static_cast<unsigned int**>(args[1]);
    const int n = *static_cast<int*>(args[2]);
    const int words = n / 4;
    const long long stride = 1LL * blocks * size;
#pragma omp parallel if (n >= kParallelThreshold)
    {
        int first, last;
        blockRange(blocks, omp_get_thread_num(), omp_get_num_threads(), first, last);
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
    }
}

// The bin of a pixel: its 8-bit value, which the conversion kernel computes as the integer part
// of the pixel clamped to [0, 255] (NaN to 0).
inline int binOf(float v) {
    return static_cast<int>(px::clampTo(v, 255.0f));
}

// Counts pixels [lo, hi) into `out` (256 counters). Eight sub-histograms, used in turn: runs of
// equal pixels, common in images, would otherwise make each increment wait for the one before.
void countRange(const float* src, long long lo, long long hi, unsigned int* out) {
    constexpr int kWays = 8, kGroup = 32;
    alignas(64) unsigned int counts[kWays][kBins] = {};
    long long i = lo;
    for (; i + kGroup <= hi; i += kGroup) {
        prefetchAhead(src + i, kGroup * sizeof(float));
        alignas(64) unsigned int bins[kGroup];
#pragma omp simd
        for (int j = 0; j < kGroup; ++j) bins[j] = static_cast<unsigned int>(binOf(src[i + j]));
#if defined(__GNUC__)
        // Reading the bins back as scalars is cheaper than extracting them from the registers
        // the vector conversion left them in, which the compiler would otherwise do.
        asm volatile("" : : "r"(bins) : "memory");
#endif
        for (int j = 0; j < kGroup; j += kWays)
            for (int k = 0; k < kWays; ++k) ++counts[k][bins[j + k]];
    }
    for (; i < hi; ++i) ++counts[0][binOf(src[i])];
    for (int b = 0; b < kBins; ++b) {
        unsigned int total = 0;
        for (int k = 0; k < kWays; ++k) total += counts[k][b];
        out[b] = total;
    }
}

}  // namespace

void installFastPaths() {
    overrideKernel(reinterpret_cast<const void*>(&LumerixPixelSumI2F), &runSum);
    overrideKernel(reinterpret_cast<const void*>(&LumerixPixelMinI2F), &runMin);
    overrideKernel(reinterpret_cast<const void*>(&LumerixPixelMaxI2F), &runMax);
    overrideKernel(reinterpret_cast<const void*>(&LumerixPixelSquaredDeviationI2F),
                   &runSquaredDeviation);
    overrideKernel(reinterpret_cast<const void*>(&histogram256Kernel), &runHistogram);
    installPixelPaths();
    installFilterPaths();
    installGeometryPaths();
    installLogPath();
    installBorderFilterTraversals();
}

}  // namespace lmx::cpu

// Each thread of the team counts one contiguous part of the image into one block histogram;
// the blocks without a thread stay zero. The counts are exact integers, so the merged result
// is the one the two kernels give, whatever the split.
bool lmx::countFloatPixels(const float* pixels, int n, unsigned int* partial) {
    using namespace lmx::cpu;
    std::fill(partial, partial + kHistogramBlocks * kBins, 0u);
    const int team = std::min(omp_get_max_threads(), kHistogramBlocks);
#pragma omp parallel num_threads(team) if (n >= kParallelThreshold)
    {
        const int id = omp_get_thread_num(), count = omp_get_num_threads();
        countRange(pixels, 1LL * n * id / count, 1LL * n * (id + 1) / count,
                   partial + 1LL * id * kBins);
    }
    return true;
}
