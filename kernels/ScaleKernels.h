#pragma once
// Scaling by interpolation and the affine warp with a border. Each thread writes one pixel of
// the result's w x h plane from the source's sw x sh plane; positions follow the convention
// that pixel centres lie at half-integers (result pixel x covers source [x s, (x + 1) s) for a
// scale s = sw / w), so results agree with the usual image libraries' resizing.

#include "kernels/BorderSampling.h"
#include "kernels/Borders.h"
#include "kernels/Dialect.h"
#include "kernels/GeometricSampling.h"
#include "kernels/ScaleTaps.h"

#include <math.h>

#include <cstddef>

namespace lmx::scale {

LMX_DEVICE void affineBorderPlane(const float* src, float a, float b, float c, float d, float e,
                                  float f, int border, float cval, float* dst, int w, int h) {
    withBorder(border, [&](auto rule) {
        using Border = decltype(rule);
        forEachPixel2D(w, h, [=](int x, int y) {
            const float fxp = static_cast<float>(x), fyp = static_cast<float>(y);
            const float xs = a * fxp + b * fyp + c;
            const float ys = d * fxp + e * fyp + f;
            dst[static_cast<std::size_t>(y) * w + x] =
                borderSample<Border>(src, w, h, xs, ys, cval);
        });
    });
}

}  // namespace lmx::scale

// Nearest: result (x, y) of the w x h plane reads the one source pixel whose area holds its
// centre: (src, sw, sh, dst, w, h).
LMX_KERNEL LumerixScaleNearestI2I(float* src, int sw, int sh, float* dst, int w, int h) {
    lmx::forEachPixel2D(w, h, [=](int x, int y) {
        const int u = lmx::scale::nearestIndex(x, sw, w);
        const int v = lmx::scale::nearestIndex(y, sh, h);
        dst[static_cast<std::size_t>(y) * w + x] = src[static_cast<std::size_t>(v) * sw + u];
    });
}

// Affine warp with a border: result (x, y) of the w x h plane samples the source (of the same
// size) bilinearly at (a x + b y + c, d x + e y + f), its four neighbours read through the
// border number's rule (Constant reads cval); a non-finite position gives NaN.
LMX_KERNEL LumerixAffineBorderI2I(float* src, float a, float b, float c, float d, float e, float f,
                                  int border, float cval, float* dst, int w, int h) {
    lmx::scale::affineBorderPlane(src, a, b, c, d, e, f, border, cval, dst, w, h);
}

// Separable taps in two passes. The tables (ScaleTaps.h) hold every column's and every row's
// source indices, already clamped to the source, and weights, so each pass only loads and
// multiply-adds. The row pass interpolates along x each source row that some result row reads
// (rows[r], once each): tmp[r, x] = the sum over i < T of src[rows[r], xi[x T + i]] xw[x T + i].
// The column pass blends those rows along y: dst[y, x] = the sum over j < T of
// tmp[yi[y T + j], x] yw[y T + j], yi indexing the interpolated rows. Both sums run from 0 in tap
// order, as a single pass over the 2-D neighbourhood would.
namespace lmx::scale {

template <int T>
LMX_DEVICE void rowPass(const float* src, int sw, float* tmp, int w, int count, const int* rows,
                        const int* xi, const float* xw) {
    forEachPixel2D(w, count, [=](int x, int r) {
        const float* row = src + static_cast<std::size_t>(rows[r]) * sw;
        float acc = 0.0f;
        for (int i = 0; i < T; ++i) acc += row[xi[x * T + i]] * xw[x * T + i];
        tmp[static_cast<std::size_t>(r) * w + x] = acc;
    });
}

template <int T>
LMX_DEVICE void columnPass(const float* tmp, float* dst, int w, int h, const int* yi,
                           const float* yw) {
    forEachPixel2D(w, h, [=](int x, int y) {
        float out = 0.0f;
        for (int j = 0; j < T; ++j)
            out += tmp[static_cast<std::size_t>(yi[y * T + j]) * w + x] * yw[y * T + j];
        dst[static_cast<std::size_t>(y) * w + x] = out;
    });
}

}  // namespace lmx::scale

// Row pass: (src, sw, tmp, w, count, taps, rows, xi, xw) over the w x count plane of tmp; taps
// is 2 (linear) or 4 (cubic), other counts write nothing.
LMX_KERNEL LumerixScaleRowsI2I(float* src, int sw, float* tmp, int w, int count, int taps,
                               int* rows, int* xi, float* xw) {
    if (taps == 2) lmx::scale::rowPass<2>(src, sw, tmp, w, count, rows, xi, xw);
    if (taps == 4) lmx::scale::rowPass<4>(src, sw, tmp, w, count, rows, xi, xw);
}

// Column pass: (tmp, dst, w, h, taps, yi, yw) over the result's w x h plane.
LMX_KERNEL LumerixScaleColumnsI2I(float* tmp, float* dst, int w, int h, int taps, int* yi,
                                  float* yw) {
    if (taps == 2) lmx::scale::columnPass<2>(tmp, dst, w, h, yi, yw);
    if (taps == 4) lmx::scale::columnPass<4>(tmp, dst, w, h, yi, yw);
}

// Spans (area, shrinking): column x reads xi[2 x + 1] source pixels from xi[2 x] with the
// weights xw[x tx ...], row y likewise with yi and yw[y ty ...]; the sums run as the taps':
// (src, sw, dst, w, h, tx, xi, xw, ty, yi, yw).
LMX_KERNEL LumerixScaleSpansI2I(float* src, int sw, float* dst, int w, int h, int tx, int* xi,
                                float* xw, int ty, int* yi, float* yw) {
    lmx::forEachPixel2D(w, h, [=](int x, int y) {
        const int u0 = xi[2 * x], nu = xi[2 * x + 1];
        const int v0 = yi[2 * y], nv = yi[2 * y + 1];
        const float* cw = xw + static_cast<std::size_t>(x) * tx;
        const float* rw = yw + static_cast<std::size_t>(y) * ty;
        float out = 0.0f;
        for (int j = 0; j < nv; ++j) {
            const float* r = src + static_cast<std::size_t>(v0 + j) * sw + u0;
            float acc = 0.0f;
            for (int i = 0; i < nu; ++i) acc += r[i] * cw[i];
            out += acc * rw[j];
        }
        dst[static_cast<std::size_t>(y) * w + x] = out;
    });
}
