// Neighbourhood filters: morphology passes, convolution with the taps in d_kernel, and the
// Gaussian filters over convolution. Each launch is of the strip shape over the first plane: the
// plane shape over its strips of kRowsPerThread rows.

#include <lumerix/LumerixNeighborhood.h>

#include "kernels/FilterUpload.h"
#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "lumerix/GaussTaps.h"
#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"
#include "platform/ApiLock.h"

#include <stdexcept>
#include <string>

LMX_REPORTED_UNIT("LumerixNeighborhood.cpp")

using cmm::cmmDims;

namespace {

using Pass = void (*)(float*, float*, int, int, int, int);

struct Passes {
    Pass cross;     // pixel and its four edge neighbours
    Pass square;    // 3 x 3
    bool dilation;  // the maximum rather than the minimum
};

// The kernel of pass i: shape 1 the cross, 2 the square, anything else alternating from the
// cross.
Pass passOf(const Passes& kernels, int shape, int i) {
    if (shape == 1) return kernels.cross;
    if (shape == 2) return kernels.square;
    return i % 2 == 0 ? kernels.cross : kernels.square;
}

// The kernels write only the first plane; the planes beyond it are cleared, so that no pixel
// of a result is left unwritten.
void clearFurtherPlanes(float* device, const cmmDims& dims) {
    const long long plane = 1LL * dims.Dim(0) * dims.Dim(1);
    const long long rest = dims.Size() - plane;
    if (rest > 0)
        LumerixCheck(cudaMemset(device + plane, 0, static_cast<std::size_t>(rest) * sizeof(float)));
}

// Pass 0 reads the input and writes W0, pass i > 0 reads what pass i - 1 wrote and writes W0
// for even i, W1 for odd i. The result is the working image of the last pass itself (W0 for an
// odd count), so no copy follows the passes.
Lumerix runPasses(const Passes& kernels, Lumerix& image, int iterations, int shape) {
    const cmmDims dims = image.GetDimensions();
    Lumerix result(dims);
    Lumerix spare(dims);
    Lumerix& w0 = iterations % 2 != 0 ? result : spare;
    Lumerix& w1 = iterations % 2 != 0 ? spare : result;
    const int w = dims.Dim(0), h = dims.Dim(1);
    lmx::LockGuard locks;
    float* src = locks.lock(image);
    float* d0 = locks.lock(w0);
    float* d1 = iterations != 1 ? locks.lock(w1) : nullptr;  // one pass needs no second image
    float* last = iterations % 2 != 0 ? d0 : d1;
    // Square passes may run as one wider pass where the backend has it: the same bits.
    if (shape == 2 && iterations > 1 &&
        lmx::foldSquarePasses(src, iterations % 2 != 0 ? d1 : d0, last, w, h, iterations,
                              kernels.dilation)) {
        src = last;
    } else {
        for (int i = 0; i < iterations; ++i) {
            float* dst = i % 2 == 0 ? d0 : d1;
            // The stream orders each pass after the one before; no wait in between.
            lmx::launchStrips(passOf(kernels, shape, i), w, h, src, dst, w, h, 1, 1);
            src = dst;
        }
    }
    LumerixCheck(cudaGetLastError());
    clearFurtherPlanes(src, dims);
    // Released before the return, so that the result leaves the operation unlocked.
    locks.release();
    return result;
}

// Passes after which no further pass changes a bit of a W x H plane. Every pass folds at least
// the cross around each pixel, so after W + H - 2 passes every pixel holds the plane's minimum
// (maximum). That settles the values but not the signs of zeros: among equal values a pixel
// takes the first of its window (the one above it, or above and to the left), so once the
// minimum is 0 each pass still moves the pattern of +0 and -0 one row down (the cross) or one
// row down and one column right (the square). The pattern stops once every pixel copies the
// first row (the cross) or the first pixel; with at least every other pass a square, that takes
// at most 2 W + H more passes. 3 (W + H) passes cover both phases for every schedule.
long long settlingPasses(const cmmDims& dims) {
    return 3LL * (dims.Dim(0) + dims.Dim(1));
}

Lumerix morphology(const Passes& kernels, Lumerix& image, int iterations, int shape) {
    if (image.GetDimensions().Size() == 0) return Lumerix(image.GetDimensions());
    if (iterations <= 0) return Lumerix(image);
    // Passes past the settled plane would only repeat it.
    const long long settled = settlingPasses(image.GetDimensions());
    if (iterations > settled) iterations = static_cast<int>(settled);
    return runPasses(kernels, image, iterations, shape);
}

// The correlation with the taps already in d_kernel.
Lumerix correlated(Lumerix& image, int xradius, int yradius) {
    const cmmDims dims = image.GetDimensions();
    Lumerix result(dims);
    if (dims.Size() == 0) return result;
    const int w = dims.Dim(0), h = dims.Dim(1);
    lmx::LockGuard locks;
    float* in = locks.lock(image);
    float* out = locks.lock(result);
    lmx::launchStagedStrips(&LumerixConvolveIDD2I, w, h, xradius, yradius, in, xradius, yradius,
                            out, w, h, xradius, yradius);
    LumerixCheck(cudaGetLastError());
    clearFurtherPlanes(out, dims);
    locks.release();
    return result;
}

Lumerix gaussFilter(Lumerix& image, float sigma, lmx::GaussKind kind, const char* operation) {
    lmx::GaussTaps table = lmx::gaussTaps(sigma, kind, operation);
    return convolve(image, table.taps, table.radius, table.radius);
}

}  // namespace

Lumerix erosion(Lumerix& image, int iterations, int shape) {
    LMX_API_ENTRY();
    return morphology({&LumerixErosion4I2I, &LumerixErosionI2I, false}, image, iterations, shape);
}

Lumerix dilation(Lumerix& image, int iterations, int shape) {
    LMX_API_ENTRY();
    return morphology({&LumerixDilation4I2I, &LumerixDilationI2I, true}, image, iterations, shape);
}

Lumerix convolve(Lumerix& image, float* kernel, int xradius, int yradius) {
    LMX_API_ENTRY();
    if (xradius < 0 || yradius < 0)
        throw std::invalid_argument("convolve: radii must not be negative, not xradius " +
                                    std::to_string(xradius) + ", yradius " +
                                    std::to_string(yradius));
    // More than 225 taps are refused by the runtime without writing past d_kernel, and reported
    // here before any image is created.
    LumerixCheckText(
        lmx::uploadFilterTaps(kernel, xradius, yradius),
        "cudaMemcpyToSymbol(d_kernel, kernel, (xradius*2+1)*(yradius*2+1)*sizeof(float))");
    return correlated(image, xradius, yradius);
}

Lumerix gauss(Lumerix& image, float sigma) {
    LMX_API_ENTRY();
    return gaussFilter(image, sigma, lmx::GaussKind::Smooth, "gauss");
}

Lumerix gaussx(Lumerix& image, float sigma) {
    LMX_API_ENTRY();
    return gaussFilter(image, sigma, lmx::GaussKind::DerivX, "gaussx");
}

Lumerix gaussy(Lumerix& image, float sigma) {
    LMX_API_ENTRY();
    return gaussFilter(image, sigma, lmx::GaussKind::DerivY, "gaussy");
}
