#pragma once
// The kernel dialect's loop shapes under nvcc (kernels/Dialect.h): each shape computes the
// calling thread's index and calls the body once, so a kernel is a real __global__ function.

#include <cuda_runtime.h>

namespace lmx {

template <class F>
__device__ __forceinline__ void forEachPixel(int n, F body) {
    const long long i = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (i < n) body(static_cast<int>(i));
}

template <class T, class F>
__device__ __forceinline__ void mapPixels(int n, T* out, F value) {
    forEachPixel(n, [=](int i) { out[i] = value(i); });
}

template <class F>
__device__ __forceinline__ void forEachPixel2D(int w, int h, F body) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x < w && y < h) body(x, y);
}

struct Block {
    int index;  // block index in the grid (x)
    int size;   // threads per block (x)
    int count;  // blocks in the grid (x)

    template <class F>
    __device__ __forceinline__ void threads(F f) const {
        f(static_cast<int>(threadIdx.x));
    }
    template <class F>
    __device__ __forceinline__ void threads(int active, F f) const {
        if (static_cast<int>(threadIdx.x) < active) f(static_cast<int>(threadIdx.x));
    }
    __device__ __forceinline__ void sync() const { __syncthreads(); }
};

template <class F>
__device__ __forceinline__ void forEachBlock(F body) {
    body(Block{static_cast<int>(blockIdx.x), static_cast<int>(blockDim.x),
               static_cast<int>(gridDim.x)});
}

// Adds to a shared counter that other threads of the block may update at the same moment.
__device__ __forceinline__ void sharedAdd(unsigned int* counter, unsigned int value) {
    atomicAdd(counter, value);
}

}  // namespace lmx
