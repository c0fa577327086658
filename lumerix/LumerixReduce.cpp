// Reductions: a fixed grid of 64 x 128 threads leaves 64 partial results on the device; the
// host copies them back and folds them in index order.

#include <lumerix/LumerixPixel.h>
#include <lumerix/LumerixReduce.h>

#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "kernels/ReduceOps.h"
#include "kernels/Shapes.h"
#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"

#include <cmath>
#include <limits>

LMX_REPORTED_UNIT("LumerixPixel.cpp")

namespace {

constexpr int kBlocks = lmx::kReduceBlocks;
constexpr int kThreads = lmx::kReduceThreads;

using Reduction = void (*)(float*, float*, int);

// Runs a reduction kernel and returns its 64 partials, partial[0] first.
void partials(Reduction kernel, Lumerix& image, float (&host)[kBlocks]) {
    float* partial = nullptr;
    // The checked expression is reported as written: keep its spelling.
    // clang-format off
    LumerixCheck(LumerixMalloc((void **)&partial, kBlocks * sizeof(float)));
    // clang-format on
    try {
        lmx::LockGuard locks;
        float* pixels = locks.lock(image);
        const int n = image.GetDimensions().Size();
        lmx::launch(kernel, dim3(kBlocks), dim3(kThreads), 0, pixels, partial, n);
        LumerixCheck(cudaGetLastError());
    } catch (...) {
        LumerixFree(partial);  // the image could not be locked; the buffer goes back to the cache
        throw;
    }
    LumerixCheck(cudaMemcpy(host, partial, kBlocks * sizeof(float), cudaMemcpyDeviceToHost));
    LumerixCheck(LumerixFree(partial));
}

}  // namespace

float sum(Lumerix& image) {
    if (image.GetDimensions().Size() <= 0) return 0.0f;  // no pixels: nothing to launch
    float host[kBlocks];
    partials(&LumerixPixelSumI2F, image, host);
    float acc = 0.0f;
    for (float p : host) acc = acc + p;
    return acc;
}

float fmin(Lumerix& image) {
    if (image.GetDimensions().Size() <= 0) return std::numeric_limits<float>::quiet_NaN();
    float host[kBlocks];
    partials(&LumerixPixelMinI2F, image, host);
    // The partials' rule: NaN is ignored, so the fold starts from NaN.
    float acc = std::numeric_limits<float>::quiet_NaN();
    for (float p : host) acc = lmx::MinOp{}(acc, p);
    return acc;
}

float fmax(Lumerix& image) {
    if (image.GetDimensions().Size() <= 0) return std::numeric_limits<float>::quiet_NaN();
    float host[kBlocks];
    partials(&LumerixPixelMaxI2F, image, host);
    float acc = std::numeric_limits<float>::quiet_NaN();
    for (float p : host) acc = lmx::MaxOp{}(acc, p);
    return acc;
}

float mean(Lumerix& image) {
    const int n = image.GetDimensions().Size();
    const float s = sum(image);
    return s / static_cast<float>(n);
}

float var(Lumerix& image) {
    const float m = mean(image);
    Lumerix d = image - m;
    Lumerix q = d * d;
    const int n = image.GetDimensions().Size();
    return sum(q) / static_cast<float>(n);
}
