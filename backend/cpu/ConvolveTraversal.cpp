// CPU traversal of the convolution kernels: the taps outer over a strip of result pixels whose
// accumulators stay in vector registers for the whole walk, two result rows sharing every input
// vector they both read, the rows split between the threads. Every pixel still meets its taps
// in the kernel's order (dy outer, dx inner, one fused multiply-add each from 0.0), so the
// results are the kernel's bits, which a test checks. The edge columns, whose windows leave the
// image, run through the Mirror instantiation of the kernel's own body.

#include "backend/cpu/FilterPaths.h"
#include "backend/cpu/PlaneTraversal.h"
#include "kernels/FilterUpload.h"
#include "kernels/Kernels.h"
#include "kernels/NeighborhoodOps.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace lmx::cpu {
namespace {

constexpr int kStrip = 64;      // result pixels of a one-row strip: eight vectors of eight
constexpr int kPairStrip = 48;  // of a two-row strip: six vectors per row

constexpr int kMaxStrip = 128;  // the widest strip of any form, so the widest remainder too

// Result pixels [x0, x0 + n) of one row whose windows lie inside in x, n <= kMaxStrip: rows[k]
// is the input row of offset dy = k - yr, already mirrored.
void stripAnyWidth(const float* const* rows, const float* taps, int xr, int yr, int x0, int n,
                   float* out) {
    float acc[kMaxStrip];
    for (int i = 0; i < n; ++i) acc[i] = 0.0f;
    const int span = 2 * xr + 1;
    for (int k = 0; k <= 2 * yr; ++k) {
        const float* row = rows[k] + x0 - xr;
        const float* t = taps + k * span;
        for (int d = 0; d < span; ++d) {
            const float c = t[d];
#pragma omp simd
            for (int i = 0; i < n; ++i) acc[i] = fmaf(c, row[i + d], acc[i]);
        }
    }
    for (int i = 0; i < n; ++i) out[x0 + i] = acc[i];
}

#if defined(__AVX2__) && defined(__FMA__)
// The same for a full strip, its accumulators in registers for the whole walk over the taps.
void strip(const float* const* rows, const float* taps, int xr, int yr, int x0, float* out) {
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0;
    const int span = 2 * xr + 1;
    for (int k = 0; k <= 2 * yr; ++k) {
        const float* row = rows[k] + x0 - xr;
        const float* t = taps + k * span;
        for (int d = 0; d < span; ++d) {
            const __m256 c = _mm256_broadcast_ss(t + d);
            const float* p = row + d;
            a0 = _mm256_fmadd_ps(c, _mm256_loadu_ps(p), a0);
            a1 = _mm256_fmadd_ps(c, _mm256_loadu_ps(p + 8), a1);
            a2 = _mm256_fmadd_ps(c, _mm256_loadu_ps(p + 16), a2);
            a3 = _mm256_fmadd_ps(c, _mm256_loadu_ps(p + 24), a3);
            a4 = _mm256_fmadd_ps(c, _mm256_loadu_ps(p + 32), a4);
            a5 = _mm256_fmadd_ps(c, _mm256_loadu_ps(p + 40), a5);
            a6 = _mm256_fmadd_ps(c, _mm256_loadu_ps(p + 48), a6);
            a7 = _mm256_fmadd_ps(c, _mm256_loadu_ps(p + 56), a7);
        }
    }
    float* o = out + x0;
    _mm256_storeu_ps(o, a0);
    _mm256_storeu_ps(o + 8, a1);
    _mm256_storeu_ps(o + 16, a2);
    _mm256_storeu_ps(o + 24, a3);
    _mm256_storeu_ps(o + 32, a4);
    _mm256_storeu_ps(o + 40, a5);
    _mm256_storeu_ps(o + 48, a6);
    _mm256_storeu_ps(o + 56, a7);
}

// Two result rows y and y + 1 over [x0, x0 + 48), each input vector loaded once for both:
// rows[k] is the input row y - yr + k (k = 0 .. 2 yr + 1), which row y weighs with taps row k
// and row y + 1 with taps row k - 1. Either row still meets its taps in order.
void stripPair(const float* const* rows, const float* taps, int xr, int yr, int x0, float* out0,
               float* out1) {
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0;
    __m256 b0 = a0, b1 = a0, b2 = a0, b3 = a0, b4 = a0, b5 = a0;
    const int span = 2 * xr + 1;
#define LMX_PAIR_STEP(acc, c, v, i) acc##i = _mm256_fmadd_ps(c, v, acc##i)
#define LMX_PAIR_ONE(acc, c, p)                        \
    LMX_PAIR_STEP(acc, c, _mm256_loadu_ps(p), 0);      \
    LMX_PAIR_STEP(acc, c, _mm256_loadu_ps(p + 8), 1);  \
    LMX_PAIR_STEP(acc, c, _mm256_loadu_ps(p + 16), 2); \
    LMX_PAIR_STEP(acc, c, _mm256_loadu_ps(p + 24), 3); \
    LMX_PAIR_STEP(acc, c, _mm256_loadu_ps(p + 32), 4); \
    LMX_PAIR_STEP(acc, c, _mm256_loadu_ps(p + 40), 5)
#define LMX_PAIR_BOTH(p, i)                          \
    {                                                \
        const __m256 v = _mm256_loadu_ps(p + 8 * i); \
        LMX_PAIR_STEP(a, c0, v, i);                  \
        LMX_PAIR_STEP(b, c1, v, i);                  \
    }
    {  // the first input row reaches row y only
        const float* row = rows[0] + x0 - xr;
        for (int d = 0; d < span; ++d) {
            const __m256 c0 = _mm256_broadcast_ss(taps + d);
            LMX_PAIR_ONE(a, c0, row + d);
        }
    }
    for (int k = 1; k <= 2 * yr; ++k) {
        const float* row = rows[k] + x0 - xr;
        const float* t0 = taps + k * span;
        const float* t1 = t0 - span;
        for (int d = 0; d < span; ++d) {
            const __m256 c0 = _mm256_broadcast_ss(t0 + d), c1 = _mm256_broadcast_ss(t1 + d);
            const float* p = row + d;
            LMX_PAIR_BOTH(p, 0)
            LMX_PAIR_BOTH(p, 1)
            LMX_PAIR_BOTH(p, 2)
            LMX_PAIR_BOTH(p, 3)
            LMX_PAIR_BOTH(p, 4)
            LMX_PAIR_BOTH(p, 5)
        }
    }
    {  // the last input row reaches row y + 1 only
        const float* row = rows[2 * yr + 1] + x0 - xr;
        const float* t1 = taps + 2 * yr * span;
        for (int d = 0; d < span; ++d) {
            const __m256 c1 = _mm256_broadcast_ss(t1 + d);
            LMX_PAIR_ONE(b, c1, row + d);
        }
    }
#undef LMX_PAIR_BOTH
#undef LMX_PAIR_ONE
#undef LMX_PAIR_STEP
    float* o = out0 + x0;
    _mm256_storeu_ps(o, a0);
    _mm256_storeu_ps(o + 8, a1);
    _mm256_storeu_ps(o + 16, a2);
    _mm256_storeu_ps(o + 24, a3);
    _mm256_storeu_ps(o + 32, a4);
    _mm256_storeu_ps(o + 40, a5);
    o = out1 + x0;
    _mm256_storeu_ps(o, b0);
    _mm256_storeu_ps(o + 8, b1);
    _mm256_storeu_ps(o + 16, b2);
    _mm256_storeu_ps(o + 24, b3);
    _mm256_storeu_ps(o + 32, b4);
    _mm256_storeu_ps(o + 40, b5);
}
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#define LMX_HAVE_STRIP512 1
constexpr int kPairStrip512 = 96;  // six vectors of sixteen per row

// stripPair for processors with 512-bit vectors (chosen at run time): the same walk over the
// taps, so the same bits, sixteen pixels per instruction.
__attribute__((target("avx512f"))) void stripPair512(const float* const* rows, const float* taps,
                                                     int xr, int yr, int x0, float* out0,
                                                     float* out1) {
    __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0;
    __m512 b0 = a0, b1 = a0, b2 = a0, b3 = a0, b4 = a0, b5 = a0;
    const int span = 2 * xr + 1;
#define LMX_PAIR_STEP(acc, c, v, i) acc##i = _mm512_fmadd_ps(c, v, acc##i)
#define LMX_PAIR_ONE(acc, c, p)                        \
    LMX_PAIR_STEP(acc, c, _mm512_loadu_ps(p), 0);      \
    LMX_PAIR_STEP(acc, c, _mm512_loadu_ps(p + 16), 1); \
    LMX_PAIR_STEP(acc, c, _mm512_loadu_ps(p + 32), 2); \
    LMX_PAIR_STEP(acc, c, _mm512_loadu_ps(p + 48), 3); \
    LMX_PAIR_STEP(acc, c, _mm512_loadu_ps(p + 64), 4); \
    LMX_PAIR_STEP(acc, c, _mm512_loadu_ps(p + 80), 5)
#define LMX_PAIR_BOTH(p, i)                           \
    {                                                 \
        const __m512 v = _mm512_loadu_ps(p + 16 * i); \
        LMX_PAIR_STEP(a, c0, v, i);                   \
        LMX_PAIR_STEP(b, c1, v, i);                   \
    }
    {
        const float* row = rows[0] + x0 - xr;
        for (int d = 0; d < span; ++d) {
            const __m512 c0 = _mm512_set1_ps(taps[d]);
            LMX_PAIR_ONE(a, c0, row + d);
        }
    }
    for (int k = 1; k <= 2 * yr; ++k) {
        const float* row = rows[k] + x0 - xr;
        const float* t0 = taps + k * span;
        const float* t1 = t0 - span;
        for (int d = 0; d < span; ++d) {
            const __m512 c0 = _mm512_set1_ps(t0[d]), c1 = _mm512_set1_ps(t1[d]);
            const float* p = row + d;
            LMX_PAIR_BOTH(p, 0)
            LMX_PAIR_BOTH(p, 1)
            LMX_PAIR_BOTH(p, 2)
            LMX_PAIR_BOTH(p, 3)
            LMX_PAIR_BOTH(p, 4)
            LMX_PAIR_BOTH(p, 5)
        }
    }
    {
        const float* row = rows[2 * yr + 1] + x0 - xr;
        const float* t1 = taps + 2 * yr * span;
        for (int d = 0; d < span; ++d) {
            const __m512 c1 = _mm512_set1_ps(t1[d]);
            LMX_PAIR_ONE(b, c1, row + d);
        }
    }
#undef LMX_PAIR_BOTH
#undef LMX_PAIR_ONE
#undef LMX_PAIR_STEP
    float* o = out0 + x0;
    _mm512_storeu_ps(o, a0);
    _mm512_storeu_ps(o + 16, a1);
    _mm512_storeu_ps(o + 32, a2);
    _mm512_storeu_ps(o + 48, a3);
    _mm512_storeu_ps(o + 64, a4);
    _mm512_storeu_ps(o + 80, a5);
    o = out1 + x0;
    _mm512_storeu_ps(o, b0);
    _mm512_storeu_ps(o + 16, b1);
    _mm512_storeu_ps(o + 32, b2);
    _mm512_storeu_ps(o + 48, b3);
    _mm512_storeu_ps(o + 64, b4);
    _mm512_storeu_ps(o + 80, b5);
}
#endif

#if !(defined(__AVX2__) && defined(__FMA__))
void strip(const float* const* rows, const float* taps, int xr, int yr, int x0, float* out) {
    stripAnyWidth(rows, taps, xr, yr, x0, kStrip, out);
}
void stripPair(const float* const* rows, const float* taps, int xr, int yr, int x0, float* out0,
               float* out1) {
    stripAnyWidth(rows, taps, xr, yr, x0, kPairStrip, out0);
    stripAnyWidth(rows + 1, taps, xr, yr, x0, kPairStrip, out1);
}
#endif

// One result row: the edge columns through the Mirror body, the rest in strips.
void convolveRow(const float* in, int w, int h, int y, const float* const* rows, const float* taps,
                 int xr, int yr, int lo, int hi, float* o) {
    for (int x = 0; x < lo; ++x) o[x] = nb::correlate<Mirror>(in, w, h, x, y, taps, xr, yr);
    int x = lo;
    for (; x + kStrip <= hi; x += kStrip) strip(rows, taps, xr, yr, x, o);
    if (x < hi) stripAnyWidth(rows, taps, xr, yr, x, hi - x, o);
    for (x = hi; x < w; ++x) o[x] = nb::correlate<Mirror>(in, w, h, x, y, taps, xr, yr);
}

using PairStrip = void (*)(const float* const*, const float*, int, int, int, float*, float*);

// The rows in pairs, split between the threads; kPair computes kWidth columns of a pair.
template <int kWidth, PairStrip kPair>
void convolveRows(const float* in, float* out, int w, int h, int xr, int yr) {
    static_assert(kWidth <= kMaxStrip && kStrip <= kMaxStrip, "remainders fit stripAnyWidth");
    const float* taps = filterTaps();
    const long long work = 1LL * w * h * (2 * xr + 1) * (2 * yr + 1);
    // Columns [lo, hi) have their whole window inside in x.
    const int lo = std::min(xr, w), hi = std::max(w - xr, lo);
    const int pairs = h / 2 + h % 2;
#pragma omp parallel if (work >= kParallelThreshold)
    {
        const float* rows[kMaxFilterTaps + 1];
#pragma omp for schedule(static)
        for (int p = 0; p < pairs; ++p) {
            const int y = 2 * p;
            const bool two = y + 1 < h;
            for (int k = 0; k <= 2 * yr + (two ? 1 : 0); ++k)
                rows[k] = in + static_cast<std::size_t>(Mirror::index(y - yr + k, h)) * w;
            float* o0 = out + static_cast<std::size_t>(y) * w;
            if (!two) {
                convolveRow(in, w, h, y, rows, taps, xr, yr, lo, hi, o0);
                continue;
            }
            float* o1 = o0 + w;
            for (int x = 0; x < lo; ++x) {
                o0[x] = nb::correlate<Mirror>(in, w, h, x, y, taps, xr, yr);
                o1[x] = nb::correlate<Mirror>(in, w, h, x, y + 1, taps, xr, yr);
            }
            int x = lo;
            for (; x + kWidth <= hi; x += kWidth) kPair(rows, taps, xr, yr, x, o0, o1);
            if (x < hi) {
                stripAnyWidth(rows, taps, xr, yr, x, hi - x, o0);
                stripAnyWidth(rows + 1, taps, xr, yr, x, hi - x, o1);
            }
            for (x = hi; x < w; ++x) {
                o0[x] = nb::correlate<Mirror>(in, w, h, x, y, taps, xr, yr);
                o1[x] = nb::correlate<Mirror>(in, w, h, x, y + 1, taps, xr, yr);
            }
        }
    }
}

#if defined(LMX_HAVE_STRIP512)
bool wideStrips = __builtin_cpu_supports("avx512f");
#else
bool wideStrips = false;
#endif

void convolve(const float* in, float* out, int w, int h, int xr, int yr) {
#if defined(LMX_HAVE_STRIP512)
    if (wideStrips) return convolveRows<kPairStrip512, &stripPair512>(in, out, w, h, xr, yr);
#endif
    convolveRows<kPairStrip, &stripPair>(in, out, w, h, xr, yr);
}

bool tableFits(int xr, int yr) {
    return xr >= 0 && yr >= 0 && (2LL * xr + 1) * (2LL * yr + 1) <= kMaxFilterTaps;
}

void runConvolveIDD2I(void** args) {
    const int xr = launchArg<int>(args, 1), yr = launchArg<int>(args, 2);
    const int w = launchArg<int>(args, 4), h = launchArg<int>(args, 5);
    if (!coversPlane(w, h) || !tableFits(xr, yr))
        return runPlain(reinterpret_cast<const void*>(&LumerixConvolveIDD2I), args);
    if (w <= 0 || h <= 0) return;
    convolve(launchArg<float*>(args, 0), launchArg<float*>(args, 3), w, h, xr, yr);
}

void runConvolveID2I(void** args) {
    const int r = launchArg<int>(args, 1);
    const int w = launchArg<int>(args, 3), h = launchArg<int>(args, 4);
    if (!coversPlane(w, h) || !tableFits(r, r))
        return runPlain(reinterpret_cast<const void*>(&LumerixConvolveID2I), args);
    if (w <= 0 || h <= 0) return;
    convolve(launchArg<float*>(args, 0), launchArg<float*>(args, 2), w, h, r, r);
}

}  // namespace

bool useWideFilterStrips(bool wide) {
    const bool before = wideStrips;
#if defined(LMX_HAVE_STRIP512)
    wideStrips = wide && __builtin_cpu_supports("avx512f");
#else
    (void)wide;
#endif
    return before;
}

void installConvolvePaths() {
    overrideKernel(reinterpret_cast<const void*>(&LumerixConvolveIDD2I), &runConvolveIDD2I);
    overrideKernel(reinterpret_cast<const void*>(&LumerixConvolveID2I), &runConvolveID2I);
}

}  // namespace lmx::cpu
