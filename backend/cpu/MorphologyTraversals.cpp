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
// kernel's mirrored ones, and both folds run in the kernel's window order (left to right, top
// to bottom, from the fold's start), so the first of equal values in row order is kept: the
// kernel's bits, signed zeros and NaN included. A row position repeated by the clamp is folded
// in twice, which changes nothing.

// The most threads a square fold splits its rows between.
constexpr int kMaxParts = 64;

// Copies the w floats at `row` to `out` with streaming stores for its whole lines.
inline void streamRow(float* out, const float* row, int w) {
    int x = std::min(w, elementsToLine(out, 0));
    std::memcpy(out, row, static_cast<std::size_t>(x) * sizeof(float));
    for (; x + kLineBytes / 4 <= w; x += kLineBytes / 4) streamLine(out + x, row + x);
    std::memcpy(out + x, row + x, static_cast<std::size_t>(w - x) * sizeof(float));
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
#endif

// out[x] = the fold of from[0][x], from[1][x], ... from[n - 1][x] in that order, from the fold's
// start, for x in [lo, hi), n >= 1.
template <class Fold>
void foldSources(const float* const* from, int n, float* out, int lo, int hi) {
    int x = lo;
#if defined(__AVX2__)
    using V = VectorFold<Fold>;
    const __m256 start = _mm256_set1_ps(Fold::start());
    // Four vectors at a time, so that each source pointer is read once per 32 pixels.
    for (; x + 32 <= hi; x += 32) {
        __m256 a0 = start, a1 = start, a2 = start, a3 = start;
        for (int k = 0; k < n; ++k) {
            const float* p = from[k] + x;
            a0 = V::fold(a0, _mm256_loadu_ps(p));
            a1 = V::fold(a1, _mm256_loadu_ps(p + 8));
            a2 = V::fold(a2, _mm256_loadu_ps(p + 16));
            a3 = V::fold(a3, _mm256_loadu_ps(p + 24));
        }
        _mm256_storeu_ps(out + x, a0);
        _mm256_storeu_ps(out + x + 8, a1);
        _mm256_storeu_ps(out + x + 16, a2);
        _mm256_storeu_ps(out + x + 24, a3);
    }
    for (; x + 8 <= hi; x += 8) {
        __m256 a = start;
        for (int k = 0; k < n; ++k) a = V::fold(a, _mm256_loadu_ps(from[k] + x));
        _mm256_storeu_ps(out + x, a);
    }
#endif
    for (; x < hi; ++x) {
        float m = Fold::start();
        for (int k = 0; k < n; ++k) m = Fold::fold(m, from[k][x]);
        out[x] = m;
    }
}

// Row `row` of a w-pixel plane folded across the clamped window of radius r of each pixel, into
// `across`; `from` has room for 2r + 1 pointers. The pixels whose window lies inside read the
// row itself; the others their clamped positions one by one.
template <class Fold>
void foldAcross(const float* row, float* across, const float** from, int w, int r) {
    const int lo = std::min(r, w), hi = std::max(w - r, lo);
    auto clamped = [&](int x) {
        float m = Fold::start();
        for (int j = x - r; j <= x + r; ++j) m = Fold::fold(m, row[std::clamp(j, 0, w - 1)]);
        across[x] = m;
    };
    for (int x = 0; x < lo; ++x) clamped(x);
    for (int j = 0; j <= 2 * r; ++j) from[j] = row + j - r;
    foldSources<Fold>(from, 2 * r + 1, across, lo, hi);
    for (int x = hi; x < w; ++x) clamped(x);
}

// Which zeros a row holds: bit 0 for +0, bit 1 for -0.
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

// The square of radius r over the w x h plane, src to dst. Each thread takes a band of result
// rows and keeps the 2r + 1 input rows folded across that the band's next row needs, each input
// row folded once (plus r rows above and below the band). Returns which zeros the input rows
// read hold (zerosOf), when `zeros` asks for it.
template <class Fold>
unsigned squareFold(const float* src, float* dst, int w, int h, int r, bool zeros) {
    // Input rows held folded across: the 2r + 1 of one result row and one more, the row that a
    // pair of result rows adds below them.
    const int held = 2 * r + 2;
    const bool stream = streamsResult(static_cast<std::size_t>(w) * h * sizeof(float));
    unsigned seen[kMaxParts] = {};
    const int parts = std::min(teamSize(), kMaxParts);
    parallelParts(parts, 1LL * w * h * held, [&](int id, int count) {
        long long first, last;
        partRange(h, id, count, first, last);
        if (first >= last) return;
        // Slot j % held holds input row j folded across; the rows a pair of result rows needs
        // are consecutive, so they never share a slot. Three more rows: the fold of the rows two
        // result rows share, and the results on their way to streaming stores.
        std::vector<float> scratch(static_cast<std::size_t>(w) * (held + 3));
        float* slots = scratch.data();
        float* shared = slots + static_cast<std::size_t>(w) * held;
        float* lines[2] = {shared + w, shared + 2 * w};
        std::vector<const float*> rows(static_cast<std::size_t>(held)), pads(rows.size());
        auto slot = [&](int j) {
            return slots + static_cast<std::size_t>(j % held) * w;
        };
        int next = static_cast<int>(std::max(0LL, first - r));  // next input row to fold
        unsigned found = 0;
        auto foldRowsUpTo = [&](int hi) {
            for (; next <= hi; ++next) {
                const float* in = src + static_cast<std::size_t>(next) * w;
                if (zeros) found |= zerosOf(in, w);
                foldAcross<Fold>(in, slot(next), pads.data(), w, r);
            }
        };
        // Result row y (the k-th of a pair) as the fold of n rows.
        auto emit = [&](int y, int k, const float* const* from, int n) {
            float* out = dst + static_cast<std::size_t>(y) * w;
            foldSources<Fold>(from, n, stream ? lines[k] : out, 0, w);
            if (stream) streamRow(out, lines[k], w);
        };
        for (int y = static_cast<int>(first); y < last;) {
            const int lo = std::max(0, y - r), hi = std::min(h - 1, y + r);
            if (r == 1 || y + 1 >= last) {
                // In the rows' order, as the kernel folds them.
                foldRowsUpTo(hi);
                for (int j = lo; j <= hi; ++j) rows[j - lo] = slot(j);
                emit(y, 0, rows.data(), hi - lo + 1);
                ++y;
                continue;
            }
            // Rows y and y + 1 share rows y + 1 - r ... y + r; each adds one row of its own,
            // where that row lies inside. The order of the fold matters only to signed zeros,
            // which the callers of wider folds have ruled out.
            foldRowsUpTo(std::min(h - 1, y + 1 + r));
            const int sharedLo = std::max(0, y + 1 - r);
            for (int j = sharedLo; j <= hi; ++j) rows[j - sharedLo] = slot(j);
            foldSources<Fold>(rows.data(), hi - sharedLo + 1, shared, 0, w);
            const float* own[2] = {shared, nullptr};
            own[1] = y - r >= 0 ? slot(y - r) : shared;
            emit(y, 0, own, 2);
            own[1] = y + 1 + r < h ? slot(y + 1 + r) : shared;
            emit(y + 1, 1, own, 2);
            y += 2;
        }
        if (stream) fenceStreamingStores();
        seen[id] = found;
    });
    unsigned all = 0;
    for (unsigned s : seen) all |= s;
    return all;
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
    constexpr int kMaxFoldRadius = 8;
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
