// CPU traversals of pixel-wise kernels whose compiled loop narrows or interleaves poorly: the
// conversions to 8 and 16 bits and the three-channel merge and split. Per pixel they compute
// exactly what the kernel body does (a test checks them byte for byte); large results are
// written with streaming stores, as mapPixels writes those of the other pixel-wise kernels.

#include "backend/cpu/Traversal.h"
#include "kernels/PixelMath.h"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include <algorithm>

namespace lmx::cpu {

#if defined(__AVX2__)

namespace {

// 32-byte stores: streamed where the launch streams its result and the address allows it.
template <bool kStream>
inline void store(void* dst, __m256i v) {
    if constexpr (kStream)
        _mm256_stream_si256(static_cast<__m256i*>(dst), v);
    else
        _mm256_storeu_si256(static_cast<__m256i*>(dst), v);
}
template <bool kStream>
inline void store(float* dst, __m256 v) {
    if constexpr (kStream)
        _mm256_stream_ps(dst, v);
    else
        _mm256_storeu_ps(dst, v);
}

// Float to 8- and 16-bit pixels. The compiler's vector form of the conversion narrows with
// masks and lane shuffles; saturating packs do it in two instructions, and give the same bytes
// because every value has been clamped into the target range first. Per pixel the arithmetic is
// the kernel's: max with 0 (NaN gives 0), min with the top, truncation toward zero.
template <class T>
struct Narrowing;

// Eight pixels from src clamped into [0, top] (NaN gives 0) and truncated to 32-bit integers.
inline __m256i clampedInts(const float* src, __m256 top) {
    return _mm256_cvttps_epi32(
        _mm256_min_ps(_mm256_max_ps(_mm256_loadu_ps(src), _mm256_setzero_ps()), top));
}

template <>
struct Narrowing<unsigned char> {
    static constexpr int kPerStore = 32;
    static unsigned char scalar(float v) { return px::toUint8(v); }
    static __m256i vector(const float* src) {
        const __m256 top = _mm256_set1_ps(255.0f);
        auto clamped = [&](int k) {
            return clampedInts(src + 8 * k, top);
        };
        const __m256i w01 = _mm256_packs_epi32(clamped(0), clamped(1));
        const __m256i w23 = _mm256_packs_epi32(clamped(2), clamped(3));
        return _mm256_permutevar8x32_epi32(_mm256_packus_epi16(w01, w23),
                                           _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    }
};

template <>
struct Narrowing<unsigned short> {
    static constexpr int kPerStore = 16;
    static unsigned short scalar(float v) { return px::toUint16(v); }
    static __m256i vector(const float* src) {
        const __m256 top = _mm256_set1_ps(65535.0f);
        auto clamped = [&](int k) {
            return clampedInts(src + 8 * k, top);
        };
        return _mm256_permute4x64_epi64(_mm256_packus_epi32(clamped(0), clamped(1)), 0xD8);
    }
};

template <class T, bool kStream>
void convertRange(const float* src, T* dst, int lo, int hi) {
    using N = Narrowing<T>;
    int i = lo;
    if constexpr (kStream)  // up to the first 32-byte boundary of the destination
        for (; i < hi && !aligned<32>(dst + i); ++i) dst[i] = N::scalar(src[i]);
    for (; i <= hi - N::kPerStore; i += N::kPerStore) {  // i + kPerStore could pass INT_MAX
        prefetchAhead(src + i, N::kPerStore * sizeof(float));
        store<kStream>(dst + i, N::vector(src + i));
    }
    for (; i < hi; ++i) dst[i] = N::scalar(src[i]);
    if constexpr (kStream) fenceStreamingStores();
}

template <class T>
void convert(const float* src, T* dst, int n) {
    const int end = launchedPixels(n);
    if (streamsResult(static_cast<std::size_t>(std::max(end, 0)) * sizeof(T)))
        forEachChunk(end, [=](int lo, int hi) { convertRange<T, true>(src, dst, lo, hi); });
    else
        forEachChunk(end, [=](int lo, int hi) { convertRange<T, false>(src, dst, lo, hi); });
}

// Three channels of eight pixels and the 24 interleaved values they make, in three vectors:
//   m0 = a0 b0 c0 a1 b1 c1 a2 b2,  m1 = c2 a3 b3 c3 a4 b4 c4 a5,  m2 = b5 c5 a6 b6 c6 a7 b7 c7.
// Each channel, permuted once, holds its values at the positions they take in the three
// vectors (a: 0 3 6 / 1 4 7 / 2 5, b and c rotated by one and two), so each merged vector is a
// blend of the three permuted channels; the split blends and permutes the other way.
constexpr int kPositions0 = 0x49;  // lanes 0, 3, 6
constexpr int kPositions1 = 0x92;  // lanes 1, 4, 7
constexpr int kPositions2 = 0x24;  // lanes 2, 5

template <bool kStream>
void mergeRange(const float* c0, const float* c1, const float* c2, float* m, int lo, int hi) {
    const __m256i toA = _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5);
    const __m256i toB = _mm256_setr_epi32(5, 0, 3, 6, 1, 4, 7, 2);
    const __m256i toC = _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7);
    int i = lo;
    for (; i <= hi - 8; i += 8) {
        if (i % 16 == 0) {
            prefetchAhead(c0 + i, 1);
            prefetchAhead(c1 + i, 1);
            prefetchAhead(c2 + i, 1);
        }
        const __m256 a = _mm256_permutevar8x32_ps(_mm256_loadu_ps(c0 + i), toA);
        const __m256 b = _mm256_permutevar8x32_ps(_mm256_loadu_ps(c1 + i), toB);
        const __m256 c = _mm256_permutevar8x32_ps(_mm256_loadu_ps(c2 + i), toC);
        float* v = m + 3LL * i;
        store<kStream>(v, _mm256_blend_ps(_mm256_blend_ps(a, b, kPositions1), c, kPositions2));
        store<kStream>(v + 8, _mm256_blend_ps(_mm256_blend_ps(a, b, kPositions2), c, kPositions0));
        store<kStream>(v + 16, _mm256_blend_ps(_mm256_blend_ps(a, b, kPositions0), c, kPositions1));
    }
    for (; i < hi; ++i) {
        float* v = m + 3LL * i;
        v[0] = c0[i];
        v[1] = c1[i];
        v[2] = c2[i];
    }
    if constexpr (kStream) fenceStreamingStores();
}

template <bool kStream>
void splitRange(const float* m, float* c0, float* c1, float* c2, int lo, int hi) {
    const __m256i fromA = _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5);
    const __m256i fromB = _mm256_setr_epi32(1, 4, 7, 2, 5, 0, 3, 6);
    const __m256i fromC = _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7);
    int i = lo;
    for (; i <= hi - 8; i += 8) {
        const float* v = m + 3LL * i;
        const __m256 m0 = _mm256_loadu_ps(v), m1 = _mm256_loadu_ps(v + 8),
                     m2 = _mm256_loadu_ps(v + 16);
        const __m256 a = _mm256_blend_ps(_mm256_blend_ps(m0, m1, kPositions1), m2, kPositions2);
        const __m256 b = _mm256_blend_ps(_mm256_blend_ps(m0, m1, kPositions2), m2, kPositions0);
        const __m256 c = _mm256_blend_ps(_mm256_blend_ps(m0, m1, kPositions0), m2, kPositions1);
        store<kStream>(c0 + i, _mm256_permutevar8x32_ps(a, fromA));
        store<kStream>(c1 + i, _mm256_permutevar8x32_ps(b, fromB));
        store<kStream>(c2 + i, _mm256_permutevar8x32_ps(c, fromC));
    }
    for (; i < hi; ++i) {
        const float* v = m + 3LL * i;
        c0[i] = v[0];
        c1[i] = v[1];
        c2[i] = v[2];
    }
    if constexpr (kStream) fenceStreamingStores();
}

}  // namespace

void narrowToInt8(float* src, unsigned char* dst, int n) {
    convert(src, dst, n);
}
void narrowToInt16(float* src, unsigned short* dst, int n) {
    convert(src, dst, n);
}

// Chunks start at multiples of 8 pixels, so every vector store of a chunk is 32-byte aligned
// when the arrays are.
void mergeChannels(float* c0, float* c1, float* c2, float* m, int n) {
    const int end = launchedPixels(n);
    const std::size_t bytes = 3 * sizeof(float) * static_cast<std::size_t>(std::max(end, 0));
    if (streamsResult(bytes) && aligned<32>(m))
        forEachChunk(end, [=](int lo, int hi) { mergeRange<true>(c0, c1, c2, m, lo, hi); });
    else
        forEachChunk(end, [=](int lo, int hi) { mergeRange<false>(c0, c1, c2, m, lo, hi); });
}

void splitChannels(float* m, float* c0, float* c1, float* c2, int n) {
    const int end = launchedPixels(n);
    const std::size_t bytes = 3 * sizeof(float) * static_cast<std::size_t>(std::max(end, 0));
    if (streamsResult(bytes) && aligned<32>(c0) && aligned<32>(c1) && aligned<32>(c2))
        forEachChunk(end, [=](int lo, int hi) { splitRange<true>(m, c0, c1, c2, lo, hi); });
    else
        forEachChunk(end, [=](int lo, int hi) { splitRange<false>(m, c0, c1, c2, lo, hi); });
}

#endif

}  // namespace lmx::cpu
