// Element-wise binary and unary operators: one pixel-wise launch each.

#include <lumerix/LumerixPixel.h>

#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"
#include "platform/ApiLock.h"

#include <stdexcept>

LMX_REPORTED_UNIT("LumerixPixel.cpp")

namespace {

using Binary = void (*)(float*, float*, float*, int);
using WithScalar = void (*)(float*, float, float*, int);
using Unary = void (*)(float*, float*, int);

Lumerix imageImage(Binary kernel, Lumerix& a, Lumerix& b) {
    LMX_API_ENTRY();
    // Equal extents are not enough: Lumerix() and an image of cmmDims(1) have equal extents but
    // 0 and 1 pixels, and the kernel would read a pixel that was never written.
    // The extents are read once: each read copies them.
    const cmm::cmmDims dims = a.GetDimensions();
    const cmm::cmmDims other = b.GetDimensions();
    if (dims != other || dims.Size() != other.Size())
        throw std::runtime_error("Image sizes do not match");
    Lumerix r(dims);
    const int n = dims.Size();
    lmx::LockGuard locks;
    float* da = locks.lock(a);
    float* db = locks.lock(b);
    float* dr = locks.lock(r);
    lmx::launchPixels(kernel, n, da, db, dr, n);
    LumerixCheck(cudaGetLastError());
    locks.release();
    return r;
}

// Both scalar forms pass (image, scalar); the kernel decides which operand is on the left.
Lumerix imageScalar(WithScalar kernel, Lumerix& a, float s) {
    LMX_API_ENTRY();
    const cmm::cmmDims dims = a.GetDimensions();
    Lumerix r(dims);
    const int n = dims.Size();
    lmx::LockGuard locks;
    float* da = locks.lock(a);
    float* dr = locks.lock(r);
    lmx::launchPixels(kernel, n, da, s, dr, n);
    LumerixCheck(cudaGetLastError());
    locks.release();
    return r;
}

Lumerix unary(Unary kernel, Lumerix& a) {
    LMX_API_ENTRY();
    const cmm::cmmDims dims = a.GetDimensions();
    Lumerix r(dims);
    const int n = dims.Size();
    lmx::LockGuard locks;
    float* da = locks.lock(a);
    float* dr = locks.lock(r);
    lmx::launchPixels(kernel, n, da, dr, n);
    LumerixCheck(cudaGetLastError());
    locks.release();
    return r;
}

}  // namespace

#define LMX_DEFINE_BINARY(op, name)                               \
    Lumerix op(Lumerix& a, Lumerix& b) {                          \
        return imageImage(&LumerixPixel##name##II2I, a, b);       \
    }                                                             \
    Lumerix op(Lumerix& a, const float& s) {                      \
        return imageScalar(&LumerixPixel##name##IF2I, a, s);      \
    }                                                             \
    Lumerix op(const float& s, Lumerix& a) {                      \
        return imageScalar(&LumerixPixel##name##IF2I_swap, a, s); \
    }

LMX_DEFINE_BINARY(operator+, Add)
LMX_DEFINE_BINARY(operator-, Subt)
LMX_DEFINE_BINARY(operator*, Mul)
LMX_DEFINE_BINARY(operator/, Div)
LMX_DEFINE_BINARY(operator>, Greater)
LMX_DEFINE_BINARY(operator>=, GreaterEqual)
LMX_DEFINE_BINARY(operator<, Less)
LMX_DEFINE_BINARY(operator<=, LessEqual)
LMX_DEFINE_BINARY(operator==, Equal)
LMX_DEFINE_BINARY(operator&&, And)
LMX_DEFINE_BINARY(operator||, Or)
LMX_DEFINE_BINARY(operator&, BitAnd)
LMX_DEFINE_BINARY(operator|, BitOr)
LMX_DEFINE_BINARY(operator^, BitXor)
LMX_DEFINE_BINARY(fmax, Max)
LMX_DEFINE_BINARY(fmin, Min)

#undef LMX_DEFINE_BINARY

// clang-format off
Lumerix sqrt(Lumerix& a) { return unary(&LumerixPixelSqrtI2I, a); }
Lumerix log(Lumerix& a) { return unary(&LumerixPixelLogI2I, a); }
Lumerix abs(Lumerix& a) { return unary(&LumerixPixelAbsI2I, a); }
Lumerix operator!(Lumerix& a) { return unary(&LumerixPixelNotI2I, a); }
// clang-format on
