// CPU traversals of the morphology kernels (the convolution's are in ConvolveTraversal.cpp).
//
// Run through forEachPixel2D, the kernels test every pixel for the border and walk each
// pixel's window alone. These traversals resolve a row's neighbour rows once (mirrored), run
// the columns whose window lies inside through the NoBorder instantiation of the same window
// walk and the edge columns through Mirror, and split the rows between the threads. The results
// are the kernels' bits, which a test checks.

#include "backend/cpu/Traversal.h"
#include "kernels/Kernels.h"
#include "kernels/NeighborhoodOps.h"

#include <cstddef>
#include <memory>

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

template <class Fold>
inline float fold3(float a, float b, float c) {
    return Fold::fold(Fold::fold(Fold::fold(Fold::start(), a), b), c);
}

// Row r of the plane folded over each pixel's three columns, the columns mirrored at the ends.
template <class Fold>
void foldAcross(const float* row, float* across, int w) {
    across[0] = fold3<Fold>(row[Mirror::index(-1, w)], row[0], row[Mirror::index(1, w)]);
    LMX_SIMD
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
    parallelParts(teamSize(), 1LL * w * h, [=](int id, int parts) {
        long long first, last;
        partRange(h, id, parts, first, last);
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
        for (int y = static_cast<int>(first); y < last; ++y) {
            const float* up = across(Mirror::index(y - 1, h));
            const float* mid = across(y);
            const float* down = across(Mirror::index(y + 1, h));
            float* out = dst + static_cast<std::size_t>(y) * w;
            LMX_SIMD
            for (int x = 0; x < w; ++x) out[x] = fold3<Fold>(up[x], mid[x], down[x]);
        }
    });
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
