// CPU traversal of the convolution kernels: the taps outer over a strip of result pixels whose
// accumulators stay in vector registers for the whole walk, two result rows sharing every input
// vector they both read, the rows split between the threads. Every pixel still meets its taps
// in the kernel's order (dy outer, dx inner, one fused multiply-add each from 0.0), so the
// results are the kernel's bits, which a test checks. The edge columns, whose windows leave the
// image, run through the Mirror instantiation of the kernel's own body.

#include "backend/cpu/Traversal.h"
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
            LMX_SIMD
            for (int i = 0; i < n; ++i) acc[i] = fmaf(c, row[i + d], acc[i]);
        }
    }
    for (int i = 0; i < n; ++i) out[x0 + i] = acc[i];
}

// ---- vector strips --------------------------------------------------------------------------
//
// A strip keeps its accumulators in vector registers for the whole walk over the taps. It is
// written once over a vector-width trait: the vector type, its lanes, and the four operations
// the walk needs (zero, unaligned load, broadcast of a tap, fused multiply-add, store).

#if defined(__AVX2__) && defined(__FMA__)
#define LMX_HAVE_VECTOR_STRIPS 1

struct Lanes8 {
    using Vector = __m256;
    static constexpr int kLanes = 8;
    static Vector zero() { return _mm256_setzero_ps(); }
    static Vector load(const float* p) { return _mm256_loadu_ps(p); }
    static Vector broadcast(const float* tap) { return _mm256_broadcast_ss(tap); }
    static Vector fma(Vector c, Vector v, Vector acc) { return _mm256_fmadd_ps(c, v, acc); }
    static void store(float* p, Vector v) { _mm256_storeu_ps(p, v); }
};

#if !defined(__clang__)
// 512-bit vectors, chosen at run time where the processor has them. Each operation carries the
// instruction set; the strips that use them are instantiated only inside functions that carry
// it too, where everything is inlined (clang refuses a 512-bit vector in a function without the
// instruction set even then, so its builds keep the 256-bit strips).
#define LMX_HAVE_STRIP512 1
#define LMX_AVX512 __attribute__((target("avx512f")))

struct Lanes16 {
    using Vector = __m512;
    static constexpr int kLanes = 16;
    LMX_AVX512 static Vector zero() { return _mm512_setzero_ps(); }
    LMX_AVX512 static Vector load(const float* p) { return _mm512_loadu_ps(p); }
    LMX_AVX512 static Vector broadcast(const float* tap) { return _mm512_set1_ps(*tap); }
    LMX_AVX512 static Vector fma(Vector c, Vector v, Vector acc) {
        return _mm512_fmadd_ps(c, v, acc);
    }
    LMX_AVX512 static void store(float* p, Vector v) { _mm512_storeu_ps(p, v); }
};
#endif

// The strips below are inlined into their callers; a 512-bit strip only into a caller that has
// the instruction set, so the ABI of a 512-bit argument never matters.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

// The loops over a strip's vectors are unrolled before anything else, so that each accumulator
// becomes a register of its own for the whole walk instead of an array element kept in memory.
#define LMX_EACH_VECTOR _Pragma("GCC unroll 16") for (int i = 0; i < kVectors; ++i)

// Taps row `t` (2 xr + 1 taps) over the input row at `row`, into kVectors accumulators.
template <class L, int kVectors>
__attribute__((always_inline)) inline void walkRow(const float* row, const float* t, int span,
                                                   typename L::Vector* acc) {
    for (int d = 0; d < span; ++d) {
        const typename L::Vector c = L::broadcast(t + d);
        LMX_EACH_VECTOR
        acc[i] = L::fma(c, L::load(row + d + i * L::kLanes), acc[i]);
    }
}

// One result row over [x0, x0 + kVectors * lanes).
template <class L, int kVectors>
__attribute__((always_inline)) inline void stripRow(const float* const* rows, const float* taps,
                                                    int xr, int yr, int x0, float* out) {
    typename L::Vector a[kVectors];
    LMX_EACH_VECTOR a[i] = L::zero();
    const int span = 2 * xr + 1;
    for (int k = 0; k <= 2 * yr; ++k)
        walkRow<L, kVectors>(rows[k] + x0 - xr, taps + k * span, span, a);
    LMX_EACH_VECTOR L::store(out + x0 + i * L::kLanes, a[i]);
}

// Two result rows y and y + 1 over [x0, x0 + kVectors * lanes), each input vector loaded once
// for both: rows[k] is the input row y - yr + k (k = 0 .. 2 yr + 1), which row y weighs with
// taps row k and row y + 1 with taps row k - 1. Either row still meets its taps in order.
template <class L, int kVectors>
__attribute__((always_inline)) inline void stripPairOf(const float* const* rows, const float* taps,
                                                       int xr, int yr, int x0, float* out0,
                                                       float* out1) {
    typename L::Vector a[kVectors], b[kVectors];
    LMX_EACH_VECTOR a[i] = b[i] = L::zero();
    const int span = 2 * xr + 1;
    // The first input row reaches row y only, the last one row y + 1 only.
    walkRow<L, kVectors>(rows[0] + x0 - xr, taps, span, a);
    for (int k = 1; k <= 2 * yr; ++k) {
        const float* row = rows[k] + x0 - xr;
        const float* t0 = taps + k * span;
        const float* t1 = t0 - span;
        for (int d = 0; d < span; ++d) {
            const typename L::Vector c0 = L::broadcast(t0 + d), c1 = L::broadcast(t1 + d);
            LMX_EACH_VECTOR {
                const typename L::Vector v = L::load(row + d + i * L::kLanes);
                a[i] = L::fma(c0, v, a[i]);
                b[i] = L::fma(c1, v, b[i]);
            }
        }
    }
    walkRow<L, kVectors>(rows[2 * yr + 1] + x0 - xr, taps + 2 * yr * span, span, b);
    LMX_EACH_VECTOR {
        L::store(out0 + x0 + i * L::kLanes, a[i]);
        L::store(out1 + x0 + i * L::kLanes, b[i]);
    }
}

#undef LMX_EACH_VECTOR
#pragma GCC diagnostic pop

constexpr int kStrip = 64;      // result pixels of a one-row strip: eight vectors of eight
constexpr int kPairStrip = 48;  // of a two-row strip: six vectors per row

void strip(const float* const* rows, const float* taps, int xr, int yr, int x0, float* out) {
    stripRow<Lanes8, kStrip / 8>(rows, taps, xr, yr, x0, out);
}
void stripPair(const float* const* rows, const float* taps, int xr, int yr, int x0, float* out0,
               float* out1) {
    stripPairOf<Lanes8, kPairStrip / 8>(rows, taps, xr, yr, x0, out0, out1);
}

#if defined(LMX_HAVE_STRIP512)
constexpr int kPairStrip512 = 96;  // six vectors of sixteen per row

LMX_AVX512 void stripPair512(const float* const* rows, const float* taps, int xr, int yr, int x0,
                             float* out0, float* out1) {
    stripPairOf<Lanes16, kPairStrip512 / 16>(rows, taps, xr, yr, x0, out0, out1);
}
#endif

#else  // no vector strips: the same walk, left to the compiler

constexpr int kStrip = 64;
constexpr int kPairStrip = 48;

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
    parallelRows(pairs, work, [=](int p) {
        const float* rows[kLumerixMaxTaps + 1];
        const int y = 2 * p;
        const bool two = y + 1 < h;
        for (int k = 0; k <= 2 * yr + (two ? 1 : 0); ++k)
            rows[k] = in + static_cast<std::size_t>(Mirror::index(y - yr + k, h)) * w;
        float* o0 = out + static_cast<std::size_t>(y) * w;
        if (!two) {
            convolveRow(in, w, h, y, rows, taps, xr, yr, lo, hi, o0);
            return;
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
    });
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
    return xr >= 0 && yr >= 0 && (2LL * xr + 1) * (2LL * yr + 1) <= kLumerixMaxTaps;
}

}  // namespace

// A launch that does not cover the plane, or taps beyond the table, run the kernel as written.
void convolveRadii(float* in, int xr, int yr, float* out, int w, int h, int mx, int my) {
    if (!coversPlane(w, h) || !tableFits(xr, yr))
        return LumerixConvolveIDD2I(in, xr, yr, out, w, h, mx, my);
    if (w <= 0 || h <= 0) return;
    convolve(in, out, w, h, xr, yr);
}

void convolveRadius(float* in, int r, float* out, int w, int h, int mx, int my) {
    if (!coversPlane(w, h) || !tableFits(r, r))
        return LumerixConvolveID2I(in, r, out, w, h, mx, my);
    if (w <= 0 || h <= 0) return;
    convolve(in, out, w, h, r, r);
}

bool useWideFilterStrips(bool wide) {
    const bool before = wideStrips;
#if defined(LMX_HAVE_STRIP512)
    wideStrips = wide && __builtin_cpu_supports("avx512f");
#else
    (void)wide;
#endif
    return before;
}

}  // namespace lmx::cpu
