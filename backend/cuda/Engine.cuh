#pragma once
// The kernel dialect's loop shapes under nvcc (kernels/Dialect.h): each shape computes the
// calling thread's index and calls the body once, so a kernel is a real __global__ function.

#include "kernels/StripShape.h"

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

// The grid has at most 65,535 rows of blocks: for a taller plane each thread takes row y, then
// y plus the rows the whole grid spans, and so on. Row indices are formed in 64 bits, since the
// last step may pass INT_MAX.
template <class F>
__device__ __forceinline__ void forEachPixel2D(int w, int h, F body) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    if (x >= w) return;
    const long long step = 1LL * gridDim.y * blockDim.y;
    for (long long y = 1LL * blockIdx.y * blockDim.y + threadIdx.y; y < h; y += step)
        body(x, static_cast<int>(y));
}

// Defined in kernels/Dialect.h, where host code sizes the launch's shared memory with it too.
__host__ __device__ __forceinline__ int stagedTileFloats(int bx, int by, int hx, int hy);

//! The window of pixel (x, y) read through the source's read().
template <class Read>
struct ReadWindow {
    Read read;
    int x, y;
    __device__ __forceinline__ float operator()(int dx, int dy) const {
        return read(x + dx, y + dy);
    }
};

//! The window of a pixel inside a staged tile: centre is the pixel, pitch the tile's width.
struct TileWindow {
    const float* centre;
    int pitch;
    __device__ __forceinline__ float operator()(int dx, int dy) const {
        return centre[dy * pitch + dx];
    }
};

// The tile a block stages: dynamic shared memory, sized by the launch (stagedTileFloats).
extern __shared__ float lmxStagedTile[];

// Every thread of the block helps to read the tile (its pixels and the halo of hx and hy around
// them) once; the threads inside the plane then run the body over the tile. A tile too large
// for shared memory is not staged: each window reads through read() itself. The choice depends
// on the block and the halo only, so every thread of the block makes it alike.
template <class Read, class Inside, class F>
__device__ __forceinline__ void forEachStagedPixel2D(int w, int h, int hx, int hy, Read read,
                                                     Inside, F body) {
    const int x0 = blockIdx.x * blockDim.x;
    const int x = x0 + threadIdx.x;
    const int tw = blockDim.x + 2 * hx;
    const int floats = stagedTileFloats(blockDim.x, blockDim.y, hx, hy);
    const int threads = blockDim.x * blockDim.y;
    const long long step = 1LL * gridDim.y * blockDim.y;
    // Rows of tiles as forEachPixel2D takes rows: the loop's bounds are the block's own, so that
    // every thread of the block reaches each barrier.
    for (long long y0 = 1LL * blockIdx.y * blockDim.y; y0 < h; y0 += step) {
        const int y = static_cast<int>(y0) + threadIdx.y;
        if (floats == 0) {
            if (x < w && y < h) body(x, y, ReadWindow<Read>{read, x, y});
            continue;
        }
        __syncthreads();  // the previous tile's readers are done with it
        for (int i = threadIdx.y * blockDim.x + threadIdx.x; i < floats; i += threads)
            lmxStagedTile[i] = read(x0 - hx + i % tw, static_cast<int>(y0) - hy + i / tw);
        __syncthreads();
        if (x < w && y < h)
            body(x, y, TileWindow{lmxStagedTile + (threadIdx.y + hy) * tw + threadIdx.x + hx, tw});
    }
}

// Defined in kernels/Dialect.h, beside stagedTileFloats.
__host__ __device__ __forceinline__ int stripTilePitch(int bx, int hx);
__host__ __device__ __forceinline__ int stripTileFloats(int bx, int by, int hx, int hy);

// Each thread writes the strip of kRowsPerThread rows from row (blockIdx.y * blockDim.y +
// threadIdx.y) * kRowsPerThread, the grid's rows looping over a taller plane as forEachPixel2D's
// do; n is the number of the strip's rows inside the plane.
template <class F>
__device__ __forceinline__ void forEachPixelRows2D(int w, int h, F body) {
    constexpr int kRows = kRowsPerThread;
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    if (x >= w) return;
    const long long step = 1LL * gridDim.y * blockDim.y * kRows;
    for (long long y = (1LL * blockIdx.y * blockDim.y + threadIdx.y) * kRows; y < h; y += step) {
        const long long left = h - y;
        body(x, static_cast<int>(y), Rows<kRows>{}, left < kRows ? static_cast<int>(left) : kRows);
    }
}

// forEachStagedPixel2D for strips: the block stages the tile of its blockDim.y * kRowsPerThread
// result rows and their halo once (its rows stripTilePitch apart), and each thread then walks
// the windows of its strip there, reading every tile row once for all the strip's results.
template <class Read, class Inside, class F>
__device__ __forceinline__ void forEachStagedRows2D(int w, int h, int hx, int hy, Read read, Inside,
                                                    F body) {
    constexpr int kRows = kRowsPerThread;
    const int x0 = blockIdx.x * blockDim.x;
    const int x = x0 + threadIdx.x;
    const int rows = blockDim.y * kRows;  // result rows of one block
    const int tw = blockDim.x + 2 * hx;
    const int pitch = stripTilePitch(blockDim.x, hx);
    const int staged =
        stripTileFloats(blockDim.x, blockDim.y, hx, hy) == 0 ? 0 : tw * (rows + 2 * hy);
    const int threads = blockDim.x * blockDim.y;
    const long long step = 1LL * gridDim.y * rows;
    for (long long y0 = 1LL * blockIdx.y * rows; y0 < h; y0 += step) {
        const long long y = y0 + threadIdx.y * kRows;
        const long long left = h - y;
        const int n = left < kRows ? static_cast<int>(left) : kRows;
        if (staged == 0) {
            if (x < w && n > 0)
                body(x, static_cast<int>(y), Rows<kRows>{}, n,
                     ReadWindow<Read>{read, x, static_cast<int>(y)});
            continue;
        }
        __syncthreads();  // the previous tile's readers are done with it
        for (int i = threadIdx.y * blockDim.x + threadIdx.x; i < staged; i += threads)
            lmxStagedTile[i / tw * pitch + i % tw] =
                read(x0 - hx + i % tw, static_cast<int>(y0) - hy + i / tw);
        __syncthreads();
        if (x < w && n > 0)
            body(x, static_cast<int>(y), Rows<kRows>{}, n,
                 TileWindow{lmxStagedTile + (threadIdx.y * kRows + hy) * pitch + threadIdx.x + hx,
                            pitch});
    }
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

// Updates of memory that one block owns (its slots of a partial result) but that several of its
// threads may update at the same moment.
__device__ __forceinline__ void blockAdd(unsigned long long* to, unsigned long long value) {
    atomicAdd(to, value);
}
__device__ __forceinline__ void blockAdd(double* to, double value) {
    atomicAdd(to, value);
}
__device__ __forceinline__ void blockMin(int* to, int value) {
    atomicMin(to, value);
}
__device__ __forceinline__ void blockMax(int* to, int value) {
    atomicMax(to, value);
}

}  // namespace lmx
