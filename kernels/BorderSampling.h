#pragma once
// The bilinear sample with a border, shared by the warp with a border and its CPU traversal:
// the neighbourhood's four pixels read through a border rule, and the rule of one sample.

#include "kernels/Borders.h"
#include "kernels/Dialect.h"
#include "kernels/GeometricSampling.h"

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

}  // namespace lmx::scale
