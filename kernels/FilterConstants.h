#pragma once
// The convolution filter in constant memory: up to 15 x 15 taps, written before each convolution.

#include <lumerix/LumerixNeighborhood.h>

#include "kernels/Dialect.h"

LMX_CONSTANT float d_kernel[kLumerixMaxTaps];
