// Reductions: a fixed grid of 64 x 128 threads leaves 64 partial results on the device; the
// host copies them back and folds them in index order. On a GPU the grid's 8192 threads would
// keep too few loads in flight, so the same chains are folded by a pass sized to the device and
// joined by a second pass into the same 64 partials (ReducePath.h).

#include <lumerix/LumerixPixel.h>
#include <lumerix/LumerixReduce.h>

#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "kernels/ReduceOps.h"
#include "kernels/Shapes.h"
#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"
#include "lumerix/ReducePath.h"
#include "platform/ApiLock.h"

#include <algorithm>
#include <cmath>
#include <limits>

LMX_REPORTED_UNIT("LumerixPixel.cpp")

namespace {

constexpr int kBlocks = lmx::kReduceBlocks;
constexpr int kThreads = lmx::kReduceThreads;
constexpr int kChains = lmx::kReduceChains;

// The chain pass's blocks per multiprocessor: 4 x 128 threads and 4 x 32 KiB of stages fit
// every architecture we build for, and two per multiprocessor already cover an H100's 132 with
// the 256 groups.
constexpr int kChainBlocksPerSM = 4;

bool forcedTwoPass = false;

// The chain pass's grid: the device's multiprocessors times the blocks each holds, at most one
// block per group. Read once per device.
unsigned chainGrid() {
    static int device = -1;
    static unsigned grid = 0;
    int current = 0;
    LumerixCheck(cudaGetDevice(&current));
    if (current != device) {
        cudaDeviceProp prop;
        LumerixCheck(cudaGetDeviceProperties(&prop, current));
        const long long blocks = 1LL * prop.multiProcessorCount * kChainBlocksPerSM;
        grid = static_cast<unsigned>(std::max(1LL, std::min<long long>(blocks, lmx::kChainGroups)));
        device = current;
    }
    return grid;
}

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

// The same 64 partials in two passes: `chains` folds the 8192 chains into the first part of one
// scratch buffer (kept by the chunk cache between calls), `trees` joins them into its last 64
// floats.
template <class... Extra>
void partials(void (*chains)(float*, float*, int, Extra...), void (*trees)(float*, float*),
              Lumerix& image, float (&host)[kBlocks], Extra... extra) {
    float* scratch = nullptr;
    // clang-format off
    LumerixCheck(LumerixMalloc((void **)&scratch, (kChains + kBlocks) * sizeof(float)));
    // clang-format on
    float* partial = scratch + kChains;
    try {
        const unsigned grid = chainGrid();
        lmx::LockGuard locks;
        float* pixels = locks.lock(image);
        const int n = image.GetDimensions().Size();
        lmx::launch(chains, dim3(grid), dim3(lmx::kChainThreads), 0, pixels, scratch, n, extra...);
        LumerixCheck(cudaGetLastError());
        lmx::launch(trees, dim3(kBlocks), dim3(kThreads), 0, scratch, partial);
        LumerixCheck(cudaGetLastError());
    } catch (...) {
        LumerixFree(scratch);  // the image could not be locked; the buffer goes back to the cache
        throw;
    }
    LumerixCheck(cudaMemcpy(host, partial, kBlocks * sizeof(float), cudaMemcpyDeviceToHost));
    LumerixCheck(LumerixFree(scratch));
}

}  // namespace

void lmx::setTwoPassReductions(bool on) {
    forcedTwoPass = on;
}

// Where device memory is host memory, the cpu backend's traversal of the one-pass kernels
// streams it at the memory's bandwidth; the two-pass kernels are for a GPU.
bool lmx::twoPassReductions() {
    return forcedTwoPass || !lmx::kDeviceMemoryIsHost;
}

namespace {

// The partials of each reduction, through the path the backend takes.
void sumPartials(Lumerix& image, float (&host)[kBlocks]) {
    if (lmx::twoPassReductions())
        partials(&LumerixPixelSumChainsI2F, &LumerixPixelSumTreesI2F, image, host);
    else
        partials(&LumerixPixelSumI2F, image, host);
}
void minPartials(Lumerix& image, float (&host)[kBlocks]) {
    if (lmx::twoPassReductions())
        partials(&LumerixPixelMinChainsI2F, &LumerixPixelMinTreesI2F, image, host);
    else
        partials(&LumerixPixelMinI2F, image, host);
}
void maxPartials(Lumerix& image, float (&host)[kBlocks]) {
    if (lmx::twoPassReductions())
        partials(&LumerixPixelMaxChainsI2F, &LumerixPixelMaxTreesI2F, image, host);
    else
        partials(&LumerixPixelMaxI2F, image, host);
}
// The squared deviations' chains join as a sum.
void squaredDeviationPartials(Lumerix& image, float (&host)[kBlocks], float mean) {
    if (lmx::twoPassReductions())
        partials(&LumerixPixelSquaredDeviationChainsI2F, &LumerixPixelSumTreesI2F, image, host,
                 mean);
    else
        partials(&LumerixPixelSquaredDeviationI2F, image, host, mean);
}

}  // namespace

float sum(Lumerix& image) {
    LMX_API_ENTRY();
    if (image.GetDimensions().Size() <= 0) return 0.0f;  // no pixels: nothing to launch
    float host[kBlocks];
    sumPartials(image, host);
    float acc = 0.0f;
    for (float p : host) acc = acc + p;
    return acc;
}

float fmin(Lumerix& image) {
    LMX_API_ENTRY();
    if (image.GetDimensions().Size() <= 0) return std::numeric_limits<float>::quiet_NaN();
    float host[kBlocks];
    minPartials(image, host);
    // The partials' rule: NaN is ignored, so the fold starts from NaN.
    float acc = std::numeric_limits<float>::quiet_NaN();
    for (float p : host) acc = lmx::MinOp{}(acc, p);
    return acc;
}

float fmax(Lumerix& image) {
    LMX_API_ENTRY();
    if (image.GetDimensions().Size() <= 0) return std::numeric_limits<float>::quiet_NaN();
    float host[kBlocks];
    maxPartials(image, host);
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
    squaredDeviationPartials(image, host, m);
    float acc = 0.0f;
    for (float p : host) acc = acc + p;
    return acc / static_cast<float>(n);
}
