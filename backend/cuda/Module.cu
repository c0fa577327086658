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

cudaError_t lmx::uploadFilterTaps(const float* kernel, int xradius, int yradius) {
    return copyFilterTaps(d_kernel, kernel, xradius, yradius);
}
