// CPU traversals of the neighbourhood filters.
//
// Run through forEachPixel2D, the kernels test every pixel for the border and walk each
// pixel's window alone. These traversals resolve a row's neighbour rows once (mirrored), run
// the columns whose window lies inside through the NoBorder instantiation of the same window
// walk and the few edge columns through Mirror, and split the rows between the threads. The
// convolution takes the taps outer over a strip of accumulators held in vector registers, so
// that each tap is loaded once per strip; every pixel still sees its taps in the kernel's order
// (dy outer, dx inner, one fused multiply-add each from 0.0), so the results are the kernels'
// bits, which a test checks.

#include "backend/cpu/FilterPaths.h"
#include "backend/cpu/Registry.h"
#include "kernels/Dialect.h"
#include "kernels/FilterUpload.h"
#include "kernels/Kernels.h"
#include "kernels/NeighborhoodOps.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>

namespace lmx::cpu {
namespace {

template <class T>
T arg(void** args, int i) {
    return *static_cast<T*>(args[i]);
}

// True when the launch has a thread for every pixel of the w x h plane, as the operations
// launch it; any other launch runs the kernel as written.
bool coversPlane(int w, int h) {
    const LaunchShape& s = currentLaunch;
    return 1LL * s.grid.x * s.block.x >= w && 1LL * s.grid.y * s.block.y >= h &&
           1LL * s.grid.z * s.block.z >= 1;
}

void runPlain(const void* kernel, void** args) {
    findKernel(kernel)->plain(args);
}

// ---- morphology -----------------------------------------------------------------------------

// The cross: each row's three neighbour rows resolved once, its inner columns vectorised.
template <class Footprint, class Fold>
void morphologyRows(const float* src, float* dst, int w, int h) {
#pragma omp parallel for schedule(static) if (1LL * w * h >= kParallelThreshold)
    for (int y = 0; y < h; ++y) {
        const nb::Rows3 r = nb::rowsOf<Mirror>(src, w, h, y);
        float* out = dst + static_cast<std::size_t>(y) * w;
        out[0] = Footprint::template window<Fold, Mirror>(r, 0, w);
#pragma omp simd
        for (int x = 1; x < w - 1; ++x)
            out[x] = Footprint::template window<Fold, NoBorder>(r, x, w);
        if (w > 1) out[w - 1] = Footprint::template window<Fold, Mirror>(r, w - 1, w);
    }
}

template <class Fold>
inline float fold3(float a, float b, float c) {
    return Fold::fold(Fold::fold(Fold::fold(Fold::start(), a), b), c);
}

// Row r of the plane folded over each pixel's three columns, the columns mirrored at the ends.
template <class Fold>
void foldAcross(const float* row, float* across, int w) {
    across[0] = fold3<Fold>(row[Mirror::index(-1, w)], row[0], row[Mirror::index(1, w)]);
#pragma omp simd
    for (int x = 1; x < w - 1; ++x) across[x] = fold3<Fold>(row[x - 1], row[x], row[x + 1]);
    if (w > 1) across[w - 1] = fold3<Fold>(row[w - 2], row[w - 1], row[Mirror::index(w, w)]);
}

// The 3 x 3 square in two steps: each input row folded across its columns once (kept for the
// three result rows that need it), then the three folded rows folded down. The kernel folds the
// nine pixels in row order, keeping the first of equal values; folding each row first and then
// the rows keeps the same one (the first row holding the least value, its first such pixel), so
// the bits are the same, signed zeros and NaN included.
template <class Fold>
void squareRows(const float* src, float* dst, int w, int h) {
#pragma omp parallel if (1LL * w * h >= kParallelThreshold)
    {
        const int threads = omp_get_num_threads(), id = omp_get_thread_num();
        const int first = static_cast<int>(1LL * h * id / threads);
        const int last = static_cast<int>(1LL * h * (id + 1) / threads);
        // Rows y - 1, y and y + 1 differ modulo 3, so three slots hold them without clashing.
        std::unique_ptr<float[]> slots(new float[3 * static_cast<std::size_t>(w)]);
        int held[3] = {-1, -1, -1};
        auto across = [&](int r) {
            const int slot = r % 3;
            float* a = slots.get() + static_cast<std::size_t>(slot) * w;
            if (held[slot] != r) {
                foldAcross<Fold>(src + static_cast<std::size_t>(r) * w, a, w);
                held[slot] = r;
            }
            return a;
        };
        for (int y = first; y < last; ++y) {
            const float* up = across(Mirror::index(y - 1, h));
            const float* mid = across(y);
            const float* down = across(Mirror::index(y + 1, h));
            float* out = dst + static_cast<std::size_t>(y) * w;
#pragma omp simd
            for (int x = 0; x < w; ++x) out[x] = fold3<Fold>(up[x], mid[x], down[x]);
        }
    }
}

template <class Footprint, class Fold>
struct Morphology {
    static void run(const float* src, float* dst, int w, int h) {
        morphologyRows<Footprint, Fold>(src, dst, w, h);
    }
};
template <class Fold>
struct Morphology<nb::Square, Fold> {
    static void run(const float* src, float* dst, int w, int h) {
        squareRows<Fold>(src, dst, w, h);
    }
};

template <class Footprint, class Fold, void (*kKernel)(float*, float*, int, int, int, int)>
void runMorphology(void** args) {
    const int w = arg<int>(args, 2), h = arg<int>(args, 3);
    if (!coversPlane(w, h)) return runPlain(reinterpret_cast<const void*>(kKernel), args);
    if (w <= 0 || h <= 0) return;
    // The margins only choose between two paths that read the same pixels.
    Morphology<Footprint, Fold>::run(arg<float*>(args, 0), arg<float*>(args, 1), w, h);
}

// ---- convolution ----------------------------------------------------------------------------

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
    const int xr = arg<int>(args, 1), yr = arg<int>(args, 2);
    const int w = arg<int>(args, 4), h = arg<int>(args, 5);
    if (!coversPlane(w, h) || !tableFits(xr, yr))
        return runPlain(reinterpret_cast<const void*>(&LumerixConvolveIDD2I), args);
    if (w <= 0 || h <= 0) return;
    convolve(arg<float*>(args, 0), arg<float*>(args, 3), w, h, xr, yr);
}

void runConvolveID2I(void** args) {
    const int r = arg<int>(args, 1);
    const int w = arg<int>(args, 3), h = arg<int>(args, 4);
    if (!coversPlane(w, h) || !tableFits(r, r))
        return runPlain(reinterpret_cast<const void*>(&LumerixConvolveID2I), args);
    if (w <= 0 || h <= 0) return;
    convolve(arg<float*>(args, 0), arg<float*>(args, 2), w, h, r, r);
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

void installFilterPaths() {
    overrideKernel(reinterpret_cast<const void*>(&LumerixErosion4I2I),
                   &runMorphology<nb::Cross, nb::MinFold, &LumerixErosion4I2I>);
    overrideKernel(reinterpret_cast<const void*>(&LumerixErosionI2I),
                   &runMorphology<nb::Square, nb::MinFold, &LumerixErosionI2I>);
    overrideKernel(reinterpret_cast<const void*>(&LumerixDilation4I2I),
                   &runMorphology<nb::Cross, nb::MaxFold, &LumerixDilation4I2I>);
    overrideKernel(reinterpret_cast<const void*>(&LumerixDilationI2I),
                   &runMorphology<nb::Square, nb::MaxFold, &LumerixDilationI2I>);
    overrideKernel(reinterpret_cast<const void*>(&LumerixConvolveIDD2I), &runConvolveIDD2I);
    overrideKernel(reinterpret_cast<const void*>(&LumerixConvolveID2I), &runConvolveID2I);
}

}  // namespace lmx::cpu
