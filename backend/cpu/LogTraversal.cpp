// CPU traversal of the natural logarithm. The C library's logf is a scalar call that the compiler
// cannot vectorise, so the kernel's plain loop runs at a fraction of the memory bandwidth. This
// traversal computes, eight pixels at a time, exactly what the C library's logf computes on a CPU
// with FMA (glibc's table-driven logf, its FMA build): x = 2^k z with z near 1, a 16-entry table of
// 1/c and log(c) in double, r = z/c - 1 by one fused multiply-add, and a degree-3 polynomial for
// log1p(r) evaluated in the same order with the same fused operations, rounded once to float. The
// pixels that take the library's special branch (zero, negative, subnormal, infinity, NaN) are
// computed by logf itself, so every result carries its bits; an exhaustive run over all 2^32 inputs
// found no difference.

#include "backend/cpu/Traversal.h"
#include "kernels/Kernels.h"

#if defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace lmx::cpu {

#if defined(__AVX2__) && defined(__FMA__)

namespace {

// The library's table: for each of the 16 subintervals of [0x3f330000, 2 * 0x3f330000) that the top
// mantissa bits of z select, 1/c and log(c) of a point c near its centre. A pair is loaded with one
// 16-byte load.
struct alignas(16) LogEntry {
    double invc, logc;
};
// clang-format off
constexpr LogEntry kTable[16] = {
    {0x1.661ec79f8f3bep+0, -0x1.57bf7808caadep-2}, {0x1.571ed4aaf883dp+0, -0x1.2bef0a7c06ddbp-2},
    {0x1.49539f0f010bp+0,  -0x1.01eae7f513a67p-2}, {0x1.3c995b0b80385p+0, -0x1.b31d8a68224e9p-3},
    {0x1.30d190c8864a5p+0, -0x1.6574f0ac07758p-3}, {0x1.25e227b0b8eap+0,  -0x1.1aa2bc79c81p-3},
    {0x1.1bb4a4a1a343fp+0, -0x1.a4e76ce8c0e5ep-4}, {0x1.12358f08ae5bap+0, -0x1.1973c5a611cccp-4},
    {0x1.0953f419900a7p+0, -0x1.252f438e10c1ep-5}, {0x1p+0,                0x0p+0},
    {0x1.e608cfd9a47acp-1,  0x1.aa5aa5df25984p-5}, {0x1.ca4b31f026aap-1,   0x1.c5e53aa362eb4p-4},
    {0x1.b2036576afce6p-1,  0x1.526e57720db08p-3}, {0x1.9c2d163a1aa2dp-1,  0x1.bc2860d22477p-3},
    {0x1.886e6037841edp-1,  0x1.1058bc8a07ee1p-2}, {0x1.767dcf5534862p-1,  0x1.4043057b6ee09p-2}};
// clang-format on
constexpr double kLn2 = 0x1.62e42fefa39efp-1;
// log1p(r) ~ r + A2 r^2 + A1 r^3 + A0 r^4, evaluated as below.
constexpr double kA0 = -0x1.00ea348b88334p-2;
constexpr double kA1 = 0x1.5575b0be00b6ap-2;
constexpr double kA2 = -0x1.ffffef20a4123p-2;
constexpr std::uint32_t kOff = 0x3f330000;  // z lies in [kOff, 2 kOff) as a bit pattern

// The table by the third byte of a float (bits 16 to 23): the subtraction of kOff, whose low 16
// bits are zero, borrows nothing from below bit 16, so bits 19 to 22 of x - kOff, the index, follow
// from bits 16 to 22 of x alone. One byte load then gives the entry of a lane.
struct ByteTable {
    LogEntry entry[256];
    constexpr ByteTable() : entry() {
        for (std::uint32_t b = 0; b < 256; ++b) entry[b] = kTable[((b << 16) - kOff) >> 19 & 15];
    }
};
constexpr ByteTable kByByte;

inline const double* entryOf(const float* src) {
    unsigned char byte;
    std::memcpy(&byte, reinterpret_cast<const unsigned char*>(src) + 2, 1);
    return &kByByte.entry[byte].invc;
}

// Four lanes, in double: log(x) = log1p(z/c - 1) + log(c) + k ln2 with r = fma(z, 1/c, -1), y0 =
// fma(k, ln2, log c), r2 = r r, y = fma(fma(r2, A0, fma(r, A1, A2)), r2, r + y0).
inline __m128 logHalf(const float* src, __m128 z, __m128i k) {
    const __m256d e02 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(entryOf(src))),
                                             _mm_load_pd(entryOf(src + 2)), 1);
    const __m256d e13 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(entryOf(src + 1))),
                                             _mm_load_pd(entryOf(src + 3)), 1);
    const __m256d invc = _mm256_unpacklo_pd(e02, e13), logc = _mm256_unpackhi_pd(e02, e13);
    const __m256d r = _mm256_fmadd_pd(_mm256_cvtps_pd(z), invc, _mm256_set1_pd(-1.0));
    const __m256d y0 = _mm256_fmadd_pd(_mm256_cvtepi32_pd(k), _mm256_set1_pd(kLn2), logc);
    const __m256d r2 = _mm256_mul_pd(r, r);
    __m256d y = _mm256_fmadd_pd(r, _mm256_set1_pd(kA1), _mm256_set1_pd(kA2));
    y = _mm256_fmadd_pd(r2, _mm256_set1_pd(kA0), y);
    y = _mm256_fmadd_pd(y, r2, _mm256_add_pd(r, y0));
    return _mm256_cvtpd_ps(y);
}

// The lanes of `ix` (float bit patterns) that the library's logf handles apart: below the smallest
// normal number as a signed integer (zero, subnormals, every negative including -0 and negative
// NaNs) or above the largest finite one (+infinity, NaNs), as a mask of 8 bits.
inline int specialLanes(__m256i ix) {
    const __m256i low = _mm256_cmpgt_epi32(_mm256_set1_epi32(0x00800000), ix);
    const __m256i high = _mm256_cmpgt_epi32(ix, _mm256_set1_epi32(0x7f7fffff));
    return _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_or_si256(low, high)));
}

// logf of the eight floats at `src`: x = 2^k z with z in [kOff, 2 kOff) as bit patterns.
inline __m256 log8(const float* src) {
    const __m256i ix = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
    const __m256i tmp = _mm256_sub_epi32(ix, _mm256_set1_epi32(static_cast<int>(kOff)));
    const __m256i k = _mm256_srai_epi32(tmp, 23);
    const __m256i iz = _mm256_sub_epi32(
        ix, _mm256_and_si256(tmp, _mm256_set1_epi32(static_cast<int>(0xff800000u))));
    const __m256 z = _mm256_castsi256_ps(iz);
    const __m128 lo = logHalf(src, _mm256_castps256_ps128(z), _mm256_castsi256_si128(k));
    const __m128 hi = logHalf(src + 4, _mm256_extractf128_ps(z, 1), _mm256_extracti128_si256(k, 1));
    __m256 y = _mm256_set_m128(hi, lo);
    if (int special = specialLanes(ix)) {
        alignas(32) float lanes[8];
        _mm256_store_ps(lanes, y);
        for (; special; special &= special - 1) {
            const int j = __builtin_ctz(static_cast<unsigned>(special));
            lanes[j] = logf(src[j]);
        }
        y = _mm256_load_ps(lanes);
    }
    return y;
}

template <bool kStream>
void logRange(const float* a, float* r, int lo, int hi) {
    int i = lo;
    if constexpr (kStream)  // up to the first 32-byte boundary of the result
        for (; i < hi && !aligned<32>(r + i); ++i) r[i] = logf(a[i]);
    for (; i <= hi - 8; i += 8) {  // i + 8 could pass INT_MAX
        if constexpr (kStream)
            _mm256_stream_ps(r + i, log8(a + i));
        else
            _mm256_storeu_ps(r + i, log8(a + i));
    }
    for (; i < hi; ++i) r[i] = logf(a[i]);
    if constexpr (kStream) fenceStreamingStores();
}

}  // namespace

// The launch's pixels in forEachPixel's chunks (forEachChunk).
// The arithmetic above is the library's under round-to-nearest only (logf(1) is +0 in every
// mode, fma(0, y, +0) is -0 when rounding down): in another mode the kernel's loop runs.
void logPixels(float* a, float* r, int n) {
    if ((_mm_getcsr() & _MM_ROUND_MASK) != _MM_ROUND_NEAREST) return LumerixPixelLogI2I(a, r, n);
    const int end = launchedPixels(n);
    if (streamsResult(static_cast<std::size_t>(std::max(end, 0)) * sizeof(float)))
        forEachChunk(end, [=](int lo, int hi) { logRange<true>(a, r, lo, hi); });
    else
        forEachChunk(end, [=](int lo, int hi) { logRange<false>(a, r, lo, hi); });
}

// The traversal reproduces one C library's logf. Before it replaces the kernel's loop it is
// compared with the logf that this process calls, over 32768 bit patterns scattered over every
// sign, exponent and mantissa; under a library whose logf differs the kernel keeps its loop.
bool logPixelsMatchesLibrary() {
    for (std::uint32_t v = 0; v < 4096; ++v) {
        alignas(32) float x[8], y[8];
        for (std::uint32_t j = 0; j < 8; ++j) {
            const std::uint32_t bits = (8 * v + j) * 0x9e3779b1u;
            std::memcpy(&x[j], &bits, sizeof bits);
        }
        _mm256_store_ps(y, log8(x));
        for (int j = 0; j < 8; ++j) {
            const float want = logf(x[j]);
            if (std::memcmp(&want, &y[j], sizeof want) != 0) return false;
        }
    }
    return true;
}

#endif

}  // namespace lmx::cpu
