#pragma once
// The upload of a convolution's taps to d_kernel. Under nvcc the host shadow of a __constant__
// array is private to the module's translation unit, so each module file defines
// uploadFilterTaps over its own d_kernel; host code calls it and checks the status.

#include <lumerix/LumerixNeighborhood.h>

#include "runtime/Backend.h"

#include <cstddef>

namespace lmx {

//! Copies the (2 xradius + 1) x (2 yradius + 1) taps at `kernel` to d_kernel, host to device.
//! A table larger than d_kernel is refused by the runtime (cudaErrorInvalidValue) and nothing is
//! written. The radii are not negative.
cudaError_t uploadFilterTaps(const float* kernel, int xradius, int yradius);

//! The copy itself, for the module files. The byte count is formed in 64 bits and saturates, so
//! that radii near INT_MAX ask for (and are refused) a copy larger than the table instead of
//! wrapping round to a small one.
template <class Symbol>
cudaError_t copyFilterTaps(Symbol& symbol, const float* kernel, int xradius, int yradius) {
    const unsigned long long taps = (2ULL * xradius + 1) * (2ULL * yradius + 1);
    const std::size_t bytes =
        taps > kLumerixMaxTaps ? sizeof(Symbol) + sizeof(float) : taps * sizeof(float);
    return cudaMemcpyToSymbol(symbol, kernel, bytes);
}

}  // namespace lmx
