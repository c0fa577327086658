#pragma once
// How the histogram's pixels reach their bins. The GPU converts them to 8 bits with one kernel
// and counts the bytes with another; the CPU backend counts the float pixels in one pass, which
// spares it writing the 8-bit copy and reading it back.

#include "platform/Runtime.h"

namespace lmx {

#if defined(LMX_BACKEND_CUDA)
inline bool countFloatPixels(const float*, int, unsigned int*) {
    return false;
}
#else
//! Counts the n pixels at `pixels` (device memory) in the bins of their 8-bit values, as the
//! conversion to 8 bits gives them, into the block histograms `partial` (64 x 256 counters)
//! that the merge sums: the state in which the counting kernel leaves them. Returns true.
bool countFloatPixels(const float* pixels, int n, unsigned int* partial);
#endif

}  // namespace lmx
