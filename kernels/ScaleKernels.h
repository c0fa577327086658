#pragma once
// Scaling by interpolation and the affine warp with a border. Each thread writes one pixel of
// the result's w x h plane from the source's sw x sh plane; positions follow the convention
// that pixel centres lie at half-integers (result pixel x covers source [x s, (x + 1) s) for a
// scale s = sw / w), so results agree with the usual image libraries' resizing.

#include "kernels/Borders.h"
#include "kernels/Dialect.h"
#include "kernels/GeometricSampling.h"
#include "kernels/ScaleTaps.h"

#include <math.h>

#include <cstddef>

namespace lmx::scale {

// The bilinear blend of the 2 x 2 neighbourhood at corner (x0, y0) with weights (fx, fy), its
// pixels read through Border (Outside reads cval).
template <class Border>
LMX_HD float gatherBlend(const float* src, int sw, int sh, int x0, int y0, float fx, float fy,
                         float cval) {
    const int u0 = Border::index(x0, sw), u1 = Border::index(x0 + 1, sw);
    const int v0 = Border::index(y0, sh), v1 = Border::index(y0 + 1, sh);
    const float* r0 = v0 < 0 ? nullptr : src + static_cast<std::size_t>(v0) * sw;
    const float* r1 = v1 < 0 ? nullptr : src + static_cast<std::size_t>(v1) * sw;
    const float p00 = r0 ? borderRead<Border>(r0, u0, cval) : cval;
    const float p01 = r1 ? borderRead<Border>(r1, u0, cval) : cval;
    const float p10 = r0 ? borderRead<Border>(r0, u1, cval) : cval;
    const float p11 = r1 ? borderRead<Border>(r1, u1, cval) : cval;
    return geo::blend(p00, p01, p10, p11, fx, fy);
}

// The bilinear sample of the sw x sh source at (xs, ys) with neighbours outside read through
// Border (Outside reads cval); a non-finite position gives NaN. Neighbourhoods wholly inside
// take the same blend without the border's tests.
template <class Border>
LMX_HD float borderSample(const float* src, int sw, int sh, float xs, float ys, float cval) {
    if (!(fabsf(xs) <= geo::kFloatMax && fabsf(ys) <= geo::kFloatMax)) return NAN;
    const float xf = floorf(xs), yf = floorf(ys);
    const float fx = xs - xf, fy = ys - yf;
    const int x0 = geo::floorIndex(xf), y0 = geo::floorIndex(yf);
    if (x0 >= 0 && x0 < sw - 1 && y0 >= 0 && y0 < sh - 1)
        return gatherBlend<NoBorder>(src, sw, sh, x0, y0, fx, fy, cval);
    return gatherBlend<Border>(src, sw, sh, x0, y0, fx, fy, cval);
}

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

// Separable taps: result (x, y) is the sum over j < TY of yw[y TY + j] times the sum over i < TX
// of src[yi[y TY + j], xi[x TX + i]] xw[x TX + i], each sum accumulated from 0 in tap order. The
// tables (ScaleTaps.h) hold every column's and every row's indices, already clamped to the
// source, and weights, so the pixel does loads and multiply-adds only.
namespace lmx::scale {

template <int TX, int TY>
LMX_DEVICE void tapsPlane(const float* src, int sw, float* dst, int w, int h, const int* xi,
                          const float* xw, const int* yi, const float* yw) {
    forEachPixel2D(w, h, [=](int x, int y) {
        float out = 0.0f;
        for (int j = 0; j < TY; ++j) {
            const float* r = src + static_cast<std::size_t>(yi[y * TY + j]) * sw;
            float acc = 0.0f;
            for (int i = 0; i < TX; ++i) acc += r[xi[x * TX + i]] * xw[x * TX + i];
            out += acc * yw[y * TY + j];
        }
        dst[static_cast<std::size_t>(y) * w + x] = out;
    });
}

}  // namespace lmx::scale

// (src, sw, dst, w, h, taps, xi, xw, yi, yw): taps is 2 (linear) or 4 (cubic) along both axes;
// other counts write nothing.
LMX_KERNEL LumerixScaleTapsI2I(float* src, int sw, float* dst, int w, int h, int taps, int* xi,
                               float* xw, int* yi, float* yw) {
    if (taps == 2) lmx::scale::tapsPlane<2, 2>(src, sw, dst, w, h, xi, xw, yi, yw);
    if (taps == 4) lmx::scale::tapsPlane<4, 4>(src, sw, dst, w, h, xi, xw, yi, yw);
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
