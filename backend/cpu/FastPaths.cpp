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
#include "kernels/Dialect.h"
#include "kernels/Kernels.h"
#include "kernels/ReduceOps.h"
#include "kernels/Shapes.h"

#include "kernels/PixelMath.h"

#include <omp.h>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

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

template <class Op>
void reduceStreaming(const float* in, float* partial, int n, float identity, Op op) {
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
                for (int t = 0; t < count; ++t) slot[t] = op(slot[t], src[t]);
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
                    *static_cast<int*>(args[2]), identity, Op{});
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

#if defined(__AVX2__)
// Float to 8- and 16-bit pixels. The compiler's vector form of the conversion narrows with
// masks and lane shuffles; saturating packs do it in two instructions, and give the same bytes
// because every value has been clamped into the target range first. Per pixel the arithmetic is
// the kernel's: max with 0 (NaN gives 0), min with the top, truncation toward zero.
template <class T, int kTop>
void convertRange(const float* src, T* dst, int lo, int hi);

template <>
void convertRange<unsigned char, 255>(const float* src, unsigned char* dst, int lo, int hi) {
    const __m256 zero = _mm256_setzero_ps(), top = _mm256_set1_ps(255.0f);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    auto clamped = [&](int i) {
        return _mm256_cvttps_epi32(
            _mm256_min_ps(_mm256_max_ps(_mm256_loadu_ps(src + i), zero), top));
    };
    int i = lo;
    for (; i <= hi - 32; i += 32) {  // i + 32 could pass INT_MAX
        const __m256i w01 = _mm256_packs_epi32(clamped(i), clamped(i + 8));
        const __m256i w23 = _mm256_packs_epi32(clamped(i + 16), clamped(i + 24));
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(w01, w23), order);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), bytes);
    }
    for (; i < hi; ++i) dst[i] = px::toUint8(src[i]);
}

template <>
void convertRange<unsigned short, 65535>(const float* src, unsigned short* dst, int lo, int hi) {
    const __m256 zero = _mm256_setzero_ps(), top = _mm256_set1_ps(65535.0f);
    auto clamped = [&](int i) {
        return _mm256_cvttps_epi32(
            _mm256_min_ps(_mm256_max_ps(_mm256_loadu_ps(src + i), zero), top));
    };
    int i = lo;
    for (; i <= hi - 16; i += 16) {
        const __m256i words =
            _mm256_permute4x64_epi64(_mm256_packus_epi32(clamped(i), clamped(i + 8)), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), words);
    }
    for (; i < hi; ++i) dst[i] = px::toUint16(src[i]);
}

// The pixel-wise launch over min(n, grid x block) pixels, in chunks as forEachPixel runs it.
template <class T, int kTop>
void runConversion(void** args) {
    const float* src = *static_cast<float**>(args[0]);
    T* dst = *static_cast<T**>(args[1]);
    const int n = *static_cast<int*>(args[2]);
    const long long threads = 1LL * currentLaunch.grid.x * currentLaunch.block.x;
    const int end = static_cast<int>(std::min<long long>(n, threads));
    const int chunks = end / kChunk + (end % kChunk ? 1 : 0);
    // Chunk ends in 64 bits: the end of the last chunk of a count near INT_MAX does not fit an int.
#pragma omp parallel for schedule(static) if (end >= kParallelThreshold)
    for (int c = 0; c < chunks; ++c)
        convertRange<T, kTop>(src, dst, c * kChunk,
                              static_cast<int>(std::min<long long>(end, (c + 1LL) * kChunk)));
}
#endif

}  // namespace

void installFastPaths() {
#if defined(__AVX2__)
    overrideKernel(reinterpret_cast<const void*>(&LumerixPixelFloatToInt8),
                   &runConversion<unsigned char, 255>);
    overrideKernel(reinterpret_cast<const void*>(&LumerixPixelFloatToInt16),
                   &runConversion<unsigned short, 65535>);
#endif
    overrideKernel(reinterpret_cast<const void*>(&LumerixPixelSumI2F), &runSum);
    overrideKernel(reinterpret_cast<const void*>(&LumerixPixelMinI2F), &runMin);
    overrideKernel(reinterpret_cast<const void*>(&LumerixPixelMaxI2F), &runMax);
    overrideKernel(reinterpret_cast<const void*>(&histogram256Kernel), &runHistogram);
    installFilterPaths();
    installGeometryPaths();
}

}  // namespace lmx::cpu
