#pragma once
// The part of the cuFFT interface that Lumerix calls, provided by the CPU backend over FFTW in
// single precision. Types, constants and result codes carry cuFFT's names and numeric values;
// everything lives in namespace lmx::cpu and is brought to global scope with using-declarations,
// as the runtime stand-in is, so a program may link Lumerix and cuFFT side by side.

#include "backend/cpu/CudaRuntime.h"

#include <cstddef>

namespace lmx::cpu {

using cufftHandle = int;
using cufftComplex = float2;

// A fixed underlying type, as every code of any cuFFT release can reach the library.
enum cufftResult_t : int {
    CUFFT_SUCCESS = 0,
    CUFFT_INVALID_PLAN = 1,
    CUFFT_ALLOC_FAILED = 2,
    CUFFT_INVALID_TYPE = 3,
    CUFFT_INVALID_VALUE = 4,
    CUFFT_INTERNAL_ERROR = 5,
    CUFFT_EXEC_FAILED = 6,
    CUFFT_SETUP_FAILED = 7,
    CUFFT_INVALID_SIZE = 8,
    CUFFT_UNALIGNED_DATA = 9,
};
using cufftResult = cufftResult_t;

enum cufftType_t {
    CUFFT_R2C = 0x2a,
    CUFFT_C2R = 0x2c,
    CUFFT_C2C = 0x29,
};
using cufftType = cufftType_t;

// The signs of the exponent, as FFTW and cuFFT both number them.
constexpr int CUFFT_FORWARD = -1;
constexpr int CUFFT_INVERSE = 1;

//! A plan for nx rows of ny contiguous complex values (only CUFFT_C2C).
cufftResult cufftPlan2d(cufftHandle* plan, int nx, int ny, cufftType type);
//! A plan for batch transforms of nx contiguous complex values (only CUFFT_C2C, batch 1).
cufftResult cufftPlan1d(cufftHandle* plan, int nx, cufftType type, int batch);
//! The unnormalised transform of idata into odata (which may be idata) in the given direction.
cufftResult cufftExecC2C(cufftHandle plan, cufftComplex* idata, cufftComplex* odata, int direction);
cufftResult cufftDestroy(cufftHandle plan);

// Plans whose work area the caller provides, as cuFFT's extensible plans: cufftCreate, then
// cufftSetAutoAllocation(plan, 0), then cufftMakePlan*, which reports the work area's bytes;
// cufftSetWorkArea before each transform.
cufftResult cufftCreate(cufftHandle* plan);
cufftResult cufftSetAutoAllocation(cufftHandle plan, int autoAllocate);
cufftResult cufftMakePlan2d(cufftHandle plan, int nx, int ny, cufftType type,
                            std::size_t* workSize);
cufftResult cufftMakePlan1d(cufftHandle plan, int nx, cufftType type, int batch,
                            std::size_t* workSize);
cufftResult cufftGetSize(cufftHandle plan, std::size_t* workSize);
cufftResult cufftSetWorkArea(cufftHandle plan, void* workArea);

}  // namespace lmx::cpu

using lmx::cpu::cufftComplex;
using lmx::cpu::cufftHandle;
using lmx::cpu::cufftResult;
using lmx::cpu::cufftType;

using lmx::cpu::CUFFT_ALLOC_FAILED;
using lmx::cpu::CUFFT_C2C;
using lmx::cpu::CUFFT_C2R;
using lmx::cpu::CUFFT_EXEC_FAILED;
using lmx::cpu::CUFFT_FORWARD;
using lmx::cpu::CUFFT_INTERNAL_ERROR;
using lmx::cpu::CUFFT_INVALID_PLAN;
using lmx::cpu::CUFFT_INVALID_SIZE;
using lmx::cpu::CUFFT_INVALID_TYPE;
using lmx::cpu::CUFFT_INVALID_VALUE;
using lmx::cpu::CUFFT_INVERSE;
using lmx::cpu::CUFFT_R2C;
using lmx::cpu::CUFFT_SETUP_FAILED;
using lmx::cpu::CUFFT_SUCCESS;
using lmx::cpu::CUFFT_UNALIGNED_DATA;

using lmx::cpu::cufftCreate;
using lmx::cpu::cufftDestroy;
using lmx::cpu::cufftExecC2C;
using lmx::cpu::cufftGetSize;
using lmx::cpu::cufftMakePlan1d;
using lmx::cpu::cufftMakePlan2d;
using lmx::cpu::cufftPlan1d;
using lmx::cpu::cufftPlan2d;
using lmx::cpu::cufftSetAutoAllocation;
using lmx::cpu::cufftSetWorkArea;
