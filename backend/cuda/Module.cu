// The device module: nvcc compiles every kernel file once, here.

#include "kernels/Dialect.h"
#include "kernels/Kernels.h"

#include "kernels/BorderFilterKernels.h"
#include "kernels/ChannelKernels.h"
#include "kernels/ConvertKernels.h"
#include "kernels/FFTKernels.h"
#include "kernels/FilterConstants.h"
#include "kernels/FilterUpload.h"
#include "kernels/GeometricKernels.h"
#include "kernels/HistogramKernels.h"
#include "kernels/NeighborhoodKernels.h"
#include "kernels/PixelKernels.h"
#include "kernels/ReduceKernels.h"
#include "kernels/RegionKernels.h"
#include "kernels/ScaleKernels.h"

#include <cstring>

namespace {

// The table d_kernel holds, as last written: a convolution with the same taps (a chain of
// gauss calls, say) skips the upload.
float lastTaps[kLumerixMaxTaps];
unsigned long long lastCount = 0;  // 0: nothing known

}  // namespace

// A new table goes out with an asynchronous copy on the default stream, ordered before the
// launch that reads it and without waiting for the work queued before it (a copy from pageable
// memory returns once the taps are staged, so the caller may reuse its array at once).
cudaError_t lmx::uploadFilterTaps(const float* kernel, int xradius, int yradius) {
    const unsigned long long taps = (2ULL * xradius + 1) * (2ULL * yradius + 1);
    if (taps > kLumerixMaxTaps) return copyFilterTaps(d_kernel, kernel, xradius, yradius);
    const std::size_t bytes = taps * sizeof(float);
    if (taps == lastCount && std::memcmp(lastTaps, kernel, bytes) == 0) return cudaSuccess;
    lastCount = 0;
    const cudaError_t status =
        cudaMemcpyToSymbolAsync(d_kernel, kernel, bytes, 0, cudaMemcpyHostToDevice, nullptr);
    if (status == cudaSuccess) {
        std::memcpy(lastTaps, kernel, bytes);
        lastCount = taps;
    }
    return status;
}
