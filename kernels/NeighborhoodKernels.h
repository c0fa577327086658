#pragma once
// Morphology and convolution kernels over the first w x h plane of an image; each thread writes
// a strip of result pixels down a column (kRowsPerThread on the GPU, one on the CPU) and reads
// the windows around them in the source, mirrored at the edges.

#include "kernels/BorderFilterOps.h"
#include "kernels/Dialect.h"
#include "kernels/FilterConstants.h"
#include "kernels/NeighborhoodOps.h"

#include <cstddef>

namespace lmx::nb {

// One pass of a morphology kernel over the w x h plane. Pixels at least the margins (never less
// than 1) away from every edge take the path without position tests. A thread of the GPU folds
// the windows of a strip of rows together (foldStrip), reading each source row once for all.
template <class Footprint, class Fold>
LMX_DEVICE void morphologyPass(const float* src, float* dst, int w, int h, int mx, int my) {
    const int marginX = mx < 1 ? 1 : mx, marginY = my < 1 ? 1 : my;
    forEachPixelRows2D(w, h, [=](int x, int y, auto rows, int n) {
        constexpr int kRows = decltype(rows)::count;
        if constexpr (kRows == 1) {
            const bool inside = x >= marginX && x < w - marginX && y >= marginY && y < h - marginY;
            dst[static_cast<std::size_t>(y) * w + x] =
                inside
                    ? Footprint::template window<Fold, NoBorder>(rowsOf<NoBorder>(src, w, h, y), x,
                                                                 w)
                    : Footprint::template window<Fold, Mirror>(rowsOf<Mirror>(src, w, h, y), x, w);
        } else {
            float m[kRows];
            foldStrip<Footprint, Fold>(src, w, h, x, y, n, m);
            for (int j = 0; j < kRows; ++j)
                if (j < n) dst[static_cast<std::size_t>(y + j) * w + x] = m[j];
        }
    });
}

// A convolution over the w x h plane: each block stages its tile of the source, mirrored at the
// edges as it is read, in shared memory once (forEachStagedRows2D), and every pixel then walks
// its window there, with the taps and the order of the multiply-adds of correlate(); a thread
// of the GPU walks the windows of its strip of rows together (bf::correlateInto). The margins
// only chose between two paths of equal results and are no longer needed.
LMX_DEVICE void convolvePlane(const float* in, float* out, int w, int h, const float* taps, int xr,
                              int yr, int /*mx*/, int /*my*/) {
    forEachStagedRows2D(w, h, xr, yr, bf::Source<Mirror>{in, w, h, 0.0f},
                        bf::Source<NoBorder>{in, w, h, 0.0f},
                        [=](int x, int y, auto rows, int n, const auto& win) {
                            bf::correlateInto(out, w, x, y, rows, n, win, taps, xr, yr);
                        });
}

}  // namespace lmx::nb

// Erosion and dilation: (source, destination, w, h, margin x, margin y); the host passes
// margins of 1. Each writes every pixel of the destination's plane from the source alone.
LMX_KERNEL LumerixErosion4I2I(float* src, float* dst, int w, int h, int mx, int my) {
    lmx::nb::morphologyPass<lmx::nb::Cross, lmx::nb::MinFold>(src, dst, w, h, mx, my);
}
LMX_KERNEL LumerixErosionI2I(float* src, float* dst, int w, int h, int mx, int my) {
    lmx::nb::morphologyPass<lmx::nb::Square, lmx::nb::MinFold>(src, dst, w, h, mx, my);
}
LMX_KERNEL LumerixDilation4I2I(float* src, float* dst, int w, int h, int mx, int my) {
    lmx::nb::morphologyPass<lmx::nb::Cross, lmx::nb::MaxFold>(src, dst, w, h, mx, my);
}
LMX_KERNEL LumerixDilationI2I(float* src, float* dst, int w, int h, int mx, int my) {
    lmx::nb::morphologyPass<lmx::nb::Square, lmx::nb::MaxFold>(src, dst, w, h, mx, my);
}

// Correlation with the square table of radius r in d_kernel: (source, r, result, w, h,
// margin x, margin y). No operation launches it.
LMX_KERNEL LumerixConvolveID2I(float* in, int r, float* out, int w, int h, int mx, int my) {
    lmx::nb::convolvePlane(in, out, w, h, d_kernel, r, r, mx, my);
}

// Correlation with the (2 xr + 1) x (2 yr + 1) table in d_kernel: (source, xr, yr, result, w, h,
// margin x, margin y); the host passes the radii again as the margins.
LMX_KERNEL LumerixConvolveIDD2I(float* in, int xr, int yr, float* out, int w, int h, int mx,
                                int my) {
    lmx::nb::convolvePlane(in, out, w, h, d_kernel, xr, yr, mx, my);
}
