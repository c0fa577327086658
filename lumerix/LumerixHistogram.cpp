// The 256-bin histogram: pixels are converted to 8 bits on the device, counted per warp into
// one partial histogram per block of a grid sized to the device, and the partial histograms
// merged into the final 256 counts. The CPU backend counts the float pixels into the 64 block
// histograms of the fixed shape in one pass instead, and merges those.

#include <lumerix/LumerixHistogram.h>

#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "kernels/Shapes.h"
#include "lumerix/HistogramGrid.h"
#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"
#include "platform/ApiLock.h"
#include "runtime/Backend.h"

#include <algorithm>
#include <cstring>

LMX_REPORTED_UNIT("LumerixHistogram.cpp")

using lmx::kBins;

void histogram256(Lumerix& img, unsigned int* result) {
    LMX_API_ENTRY();
    const int n = img.GetDimensions().Size();
    if (n <= 0) {
        std::memset(result, 0, kBins * sizeof(unsigned int));
        return;
    }
    // Both scratch buffers come from the chunk allocator, which reclaims idle device memory
    // (cached chunks, zombie and cached pages) before it reports a full device.
    unsigned int* d_Result = nullptr;
    // The checked expressions are reported as written: keep their spelling.
    // clang-format off
    LumerixCheck(LumerixMalloc((void **)&d_Result, lmx::kHistogramBlocks * kBins * sizeof(unsigned int)));
    unsigned char* chardata = nullptr;
    LumerixCheck(LumerixMalloc((void **)&chardata, img.GetDimensions().Size()*sizeof(unsigned char)));
    // clang-format on
    // The 8-bit copy is reserved on every backend, so that the call needs, and reports, the same
    // memory everywhere, even where the pixels are counted without it.
    bool counted = false;
    try {
        lmx::LockGuard locks;
        float* pixels = locks.lock(img);
        counted = lmx::countFloatPixels(pixels, n, d_Result);
        if (!counted) {
            lmx::launchPixels(&LumerixPixelFloatToInt8, n, pixels, chardata, n);
            LumerixCheck(cudaGetLastError());
        }
    } catch (...) {
        LumerixFree(chardata);  // the image could not be locked: give both buffers back
        LumerixFree(d_Result);
        throw;
    }
    if (counted) {
        // Reported with the name the system's messages give this wait.
        LumerixCheckText(cudaDeviceSynchronize(), "cudaThreadSynchronize()");
        lmx::launch(&mergeHistogram256Kernel, dim3(kBins), dim3(lmx::kHistogramBlocks), 0,
                    d_Result);
        LumerixCheck(cudaGetLastError());
    } else {
        lmx::countBytesOnGrid(chardata, n, d_Result);
    }
    LumerixCheck(
        cudaMemcpy(result, d_Result, kBins * sizeof(unsigned int), cudaMemcpyDeviceToHost));
    LumerixCheck(LumerixFree(chardata));
    LumerixCheck(LumerixFree(d_Result));
}

namespace {

// Devices whose grid is remembered; a process with more asks the others each time.
constexpr int kRememberedDevices = 16;

// Blocks of the counting kernel the current device runs at once, or 0 where it cannot say.
int deviceGrid() {
    int device = 0, perMultiprocessor = 0;
    cudaDeviceProp prop;
    std::memset(&prop, 0, sizeof prop);
    if (cudaGetDevice(&device) != cudaSuccess ||
        cudaGetDeviceProperties(&prop, device) != cudaSuccess ||
        cudaOccupancyMaxActiveBlocksPerMultiprocessor(
            &perMultiprocessor, reinterpret_cast<const void*>(&histogram256GridKernel),
            lmx::kHistogramThreads, 0) != cudaSuccess) {
        cudaGetLastError();  // a failed query is answered with the fixed shape, not an error
        return 0;
    }
    return std::max(0, prop.multiProcessorCount) * std::max(0, perMultiprocessor);
}

}  // namespace

int lmx::histogramGrid(int n) {
    LMX_API_ENTRY();
    // Asking for the device's properties takes long on a GPU: ask once per device.
    static int remembered[kRememberedDevices] = {};
    int device = 0;
    if (cudaGetDevice(&device) != cudaSuccess) {
        cudaGetLastError();
        device = -1;
    }
    const bool keep = device >= 0 && device < kRememberedDevices;
    int blocks = keep ? remembered[device] : 0;
    if (blocks <= 0) {
        blocks = deviceGrid();
        if (blocks > 0 && keep) remembered[device] = blocks;
    }
    if (blocks <= 0) blocks = kHistogramBlocks;
    // One 16-byte load per thread of the grid at least; a grid past that only adds partial
    // histograms to merge.
    constexpr long long kBytesPerBlock = 16LL * kHistogramThreads;
    const long long needed = (std::max(n, 0) + kBytesPerBlock - 1) / kBytesPerBlock;
    return static_cast<int>(std::max(1LL, std::min<long long>(blocks, needed)));
}

void lmx::countBytesOnGrid(unsigned char* chardata, int n, unsigned int* d_Result) {
    LMX_API_ENTRY();
    const int blocks = histogramGrid(n);
    // The partial histograms come from the chunk allocator like the other scratch buffers, so a
    // repeated call finds them in its cache.
    unsigned int* gridPartial = nullptr;
    // clang-format off
    LumerixCheck(LumerixMalloc((void **)&gridPartial, blocks * kBins * sizeof(unsigned int)));
    // clang-format on
    // The counting kernel gets the pixel count: it reads whole words and then the last n % 4
    // pixels, so every pixel is counted.
    launch(&histogram256GridKernel, dim3(static_cast<unsigned>(blocks)), dim3(kHistogramThreads), 0,
           gridPartial, reinterpret_cast<unsigned int*>(chardata), n);
    LumerixCheck(cudaGetLastError());
    // Reported with the name the system's messages give this wait.
    LumerixCheckText(cudaDeviceSynchronize(), "cudaThreadSynchronize()");
    launch(&mergeHistogram256GridKernel, dim3(kGridMergeBlocks), dim3(kGridMergeThreads), 0,
           d_Result, gridPartial, blocks);
    LumerixCheck(cudaGetLastError());
    LumerixCheck(LumerixFree(gridPartial));
}
