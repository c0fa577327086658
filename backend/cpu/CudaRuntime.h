#pragma once
// The part of the CUDA runtime interface that Lumerix calls, provided by the CPU backend.
//
// Types, constants and error codes carry CUDA's names and numeric values so that host code reads
// the same in both builds. Everything lives in namespace lmx::cpu and is brought to global scope
// with using-declarations: no symbol of this library is named like the real runtime's, and a
// program may link Lumerix and the CUDA runtime side by side.

#include <cstddef>

namespace lmx::cpu {

enum cudaError {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInitializationError = 3,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidPitchValue = 12,
    cudaErrorInvalidSymbol = 13,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorInsufficientDriver = 35,
    cudaErrorInvalidDeviceFunction = 98,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorLaunchOutOfResources = 701,
    cudaErrorLaunchFailure = 719,
    cudaErrorUnknown = 999,
};
using cudaError_t = cudaError;

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4,
};

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1)
        : x(vx), y(vy), z(vz) {}
};

struct alignas(8) float2 {
    float x, y;
};

using cudaStream_t = struct CUstream_st*;

struct cudaDeviceProp {
    char name[256];
    std::size_t totalGlobalMem;
    std::size_t sharedMemPerBlock;
    int regsPerBlock;
    int warpSize;
    int maxThreadsPerBlock;
    int maxThreadsDim[3];
    int maxGridSize[3];
    std::size_t totalConstMem;
    int major;
    int minor;
    int multiProcessorCount;
};

cudaError_t cudaMalloc(void** ptr, std::size_t size);
cudaError_t cudaFree(void* ptr);
cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemcpy2D(void* dst, std::size_t dpitch, const void* src, std::size_t spitch,
                         std::size_t width, std::size_t height, cudaMemcpyKind kind);
cudaError_t cudaMemset(void* ptr, int value, std::size_t count);
// Page-locked host memory: host memory here too (it takes nothing from the device's capacity),
// tracked so that a free of anything else fails as it would on a GPU.
cudaError_t cudaMallocHost(void** ptr, std::size_t size);
cudaError_t cudaFreeHost(void* ptr);
// Every launch and copy has finished when it returns, so the asynchronous copy is the copy and
// waiting for a stream only reports an injected fault.
cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream = nullptr);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorString(cudaError_t error);
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaMemGetInfo(std::size_t* free, std::size_t* total);
cudaError_t cudaLaunchKernel(const void* func, dim3 grid, dim3 block, void** args,
                             std::size_t sharedMem = 0, cudaStream_t stream = nullptr);
// Blocks of blockSize threads that one multiprocessor runs at once. Each thread of the team
// stands for one multiprocessor (multiProcessorCount) and runs one block at a time.
cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessor(int* numBlocks, const void* func,
                                                          int blockSize,
                                                          std::size_t dynamicSMemSize);

// Copies to a variable of the kernel module ("constant memory"); on this backend the symbol is
// a plain host array, so the copy is a memcpy with a bounds check.
cudaError_t copyToSymbol(void* symbol, std::size_t symbolBytes, const void* src, std::size_t count,
                         std::size_t offset);

template <class T>
cudaError_t cudaMemcpyToSymbol(T& symbol, const void* src, std::size_t count,
                               std::size_t offset = 0,
                               cudaMemcpyKind kind = cudaMemcpyHostToDevice) {
    if (kind != cudaMemcpyHostToDevice && kind != cudaMemcpyDefault)
        return copyToSymbol(nullptr, 0, nullptr, 1, 1);  // records cudaErrorInvalidMemcpyDirection
    return copyToSymbol(static_cast<void*>(&symbol), sizeof(T), src, count, offset);
}

}  // namespace lmx::cpu

using lmx::cpu::cudaDeviceProp;
using lmx::cpu::cudaError;
using lmx::cpu::cudaError_t;
using lmx::cpu::cudaMemcpyKind;
using lmx::cpu::cudaStream_t;
using lmx::cpu::dim3;
using lmx::cpu::float2;

using lmx::cpu::cudaErrorInitializationError;
using lmx::cpu::cudaErrorInsufficientDriver;
using lmx::cpu::cudaErrorInvalidConfiguration;
using lmx::cpu::cudaErrorInvalidDevice;
using lmx::cpu::cudaErrorInvalidDeviceFunction;
using lmx::cpu::cudaErrorInvalidDevicePointer;
using lmx::cpu::cudaErrorInvalidMemcpyDirection;
using lmx::cpu::cudaErrorInvalidPitchValue;
using lmx::cpu::cudaErrorInvalidSymbol;
using lmx::cpu::cudaErrorInvalidValue;
using lmx::cpu::cudaErrorLaunchFailure;
using lmx::cpu::cudaErrorLaunchOutOfResources;
using lmx::cpu::cudaErrorMemoryAllocation;
using lmx::cpu::cudaErrorNoDevice;
using lmx::cpu::cudaErrorUnknown;
using lmx::cpu::cudaSuccess;

using lmx::cpu::cudaMemcpyDefault;
using lmx::cpu::cudaMemcpyDeviceToDevice;
using lmx::cpu::cudaMemcpyDeviceToHost;
using lmx::cpu::cudaMemcpyHostToDevice;
using lmx::cpu::cudaMemcpyHostToHost;

using lmx::cpu::cudaDeviceSynchronize;
using lmx::cpu::cudaFree;
using lmx::cpu::cudaFreeHost;
using lmx::cpu::cudaGetDevice;
using lmx::cpu::cudaGetDeviceCount;
using lmx::cpu::cudaGetDeviceProperties;
using lmx::cpu::cudaGetErrorString;
using lmx::cpu::cudaGetLastError;
using lmx::cpu::cudaLaunchKernel;
using lmx::cpu::cudaMalloc;
using lmx::cpu::cudaMallocHost;
using lmx::cpu::cudaMemcpy;
using lmx::cpu::cudaMemcpy2D;
using lmx::cpu::cudaMemcpyAsync;
using lmx::cpu::cudaMemcpyToSymbol;
using lmx::cpu::cudaMemGetInfo;
using lmx::cpu::cudaMemset;
using lmx::cpu::cudaOccupancyMaxActiveBlocksPerMultiprocessor;
using lmx::cpu::cudaPeekAtLastError;
using lmx::cpu::cudaSetDevice;
using lmx::cpu::cudaStreamSynchronize;
