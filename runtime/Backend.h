#pragma once
// The seam between the code above the runtime and the backend it runs on: the one header outside
// backend/ that asks which backend the library is built for. Host code (the manager, the
// operations, the tests and tools through them) is written once against what it declares:
//   - the CUDA runtime's and cuFFT's names: the real ones in the cuda build, the CPU backend's
//     stand-ins otherwise;
//   - whether device memory is host memory;
//   - the capability hooks through which an operation takes a shorter path where the backend
//     allows it (each backend defines them; the cuda build's always decline);
//   - parallelFor, which runs host work on the backend's threads.

#if defined(LMX_BACKEND_CUDA)
#include <cuda_runtime_api.h>
#include <cufft.h>
#else
#include "backend/cpu/CudaRuntime.h"
#include "backend/cpu/Fft.h"
#endif

#include <cstddef>

namespace lmx {

//! True where "device memory" is host memory with a capacity (the cpu backend): host tables
//! that the library keeps then compete with images for that capacity.
constexpr bool kDeviceMemoryIsHost =
#if defined(LMX_BACKEND_CUDA)
    false;
#else
    true;
#endif

//! One line that names the backend, for the tool's description of the device.
constexpr const char* kBackendSummary =
#if defined(LMX_BACKEND_CUDA)
    "cuda";
#else
    "cpu (OpenMP threads running the device kernels)";
#endif

// ---- capability hooks -----------------------------------------------------------------------

//! True when a conversion whose narrow array has `bytes` bytes runs straight on the caller's
//! host array: on the cpu backend device memory is host memory, so an 8- or 16-bit conversion
//! of some size reads the caller's array, or writes the array it returns, in the launch itself
//! (the copy through a scratch buffer would move the narrow data twice more). Small conversions
//! keep the transfer, as on the GPU, whose kernels reach only device memory.
bool convertsInPlaceOnHost(std::size_t bytes);
//! Records that a conversion in place moved `bytes` bytes of narrow data in direction `kind`
//! (host to device or device to host), so that the backend's transfer counters show what a bus
//! would have carried. The cuda build never converts in place and records nothing.
void countInPlaceTransfer(cudaMemcpyKind kind, std::size_t bytes);

//! How the histogram's pixels reach their bins. The GPU converts them to 8 bits with one kernel
//! and counts the bytes with another; the cpu backend counts the n float pixels at `pixels`
//! (device memory) in one pass into the block histograms `partial` (64 x 256 counters) that the
//! merge sums, the state in which the counting kernel leaves them, and returns true. Where the
//! backend has no such pass it returns false and writes nothing.
bool countFloatPixels(const float* pixels, int n, unsigned int* partial);

//! Keeps the FFT's planning in the file at path between processes (see fftKeepPlans); returns
//! whether the file's plans were taken. The cuda build has nothing to keep and returns false.
bool keepFftPlans(const char* path);
//! "NAME=VALUE": the environment setting under which the backend's idle threads sleep instead of
//! spinning while they wait for work, or nullptr where the backend has none (the cuda build).
//! It is read when the library is loaded: a program that wants it must have it in its
//! environment from the start (the lumerix tool starts itself again with it).
const char* passiveWaitEnvironment();
//! The FFT plans this process had to measure, not finding them in wisdom (the cuda build: 0).
long fftPlansMeasured();
//! The forward transform of the real image at `image` through `plan` (held, of the image's
//! size, its work area set), its real parts written to `re` and its imaginary parts to `im`, with
//! `work` (as many complex values as the image has pixels) as the working array; all device
//! memory. The cpu backend reads the image in the transform's first pass and splits the result
//! in its last one, and returns true. Where the backend has no such path it returns false and
//! writes nothing; the caller then converts, transforms and splits.
bool fftOfRealImage(cufftHandle plan, const float* image, float2* work, float* re, float* im);
//! Whether the backend has fftOfRealImage's and ifftToRealImage's paths (the cpu backend). Only
//! then do the transforms hold their results locked while their sources are: elsewhere a source
//! stays free to be spilled while the results are allocated, as the general path allows.
constexpr bool kFftOfImagesInPasses =
#if defined(LMX_BACKEND_CUDA)
    false;
#else
    true;
#endif
//! The inverse transform of re + i im through `plan` into `out`, where its result is real: when
//! the array is exactly Hermitian (its value at (x, y) is the conjugate of its value at (-x, -y),
//! as every forward transform of a real image is). The cpu backend checks that while it reads
//! the array for the transform's first pass and returns true having written out. False where
//! the backend has no such path or the array is not Hermitian: out is not written, work may be.
bool ifftToRealImage(cufftHandle plan, const float* re, const float* im, float2* work, float* out);
//! Runs `passes` (at least 2) passes of the 3 x 3 square erosion (dilation when `dilation`) of
//! the w x h plane at `src` (device memory) as one wider pass where the backend can, giving the
//! bits the passes give, into `dst`; `spare`, a plane of the same size, may be overwritten. Both
//! are device memory and distinct from `src`. Returns false where the backend runs the passes
//! one by one; dst and spare may then hold anything.
bool foldSquarePasses(const float* src, float* spare, float* dst, int w, int h, int passes,
                      bool dilation);

// ---- host work on the backend's threads ----------------------------------------------------

//! The number of threads host work may run on at once.
int hostThreads();

//! work(context, i) for i = 0 ... count - 1, in parallel: on the cpu backend on the team that runs
//! its kernels (threads of our own would compete with the team's idle threads, which spin for a
//! while after each launch), elsewhere on threads of its own.
void parallelFor(int count, void (*work)(void* context, int i), void* context);

//! parallelFor over a callable: f(i) for i = 0 ... count - 1.
template <class F>
void parallelFor(int count, F& f) {
    parallelFor(
        count, [](void* c, int i) { (*static_cast<F*>(c))(i); }, &f);
}

// ---- names for fatal reports
// ---------------------------------------------------------------------

//! The name of a cuFFT result code, as the fatal report shows it: every code of cuFFT 11 to 12
//! (CUDA 12 and 13), those one release dropped included, by number.
inline const char* fftResultText(cufftResult result) {
    static const char* const kNames[] = {"CUFFT_SUCCESS",
                                         "CUFFT_INVALID_PLAN",
                                         "CUFFT_ALLOC_FAILED",
                                         "CUFFT_INVALID_TYPE",
                                         "CUFFT_INVALID_VALUE",
                                         "CUFFT_INTERNAL_ERROR",
                                         "CUFFT_EXEC_FAILED",
                                         "CUFFT_SETUP_FAILED",
                                         "CUFFT_INVALID_SIZE",
                                         "CUFFT_UNALIGNED_DATA",
                                         "CUFFT_INCOMPLETE_PARAMETER_LIST",
                                         "CUFFT_INVALID_DEVICE",
                                         "CUFFT_PARSE_ERROR",
                                         "CUFFT_NO_WORKSPACE",
                                         "CUFFT_NOT_IMPLEMENTED",
                                         "CUFFT_LICENSE_ERROR",
                                         "CUFFT_NOT_SUPPORTED",
                                         "CUFFT_MISSING_DEPENDENCY",
                                         "CUFFT_NVRTC_FAILURE",
                                         "CUFFT_NVJITLINK_FAILURE",
                                         "CUFFT_NVSHMEM_FAILURE"};
    const int code = static_cast<int>(result);
    return code >= 0 && code < static_cast<int>(sizeof kNames / sizeof kNames[0])
               ? kNames[code]
               : "unrecognized cuFFT result";
}

}  // namespace lmx
