#pragma once
// Scaling by interpolation and the affine warp with a border. Each thread writes one pixel of
// the result's w x h plane from the source's sw x sh plane; positions follow the convention
// that pixel centres lie at half-integers (result pixel x covers source [x s, (x + 1) s) for a
// scale s = sw / w), so results agree with the usual image libraries' resizing.

#include "kernels/Borders.h"
#include "kernels/Dialect.h"
#include "kernels/GeometricSampling.h"

#include <math.h>

#include <cstddef>

namespace lmx::scale {

// The source pixel nearest to the centre of result pixel d, computed in 16.16 fixed point with
// a centre that lies exactly on a pixel boundary going to the lower pixel.
LMX_HD int nearestIndex(int d, int n, int dn) {
    const long long step = ((static_cast<long long>(n) << 16) + dn / 2) / dn;
    const long long s = (step / 2 - 1 + d * step) >> 16;
    return static_cast<int>(s < 0 ? 0 : (s >= n ? n - 1 : s));
}

// The sampling position of result pixel d (its centre mapped back to the source, less half a
// pixel): the integer part in i, the fraction returned.
LMX_HD float centreOf(int d, double scale, int& i) {
    const float f = static_cast<float>((d + 0.5) * scale - 0.5);
    const float fl = floorf(f);
    i = geo::floorIndex(fl);
    return f - fl;
}

// Linear taps i and i + 1 of an axis of n pixels: positions before the first or past the last
// pixel take that pixel with weight 1.
LMX_HD float linearTaps(int& i, float fx, int n) {
    if (i < 0) {
        i = 0;
        fx = 0.0f;
    }
    if (i >= n - 1) {
        i = n - 1;
        fx = 0.0f;
    }
    return fx;
}

// The four cubic weights at fraction x (Keys' kernel with a = -0.75).
LMX_HD void cubicWeights(float x, float* c) {
    const float a = -0.75f;
    c[0] = ((a * (x + 1) - 5 * a) * (x + 1) + 8 * a) * (x + 1) - 4 * a;
    c[1] = ((a + 2) * x - (a + 3)) * x * x + 1;
    c[2] = ((a + 2) * (1 - x) - (a + 3)) * (1 - x) * (1 - x) + 1;
    c[3] = 1.0f - c[0] - c[1] - c[2];
}

// Area weights along one axis when shrinking: result pixel d covers source [d s, d s + s),
// clipped to the n pixels. Pixels first .. last are read; the first and the last get their own
// weights (the parts of them covered), those between `inner`.
struct AreaSpan {
    int first, last;
    float wFirst, inner, wLast;
};

LMX_HD AreaSpan areaSpan(int d, double s, int n) {
    const double from = d * s, to = from + s;
    const double cell = fmin(s, n - from);
    int i1 = static_cast<int>(ceil(from));
    int i2 = static_cast<int>(floor(to));
    i2 = i2 < n - 1 ? i2 : n - 1;
    i1 = i1 < i2 ? i1 : i2;
    AreaSpan a;
    a.inner = static_cast<float>(1.0 / cell);
    const bool head = i1 - from > 1e-3;
    const double tail = fmin(fmin(to - i2, 1.0), cell);
    a.first = head ? i1 - 1 : i1;
    a.wFirst = head ? static_cast<float>((i1 - from) / cell) : a.inner;
    a.last = tail > 1e-3 ? i2 : i2 - 1;
    a.wLast = tail > 1e-3 ? static_cast<float>(tail / cell) : a.inner;
    // A span of one pixel that is both the head and the tail takes the head's weight.
    return a;
}

LMX_HD float areaWeight(const AreaSpan& a, int i) {
    return i == a.first ? a.wFirst : (i == a.last ? a.wLast : a.inner);
}

// Linear taps for growing by area: the fraction of result pixel d that the next source pixel
// covers (inv = result pixels per source pixel).
LMX_HD float areaGrowTaps(int d, double s, double inv, int n, int& i) {
    i = static_cast<int>(floor(d * s));
    float f = static_cast<float>((d + 1) - (i + 1) * inv);
    f = f <= 0.0f ? 0.0f : f - floorf(f);
    return linearTaps(i, f, n);
}

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

// Linear: reads the 2 x 2 source pixels around the centre's position, edge pixels repeated:
// (src, sw, sh, dst, w, h, sx, sy) with sx = sw / w and sy = sh / h.
LMX_KERNEL LumerixScaleLinearI2I(float* src, int sw, int sh, float* dst, int w, int h, double sx,
                                 double sy) {
    lmx::forEachPixel2D(w, h, [=](int x, int y) {
        int u, v;
        const float fx = lmx::scale::linearTaps(u, lmx::scale::centreOf(x, sx, u), sw);
        const float fy = lmx::scale::linearTaps(v, lmx::scale::centreOf(y, sy, v), sh);
        const int u1 = u + 1 < sw ? u + 1 : u, v1 = v + 1 < sh ? v + 1 : v;
        const float* r0 = src + static_cast<std::size_t>(v) * sw;
        const float* r1 = src + static_cast<std::size_t>(v1) * sw;
        const float a = r0[u] * (1.0f - fx) + r0[u1] * fx;
        const float b = r1[u] * (1.0f - fx) + r1[u1] * fx;
        dst[static_cast<std::size_t>(y) * w + x] = a * (1.0f - fy) + b * fy;
    });
}

// Cubic: reads the 4 x 4 source pixels around the centre's position, positions outside the
// source clamped to the edge: (src, sw, sh, dst, w, h, sx, sy).
LMX_KERNEL LumerixScaleCubicI2I(float* src, int sw, int sh, float* dst, int w, int h, double sx,
                                double sy) {
    lmx::forEachPixel2D(w, h, [=](int x, int y) {
        int u, v;
        float cx[4], cy[4];
        lmx::scale::cubicWeights(lmx::scale::centreOf(x, sx, u), cx);
        lmx::scale::cubicWeights(lmx::scale::centreOf(y, sy, v), cy);
        float sum = 0.0f;
        for (int j = 0; j < 4; ++j) {
            const int row = lmx::Nearest::index(v - 1 + j, sh);
            const float* r = src + static_cast<std::size_t>(row) * sw;
            float acc = 0.0f;
            for (int i = 0; i < 4; ++i) acc += r[lmx::Nearest::index(u - 1 + i, sw)] * cx[i];
            sum += acc * cy[j];
        }
        dst[static_cast<std::size_t>(y) * w + x] = sum;
    });
}

// Area, shrinking along both axes (sx, sy >= 1): the mean of the source area that result pixel
// (x, y) covers, pixels cut by its edges weighted by the part covered. Growing along either
// axis, linear taps at the positions that area weighting gives: (src, sw, sh, dst, w, h, sx, sy).
LMX_KERNEL LumerixScaleAreaI2I(float* src, int sw, int sh, float* dst, int w, int h, double sx,
                               double sy) {
    lmx::forEachPixel2D(w, h, [=](int x, int y) {
        float out;
        if (sx >= 1.0 && sy >= 1.0) {
            const lmx::scale::AreaSpan ax = lmx::scale::areaSpan(x, sx, sw);
            const lmx::scale::AreaSpan ay = lmx::scale::areaSpan(y, sy, sh);
            out = 0.0f;
            for (int v = ay.first; v <= ay.last; ++v) {
                const float* r = src + static_cast<std::size_t>(v) * sw;
                float acc = 0.0f;
                for (int u = ax.first; u <= ax.last; ++u)
                    acc += r[u] * lmx::scale::areaWeight(ax, u);
                out += acc * lmx::scale::areaWeight(ay, v);
            }
        } else {
            int u, v;
            const float fx = lmx::scale::areaGrowTaps(x, sx, static_cast<double>(w) / sw, sw, u);
            const float fy = lmx::scale::areaGrowTaps(y, sy, static_cast<double>(h) / sh, sh, v);
            const int u1 = u + 1 < sw ? u + 1 : u, v1 = v + 1 < sh ? v + 1 : v;
            const float* r0 = src + static_cast<std::size_t>(v) * sw;
            const float* r1 = src + static_cast<std::size_t>(v1) * sw;
            const float a = r0[u] * (1.0f - fx) + r0[u1] * fx;
            const float b = r1[u] * (1.0f - fx) + r1[u1] * fx;
            out = a * (1.0f - fy) + b * fy;
        }
        dst[static_cast<std::size_t>(y) * w + x] = out;
    });
}

// Affine warp with a border: result (x, y) of the w x h plane samples the source (of the same
// size) bilinearly at (a x + b y + c, d x + e y + f), its four neighbours read through the
// border number's rule (Constant reads cval); a non-finite position gives NaN.
LMX_KERNEL LumerixAffineBorderI2I(float* src, float a, float b, float c, float d, float e, float f,
                                  int border, float cval, float* dst, int w, int h) {
    lmx::scale::affineBorderPlane(src, a, b, c, d, e, f, border, cval, dst, w, h);
}
