// Scaling and the affine warp with a border: launches of the plane shape over the result's
// planes. Arguments are checked before anything is allocated or locked; the source is locked,
// then the result, and both are released in lock order before the result is returned.

#include <lumerix/LumerixScale.h>

#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "kernels/ScaleTaps.h"
#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"
#include "platform/ApiLock.h"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

LMX_REPORTED_UNIT("LumerixScale.cpp")

using cmm::cmmDims;

namespace {

// A host table copied to device memory (or scratch), given back however the operation ends.
template <class T>
struct DeviceTable {
    T* p = nullptr;
    // The host values, or `scratch` elements left unset when the host vector is empty.
    explicit DeviceTable(const std::vector<T>& host, std::size_t scratch = 0) {
        if (host.empty()) {
            if (scratch > 0)
                LumerixCheck(LumerixMalloc(reinterpret_cast<void**>(&p), scratch * sizeof(T)));
            return;
        }
        LumerixCheck(LumerixMalloc(reinterpret_cast<void**>(&p), host.size() * sizeof(T)));
        const cudaError_t copied =
            cudaMemcpy(p, host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice);
        if (copied != cudaSuccess) LumerixFree(p);
        LumerixCheck(copied);
    }
    DeviceTable(const DeviceTable&) = delete;
    DeviceTable& operator=(const DeviceTable&) = delete;
    ~DeviceTable() {
        if (p) LumerixFree(p);
    }
};

}  // namespace

Lumerix scale(Lumerix& image, int width, int height, LumerixInterpolation method) {
    LMX_API_ENTRY();
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
    // Each axis's source indices and weights are computed once, on the host, and uploaded: the
    // kernels then only load and multiply-add.
    lmx::scale::AxisTaps xt, yt;
    const bool spans = method == LumerixInterpolation::Area && sx >= 1.0 && sy >= 1.0;
    switch (method) {
        case LumerixInterpolation::Nearest:
            break;
        case LumerixInterpolation::Linear:
            xt = lmx::scale::linearAxis(width, sw, sx);
            yt = lmx::scale::linearAxis(height, sh, sy);
            break;
        case LumerixInterpolation::Cubic:
            xt = lmx::scale::cubicAxis(width, sw, sx);
            yt = lmx::scale::cubicAxis(height, sh, sy);
            break;
        case LumerixInterpolation::Area:
            xt = spans ? lmx::scale::areaSpanAxis(width, sw, sx)
                       : lmx::scale::areaGrowAxis(width, sw, sx);
            yt = spans ? lmx::scale::areaSpanAxis(height, sh, sy)
                       : lmx::scale::areaGrowAxis(height, sh, sy);
            break;
    }
    // The separable methods interpolate each source row that a result row reads once, into a
    // scratch plane of those rows; the result rows then blend them (indices into the scratch).
    std::vector<int> rows;
    if (method != LumerixInterpolation::Nearest && !spans) {
        std::vector<int> slot(static_cast<std::size_t>(sh), -1);
        for (const int v : yt.index) slot[v] = 0;
        for (int v = 0; v < sh; ++v)
            if (slot[v] == 0) {
                slot[v] = static_cast<int>(rows.size());
                rows.push_back(v);
            }
        for (int& v : yt.index) v = slot[v];
    }
    DeviceTable<int> xi(xt.index), yi(yt.index), rowList(rows);
    DeviceTable<float> xw(xt.weight), yw(yt.weight);
    DeviceTable<float> tmp(std::vector<float>(), rows.size() * static_cast<std::size_t>(width));
    lmx::LockGuard locks;
    float* src = locks.lock(image);
    float* dst = locks.lock(r);
    const std::size_t in = static_cast<std::size_t>(sw) * sh;
    const std::size_t out = static_cast<std::size_t>(width) * height;
    for (int p = 0; p < planes; ++p) {
        float* s = src + p * in;
        float* d = dst + p * out;
        if (method == LumerixInterpolation::Nearest)
            lmx::launchPlane(&LumerixScaleNearestI2I, width, height, s, sw, sh, d, width, height);
        else if (spans)
            lmx::launchPlane(&LumerixScaleSpansI2I, width, height, s, sw, d, width, height, xt.taps,
                             xi.p, xw.p, yt.taps, yi.p, yw.p);
        else {
            const int count = static_cast<int>(rows.size());
            lmx::launchPlane(&LumerixScaleRowsI2I, width, count, s, sw, tmp.p, width, count,
                             xt.taps, rowList.p, xi.p, xw.p);
            LumerixCheck(cudaGetLastError());
            lmx::launchPlane(&LumerixScaleColumnsI2I, width, height, tmp.p, d, width, height,
                             yt.taps, yi.p, yw.p);
        }
        LumerixCheck(cudaGetLastError());
    }
    locks.release();
    return r;
}

Lumerix affine(Lumerix& image, const float* m, LumerixBorder border, float cval) {
    LMX_API_ENTRY();
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
