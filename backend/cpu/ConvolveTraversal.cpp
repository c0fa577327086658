// CPU traversal of the convolution kernels: the taps outer over a strip of result pixels whose
// accumulators stay in vector registers for the whole walk, a group of result rows sharing every
// input vector they read, the groups split between the threads. Every pixel still meets its taps
// in the kernel's order (dy outer, dx inner, one fused multiply-add each from 0.0), so the
// results are the kernel's bits, which a test checks. The input rows of a group are copied with
// the mirror applied at the left and right edges, so the edge columns run through the same
// vector strips as the inner ones.

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
#include <cstring>
#include <vector>

namespace lmx::cpu {
namespace {

constexpr int kMaxStrip = 128;  // the widest strip of any form, so the widest remainder too

// Result pixels [x0, x0 + n) of one row whose windows lie inside in x, n <= kMaxStrip, into
// dst[0 .. n): rows[k] is the input row of offset dy = k - yr, already mirrored.
void stripAnyWidth(const float* const* rows, const float* taps, int xr, int yr, int x0, int n,
                   float* dst) {
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
    for (int i = 0; i < n; ++i) dst[i] = acc[i];
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
                typename L::Vector v = L::load(row + d + i * L::kLanes);
                // Held in a register for both rows: folded into each multiply-add instead, the
                // load would run twice, and the loads, not the multiply-adds, would set the pace.
                asm("" : "+v"(v));
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

// kRows result rows y ... y + kRows - 1 over [x0, x0 + kVectors * lanes), each input vector
// loaded once for all of them: rows[k] is the input row y - yr + k (k = 0 .. 2 yr + kRows - 1),
// which row y + j weighs with taps row k - j where that is a row of the table. Each row meets
// its taps in order, k and with it the taps row rising, dx rising within each.
template <class L, int kRows, int kVectors>
__attribute__((always_inline)) inline void stripRowsOf(const float* const* rows, const float* taps,
                                                       int xr, int yr, int x0, float* const* out) {
    using V = typename L::Vector;
    V a[kRows][kVectors];
    _Pragma("GCC unroll 16") for (int j = 0; j < kRows; ++j) LMX_EACH_VECTOR a[j][i] = L::zero();
    const int span = 2 * xr + 1;
    for (int k = 0; k < 2 * yr + kRows; ++k) {
        const float* row = rows[k] + x0 - xr;
        // Result rows jlo ... jhi reach input row k.
        const int jlo = k - 2 * yr > 0 ? k - 2 * yr : 0, jhi = k < kRows - 1 ? k : kRows - 1;
        for (int d = 0; d < span; ++d) {
            V v[kVectors];
            LMX_EACH_VECTOR {
                v[i] = L::load(row + d + i * L::kLanes);
                asm("" : "+v"(v[i]));  // one load for every row (see stripPairOf)
            }
            _Pragma("GCC unroll 16") for (int j = 0; j < kRows; ++j) {
                if (j < jlo || j > jhi) continue;
                const V c = L::broadcast(taps + (k - j) * span + d);
                LMX_EACH_VECTOR a[j][i] = L::fma(c, v[i], a[j][i]);
            }
        }
    }
    _Pragma("GCC unroll 16") for (int j = 0; j < kRows; ++j)
        LMX_EACH_VECTOR L::store(out[j] + x0 + i * L::kLanes, a[j][i]);
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
// Four rows of four vectors of sixteen: sixteen accumulators, four input vectors and a tap in
// the 32 registers, two loads (a vector, a tap) per four multiply-adds.
constexpr int kGroupRows512 = 4;
constexpr int kGroupStrip512 = 64;

LMX_AVX512 void stripGroup512(const float* const* rows, const float* taps, int xr, int yr, int x0,
                              float* const* out) {
    stripRowsOf<Lanes16, kGroupRows512, kGroupStrip512 / 16>(rows, taps, xr, yr, x0, out);
}
#endif

#else  // no vector strips: the same walk, left to the compiler

constexpr int kStrip = 64;
constexpr int kPairStrip = 48;

void strip(const float* const* rows, const float* taps, int xr, int yr, int x0, float* out) {
    stripAnyWidth(rows, taps, xr, yr, x0, kStrip, out + x0);
}
void stripPair(const float* const* rows, const float* taps, int xr, int yr, int x0, float* out0,
               float* out1) {
    stripAnyWidth(rows, taps, xr, yr, x0, kPairStrip, out0 + x0);
    stripAnyWidth(rows + 1, taps, xr, yr, x0, kPairStrip, out1 + x0);
}
#endif

// The input rows a group of result rows reads, with the pixels beyond the left and right edges
// mirrored: row k is input row y0 + k (mirrored in y). A strip reads the rows through the
// pointers of a piece that holds all its columns, at their own positions: rows(x0)[k][x] is the
// pixel at the mirrored position of x. A narrow row is copied whole; of a wide one only the
// columns the edge strips read, the strips between reading the input in place. Each edge pixel
// so meets the same mirrored pixels with the same taps in the same order as through the
// kernel's Mirror body.
class PaddedRows {
public:
    // For rows of w pixels, taps of radius xr and strips `width` columns wide.
    PaddedRows(int rows, int w, int xr, int width)
        : w_(w),
          xr_(xr),
          edge_(2 * xr + 2 * width),
          whole_(w < 2 * edge_),
          span_(whole_ ? w + 2 * xr : 2 * (edge_ + xr)),
          pixels_(static_cast<std::size_t>(rows) * span_) {}

    // Takes `count` rows from y0 of the w x h plane at `in`.
    void fill(const float* in, int h, int y0, int count) {
        for (int k = 0; k < count; ++k) {
            const float* src = in + static_cast<std::size_t>(Mirror::index(y0 + k, h)) * w_;
            float* p = pixels_.data() + static_cast<std::size_t>(k) * span_;
            inPlace_[k] = src;
            if (whole_) {
                copy(src, -xr_, w_ + xr_, p);
                left_[k] = right_[k] = p + xr_;
                continue;
            }
            copy(src, -xr_, edge_, p);
            left_[k] = p + xr_;
            copy(src, w_ - edge_, w_ + xr_, p + edge_ + xr_);
            right_[k] = p + edge_ + xr_ - (w_ - edge_);
        }
    }

    // The rows for a strip over the columns [x0, x0 + width), which reads [x0 - xr, x0 + width
    // + xr).
    const float* const* rows(int x0, int width) const {
        if (whole_ || x0 < xr_) return left_;      // reads below 2 xr + width <= edge_
        if (x0 + width + xr_ > w_) return right_;  // reads from above w - width - 2 xr
        return inPlace_;
    }

private:
    // The pixels at the mirrored positions of [a, b) of the row `src`, to dst.
    void copy(const float* src, int a, int b, float* dst) const {
        const int lo = std::max(a, 0), hi = std::min(b, w_);
        for (int x = a; x < lo; ++x) dst[x - a] = src[Mirror::index(x, w_)];
        if (hi > lo)
            std::memcpy(dst + (lo - a), src + lo,
                        static_cast<std::size_t>(hi - lo) * sizeof(float));
        for (int x = std::max(hi, a); x < b; ++x) dst[x - a] = src[Mirror::index(x, w_)];
    }

    int w_, xr_, edge_;
    bool whole_;
    int span_;
    std::vector<float> pixels_;
    // Row pointers, each with room for the rows of a group of up to 4 result rows.
    const float* inPlace_[kLumerixMaxTaps + 4];
    const float* left_[kLumerixMaxTaps + 4];
    const float* right_[kLumerixMaxTaps + 4];
};

// Columns [0, w) of result row `first` of a group in strips of kStrip; the last strip ends at w,
// going over columns the one before computed again (with the same bits) rather than leaving a
// narrower remainder.
void oneRow(const PaddedRows& padded, int first, const float* taps, int xr, int yr, int w,
            float* o) {
    if (w < kStrip) {
        stripAnyWidth(padded.rows(0, w) + first, taps, xr, yr, 0, w, o);
        return;
    }
    for (int x = 0;; x += kStrip) {
        if (x + kStrip > w) x = w - kStrip;
        strip(padded.rows(x, kStrip) + first, taps, xr, yr, x, o);
        if (x + kStrip == w) break;
    }
}

// kRows result rows over the columns [x0, x0 + width) of the group's strip: rows[k] is the
// input row y - yr + k of the group's first row y, out[j] result row y + j.
using GroupStrip = void (*)(const float* const*, const float*, int, int, int, float* const*);

void pairGroup(const float* const* rows, const float* taps, int xr, int yr, int x0,
               float* const* out) {
    stripPair(rows, taps, xr, yr, x0, out[0], out[1]);
}

// The rows in groups of kRows, the groups split between the threads, each thread copying the
// input rows of a group once (PaddedRows); kGroup computes kWidth columns of a group. A last
// group of fewer rows, or a plane narrower than a strip, goes row by row.
template <int kRows, int kWidth, GroupStrip kGroup>
void convolveGroups(const float* in, float* out, int w, int h, int xr, int yr) {
    static_assert(kWidth <= kMaxStrip && kStrip <= kMaxStrip, "remainders fit stripAnyWidth");
    static_assert(kRows <= 4, "PaddedRows holds the rows of groups of up to 4 result rows");
    const float* taps = filterTaps();
    const long long work = 1LL * w * h * (2 * xr + 1) * (2 * yr + 1);
    const int groups = h / kRows + (h % kRows ? 1 : 0);
    parallelParts(std::min(teamSize(), groups), work, [&](int id, int count) {
        long long g0, g1;
        partRange(groups, id, count, g0, g1);
        if (g0 >= g1) return;
        PaddedRows padded(2 * yr + kRows, w, xr, std::max(kWidth, kStrip));
        for (long long g = g0; g < g1; ++g) {
            const int y = static_cast<int>(g) * kRows, n = std::min(kRows, h - y);
            padded.fill(in, h, y - yr, 2 * yr + n);
            float* o[kRows];
            for (int j = 0; j < n; ++j) o[j] = out + static_cast<std::size_t>(y + j) * w;
            if (n < kRows || w < kWidth) {
                for (int j = 0; j < n; ++j) oneRow(padded, j, taps, xr, yr, w, o[j]);
                continue;
            }
            for (int x = 0;; x += kWidth) {
                if (x + kWidth > w) x = w - kWidth;  // the last strip ends at w
                kGroup(padded.rows(x, kWidth), taps, xr, yr, x, o);
                if (x + kWidth == w) break;
            }
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
    if (wideStrips)
        return convolveGroups<kGroupRows512, kGroupStrip512, &stripGroup512>(in, out, w, h, xr, yr);
#endif
    convolveGroups<2, kPairStrip, &pairGroup>(in, out, w, h, xr, yr);
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
