#pragma once
// The kernel dialect: one kernel source, two ways of running it.
//
// A kernel's per-thread work is written once, as a body inside one of three loop shapes:
//
//   forEachPixel(n, body(i))         one thread per pixel i < n (1-D grid of any block size)
//   mapPixels(n, out, value(i))      the same threads, each writing out[i] = value(i) and
//                                    nothing else: the CPU may then stream large results
//   forEachPixel2D(w, h, body(x, y)) one thread per pixel of a w x h plane (2-D grid)
//   forEachStagedPixel2D(w, h, hx, hy, read, inside, body(x, y, win))
//                                    forEachPixel2D for window filters: win(dx, dy) is
//                                    read(x + dx, y + dy) for |dx| <= hx, |dy| <= hy; the GPU
//                                    stages the block's tile of read() in shared memory first,
//                                    the CPU reads windows inside the plane through inside()
//   forEachBlock(body(Block blk))    block-cooperative kernels, written as phases:
//       blk.threads(f)      f(t) for every thread t of the block
//       blk.threads(s, f)   f(t) for t < s
//       blk.sync()          barrier between phases
//
// Under nvcc each shape computes the calling thread's index and calls the body once: the kernel
// is a real __global__ function. Under the host compiler the same function runs the whole launch
// as loops (OpenMP across blocks or rows, a vectorisable inner loop with the body inlined); the
// launch shape is read once per launch, never per pixel.
//
// Rules for block-cooperative kernels: every statement that depends on the thread sits inside a
// phase; a value that lives across a barrier lives in an LMX_SHARED array; sync() only at points
// that every thread of the block reaches. On the CPU the phases of a block run one after another
// in thread order, so a phase whose threads may hit the same address (histogram counting) uses
// sharedAdd, which is an atomic on the GPU and a plain add here; blockAdd, blockMin and blockMax
// do the same for memory that only one block writes (its own slots of a partial result).

#include <cstdint>

#if defined(__CUDACC__)

#include <cuda_runtime.h>

#define LMX_KERNEL __global__ void
#define LMX_HD __host__ __device__ __forceinline__
#define LMX_DEVICE __device__ __forceinline__
#define LMX_SHARED __shared__
#define LMX_CONSTANT __constant__

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

LMX_HD int stagedTileFloats(int bx, int by, int hx, int hy);

//! The window of pixel (x, y) read through the source's read().
template <class Read>
struct ReadWindow {
    Read read;
    int x, y;
    LMX_HD float operator()(int dx, int dy) const { return read(x + dx, y + dy); }
};

//! The window of a pixel inside a staged tile: centre is the pixel, pitch the tile's width.
struct TileWindow {
    const float* centre;
    int pitch;
    LMX_HD float operator()(int dx, int dy) const { return centre[dy * pitch + dx]; }
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
    const int x0 = blockIdx.x * blockDim.x, y0 = blockIdx.y * blockDim.y;
    const int x = x0 + threadIdx.x, y = y0 + threadIdx.y;
    const int tw = blockDim.x + 2 * hx;
    const int floats = stagedTileFloats(blockDim.x, blockDim.y, hx, hy);
    if (floats == 0) {
        if (x < w && y < h) body(x, y, ReadWindow<Read>{read, x, y});
        return;
    }
    const int threads = blockDim.x * blockDim.y;
    for (int i = threadIdx.y * blockDim.x + threadIdx.x; i < floats; i += threads)
        lmxStagedTile[i] = read(x0 - hx + i % tw, y0 - hy + i / tw);
    __syncthreads();
    if (x < w && y < h)
        body(x, y, TileWindow{lmxStagedTile + (threadIdx.y + hy) * tw + threadIdx.x + hx, tw});
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
// threads may update at the same moment: atomics on the GPU, plain updates here.
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

#elif defined(LMX_BACKEND_CUDA)  // host code of the cuda build

// Host units of the cuda build may include headers shared with the kernels (border rules,
// coefficient builders); they see the helpers as plain inline functions and no loop shapes, and
// never the cpu backend's stand-in.
#include <cuda_runtime_api.h>

#define LMX_HD inline
#define LMX_DEVICE inline
#define LMX_SHARED
#define LMX_CONSTANT

#else  // host compiler: the CPU backend

#include "backend/cpu/CudaRuntime.h"
#include "backend/cpu/Streaming.h"

#include <algorithm>

#define LMX_KERNEL void
#define LMX_HD inline
#define LMX_DEVICE inline
#define LMX_SHARED
#define LMX_CONSTANT

namespace lmx {
namespace cpu {

// Shape of the launch being run; set by cudaLaunchKernel before it calls the kernel, read once
// by the loop shape at the start of the launch.
struct LaunchShape {
    dim3 grid;
    dim3 block;
};
extern LaunchShape currentLaunch;

// Below this many pixels a launch runs on the calling thread: waking the team costs more.
constexpr long long kParallelThreshold = 1 << 15;
// Pixels per chunk of a parallel launch: large enough to hide the scheduling, small enough to
// keep every thread busy on small images.
constexpr int kChunk = 4096;

//! The pixels a pixel-wise launch over n runs: min(n, grid x block).
inline int launchedPixels(int n) {
    const LaunchShape& s = currentLaunch;
    return static_cast<int>(std::min<long long>(n, 1LL * s.grid.x * s.block.x));
}

//! range(lo, hi) over [0, end) in chunks of kChunk, on the team when end is large. Chunk ends are
//! computed in 64 bits: the last chunk of a count near INT_MAX ends past INT_MAX.
template <class Range>
inline void forEachChunk(int end, Range range) {
    const int chunks = end > 0 ? end / kChunk + (end % kChunk ? 1 : 0) : 0;
#pragma omp parallel for schedule(static) if (end >= kParallelThreshold)
    for (int c = 0; c < chunks; ++c)
        range(c * kChunk, static_cast<int>(std::min<long long>(end, (c + 1LL) * kChunk)));
}

}  // namespace cpu

template <class F>
inline void forEachPixel(int n, F body) {
    cpu::forEachChunk(cpu::launchedPixels(n), [&](int lo, int hi) {
        // A local copy of the body lets the compiler keep the captured pointers in registers
        // and vectorise the loop.
        F local = body;
#pragma omp simd
        for (int i = lo; i < hi; ++i) local(i);
    });
}

// A result larger than the streaming threshold is written line by line with streaming stores
// (Streaming.h); a smaller one stays in the cache for the next operation, through forEachPixel.
template <class T, class F>
inline void mapPixels(int n, T* out, F value) {
    const int end = cpu::launchedPixels(n);
    if (end <= 0 || !cpu::streamsResult(static_cast<std::size_t>(end) * sizeof(T))) {
        forEachPixel(n, [=](int i) { out[i] = value(i); });
        return;
    }
    cpu::forEachChunk(end, [&](int lo, int hi) {
        F local = value;
        cpu::streamValues(out, lo, hi, local);
    });
}

template <class F>
inline void forEachPixel2D(int w, int h, F body) {
    const cpu::LaunchShape& s = cpu::currentLaunch;
    const int xEnd = static_cast<int>(std::min<long long>(w, 1LL * s.grid.x * s.block.x));
    const int yEnd = static_cast<int>(std::min<long long>(h, 1LL * s.grid.y * s.block.y));
#pragma omp parallel for schedule(static) if (1LL * xEnd * yEnd >= cpu::kParallelThreshold)
    for (int y = 0; y < yEnd; ++y) {
        F local = body;
#pragma omp simd
        for (int x = 0; x < xEnd; ++x) local(x, y);
    }
}

//! The window of pixel (x, y) read through the source's read().
template <class Read>
struct ReadWindow {
    Read read;
    int x, y;
    LMX_HD float operator()(int dx, int dy) const { return read(x + dx, y + dy); }
};

// Host memory needs no staging: each window reads through read() itself, or through inside()
// where the whole window lies inside the plane (inside() may skip the border tests).
template <class Read, class Inside, class F>
inline void forEachStagedPixel2D(int w, int h, int hx, int hy, Read read, Inside inside, F body) {
    forEachPixel2D(w, h, [=](int x, int y) {
        if (x >= hx && x < w - hx && y >= hy && y < h - hy)
            body(x, y, ReadWindow<Inside>{inside, x, y});
        else
            body(x, y, ReadWindow<Read>{read, x, y});
    });
}

struct Block {
    int index;
    int size;
    int count;

    template <class F>
    void threads(F f) const {
        for (int t = 0; t < size; ++t) f(t);
    }
    template <class F>
    void threads(int active, F f) const {
        const int end = std::min(active, size);
        for (int t = 0; t < end; ++t) f(t);
    }
    void sync() const {}
};

template <class F>
inline void forEachBlock(F body) {
    const cpu::LaunchShape& s = cpu::currentLaunch;
    const int blocks = static_cast<int>(s.grid.x);
    const int size = static_cast<int>(s.block.x);
#pragma omp parallel for schedule(static)
    for (int b = 0; b < blocks; ++b) body(Block{b, size, blocks});
}

inline void sharedAdd(unsigned int* counter, unsigned int value) {
    *counter += value;
}

inline void blockAdd(unsigned long long* to, unsigned long long value) {
    *to += value;
}
inline void blockAdd(double* to, double value) {
    *to += value;
}
inline void blockMin(int* to, int value) {
    *to = value < *to ? value : *to;
}
inline void blockMax(int* to, int value) {
    *to = value > *to ? value : *to;
}

}  // namespace lmx

#endif

namespace lmx {

//! Largest staged tile: 48 KiB of shared memory, the least every device offers a block.
constexpr int kMaxStagedTileFloats = 48 * 1024 / 4;

//! Floats of the tile a bx x by block stages for a halo of hx and hy, or 0 when it would not
//! fit (then nothing is staged). Host code sizes the launch's shared memory with it.
LMX_HD int stagedTileFloats(int bx, int by, int hx, int hy) {
    const long long floats = (bx + 2LL * hx) * (by + 2LL * hy);
    return hx < 0 || hy < 0 || floats > kMaxStagedTileFloats ? 0 : static_cast<int>(floats);
}

}  // namespace lmx
