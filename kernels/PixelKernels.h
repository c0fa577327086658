#pragma once
// Element-wise kernels: each thread reads pixel i of its operands and writes pixel i of the result.

#include "kernels/Dialect.h"
#include "kernels/PixelMath.h"

#include <math.h>

// Image-image, image-scalar (image is the left operand) and scalar-image (scalar on the left);
// the two scalar forms take the same arguments.
#define LMX_BINARY_KERNELS(op)                                                   \
    LMX_KERNEL LumerixPixel##op##II2I(float* a, float* b, float* r, int n) {     \
        lmx::mapPixels(n, r, [=](int i) { return lmx::px::op(a[i], b[i]); });    \
    }                                                                            \
    LMX_KERNEL LumerixPixel##op##IF2I(float* a, float s, float* r, int n) {      \
        lmx::mapPixels(n, r, [=](int i) { return lmx::px::op(a[i], s); });       \
    }                                                                            \
    LMX_KERNEL LumerixPixel##op##IF2I_swap(float* a, float s, float* r, int n) { \
        lmx::mapPixels(n, r, [=](int i) { return lmx::px::op(s, a[i]); });       \
    }

LMX_BINARY_KERNELS(Add)
LMX_BINARY_KERNELS(Subt)
LMX_BINARY_KERNELS(Mul)
LMX_BINARY_KERNELS(Div)
LMX_BINARY_KERNELS(Greater)
LMX_BINARY_KERNELS(GreaterEqual)
LMX_BINARY_KERNELS(Less)
LMX_BINARY_KERNELS(LessEqual)
LMX_BINARY_KERNELS(Equal)
LMX_BINARY_KERNELS(And)
LMX_BINARY_KERNELS(Or)
LMX_BINARY_KERNELS(XOr)
LMX_BINARY_KERNELS(BitAnd)
LMX_BINARY_KERNELS(BitOr)
LMX_BINARY_KERNELS(BitXor)
LMX_BINARY_KERNELS(Max)
LMX_BINARY_KERNELS(Min)

#undef LMX_BINARY_KERNELS

// Unary kernels: (argument, result, pixel count).
LMX_KERNEL LumerixPixelSqrtI2I(float* a, float* r, int n) {
    lmx::mapPixels(n, r, [=](int i) { return sqrtf(a[i]); });
}
LMX_KERNEL LumerixPixelLogI2I(float* a, float* r, int n) {
    lmx::mapPixels(n, r, [=](int i) { return logf(a[i]); });
}
LMX_KERNEL LumerixPixelAbsI2I(float* a, float* r, int n) {
    lmx::mapPixels(n, r, [=](int i) { return fabsf(a[i]); });
}
LMX_KERNEL LumerixPixelNotI2I(float* a, float* r, int n) {
    lmx::mapPixels(n, r, [=](int i) { return lmx::px::truth(a[i] == 0.0f); });
}
