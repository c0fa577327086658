// Forward and inverse 2-D FFT: the image is converted to the complex working array, transformed
// in place by a cached plan, and converted back. The same code runs over cuFFT and over the CPU
// backend's stand-in; where the backend can, it transforms the image straight into the results
// instead, with the conversions inside the transform's passes.

#include <lumerix/LumerixFFT.h>

#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "lumerix/FftPlans.h"
#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"
#include "platform/ApiLock.h"
#include "runtime/Backend.h"

#include <climits>
#include <stdexcept>
#include <string>
#include <utility>

LMX_REPORTED_UNIT("LumerixFFT.cpp")

using cmm::cmmDims;

namespace {

// The working array holds W x H complex values; a third or fourth extent would be read past it.
void requirePlane(const cmmDims& dims, const char* operation) {
    if (dims.Dim(2) == 1 && dims.Dim(3) == 1) return;
    throw std::invalid_argument(std::string(operation) + ": image of extents " +
                                std::to_string(dims.Dim(0)) + " x " + std::to_string(dims.Dim(1)) +
                                " x " + std::to_string(dims.Dim(2)) + " x " +
                                std::to_string(dims.Dim(3)) + " has more than two dimensions");
}

// The working array counts 2 W H floats in an int, so W H may be at most (2^31 - 1) / 2.
void requireComplexCount(const cmmDims& dims, const char* operation) {
    constexpr long long kMostPixels = INT_MAX / 2;
    if (dims.Size() <= kMostPixels) return;
    throw std::overflow_error(std::string(operation) + ": a " + std::to_string(dims.Dim(0)) +
                              " x " + std::to_string(dims.Dim(1)) +
                              " image is too large: its complex working array would hold 2 x " +
                              std::to_string(dims.Size()) + " floats, more than an int counts (" +
                              std::to_string(kMostPixels) + " pixels at most)");
}

float2* complexArray(float* device) {
    return reinterpret_cast<float2*>(device);
}

}  // namespace

void fft(Lumerix& image, Lumerix& re, Lumerix& im) {
    LMX_API_ENTRY();
    // The outputs are replaced only at the end, so an input among them would be read after it.
    if (&re == &image || &im == &image)
        throw std::invalid_argument("fft: re and im must be images other than the input");
    // Both outputs are replaced at the end; a locked one would throw only after the first had
    // been replaced, so both are checked before any work.
    lmx::requireReplaceable(re);
    lmx::requireReplaceable(im);
    const cmmDims dims = image.GetDimensions();
    requirePlane(dims, "fft");
    requireComplexCount(dims, "fft");
    const int n = dims.Size();
    Lumerix outRe(dims), outIm(dims);
    if (n > 0) {
        const int w = dims.Dim(0), h = dims.Dim(1);
        const lmx::FftPlan plan(w, h);
        Lumerix work(cmmDims(w, h, 2));
        lmx::LockGuard locks;
        float2* c = complexArray(locks.lock(work));
        float *dr = nullptr, *di = nullptr;
        bool done = false;
        {
            // The input is released before the transform: only the working array is needed,
            // unless the backend transforms the image straight into the results.
            lmx::LockGuard input;
            float* in = input.lock(image);
            if (plan && lmx::kFftOfImagesInPasses) {
                dr = locks.lock(outRe);
                di = locks.lock(outIm);
                done = lmx::fftOfRealImage(plan.handle(), in, c, dr, di);
            }
            if (!done) {
                lmx::launchPixels(&LumerixFFTFloatToComplex, n, in, c, n);
                LumerixCheck(cudaGetLastError());
            }
        }
        if (!done) {
            if (plan) LumerixCheckFft(cufftExecC2C(plan.handle(), c, c, CUFFT_FORWARD));
            if (!dr) dr = locks.lock(outRe);
            if (!di) di = locks.lock(outIm);
            lmx::launchPixels(&LumerixFFTDeinterleave, n, c, dr, di, n);
            LumerixCheck(cudaGetLastError());
        }
    }
    // The results' pages go to the caller's images without a copy; the old pages go with the
    // local images.
    std::swap(re.page, outRe.page);
    std::swap(im.page, outIm.page);
}

Lumerix ifft(Lumerix& re, Lumerix& im) {
    LMX_API_ENTRY();
    const cmmDims dims = re.GetDimensions();
    if (im.GetDimensions() != dims) throw std::runtime_error("Image sizes do not match");
    requirePlane(dims, "ifft");
    requireComplexCount(dims, "ifft");
    const int n = dims.Size();
    Lumerix out(dims);
    if (n > 0) {
        const int w = dims.Dim(0), h = dims.Dim(1);
        const lmx::FftPlan plan(w, h);
        Lumerix work(cmmDims(w, h, 2));
        lmx::LockGuard locks;
        float2* c = complexArray(locks.lock(work));
        float* result = nullptr;
        bool done = false;
        {
            lmx::LockGuard sources;
            float* dr = sources.lock(re);
            float* di = sources.lock(im);
            // An exactly Hermitian array (a forward transform's) has a real inverse, which the
            // backend may compute straight from re and im into the result.
            if (plan && lmx::kFftOfImagesInPasses) {
                result = locks.lock(out);
                done = lmx::ifftToRealImage(plan.handle(), dr, di, c, result);
            }
            if (!done) {
                lmx::launchPixels(&LumerixFFTInterleave, n, dr, di, c, n);
                LumerixCheck(cudaGetLastError());
            }
        }
        if (!done) {
            if (plan) LumerixCheckFft(cufftExecC2C(plan.handle(), c, c, CUFFT_INVERSE));
            if (!result) result = locks.lock(out);
            lmx::launchPixels(&LumerixFFTComplexToFloat, n, c, result, n);
            LumerixCheck(cudaGetLastError());
        }
    }
    return out;
}

bool fftKeepPlans(const char* path) {
    LMX_API_ENTRY();
    return lmx::keepFftPlans(path);
}
