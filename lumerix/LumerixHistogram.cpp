// The 256-bin histogram: pixels are converted to 8 bits on the device, counted per warp into
// 64 block histograms, and the block histograms merged into the final 256 counts. The CPU
// backend counts the float pixels into the block histograms in one pass instead.

#include <lumerix/LumerixHistogram.h>

#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "kernels/Shapes.h"
#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"
#include "platform/ApiLock.h"
#include "runtime/Backend.h"

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
    // The counting kernel gets the pixel count: it reads whole words and then the last n % 4
    // pixels, so every pixel is counted.
    if (!counted)
        lmx::launch(&histogram256Kernel, dim3(lmx::kHistogramBlocks), dim3(lmx::kHistogramThreads),
                    0, d_Result, reinterpret_cast<unsigned int*>(chardata), n);
    // Reported with the name the system's messages give this wait.
    LumerixCheckText(cudaDeviceSynchronize(), "cudaThreadSynchronize()");
    lmx::launch(&mergeHistogram256Kernel, dim3(kBins), dim3(lmx::kHistogramBlocks), 0, d_Result);
    LumerixCheck(cudaGetLastError());
    LumerixCheck(
        cudaMemcpy(result, d_Result, kBins * sizeof(unsigned int), cudaMemcpyDeviceToHost));
    LumerixCheck(LumerixFree(chardata));
    LumerixCheck(LumerixFree(d_Result));
}
