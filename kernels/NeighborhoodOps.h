#pragma once
// Per-pixel work of the neighbourhood filters, shared by the kernels (NeighborhoodKernels.h)
// and the CPU traversals.
//
// Each window walk is written once and takes the border rule as a template parameter: the
// kernels run the interior through NoBorder (no position tests) and the rest through Mirror, so
// the two paths cannot drift apart. Rows are resolved by the caller (rowsOf), columns inside the
// walk, so a CPU traversal can resolve a row's neighbours once and run its columns through
// NoBorder.

#include "kernels/Borders.h"
#include "kernels/Dialect.h"

#include <math.h>

#include <cstddef>

namespace lmx::nb {

// Folds of the morphology. The accumulator starts beyond every pixel value (so that pixels of
// +inf and -inf come out right) and is never NaN; a NaN pixel loses every comparison and is
// passed over. Among equal values (+0 and -0) the first one in window order stays.
struct MinFold {
    LMX_HD static float start() { return INFINITY; }
    LMX_HD static float fold(float acc, float v) { return v < acc ? v : acc; }
};
struct MaxFold {
    LMX_HD static float start() { return -INFINITY; }
    LMX_HD static float fold(float acc, float v) { return v > acc ? v : acc; }
};

// The three rows around row y of a w x h plane, the row index resolved by the border rule.
struct Rows3 {
    const float* up;
    const float* mid;
    const float* down;
};
template <class Border>
LMX_HD Rows3 rowsOf(const float* in, int w, int h, int y) {
    return Rows3{in + static_cast<std::size_t>(Border::index(y - 1, h)) * w,
                 in + static_cast<std::size_t>(y) * w,
                 in + static_cast<std::size_t>(Border::index(y + 1, h)) * w};
}

// The pixel with its four edge neighbours: five reads, no loop, in row order.
struct Cross {
    //! Whether the window takes the row dy from its centre whole (else its centre column only).
    LMX_HD static constexpr bool wholeRow(int dy) { return dy == 0; }

    template <class Fold, class Border>
    LMX_HD static float window(const Rows3& r, int x, int w) {
        float m = Fold::start();
        m = Fold::fold(m, r.up[x]);
        m = Fold::fold(m, r.mid[Border::index(x - 1, w)]);
        m = Fold::fold(m, r.mid[x]);
        m = Fold::fold(m, r.mid[Border::index(x + 1, w)]);
        m = Fold::fold(m, r.down[x]);
        return m;
    }
};

// The 3 x 3 square, walked row by row, three pixels per row.
struct Square {
    LMX_HD static constexpr bool wholeRow(int) { return true; }

    template <class Fold, class Border>
    LMX_HD static float window(const Rows3& r, int x, int w) {
        const int xl = Border::index(x - 1, w), xr = Border::index(x + 1, w);
        float m = Fold::start();
        m = row<Fold>(m, r.up, xl, x, xr);
        m = row<Fold>(m, r.mid, xl, x, xr);
        return row<Fold>(m, r.down, xl, x, xr);
    }

private:
    template <class Fold>
    LMX_HD static float row(float m, const float* p, int xl, int x, int xr) {
        m = Fold::fold(m, p[xl]);
        m = Fold::fold(m, p[x]);
        return Fold::fold(m, p[xr]);
    }
};

// The windows of the R pixels (x, y + j), j < R, folded together: each row from y - 1 to
// y + R is read once and folded into every window that holds it, each window taking its rows
// top to bottom and each row left to right as Footprint::window does, so every result has the
// bits of its own window. Positions are mirrored (the same as NoBorder inside the plane); only
// the first n windows are needed, and rows past them are not read.
template <class Footprint, class Fold, int R>
LMX_HD void foldStrip(const float* in, int w, int h, int x, int y, int n, float (&m)[R]) {
    const int xl = Mirror::index(x - 1, w), xr = Mirror::index(x + 1, w);
    for (int j = 0; j < R; ++j) m[j] = Fold::start();
    for (int r = -1; r <= R; ++r) {
        if (r > n) break;
        const float* p = in + static_cast<std::size_t>(Mirror::index(y + r, h)) * w;
        const float centre = p[x];
        for (int j = 0; j < R; ++j) {
            const int dy = r - j;
            if (dy < -1 || dy > 1) continue;
            if (Footprint::wholeRow(dy)) m[j] = Fold::fold(m[j], p[xl]);
            m[j] = Fold::fold(m[j], centre);
            if (Footprint::wholeRow(dy)) m[j] = Fold::fold(m[j], p[xr]);
        }
    }
}

// The correlation of pixel (x, y) with a (2 xr + 1) x (2 yr + 1) table of taps laid out row
// after row: dy outer, dx inner, one fused multiply-add per tap from 0.0, so that every backend
// and traversal gives the same bits.
template <class Border>
LMX_HD float correlate(const float* in, int w, int h, int x, int y, const float* taps, int xr,
                       int yr) {
    const int span = 2 * xr + 1;
    float acc = 0.0f;
    for (int dy = -yr; dy <= yr; ++dy) {
        const float* row = in + static_cast<std::size_t>(Border::index(y + dy, h)) * w;
        const float* t = taps + (dy + yr) * span + xr;
        for (int dx = -xr; dx <= xr; ++dx) acc = fmaf(t[dx], row[Border::index(x + dx, w)], acc);
    }
    return acc;
}

}  // namespace lmx::nb
