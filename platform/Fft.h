#pragma once
// The cuFFT interface as host code sees it: cuFFT itself in the cuda build, the CPU backend's
// stand-in over FFTW otherwise; plus the names of cuFFT's result codes for fatal reports.

#include "platform/Runtime.h"

#if defined(LMX_BACKEND_CUDA)
#include <cufft.h>
#else
#include "backend/cpu/Fft.h"
#endif

namespace lmx {

//! The name of a cuFFT result code, as the fatal report shows it.
inline const char* fftResultText(cufftResult result) {
    static const char* const kNames[] = {
        "CUFFT_SUCCESS",       "CUFFT_INVALID_PLAN",   "CUFFT_ALLOC_FAILED", "CUFFT_INVALID_TYPE",
        "CUFFT_INVALID_VALUE", "CUFFT_INTERNAL_ERROR", "CUFFT_EXEC_FAILED",  "CUFFT_SETUP_FAILED",
        "CUFFT_INVALID_SIZE",  "CUFFT_UNALIGNED_DATA"};
    const int code = static_cast<int>(result);
    return code >= 0 && code < static_cast<int>(sizeof kNames / sizeof kNames[0])
               ? kNames[code]
               : "unrecognized cuFFT result";
}

}  // namespace lmx
