#pragma once
// Filters with a chosen border over the first w x h plane of an image: correlation with any
// table of taps, its one-dimensional passes along rows and along columns, and the median. Each
// result pixel is computed from the window around it in the source; the border number
// (BorderRule) says how positions outside the plane read, `cval` what Constant reads there. The
// correlations write a strip of rows per thread on the GPU (kRowsPerThread), the median one
// pixel.

#include "kernels/BorderFilterOps.h"
#include "kernels/Dialect.h"
#include "kernels/FilterConstants.h"

#include <cstddef>

namespace lmx::bf {

//! Every result pixel of the plane: f(x, y, window) under the border number's rule, the window
//! reaching hx and hy around the pixel.
template <class F>
LMX_DEVICE void windowPlane(const float* in, float* out, int w, int h, int hx, int hy, int border,
                            float cval, F f) {
    withBorder(border, [&](auto rule) {
        using Border = decltype(rule);
        forEachStagedPixel2D(w, h, hx, hy, Source<Border>{in, w, h, cval},
                             Source<NoBorder>{in, w, h, cval}, [=](int x, int y, const auto& win) {
                                 out[static_cast<std::size_t>(y) * w + x] = f(win);
                             });
    });
}

//! The correlation of every pixel of the plane, in strips of rows (forEachStagedRows2D): a
//! thread of the GPU reads each row of the tile once for every result of its strip.
LMX_DEVICE void correlatePlane(const float* in, const float* taps, float* out, int w, int h, int xr,
                               int yr, int border, float cval) {
    withBorder(border, [&](auto rule) {
        using Border = decltype(rule);
        forEachStagedRows2D(w, h, xr, yr, Source<Border>{in, w, h, cval},
                            Source<NoBorder>{in, w, h, cval},
                            [=](int x, int y, auto rows, int n, const auto& win) {
                                correlateInto(out, w, x, y, rows, n, win, taps, xr, yr);
                            });
    });
}

}  // namespace lmx::bf

// Correlation with the (2 xr + 1) x (2 yr + 1) taps in d_kernel: (source, result, w, h, xr, yr,
// border, cval). Reads the window around each pixel; writes the first plane of the result.
LMX_KERNEL LumerixCorrelateBorderI2I(float* in, float* out, int w, int h, int xr, int yr,
                                     int border, float cval) {
    lmx::bf::correlatePlane(in, d_kernel, out, w, h, xr, yr, border, cval);
}

// The same with the taps in device memory, for tables larger than d_kernel: (source, taps,
// result, w, h, xr, yr, border, cval).
LMX_KERNEL LumerixCorrelateBorderIT2I(float* in, float* taps, float* out, int w, int h, int xr,
                                      int yr, int border, float cval) {
    lmx::bf::correlatePlane(in, taps, out, w, h, xr, yr, border, cval);
}

// One-dimensional correlation along each row with the 2 r + 1 taps in device memory: (source,
// taps, result, w, h, r, border, cval). Reads x - r .. x + r of row y.
LMX_KERNEL LumerixCorrelateRowsIT2I(float* in, float* taps, float* out, int w, int h, int r,
                                    int border, float cval) {
    lmx::bf::correlatePlane(in, taps, out, w, h, r, 0, border, cval);
}

// The same along each column: reads y - r .. y + r of column x.
LMX_KERNEL LumerixCorrelateColumnsIT2I(float* in, float* taps, float* out, int w, int h, int r,
                                       int border, float cval) {
    lmx::bf::correlatePlane(in, taps, out, w, h, 0, r, border, cval);
}

// The median of the (2 xr + 1) x (2 yr + 1) window around each pixel: (source, result, w, h,
// xr, yr, border). At most kMaxMedianWindow pixels; Constant reads 0.
LMX_KERNEL LumerixMedianI2I(float* in, float* out, int w, int h, int xr, int yr, int border) {
    lmx::bf::windowPlane(in, out, w, h, xr, yr, border, 0.0f,
                         [=](const auto& win) { return lmx::bf::medianWindow(win, xr, yr); });
}
