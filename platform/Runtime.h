#pragma once
// The CUDA runtime interface as host code sees it: the real runtime in the cuda build, the CPU
// backend's stand-in otherwise. Host code is written once against these names.

#if defined(LMX_BACKEND_CUDA)
#include <cuda_runtime_api.h>
#else
#include "backend/cpu/CudaRuntime.h"
#endif
