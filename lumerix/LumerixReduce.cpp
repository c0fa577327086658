// Reductions: a fixed grid of 64 x 128 threads leaves 64 partial results on the device; the
// host copies them back and folds them in index order.

#include <lumerix/LumerixPixel.h>

#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "kernels/ReduceOps.h"
#include "kernels/Shapes.h"
#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"
#include "platform/ApiLock.h"

#include <cmath>
#include <limits>

LMX_REPORTED_UNIT("LumerixPixel.cpp")

namespace {

constexpr int kBlocks = lmx::kReduceBlocks;
constexpr int kThreads = lmx::kReduceThreads;

// Runs a reduction kernel, its further arguments after (pixels, partials, n), and returns its
// 64 partials, partial[0] first.
template <class... Extra>
void partials(void (*kernel)(float*, float*, int, Extra...), Lumerix& image, float (&host)[kBlocks],
              Extra... extra) {
    float* partial = nullptr;
    // The checked expression is reported as written: keep its spelling.
    // clang-format off
    LumerixCheck(LumerixMalloc((void **)&partial, kBlocks * sizeof(float)));
    // clang-format on
    try {
        lmx::LockGuard locks;
        float* pixels = locks.lock(image);
        const int n = image.GetDimensions().Size();
        lmx::launch(kernel, dim3(kBlocks), dim3(kThreads), 0, pixels, partial, n, extra...);
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
    LMX_API_ENTRY();
    if (image.GetDimensions().Size() <= 0) return 0.0f;  // no pixels: nothing to launch
    float host[kBlocks];
    partials(&LumerixPixelSumI2F, image, host);
    float acc = 0.0f;
    for (float p : host) acc = acc + p;
    return acc;
}

float fmin(Lumerix& image) {
    LMX_API_ENTRY();
    if (image.GetDimensions().Size() <= 0) return std::numeric_limits<float>::quiet_NaN();
    float host[kBlocks];
    partials(&LumerixPixelMinI2F, image, host);
    // The partials' rule: NaN is ignored, so the fold starts from NaN.
    float acc = std::numeric_limits<float>::quiet_NaN();
    for (float p : host) acc = lmx::MinOp{}(acc, p);
    return acc;
}

float fmax(Lumerix& image) {
    LMX_API_ENTRY();
    if (image.GetDimensions().Size() <= 0) return std::numeric_limits<float>::quiet_NaN();
    float host[kBlocks];
    partials(&LumerixPixelMaxI2F, image, host);
    float acc = std::numeric_limits<float>::quiet_NaN();
    for (float p : host) acc = lmx::MaxOp{}(acc, p);
    return acc;
}

float mean(Lumerix& image) {
    LMX_API_ENTRY();
    const int n = image.GetDimensions().Size();
    const float s = sum(image);
    return s / static_cast<float>(n);
}

// The sum of the squared deviations folds (pixel - mean)^2 in one pass, with the arithmetic and
// the order of the sum of an image of squared deviations: the same bits without two temporary
// images of the input's size.
float var(Lumerix& image) {
    LMX_API_ENTRY();
    const float m = mean(image);
    const int n = image.GetDimensions().Size();
    if (n <= 0) return 0.0f / static_cast<float>(n);  // no pixels: the sum is 0, and 0 / 0
    float host[kBlocks];
    partials(&LumerixPixelSquaredDeviationI2F, image, host, m);
    float acc = 0.0f;
    for (float p : host) acc = acc + p;
    return acc / static_cast<float>(n);
}
