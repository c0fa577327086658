// CPU traversals of the morphology kernels (the convolution's are in ConvolveTraversal.cpp), and
// the fold of several square passes into one.
//
// Run through forEachPixel2D, the kernels test every pixel for the border and walk each
// pixel's window alone. The cross's traversal resolves a row's neighbour rows once (mirrored),
// runs the columns whose window lies inside through the NoBorder instantiation of the same
// window walk and the edge columns through Mirror; the square's folds across rows and then down
// columns. Both split the rows between the threads. The results are the kernels' bits, which a
// test checks.

#include "backend/cpu/Traversal.h"
#include "kernels/Kernels.h"
#include "kernels/NeighborhoodOps.h"
#include "runtime/Backend.h"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace lmx::cpu {
namespace {

// ---- morphology -----------------------------------------------------------------------------

// The cross: each row's three neighbour rows resolved once, its inner columns vectorised.
template <class Footprint, class Fold>
void morphologyRows(const float* src, float* dst, int w, int h) {
    parallelRows(h, 1LL * w * h, [=](int y) {
        const nb::Rows3 r = nb::rowsOf<Mirror>(src, w, h, y);
        float* out = dst + static_cast<std::size_t>(y) * w;
        out[0] = Footprint::template window<Fold, Mirror>(r, 0, w);
        LMX_SIMD
        for (int x = 1; x < w - 1; ++x)
            out[x] = Footprint::template window<Fold, NoBorder>(r, x, w);
        if (w > 1) out[w - 1] = Footprint::template window<Fold, Mirror>(r, w - 1, w);
    });
}

// ---- the square, by rows and columns --------------------------------------------------------
//
// The (2r + 1) x (2r + 1) square with the edge rows and columns repeated beyond the plane is a
// fold across each row (its pixels x - r ... x + r, clamped) followed by a fold down the column
// of those row results (rows y - r ... y + r, clamped). For r = 1 the clamped positions are the
// kernel's mirrored ones. Among equal values the kernel keeps the first in its window order (row
// after row, left to right); so does every fold here: a fold across a row keeps its first, and
// the folds down a column take their rows in order, an earlier operand kept on a tie. A row
// position repeated by the clamp is folded in twice, which changes nothing.

// The most threads a square fold splits its rows between.
constexpr int kMaxParts = 64;
// The widest square folded in one go (radius); foldSquarePasses splits wider ones.
constexpr int kMaxFoldRadius = 8;

// Copies the w floats at `row` to `out` with streaming stores for its whole lines.
inline void streamRow(float* out, const float* row, int w) {
    int x = std::min(w, elementsToLine(out, 0));
    std::memcpy(out, row, static_cast<std::size_t>(x) * sizeof(float));
    for (; x + kLineBytes / 4 <= w; x += kLineBytes / 4) streamLine(out + x, row + x);
    std::memcpy(out + x, row + x, static_cast<std::size_t>(w - x) * sizeof(float));
}

// Which zeros the w floats at `row` hold: bit 0 for +0, bit 1 for -0.
inline unsigned zerosOf(const float* row, int w) {
    unsigned positive = 0, negative = 0;
    LMX_SIMD
    for (int x = 0; x < w; ++x) {
        std::uint32_t bits;
        std::memcpy(&bits, row + x, sizeof bits);
        positive |= bits == 0u;
        negative |= bits == 0x80000000u;
    }
    return (positive ? 1u : 0u) | (negative ? 2u : 0u);
}

// The fold of one vector of pixels into a vector of accumulators: MINPS and MAXPS return their
// second operand unless the first is less (greater), which is Fold::fold(acc, v) lane by lane,
// NaN and signed zeros included.
#if defined(__AVX2__)
template <class Fold>
struct VectorFold;
template <>
struct VectorFold<nb::MinFold> {
    static __m256 fold(__m256 acc, __m256 v) { return _mm256_min_ps(v, acc); }
};
template <>
struct VectorFold<nb::MaxFold> {
    static __m256 fold(__m256 acc, __m256 v) { return _mm256_max_ps(v, acc); }
};

// Which zeros the vector holds, as zerosOf, into two masks of lanes.
inline void noteZeros(__m256 v, __m256i& positive, __m256i& negative) {
    const __m256i bits = _mm256_castps_si256(v);
    positive = _mm256_or_si256(positive, _mm256_cmpeq_epi32(bits, _mm256_setzero_si256()));
    negative = _mm256_or_si256(
        negative, _mm256_cmpeq_epi32(bits, _mm256_set1_epi32(static_cast<int>(0x80000000u))));
}
#endif

// Row `row` of a w-pixel plane folded across the clamped window of radius kR of each pixel, into
// `across`. The pixels whose window lies inside read it at fixed offsets from one pointer, four
// vectors at a time; the others read their clamped positions one by one. With kZeros, returns
// which zeros the row holds (zerosOf), noted as the row goes by.
template <class Fold, int kR, bool kZeros>
unsigned foldAcross(const float* row, float* across, int w) {
    constexpr int kSpan = 2 * kR + 1;
    const int lo = std::min(kR, w), hi = std::max(w - kR, lo);
    auto clamped = [&](int x) {
        float m = Fold::start();
        for (int j = x - kR; j <= x + kR; ++j) m = Fold::fold(m, row[std::clamp(j, 0, w - 1)]);
        across[x] = m;
    };
    for (int x = 0; x < lo; ++x) clamped(x);
    int x = lo;
    unsigned zeros = 0;
#if defined(__AVX2__)
    using V = VectorFold<Fold>;
    const __m256 start = _mm256_set1_ps(Fold::start());
    __m256i positive = _mm256_setzero_si256(), negative = positive;
    for (; x + 32 <= hi; x += 32) {
        const float* p = row + x - kR;
        __m256 a0 = start, a1 = start, a2 = start, a3 = start;
        _Pragma("GCC unroll 17") for (int d = 0; d < kSpan; ++d) {
            a0 = V::fold(a0, _mm256_loadu_ps(p + d));
            a1 = V::fold(a1, _mm256_loadu_ps(p + d + 8));
            a2 = V::fold(a2, _mm256_loadu_ps(p + d + 16));
            a3 = V::fold(a3, _mm256_loadu_ps(p + d + 24));
        }
        if (kZeros)
            for (int k = 0; k < 4; ++k)
                noteZeros(_mm256_loadu_ps(row + x + 8 * k), positive, negative);
        _mm256_storeu_ps(across + x, a0);
        _mm256_storeu_ps(across + x + 8, a1);
        _mm256_storeu_ps(across + x + 16, a2);
        _mm256_storeu_ps(across + x + 24, a3);
    }
    if (kZeros)
        zeros = (_mm256_testz_si256(positive, positive) ? 0u : 1u) |
                (_mm256_testz_si256(negative, negative) ? 0u : 2u);
#endif
    // The pixels the vectors above have not seen.
    if (kZeros) zeros |= zerosOf(row, lo) | zerosOf(row + x, w - x);
    for (; x < hi; ++x) {
        float m = Fold::start();
        for (int d = 0; d < kSpan; ++d) m = Fold::fold(m, row[x - kR + d]);
        across[x] = m;
    }
    for (x = hi; x < w; ++x) clamped(x);
    return zeros;
}

// The column folds of two result rows at once: out0[x] = the fold of before[x], from[0][x], ...
// from[n - 1][x] and out1[x] = the fold of from[0][x], ... from[n - 1][x], after[x], each in that
// order, for x in [0, w), n >= 1. The rows are row folds, never NaN, so each fold may start
// from its first row instead of Fold::start(): the same bits.
template <class Fold>
void foldDown(const float* const* from, int n, const float* before, const float* after, float* out0,
              float* out1, int w) {
    int x = 0;
#if defined(__AVX2__)
    using V = VectorFold<Fold>;
    for (; x + 32 <= w; x += 32) {
        const float* p = from[0] + x;
        __m256 a0 = _mm256_loadu_ps(p), a1 = _mm256_loadu_ps(p + 8), a2 = _mm256_loadu_ps(p + 16),
               a3 = _mm256_loadu_ps(p + 24);
        for (int k = 1; k < n; ++k) {
            p = from[k] + x;
            a0 = V::fold(a0, _mm256_loadu_ps(p));
            a1 = V::fold(a1, _mm256_loadu_ps(p + 8));
            a2 = V::fold(a2, _mm256_loadu_ps(p + 16));
            a3 = V::fold(a3, _mm256_loadu_ps(p + 24));
        }
        // The row before comes first: on a tie it stays.
        _mm256_storeu_ps(out0 + x, V::fold(_mm256_loadu_ps(before + x), a0));
        _mm256_storeu_ps(out0 + x + 8, V::fold(_mm256_loadu_ps(before + x + 8), a1));
        _mm256_storeu_ps(out0 + x + 16, V::fold(_mm256_loadu_ps(before + x + 16), a2));
        _mm256_storeu_ps(out0 + x + 24, V::fold(_mm256_loadu_ps(before + x + 24), a3));
        _mm256_storeu_ps(out1 + x, V::fold(a0, _mm256_loadu_ps(after + x)));
        _mm256_storeu_ps(out1 + x + 8, V::fold(a1, _mm256_loadu_ps(after + x + 8)));
        _mm256_storeu_ps(out1 + x + 16, V::fold(a2, _mm256_loadu_ps(after + x + 16)));
        _mm256_storeu_ps(out1 + x + 24, V::fold(a3, _mm256_loadu_ps(after + x + 24)));
    }
#endif
    for (; x < w; ++x) {
        float m = from[0][x];
        for (int k = 1; k < n; ++k) m = Fold::fold(m, from[k][x]);
        out0[x] = Fold::fold(before[x], m);
        out1[x] = Fold::fold(m, after[x]);
    }
}

// The column folds of four result rows at once, for a square of radius r >= 2 whose rows all
// lie inside: from[i] is the row y - r + i folded across (i = 0 ... 2r + 3) and out[j] receives
// row y + j, the fold of from[j] ... from[j + 2r] in that order. The rows the four share are
// folded once; those above them are folded from the bottom up and those below from the top down,
// each pair with the earlier row first, so that every result keeps the first of equal values as
// the fold in row order does.
template <class Fold>
void foldDownFour(const float* const* from, int r, float* const* out, int w) {
    const int last = 2 * r + 3;
    int x = 0;
#if defined(__AVX2__)
    using V = VectorFold<Fold>;
    auto at = [&](int i) {
        return _mm256_loadu_ps(from[i] + x);
    };
    for (; x + 8 <= w; x += 8) {
        __m256 shared = at(3);
        for (int i = 4; i <= 2 * r; ++i) shared = V::fold(shared, at(i));
        const __m256 s2 = at(2), s1 = V::fold(at(1), s2), s0 = V::fold(at(0), s1);
        const __m256 p0 = at(last - 2), p1 = V::fold(p0, at(last - 1)), p2 = V::fold(p1, at(last));
        _mm256_storeu_ps(out[0] + x, V::fold(s0, shared));
        _mm256_storeu_ps(out[1] + x, V::fold(V::fold(s1, shared), p0));
        _mm256_storeu_ps(out[2] + x, V::fold(V::fold(s2, shared), p1));
        _mm256_storeu_ps(out[3] + x, V::fold(shared, p2));
    }
#endif
    for (; x < w; ++x) {
        float shared = from[3][x];
        for (int i = 4; i <= 2 * r; ++i) shared = Fold::fold(shared, from[i][x]);
        const float s2 = from[2][x], s1 = Fold::fold(from[1][x], s2),
                    s0 = Fold::fold(from[0][x], s1);
        const float p0 = from[last - 2][x], p1 = Fold::fold(p0, from[last - 1][x]),
                    p2 = Fold::fold(p1, from[last][x]);
        out[0][x] = Fold::fold(s0, shared);
        out[1][x] = Fold::fold(Fold::fold(s1, shared), p0);
        out[2][x] = Fold::fold(Fold::fold(s2, shared), p1);
        out[3][x] = Fold::fold(shared, p2);
    }
}

// The square of radius kR over the w x h plane, src to dst. Each thread takes a band of result
// rows, four at a time where kR >= 2 and their rows lie inside, two at a time otherwise, and keeps
// the input rows folded across that the next group needs, each input row folded once (plus kR rows
// above and below the band). Returns which zeros the input rows read hold (zerosOf), when `zeros`
// asks for it.
template <class Fold, int kR>
unsigned squareFoldOf(const float* src, float* dst, int w, int h, bool zeros) {
    // Input rows held folded across: the 2 kR + 4 four result rows read (2 kR + 2 for a pair).
    constexpr bool kFours = kR >= 2;
    constexpr int kHeld = kFours ? 2 * kR + 4 : 2 * kR + 2;
    const bool stream = streamsResult(static_cast<std::size_t>(w) * h * sizeof(float));
    unsigned seen[kMaxParts] = {};
    const int parts = std::min(teamSize(), kMaxParts);
    parallelParts(parts, 1LL * w * h * kHeld, [&](int id, int count) {
        long long first, last;
        partRange(h, id, count, first, last);
        if (first >= last) return;
        // Slot j % kHeld holds input row j folded across; the rows a group of result rows reads
        // are consecutive, so they never share a slot. Four more rows: the results on their way
        // to streaming stores (or a single row's unused second result).
        std::vector<float> scratch(static_cast<std::size_t>(w) * (kHeld + 4));
        float* slots = scratch.data();
        float* lines[4];
        for (int k = 0; k < 4; ++k) lines[k] = slots + static_cast<std::size_t>(w) * (kHeld + k);
        const float* rows[kHeld];
        auto slot = [&](int j) -> const float* {
            return slots + static_cast<std::size_t>(j % kHeld) * w;
        };
        int next = static_cast<int>(std::max(0LL, first - kR));  // next input row to fold
        unsigned found = 0;
        auto foldRowsUpTo = [&](int hi) {
            for (; next <= hi; ++next) {
                const float* in = src + static_cast<std::size_t>(next) * w;
                float* to = slots + static_cast<std::size_t>(next % kHeld) * w;
                found |= zeros ? foldAcross<Fold, kR, true>(in, to, w)
                               : foldAcross<Fold, kR, false>(in, to, w);
            }
        };
        for (int y = static_cast<int>(first); y < last;) {
            float* out0 = dst + static_cast<std::size_t>(y) * w;
            if (kFours && y - kR >= 0 && y + 3 + kR < h && y + 3 < last) {
                foldRowsUpTo(y + 3 + kR);
                for (int i = 0; i < 2 * kR + 4; ++i) rows[i] = slot(y - kR + i);
                float* to[4];
                for (int j = 0; j < 4; ++j) to[j] = stream ? lines[j] : out0 + 1LL * j * w;
                foldDownFour<Fold>(rows, kR, to, w);
                if (stream)
                    for (int j = 0; j < 4; ++j) streamRow(out0 + 1LL * j * w, lines[j], w);
                y += 4;
                continue;
            }
            const bool two = y + 1 < last;
            // Rows lo ... hi are read by both results (by the one, without a second); the row
            // above them by row y alone, the row below by row y + 1 alone, where they lie inside.
            const int lo = std::max(0, (two ? y + 1 : y) - kR), hi = std::min(h - 1, y + kR);
            const int below = two ? std::min(h - 1, y + 1 + kR) : hi;
            foldRowsUpTo(below);
            for (int j = lo; j <= hi; ++j) rows[j - lo] = slot(j);
            const int n = hi - lo + 1;
            // A missing row is stood in for by the shared row next to it: the same bits.
            const float* before = y - kR >= 0 && lo > y - kR ? slot(y - kR) : rows[0];
            const float* after = below > hi ? slot(below) : rows[n - 1];
            float* to0 = stream ? lines[0] : out0;
            float* to1 = stream || !two ? lines[1] : out0 + w;
            foldDown<Fold>(rows, n, before, after, to0, to1, w);
            if (stream) {
                streamRow(out0, lines[0], w);
                if (two) streamRow(out0 + w, lines[1], w);
            }
            y += two ? 2 : 1;
        }
        if (stream) fenceStreamingStores();
        seen[id] = found;
    });
    unsigned all = 0;
    for (unsigned s : seen) all |= s;
    return all;
}

template <class Fold, int... kR>
unsigned squareFoldRadius(const float* src, float* dst, int w, int h, int r, bool zeros,
                          std::integer_sequence<int, kR...>) {
    using Fn = unsigned (*)(const float*, float*, int, int, bool);
    static constexpr Fn kFolds[] = {&squareFoldOf<Fold, kR + 1>...};
    return kFolds[r - 1](src, dst, w, h, zeros);
}

// The square of radius r, 1 <= r <= kMaxFoldRadius (squareFoldOf).
template <class Fold>
unsigned squareFold(const float* src, float* dst, int w, int h, int r, bool zeros) {
    return squareFoldRadius<Fold>(src, dst, w, h, r, zeros,
                                  std::make_integer_sequence<int, kMaxFoldRadius>{});
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
        squareFold<Fold>(src, dst, w, h, 1, false);
    }
};

template <class Footprint, class Fold>
void morphology(const float* src, float* dst, int w, int h) {
    if (w <= 0 || h <= 0) return;
    // The margins only choose between two paths that read the same pixels.
    Morphology<Footprint, Fold>::run(src, dst, w, h);
}

}  // namespace

// A launch that does not cover the plane runs the kernel as written.
void erosionCross(float* src, float* dst, int w, int h, int mx, int my) {
    if (!coversPlane(w, h)) return LumerixErosion4I2I(src, dst, w, h, mx, my);
    morphology<nb::Cross, nb::MinFold>(src, dst, w, h);
}
void erosionSquare(float* src, float* dst, int w, int h, int mx, int my) {
    if (!coversPlane(w, h)) return LumerixErosionI2I(src, dst, w, h, mx, my);
    morphology<nb::Square, nb::MinFold>(src, dst, w, h);
}
void dilationCross(float* src, float* dst, int w, int h, int mx, int my) {
    if (!coversPlane(w, h)) return LumerixDilation4I2I(src, dst, w, h, mx, my);
    morphology<nb::Cross, nb::MaxFold>(src, dst, w, h);
}
void dilationSquare(float* src, float* dst, int w, int h, int mx, int my) {
    if (!coversPlane(w, h)) return LumerixDilationI2I(src, dst, w, h, mx, my);
    morphology<nb::Square, nb::MaxFold>(src, dst, w, h);
}

}  // namespace lmx::cpu

// Passes of the 3 x 3 square fold into one square of radius `passes`: min and max are exact, and
// the mirrored border of one pass repeats the edge pixel, so n passes read exactly the pixels of
// the square of radius n clamped to the plane. The values are the same whichever way they are
// folded; which of +0 and -0 a tie keeps is not (n passes keep the first zero along a path
// through n windows, one square keeps the first in row order), so an input holding zeros of
// both signs is declined and runs pass by pass. Radii are folded at most kMaxFoldRadius at a
// time, each fold reading its own result of the one before through `spare`.
bool lmx::foldSquarePasses(const float* src, float* spare, float* dst, int w, int h, int passes,
                           bool dilation) {
    using namespace lmx::cpu;
    if (passes < 2 || w <= 0 || h <= 0) return false;
    // Beyond the longer side a wider square reads no more pixels.
    const int radius = std::min(passes, std::max(w, h));
    const int folds = radius / kMaxFoldRadius + (radius % kMaxFoldRadius ? 1 : 0);
    const float* from = src;
    for (int i = 0; i < folds; ++i) {
        // The last fold writes dst; the ones before alternate so that none reads what it writes.
        float* to = (folds - 1 - i) % 2 == 0 ? dst : spare;
        const int r = i + 1 < folds ? kMaxFoldRadius : radius - kMaxFoldRadius * (folds - 1);
        const bool first = i == 0;
        const unsigned zeros = dilation ? squareFold<nb::MaxFold>(from, to, w, h, r, first)
                                        : squareFold<nb::MinFold>(from, to, w, h, r, first);
        if (first && zeros == 3u) return false;
        from = to;
    }
    return true;
}
