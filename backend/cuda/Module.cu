// The device module: nvcc compiles every kernel file once, here.

#include "kernels/Dialect.h"
#include "kernels/Kernels.h"

#include "kernels/ChannelKernels.h"
#include "kernels/ConvertKernels.h"
#include "kernels/FFTKernels.h"
#include "kernels/FilterConstants.h"
#include "kernels/HistogramKernels.h"
#include "kernels/PixelKernels.h"
#include "kernels/ReduceKernels.h"
