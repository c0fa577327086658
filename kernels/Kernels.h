#pragma once
// Declarations of every kernel of the table, as host code sees them. In the cuda build these
// names are the host stubs that nvcc generates and cudaLaunchKernel accepts; in the cpu build
// they are the functions that run a whole launch.

#include "runtime/Backend.h"

#ifndef LMX_KERNEL
#define LMX_KERNEL void
#endif

#define LMX_KERNEL_ROW(name, shape, params) LMX_KERNEL name params;
#include "kernels/KernelTable.def"
#undef LMX_KERNEL_ROW
