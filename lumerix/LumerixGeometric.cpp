// Geometric operations: circular shift, crop, sub-pixel window, coordinate images, affine warp
// and canvas change. Each is one launch of the plane shape over the result's first W x H plane:
// lock the source, then the result; launch; check; release in lock order, so that the result
// leaves the operation unlocked. Arguments are checked before anything is allocated or locked.

#include <lumerix/LumerixGeometric.h>

#include "kernels/Borders.h"
#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"
#include "platform/ApiLock.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

LMX_REPORTED_UNIT("LumerixGeometric.cpp")

using cmm::cmmDims;

namespace {

// Extents of the first plane of an image; an image without pixels has a plane of 0 x 0.
struct Plane {
    int w = 0, h = 0;
    explicit Plane(const cmmDims& dims) {
        if (dims.Size() > 0) {
            w = dims.Dim(0);
            h = dims.Dim(1);
        }
    }
    bool empty() const { return w <= 0 || h <= 0; }
};

// The kernels write the first plane only; a result with further planes gets them as zeros, so
// that no pixel of it is left unwritten.
void clearBeyondFirstPlane(float* result, const cmmDims& dims) {
    const long long plane = 1LL * dims.Dim(0) * dims.Dim(1);
    const long long rest = dims.Size() - plane;
    if (rest > 0)
        LumerixCheck(cudaMemset(result + plane, 0, static_cast<std::size_t>(rest) * sizeof(float)));
}

// A two-dimensional result of w x h pixels; a zero extent gives an image without pixels
// (cmmDims(w, 0) alone would keep w pixels).
Lumerix planeResult(int w, int h) {
    return w > 0 && h > 0 ? Lumerix(cmmDims(w, h)) : Lumerix(cmmDims());
}

std::string text(float v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", static_cast<double>(v));
    return buffer;
}

// The sampling origin brought into [0, n) (exactly: fmod is exact), so that the window's
// positions are the source's own for origins many sizes away.
float originModulo(float origin, int n) {
    double r = std::fmod(static_cast<double>(origin), static_cast<double>(n));
    if (r < 0) r += n;
    return static_cast<float>(r);
}

}  // namespace

Lumerix Lumerix::operator()(int dx, int dy) {
    LMX_API_ENTRY();
    Lumerix r(GetDimensions());
    const Plane p(r.GetDimensions());
    if (p.empty()) return r;
    // Offsets of any size: one wrap per pixel then stays inside the image.
    dx = lmx::WrapModulo::index(dx, p.w);
    dy = lmx::WrapModulo::index(dy, p.h);
    lmx::LockGuard locks;
    float* src = locks.lock(*this);
    float* dst = locks.lock(r);
    lmx::launchPlane(&LumerixGeometricShift, p.w, p.h, src, dx, dy, dst, p.w, p.h);
    LumerixCheck(cudaGetLastError());
    clearBeyondFirstPlane(dst, r.GetDimensions());
    locks.release();
    return r;
}

Lumerix Lumerix::operator()(int x0, int x1, int y0, int y1) {
    LMX_API_ENTRY();
    const Plane p(GetDimensions());
    if (x0 < 0 || x1 < x0 || x1 > p.w || y0 < 0 || y1 < y0 || y1 > p.h)
        throw std::out_of_range("Lumerix::operator(): crop window [" + std::to_string(x0) + ", " +
                                std::to_string(x1) + ") x [" + std::to_string(y0) + ", " +
                                std::to_string(y1) + ") does not lie inside the " +
                                std::to_string(p.w) + " x " + std::to_string(p.h) + " image");
    Lumerix r = planeResult(x1 - x0, y1 - y0);
    if (r.GetDimensions().Size() == 0) return r;
    const int w = x1 - x0, h = y1 - y0;
    lmx::LockGuard locks;
    float* src = locks.lock(*this);
    float* dst = locks.lock(r);
    lmx::launchPlane(&LumerixGeometricSlice, w, h, src, x0, y0, p.w, dst, w, h);
    LumerixCheck(cudaGetLastError());
    locks.release();
    return r;
}

Lumerix slice(Lumerix& image, float x, float y, int w, int h) {
    LMX_API_ENTRY();
    if (!std::isfinite(x) || !std::isfinite(y))
        throw std::invalid_argument("slice: origin (" + text(x) + ", " + text(y) +
                                    ") is not finite");
    if (w < 0 || h < 0)
        throw std::invalid_argument("slice: size " + std::to_string(w) + " x " + std::to_string(h) +
                                    " is negative");
    // A source without pixels has nothing to sample: the window has no pixels either.
    const Plane p(image.GetDimensions());
    Lumerix r = p.empty() ? Lumerix(cmmDims()) : planeResult(w, h);
    if (r.GetDimensions().Size() == 0) return r;
    const float ox = originModulo(x, p.w), oy = originModulo(y, p.h);
    lmx::LockGuard locks;
    float* src = locks.lock(image);
    float* dst = locks.lock(r);
    lmx::launchPlane(&LumerixGeometricSliceInterp, w, h, src, ox, oy, p.w, p.h, dst, w, h);
    LumerixCheck(cudaGetLastError());
    locks.release();
    return r;
}

namespace {

using Coordinates = void (*)(float*, int, int);

// The source's pixels are never read, only its extents: only the result is locked.
Lumerix coordinates(Coordinates kernel, Lumerix& image) {
    LMX_API_ENTRY();
    Lumerix r(image.GetDimensions());
    const Plane p(r.GetDimensions());
    if (p.empty()) return r;
    lmx::LockGuard locks;
    float* dst = locks.lock(r);
    lmx::launchPlane(kernel, p.w, p.h, dst, p.w, p.h);
    LumerixCheck(cudaGetLastError());
    clearBeyondFirstPlane(dst, r.GetDimensions());
    locks.release();
    return r;
}

}  // namespace

Lumerix xx(Lumerix& image) {
    return coordinates(&LumerixGeometricXX, image);
}
Lumerix yy(Lumerix& image) {
    return coordinates(&LumerixGeometricYY, image);
}

Lumerix affine(Lumerix& image, float a, float b, float c, float d, float e, float f) {
    LMX_API_ENTRY();
    Lumerix r(image.GetDimensions());
    const Plane p(r.GetDimensions());
    if (p.empty()) return r;
    lmx::LockGuard locks;
    float* src = locks.lock(image);
    float* dst = locks.lock(r);
    lmx::launchPlane(&LumerixGeometricAffine, p.w, p.h, src, a, b, c, d, e, f, dst, p.w, p.h);
    LumerixCheck(cudaGetLastError());
    clearBeyondFirstPlane(dst, r.GetDimensions());
    locks.release();
    return r;
}

Lumerix affine(Lumerix& image, float* m) {
    LMX_API_ENTRY();
    if (!m) throw std::invalid_argument("affine: the coefficient array is null");
    return affine(image, m[0], m[1], m[2], m[3], m[4], m[5]);
}

Lumerix resize(Lumerix& image, const cmmDims& dims, int a, int b) {
    LMX_API_ENTRY();
    for (int i = 0; i < dims.Dims(); ++i)
        if (dims.Dim(i) < 0)
            throw std::invalid_argument("resize: extent " + std::to_string(i) + " of the canvas (" +
                                        std::to_string(dims.Dim(i)) + ") is negative");
    Lumerix r(dims);
    if (dims.Size() <= 0) return r;
    const int w = dims.Dim(0), h = dims.Dim(1);
    // A source without pixels places nothing: the canvas is all zeros, and nothing is read.
    const Plane source(image.GetDimensions());
    // The result is released before the source: two guards, the result's destroyed first.
    lmx::LockGuard sourceLock;
    lmx::LockGuard resultLock;
    float* src = sourceLock.lock(image);
    float* dst = resultLock.lock(r);
    lmx::launchPlane(&LumerixGeometricResize, w, h, src, a, b, source.w, source.h, dst, w, h);
    LumerixCheck(cudaGetLastError());
    clearBeyondFirstPlane(dst, r.GetDimensions());
    resultLock.release();
    sourceLock.release();
    return r;
}
