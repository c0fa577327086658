#pragma once
// Whether kernels may read and write host arrays directly. On the CPU backend device memory is
// host memory, so a large 8- or 16-bit conversion reads the caller's array, or writes the
// array it returns, in the launch itself: the copy through a scratch buffer would move the
// narrow data twice more. Small conversions keep the transfer, as on the GPU, whose kernels
// reach only device memory.

#include "platform/Runtime.h"

#include <cstddef>

namespace lmx {

#if defined(LMX_BACKEND_CUDA)
inline bool convertsInPlaceOnHost(std::size_t) {
    return false;
}
#else
//! True when a conversion whose narrow array has `bytes` bytes runs straight on the host array.
bool convertsInPlaceOnHost(std::size_t bytes);
#endif

}  // namespace lmx
