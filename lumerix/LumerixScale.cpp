// Scaling and the affine warp with a border: launches of the plane shape over the result's
// planes. Arguments are checked before anything is allocated or locked; the source is locked,
// then the result, and both are released in lock order before the result is returned.

#include <lumerix/LumerixScale.h>

#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"

#include <cstddef>
#include <stdexcept>
#include <string>

LMX_REPORTED_UNIT("LumerixScale.cpp")

using cmm::cmmDims;

Lumerix scale(Lumerix& image, int width, int height, LumerixInterpolation method) {
    if (width < 1 || height < 1)
        throw std::invalid_argument("scale: size " + std::to_string(width) + " x " +
                                    std::to_string(height) + " is below 1 x 1");
    const int m = static_cast<int>(method);
    if (m < 0 || m > static_cast<int>(LumerixInterpolation::Area))
        throw std::invalid_argument("scale: unknown interpolation " + std::to_string(m));
    const cmmDims dims = image.GetDimensions();
    if (dims.Size() <= 0) throw std::invalid_argument("scale: the image has no pixels");
    const int sw = dims.Dim(0), sh = dims.Dim(1);
    const int planes = dims.Dim(2) * dims.Dim(3);
    Lumerix r(cmmDims(width, height, dims.Dim(2), dims.Dim(3)));
    // The scales as the peers compute them: the reciprocal of the result's pixels per source
    // pixel, in double.
    const double sx = 1.0 / (static_cast<double>(width) / sw);
    const double sy = 1.0 / (static_cast<double>(height) / sh);
    lmx::LockGuard locks;
    float* src = locks.lock(image);
    float* dst = locks.lock(r);
    const std::size_t in = static_cast<std::size_t>(sw) * sh;
    const std::size_t out = static_cast<std::size_t>(width) * height;
    for (int p = 0; p < planes; ++p) {
        float* s = src + p * in;
        float* d = dst + p * out;
        switch (method) {
            case LumerixInterpolation::Nearest:
                lmx::launchPlane(&LumerixScaleNearestI2I, width, height, s, sw, sh, d, width,
                                 height);
                break;
            case LumerixInterpolation::Linear:
                lmx::launchPlane(&LumerixScaleLinearI2I, width, height, s, sw, sh, d, width, height,
                                 sx, sy);
                break;
            case LumerixInterpolation::Cubic:
                lmx::launchPlane(&LumerixScaleCubicI2I, width, height, s, sw, sh, d, width, height,
                                 sx, sy);
                break;
            case LumerixInterpolation::Area:
                lmx::launchPlane(&LumerixScaleAreaI2I, width, height, s, sw, sh, d, width, height,
                                 sx, sy);
                break;
        }
        LumerixCheck(cudaGetLastError());
    }
    locks.release();
    return r;
}

Lumerix affine(Lumerix& image, const float* m, LumerixBorder border, float cval) {
    if (!m) throw std::invalid_argument("affine: the coefficient array is null");
    const int b = static_cast<int>(border);
    if (b < 0 || b > static_cast<int>(LumerixBorder::Wrap))
        throw std::invalid_argument("affine: unknown border " + std::to_string(b));
    const cmmDims dims = image.GetDimensions();
    Lumerix r(dims);
    if (dims.Size() <= 0) return r;
    const int w = dims.Dim(0), h = dims.Dim(1);
    lmx::LockGuard locks;
    float* src = locks.lock(image);
    float* dst = locks.lock(r);
    lmx::launchPlane(&LumerixAffineBorderI2I, w, h, src, m[0], m[1], m[2], m[3], m[4], m[5], b,
                     cval, dst, w, h);
    LumerixCheck(cudaGetLastError());
    // The kernel writes the first plane; further planes are zeros, as the warp without a border.
    const long long plane = 1LL * w * h;
    const long long rest = dims.Size() - plane;
    if (rest > 0)
        LumerixCheck(cudaMemset(dst + plane, 0, static_cast<std::size_t>(rest) * sizeof(float)));
    locks.release();
    return r;
}
