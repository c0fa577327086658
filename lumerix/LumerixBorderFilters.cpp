// Filters with a chosen border: each is one or two launches over the first plane, with the
// block's tile in shared memory where it fits: the correlations of the strip shape, the median
// of the plane shape.

#include <lumerix/LumerixBorderFilters.h>
#include <lumerix/LumerixNeighborhood.h>

#include "kernels/Dialect.h"
#include "kernels/FilterUpload.h"
#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "lumerix/GaussTaps.h"
#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"
#include "platform/ApiLock.h"

#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

LMX_REPORTED_UNIT("LumerixNeighborhood.cpp")

using cmm::cmmDims;

namespace {

constexpr int kMedianWindow = 225;            // pixels of the largest median window
constexpr long long kMostTaps = 1LL << 31;    // taps of the largest correlation table
constexpr long long kMostRadius = 1LL << 24;  // of the largest Gaussian table

int borderNumber(LumerixBorder border, const char* operation) {
    const int b = static_cast<int>(border);
    if (b < 0 || b > static_cast<int>(LumerixBorder::Wrap))
        throw std::invalid_argument(std::string(operation) + ": unknown border " +
                                    std::to_string(b));
    return b;
}

void checkRadii(int xradius, int yradius, const char* operation) {
    if (xradius < 0 || yradius < 0)
        throw std::invalid_argument(
            std::string(operation) + ": radii must not be negative, not xradius " +
            std::to_string(xradius) + ", yradius " + std::to_string(yradius));
}

// The kernels write only the first plane; the planes beyond it are cleared.
void clearFurtherPlanes(float* device, const cmmDims& dims) {
    const long long plane = 1LL * dims.Dim(0) * dims.Dim(1);
    const long long rest = dims.Size() - plane;
    if (rest > 0)
        LumerixCheck(cudaMemset(device + plane, 0, static_cast<std::size_t>(rest) * sizeof(float)));
}

// Taps in device scratch memory for the span of an operation.
class DeviceTaps {
public:
    DeviceTaps(const float* taps, std::size_t count) {
        LumerixCheck(LumerixMalloc(reinterpret_cast<void**>(&device_), count * sizeof(float)));
        LumerixCheck(cudaMemcpy(device_, taps, count * sizeof(float), cudaMemcpyHostToDevice));
    }
    DeviceTaps(const DeviceTaps&) = delete;
    DeviceTaps& operator=(const DeviceTaps&) = delete;
    ~DeviceTaps() { LumerixFree(device_); }
    float* get() const { return device_; }

private:
    float* device_ = nullptr;
};

}  // namespace

Lumerix correlate(Lumerix& image, const float* taps, int xradius, int yradius, LumerixBorder border,
                  float cval) {
    LMX_API_ENTRY();
    checkRadii(xradius, yradius, "correlate");
    const int b = borderNumber(border, "correlate");
    const long long count = (2LL * xradius + 1) * (2LL * yradius + 1);
    if (count > kMostTaps)
        throw std::invalid_argument("correlate: a table of " + std::to_string(count) +
                                    " taps is more than 2^31");
    // The library's own border with a table that fits d_kernel is convolve itself.
    if (border == LumerixBorder::Reflect && count <= kLumerixMaxTaps)
        return convolve(image, const_cast<float*>(taps), xradius, yradius);
    const cmmDims dims = image.GetDimensions();
    if (dims.Size() == 0) return Lumerix(dims);
    if (count <= kLumerixMaxTaps) LumerixCheck(lmx::uploadFilterTaps(taps, xradius, yradius));
    Lumerix result(dims);
    const int w = dims.Dim(0), h = dims.Dim(1);
    if (count <= kLumerixMaxTaps) {
        lmx::LockGuard locks;
        float* in = locks.lock(image);
        float* out = locks.lock(result);
        lmx::launchStagedStrips(&LumerixCorrelateBorderI2I, w, h, xradius, yradius, in, out, w, h,
                                xradius, yradius, b, cval);
        LumerixCheck(cudaGetLastError());
        clearFurtherPlanes(out, dims);
        locks.release();  // before the return, so that the result leaves unlocked
        return result;
    }
    const DeviceTaps table(taps, static_cast<std::size_t>(count));
    lmx::LockGuard locks;
    float* in = locks.lock(image);
    float* out = locks.lock(result);
    lmx::launchStagedStrips(&LumerixCorrelateBorderIT2I, w, h, xradius, yradius, in, table.get(),
                            out, w, h, xradius, yradius, b, cval);
    LumerixCheck(cudaGetLastError());
    clearFurtherPlanes(out, dims);
    locks.release();
    return result;
}

Lumerix gaussian(Lumerix& image, float sigma, LumerixBorder border, float truncate) {
    LMX_API_ENTRY();
    if (!(sigma > 0.0f) || !std::isfinite(sigma)) {
        std::ostringstream text;
        text << "gaussian: sigma must be above 0 and finite, not " << sigma;
        throw std::invalid_argument(text.str());
    }
    if (!(truncate >= 0.0f) || !std::isfinite(truncate)) {
        std::ostringstream text;
        text << "gaussian: truncate must be 0 or more and finite, not " << truncate;
        throw std::invalid_argument(text.str());
    }
    const int b = borderNumber(border, "gaussian");
    const long long r = lmx::gaussianRadius(sigma, truncate, kMostRadius);
    if (r > kMostRadius) {
        std::ostringstream text;
        text << "gaussian: sigma " << sigma << " with truncate " << truncate << " gives "
             << "a radius of more than 2^24";
        throw std::invalid_argument(text.str());
    }
    const cmmDims dims = image.GetDimensions();
    if (dims.Size() == 0) return Lumerix(dims);
    const int radius = static_cast<int>(r);
    const std::vector<float> line = lmx::gaussianLine(sigma, radius);
    const DeviceTaps table(line.data(), line.size());
    Lumerix rows(dims);
    Lumerix result(dims);
    const int w = dims.Dim(0), h = dims.Dim(1);
    lmx::LockGuard locks;
    float* in = locks.lock(image);
    float* mid = locks.lock(rows);
    float* out = locks.lock(result);
    // The stream orders the column pass after the row pass; no wait in between.
    lmx::launchStagedStrips(&LumerixCorrelateRowsIT2I, w, h, radius, 0, in, table.get(), mid, w, h,
                            radius, b, 0.0f);
    lmx::launchStagedStrips(&LumerixCorrelateColumnsIT2I, w, h, 0, radius, mid, table.get(), out, w,
                            h, radius, b, 0.0f);
    LumerixCheck(cudaGetLastError());
    clearFurtherPlanes(out, dims);
    locks.release();
    return result;
}

Lumerix median(Lumerix& image, int xradius, int yradius, LumerixBorder border) {
    LMX_API_ENTRY();
    checkRadii(xradius, yradius, "median");
    const int b = borderNumber(border, "median");
    const long long count = (2LL * xradius + 1) * (2LL * yradius + 1);
    if (count > kMedianWindow)
        throw std::invalid_argument("median: a window of " + std::to_string(2LL * xradius + 1) +
                                    " x " + std::to_string(2LL * yradius + 1) +
                                    " pixels is more than the 225 it takes");
    const cmmDims dims = image.GetDimensions();
    Lumerix result(dims);
    if (dims.Size() == 0) return result;
    const int w = dims.Dim(0), h = dims.Dim(1);
    lmx::LockGuard locks;
    float* in = locks.lock(image);
    float* out = locks.lock(result);
    lmx::launchStaged(&LumerixMedianI2I, w, h, xradius, yradius, in, out, w, h, xradius, yradius,
                      b);
    LumerixCheck(cudaGetLastError());
    clearFurtherPlanes(out, dims);
    locks.release();
    return result;
}
