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
//   forEachPixelRows2D(w, h, body(x, y, Rows<R>, n))
//                                    forEachPixel2D for threads that write a strip of R rows:
//                                    pixels (x, y + j) for j < n <= R (R = kRowsPerThread on
//                                    the GPU, so that neighbouring rows share their loads; 1 in
//                                    the CPU's plain loops)
//   forEachStagedRows2D(w, h, hx, hy, read, inside, body(x, y, Rows<R>, n, win))
//                                    the same strips over a staged tile: win(dx, dy) is
//                                    read(x + dx, y + dy) for |dx| <= hx, -hy <= dy < n + hy
//   forEachBlock(body(Block blk))    block-cooperative kernels, written as phases:
//       blk.threads(f)      f(t) for every thread t of the block
//       blk.threads(s, f)   f(t) for t < s
//       blk.sync()          barrier between phases
//
// Under nvcc each shape computes the calling thread's index and calls the body once: the kernel
// is a real __global__ function (backend/cuda/Engine.cuh). Under the host compiler the same
// function runs the whole launch as loops (backend/cpu/Engine.h: the rows or blocks split
// between threads, a vectorisable inner loop with the body inlined); the launch shape is read
// once per launch, never per pixel.
//
// Rules for block-cooperative kernels: every statement that depends on the thread sits inside a
// phase; a value that lives across a barrier lives in an LMX_SHARED array; sync() only at points
// that every thread of the block reaches. On the CPU the phases of a block run one after another
// in thread order, so a phase whose threads may hit the same address (histogram counting) uses
// sharedAdd, which is an atomic on the GPU and a plain add here; blockAdd, blockMin and blockMax
// do the same for memory that only one block writes (its own slots of a partial result).

#include "kernels/StripShape.h"

#include <cstdint>

#if defined(__CUDACC__)

#define LMX_KERNEL __global__ void
#define LMX_HD __host__ __device__ __forceinline__
#define LMX_DEVICE __device__ __forceinline__
#define LMX_SHARED __shared__
#define LMX_CONSTANT __constant__

#include "backend/cuda/Engine.cuh"

#elif defined(LMX_BACKEND_CUDA)  // host code of the cuda build

// Host units of the cuda build may include headers shared with the kernels (border rules,
// coefficient builders); they see the helpers as plain inline functions and no loop shapes, and
// never the cpu backend's engine.
#include <cuda_runtime_api.h>

#define LMX_HD inline
#define LMX_DEVICE inline
#define LMX_SHARED
#define LMX_CONSTANT

#else  // host compiler: the CPU backend

#define LMX_KERNEL void
#define LMX_HD inline
#define LMX_DEVICE inline
#define LMX_SHARED
#define LMX_CONSTANT

#include "backend/cpu/Engine.h"

#endif

namespace lmx {

//! Loads a thread of a streaming kernel (reductions, histogram) issues before it uses the first
//! of them: on the GPU several in flight hide the memory's latency; on the CPU the traversals
//! stream instead, and the kernels take one at a time.
#if defined(__CUDACC__)
constexpr int kLoadsInFlight = 8;
#else
constexpr int kLoadsInFlight = 1;
#endif

//! Largest staged tile: 48 KiB of shared memory, the least every device offers a block.
constexpr int kMaxStagedTileFloats = 48 * 1024 / 4;

//! Floats of the tile a bx x by block stages for a halo of hx and hy, or 0 when it would not
//! fit (then nothing is staged). Host code sizes the launch's shared memory with it.
LMX_HD int stagedTileFloats(int bx, int by, int hx, int hy) {
    const long long floats = (bx + 2LL * hx) * (by + 2LL * hy);
    return hx < 0 || hy < 0 || floats > kMaxStagedTileFloats ? 0 : static_cast<int>(floats);
}

//! Row pitch, in floats, of the tile of a strip-shaped block bx threads wide with a halo of hx:
//! at least bx + 2 hx, and such that the rows of two neighbouring rows of threads, which lie
//! kRowsPerThread tile rows apart, fall into opposite halves of the 32 shared-memory banks, so
//! that the two half-warps of a 16-wide block read without conflict.
LMX_HD int stripTilePitch(int bx, int hx) {
    static_assert(kRowsPerThread == 4, "the pitch is chosen for strips of four rows");
    const int tw = bx + 2 * hx;
    return tw + ((4 - tw % 8) + 8) % 8;  // 4 * pitch % 32 == 16
}

//! Floats of the tile a bx x by block of the strip shape stages (by rows of threads, each
//! writing kRowsPerThread rows) for a halo of hx and hy, or 0 when it would not fit.
LMX_HD int stripTileFloats(int bx, int by, int hx, int hy) {
    if (hx < 0 || hy < 0) return 0;
    const long long floats =
        (bx + 2LL * hx + 7) * (1LL * by * kRowsPerThread + 2LL * hy);  // the pitch's bound
    if (floats > kMaxStagedTileFloats) return 0;
    return stripTilePitch(bx, hx) * (by * kRowsPerThread + 2 * hy);
}

}  // namespace lmx
