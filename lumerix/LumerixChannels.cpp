// Three-channel merge and split: one pixel-wise launch over the pixels of one channel.

#include <lumerix/LumerixPixel.h>

#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"

#include <stdexcept>
#include <string>

LMX_REPORTED_UNIT("LumerixPixel.cpp")

using cmm::cmmDims;

namespace {
std::string extents(const cmmDims& d) {
    return "(" + std::to_string(d.Dim(0)) + ", " + std::to_string(d.Dim(1)) + ", " +
           std::to_string(d.Dim(2)) + ", " + std::to_string(d.Dim(3)) + ")";
}
}  // namespace

Lumerix merge3(Lumerix& c0, Lumerix& c1, Lumerix& c2) {
    const cmmDims d = c0.GetDimensions();
    if (d != c1.GetDimensions() || c1.GetDimensions() != c2.GetDimensions())
        throw std::runtime_error("Image sizes do not match");
    // The kernel writes 3 n values; the result holds that many only for one-volume channels.
    if (d.Dim(3) != 1)
        throw std::invalid_argument("merge3: channels must have a fourth extent of 1, not " +
                                    extents(d));
    Lumerix m(cmmDims(d.Dim(0), d.Dim(1), 3 * d.Dim(2), 0));
    const int n = d.Size();
    lmx::LockGuard locks;
    float* d0 = locks.lock(c0);
    float* d1 = locks.lock(c1);
    float* d2 = locks.lock(c2);
    float* dm = locks.lock(m);
    lmx::launchPixels(&LumerixPixelMerge3, n, d0, d1, d2, dm, n);
    LumerixCheck(cudaGetLastError());
    locks.release();
    return m;
}

void split3(Lumerix& merged, Lumerix& c0, Lumerix& c1, Lumerix& c2) {
    const cmmDims d = merged.GetDimensions();
    // The kernel reads 3 n values of the merged image; anything else would read past its end.
    if (d.Dim(2) % 3 != 0 || d.Dim(3) != 1)
        throw std::invalid_argument(
            "split3: the merged image needs a third extent divisible by 3 and a fourth extent "
            "of 1, not " +
            extents(d));
    {
        Lumerix channel(cmmDims(d.Dim(0), d.Dim(1), d.Dim(2) / 3, 0));
        c0 = channel;
    }
    {
        Lumerix channel(c0.GetDimensions());
        c1 = channel;
    }
    {
        Lumerix channel(c0.GetDimensions());
        c2 = channel;
    }
    const int n = c0.GetDimensions().Size();
    lmx::LockGuard locks;
    float* dm = locks.lock(merged);
    float* d0 = locks.lock(c0);
    float* d1 = locks.lock(c1);
    float* d2 = locks.lock(c2);
    lmx::launchPixels(&LumerixPixelSplit3, n, dm, d0, d1, d2, n);
    LumerixCheck(cudaGetLastError());
    locks.release();
}
