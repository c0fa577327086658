#pragma once
// Sampling helpers of the geometric kernels, shared with the CPU traversals: the corner of a
// bilinear neighbourhood, the blend, and the affine warp's per-pixel rule.

#include "kernels/Borders.h"
#include "kernels/Dialect.h"

#include <math.h>

namespace lmx::geo {

// Largest float below 2^31: a clamped position converts to int without overflow.
constexpr float kIntRange = 2147483520.0f;
// Half the int range: an index and its right neighbour both fit in an int.
constexpr float kHalfIntRange = 1073741824.0f;
// Largest finite float; |v| <= kFloatMax is false for NaN and for both infinities.
constexpr float kFloatMax = 3.402823466e38f;

// Corner of the 2 x 2 neighbourhood that samples position s of an axis of n pixels: the
// integer part of s clamped to [0, n - 2] (0 when n is 1). The float is clamped before it is
// converted, so that NaN, infinities and huge positions convert safely (NaN gives 0).
LMX_HD int cornerOf(float s, int n) {
    const float inRange = fminf(fmaxf(s, 0.0f), kIntRange);
    return ClampCorner::index(static_cast<int>(inRange), n);
}

// The bilinear blend of the four pixels (u0, v0), (u0, v1), (u1, v0), (u1, v1) with weights
// (fx, fy), in the order that keeps the identity exact: a weight of 0 or 1 selects a pixel.
LMX_HD float blend(float p00, float p01, float p10, float p11, float fx, float fy) {
    return (1.0f - fx) * ((1.0f - fy) * p00 + fy * p01) + fx * ((1.0f - fy) * p10 + fy * p11);
}

// The per-pixel rule of the affine warp, shared by the kernel and the CPU traversals. Result
// pixel (x, y) samples source position (a x + b y + c, d x + e y + f) from the clamped corner's
// neighbourhood, extrapolating outside the image; a non-finite position gives NaN. An axis of
// one pixel uses its single column or row with weight 0.
LMX_HD float affineAt(const float* src, float a, float b, float c, float d, float e, float f, int w,
                      int h, int x, int y) {
    const float fxp = static_cast<float>(x), fyp = static_cast<float>(y);
    const float xs = a * fxp + b * fyp + c;
    const float ys = d * fxp + e * fyp + f;
    const int xc = cornerOf(xs, w), yc = cornerOf(ys, h);
    const int x1 = xc + (w > 1 ? 1 : 0), y1 = yc + (h > 1 ? 1 : 0);
    const float wx = w > 1 ? xs - static_cast<float>(xc) : 0.0f;
    const float wy = h > 1 ? ys - static_cast<float>(yc) : 0.0f;
    const int r0 = yc * w, r1 = y1 * w;
    const float v = blend(src[r0 + xc], src[r1 + xc], src[r0 + x1], src[r1 + x1], wx, wy);
    return fabsf(xs) <= kFloatMax && fabsf(ys) <= kFloatMax ? v : NAN;
}

// Integer part (floor) of a sampling position, clamped first so that it converts safely.
LMX_HD int floorIndex(float s) {
    return static_cast<int>(fminf(fmaxf(s, -kHalfIntRange), kHalfIntRange));
}

}  // namespace lmx::geo
