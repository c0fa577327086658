#pragma once
// Per-pixel work of the filters with a chosen border (BorderFilterKernels.h), shared by the
// kernels and the CPU traversals: how a source position is read under a border rule, the
// correlation of a window with a table of taps, and the median of a window.

#include "kernels/Borders.h"
#include "kernels/Dialect.h"

#include <math.h>
#include <string.h>

#include <cstddef>

namespace lmx::bf {

//! The most pixels a median window holds: 15 x 15, 45 x 5, 225 x 1 and the like.
constexpr int kMaxMedianWindow = 225;

//! A w x h source read at any position under the border rule Border; Outside reads cval.
template <class Border>
struct Source {
    const float* in;
    int w, h;
    float cval;

    LMX_HD float operator()(int px, int py) const {
        const int ry = Border::index(py, h);
        if (ry < 0) return cval;
        return borderRead<Border>(in + static_cast<std::size_t>(ry) * w, Border::index(px, w),
                                  cval);
    }
};

//! The correlation of one window with (2 xr + 1) x (2 yr + 1) taps laid out row after row:
//! dy outer, dx inner, one fused multiply-add per tap from 0.0, as convolve accumulates.
template <class Window>
LMX_HD float correlateWindow(const Window& win, const float* taps, int xr, int yr) {
    const int span = 2 * xr + 1;
    float acc = 0.0f;
    for (int dy = -yr; dy <= yr; ++dy) {
        const float* t = taps + (dy + yr) * span + xr;
        for (int dx = -xr; dx <= xr; ++dx) acc = fmaf(t[dx], win(dx, dy), acc);
    }
    return acc;
}

//! The correlations of the R windows of a strip (rows 0 .. R - 1 of win), each with the taps
//! and the order of correlateWindow: the window rows are walked once, top to bottom, and every
//! pixel read is multiplied into each result whose window holds it, so a result takes its rows
//! in order and each row left to right. Only the first n results are needed.
template <int R, class Window>
LMX_HD void correlateStrip(const Window& win, const float* taps, int xr, int yr, int n,
                           float (&acc)[R]) {
    const int span = 2 * xr + 1;
    for (int j = 0; j < R; ++j) acc[j] = 0.0f;
    for (int r = -yr; r < n + yr; ++r)
        for (int dx = -xr; dx <= xr; ++dx) {
            const float v = win(dx, r);
            for (int j = 0; j < R; ++j) {
                const int dy = r - j;
                if (j < n && dy >= -yr && dy <= yr)
                    acc[j] = fmaf(taps[(dy + yr) * span + dx + xr], v, acc[j]);
            }
        }
}

//! Writes the correlations of the strip of n <= R pixels (x, y + j) of a w-wide result.
template <int R, class Window>
LMX_HD void correlateInto(float* out, int w, int x, int y, Rows<R>, int n, const Window& win,
                          const float* taps, int xr, int yr) {
    if constexpr (R == 1) {
        out[static_cast<std::size_t>(y) * w + x] = correlateWindow(win, taps, xr, yr);
    } else {
        float acc[R];
        correlateStrip(win, taps, xr, yr, n, acc);
        for (int j = 0; j < R; ++j)
            if (j < n) out[static_cast<std::size_t>(y + j) * w + x] = acc[j];
    }
}

// The median orders pixels by a key that is one integer comparison: negative values below
// -0, -0 below +0, and every NaN (of either sign) above +inf. With one total order the median
// is one value to the bit, whichever way a backend or traversal selects it.

//! The ordering key of a pixel.
LMX_HD int medianKey(float v) {
    if (v != v) return 0x7fc00000;  // every NaN as the quiet NaN, above +inf (0x7f800000)
    int bits;
    memcpy(&bits, &v, sizeof bits);
    return bits < 0 ? bits ^ 0x7fffffff : bits;
}

//! The pixel of a key.
LMX_HD float medianValue(int key) {
    const int bits = key < 0 ? key ^ 0x7fffffff : key;
    float v;
    memcpy(&v, &bits, sizeof v);
    return v;
}

LMX_HD void orderPair(int& a, int& b) {
    const int lo = a < b ? a : b, hi = a < b ? b : a;
    a = lo;
    b = hi;
}

//! The median of a (2 xr + 1) x (2 yr + 1) window, by forgetful selection: of n = 2k + 1
//! values, k + 2 are held; each round drops the least and the greatest held (neither can be
//! the median) and takes in the next value, until one is left. The window has at most
//! kMaxMedianWindow pixels.
template <class Window>
LMX_HD float medianWindow(const Window& win, int xr, int yr) {
    const int span = 2 * xr + 1, n = span * (2 * yr + 1);
    int held[kMaxMedianWindow / 2 + 2];
    const int first = n / 2 + 2 < n ? n / 2 + 2 : n;
    int next = 0;
    auto take = [&]() {
        const int key = medianKey(win(next % span - xr, next / span - yr));
        ++next;
        return key;
    };
    int lo = 0, hi = 0;
    while (hi < first) held[hi++] = take();
    while (hi - lo > 1) {
        for (int i = lo + 1; i < hi; ++i) orderPair(held[lo], held[i]);
        for (int i = lo + 1; i < hi - 1; ++i) orderPair(held[i], held[hi - 1]);
        ++lo;
        --hi;
        if (next < n) held[hi++] = take();
    }
    return medianValue(held[lo]);
}

}  // namespace lmx::bf
