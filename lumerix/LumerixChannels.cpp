// Three-channel merge and split: one pixel-wise launch over the pixels of one channel.

#include <lumerix/LumerixPixel.h>

#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "lumerix/LockGuard.h"
#include "lumerix/LumerixUtils.h"
#include "platform/ApiLock.h"

#include <climits>
#include <stdexcept>
#include <string>
#include <utility>

LMX_REPORTED_UNIT("LumerixPixel.cpp")

using cmm::cmmDims;

namespace {

std::string extents(const cmmDims& d) {
    return "(" + std::to_string(d.Dim(0)) + ", " + std::to_string(d.Dim(1)) + ", " +
           std::to_string(d.Dim(2)) + ", " + std::to_string(d.Dim(3)) + ")";
}

bool sameSize(const cmmDims& a, const cmmDims& b) {
    return a == b && a.Size() == b.Size();
}

}  // namespace

Lumerix merge3(Lumerix& c0, Lumerix& c1, Lumerix& c2) {
    LMX_API_ENTRY();
    const cmmDims d = c0.GetDimensions();
    if (!sameSize(d, c1.GetDimensions()) || !sameSize(c1.GetDimensions(), c2.GetDimensions()))
        throw std::runtime_error("Image sizes do not match");
    // The kernel writes 3 n values; the result holds that many only for one-volume channels.
    if (d.Dim(3) != 1)
        throw std::invalid_argument("merge3: channels must have a fourth extent of 1, not " +
                                    extents(d));
    const long long merged = 3LL * d.Dim(2);
    if (merged > INT_MAX)
        throw std::overflow_error("merge3: a third extent of 3 x " + std::to_string(d.Dim(2)) +
                                  " does not fit in an int");
    // One named result on every path: returned without a copy (a second return of another
    // object would make the compiler copy the whole merged image into the caller's).
    Lumerix m(d.Size() == 0 ? cmmDims() : cmmDims(d.Dim(0), d.Dim(1), static_cast<int>(merged), 0));
    if (d.Size() == 0) return m;  // no pixels, nothing to interleave
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
    LMX_API_ENTRY();
    const cmmDims d = merged.GetDimensions();
    // The outputs are replaced only after the kernel has run, and only if none of them is locked
    // (replacing a locked image throws), so that a refused call leaves all three as they were.
    for (Lumerix* out : {&c0, &c1, &c2}) lmx::requireReplaceable(*out);
    // Each output takes a new page, and its old page is freed (to a zombie when it held device
    // memory) when the new image goes out of scope. Nothing here can throw.
    const auto replaceOutputs = [&](Lumerix& n0, Lumerix& n1, Lumerix& n2) {
        std::swap(c0.page, n0.page);
        std::swap(c1.page, n1.page);
        std::swap(c2.page, n2.page);
    };
    if (d.Size() == 0) {  // no pixels: three channels without pixels
        Lumerix e0, e1, e2;
        replaceOutputs(e0, e1, e2);
        return;
    }
    // The kernel reads 3 n values of the merged image; anything else would read past its end.
    if (d.Dim(2) % 3 != 0 || d.Dim(3) != 1)
        throw std::invalid_argument(
            "split3: the merged image needs a third extent divisible by 3 and a fourth extent "
            "of 1, not " +
            extents(d));
    // The channels are computed into new images: an output may be the merged image itself
    // (split3(m, m, g, b)), which must not lose its pixels before the kernel has read them.
    const cmmDims channel(d.Dim(0), d.Dim(1), d.Dim(2) / 3, 0);
    Lumerix n0(channel), n1(channel), n2(channel);
    const int n = channel.Size();
    {
        lmx::LockGuard locks;
        float* dm = locks.lock(merged);
        float* d0 = locks.lock(n0);
        float* d1 = locks.lock(n1);
        float* d2 = locks.lock(n2);
        lmx::launchPixels(&LumerixPixelSplit3, n, dm, d0, d1, d2, n);
        LumerixCheck(cudaGetLastError());
    }
    replaceOutputs(n0, n1, n2);
}
