#pragma once
// The CPU engine: the kernel dialect's loop shapes for the host compiler, and the one way the
// backend splits work between threads.
//
// A kernel written against the dialect (kernels/Dialect.h) runs here as a whole launch of loops:
// the launch shape is read once, the rows or chunks are split between the threads of the OpenMP
// team, and the inner loop, with the body inlined, is left to the compiler to vectorise. The
// traversals of backend/cpu and the host work of the operations (runtime/Backend.h) split their
// work through parallelRows and parallelParts, so that OpenMP is named in this header alone.

#include "backend/cpu/CudaRuntime.h"
#include "backend/cpu/Streaming.h"
#include "kernels/StripShape.h"

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

// Asks the compiler to vectorise the loop that follows (the iterations are independent).
#define LMX_SIMD _Pragma("omp simd")

namespace lmx {
namespace cpu {

// Shape of the launch being run; set by cudaLaunchKernel before it calls the kernel, read once
// by the loop shape at the start of the launch.
struct LaunchShape {
    dim3 grid;
    dim3 block;
};
extern LaunchShape currentLaunch;

// The least work (pixels, or pixel-tap products of a filter) worth splitting between threads
// when the team wakes in no time (idle threads spinning); parallelWork() raises it to what the
// team's measured wake-up is worth.
constexpr long long kParallelThreshold = 1 << 15;
// Pixels per chunk of a parallel launch: large enough to hide the scheduling, small enough to
// keep every thread busy on small images.
constexpr int kChunk = 4096;

//! The number of threads a parallel region runs on.
inline int teamSize() {
    return std::max(1, omp_get_max_threads());
}

//! The work from which a launch is split between the team's threads (Team.cpp): below it one
//! thread finishes sooner than the team wakes, whatever wait policy the caller has set (idle
//! threads that sleep take tens of microseconds to wake). Never below kParallelThreshold; with
//! a team of one thread, more than any launch has.
long long parallelWork();

//! True when `work` is worth a parallel region.
inline bool splits(long long work) {
    return work >= parallelWork();
}

//! The median wall time, in seconds, of a parallel region that does next to nothing once the
//! team is made: what waking the idle threads and joining them costs under the wait policy.
inline double regionSeconds() {
    using Clock = std::chrono::steady_clock;
    constexpr int kTimes = 7;
    double seconds[kTimes];
    // Each thread writes its number: the compiler removes a region that does nothing at all.
    volatile int sink = 0;
#pragma omp parallel
    sink = omp_get_thread_num();  // the first region makes the threads; it is not timed
    for (double& s : seconds) {
        // The idle threads get time to settle into their wait, as they do between the launches
        // of a program; a region right after another finds them still awake.
        const Clock::time_point settled = Clock::now() + std::chrono::microseconds(100);
        while (Clock::now() < settled) {
        }
        const Clock::time_point start = Clock::now();
#pragma omp parallel
        sink = omp_get_thread_num();  // only the wake-up and the join are timed
        s = std::chrono::duration<double>(Clock::now() - start).count();
    }
    (void)sink;
    std::sort(seconds, seconds + kTimes);
    return seconds[kTimes / 2];
}

//! row(y) for y in [0, rows), the rows split evenly between the team's threads when `work`
//! is worth it (splits); otherwise on the calling thread, without entering a parallel region at
//! all (that costs microseconds).
template <class Row>
inline void parallelRows(int rows, long long work, Row row) {
    if (!splits(work)) {
        for (int y = 0; y < rows; ++y) row(y);
        return;
    }
#pragma omp parallel for schedule(static)
    for (int y = 0; y < rows; ++y) row(y);
}

//! part(id, count) once for each of `count` parts, count being at most `parts`: each thread of
//! the team takes one part when `work` is worth it (splits); otherwise the calling thread takes
//! the whole (id 0 of 1). For work whose threads keep state of their own (scratch rows,
//! per-thread counters) that parallelRows would set up row by row.
template <class Part>
inline void parallelParts(int parts, long long work, Part part) {
    if (parts <= 1 || !splits(work)) {
        part(0, 1);
        return;
    }
#pragma omp parallel num_threads(parts)
    part(omp_get_thread_num(), omp_get_num_threads());
}

//! The first and one-past-last of `n` items that part `id` of `count` takes: contiguous, in
//! order, sizes differing by at most one.
inline void partRange(long long n, int id, int count, long long& first, long long& last) {
    first = n * id / count;
    last = n * (id + 1) / count;
}

//! The pixels a pixel-wise launch over n runs: min(n, grid x block).
inline int launchedPixels(int n) {
    const LaunchShape& s = currentLaunch;
    return static_cast<int>(std::min<long long>(n, 1LL * s.grid.x * s.block.x));
}

//! f(args...) through one out-of-line copy of f. The loop shapes call their bodies through it
//! both on the calling thread and on the team: the code the compiler makes of a kernel body
//! depends on the code around it, down to which operand of a sum of two NaNs gives the result's
//! payload, so the two ways of running a launch share one copy and give the same bits.
template <class F, class... A>
[[gnu::noinline]] void runOutOfLine(const F& f, A... args) {
    f(args...);
}

//! range(lo, hi) over [0, end) in chunks of kChunk, on the team when end is worth it. Chunk ends
//! are computed in 64 bits: the last chunk of a count near INT_MAX ends past INT_MAX. A launch
//! kept on the calling thread enters no parallel region at all: even a region of one thread
//! costs the runtime's bookkeeping, which on a one-pixel launch is most of the call.
template <class Range>
inline void forEachChunk(int end, Range range) {
    const int chunks = end > 0 ? end / kChunk + (end % kChunk ? 1 : 0) : 0;
    const auto chunk = [&](int c) {
        range(c * kChunk, static_cast<int>(std::min<long long>(end, (c + 1LL) * kChunk)));
    };
    if (!splits(end)) {
        for (int c = 0; c < chunks; ++c) runOutOfLine(chunk, c);
        return;
    }
#pragma omp parallel for schedule(static)
    for (int c = 0; c < chunks; ++c) runOutOfLine(chunk, c);
}

//! out[i] = value(i) for i in [lo, hi): the values of each whole line are computed into a small
//! buffer (the vectorised loop) and streamed; the partial lines at the two ends are stored as
//! usual. The values, and the order of the calls for one element, are those of a plain loop.
template <class T, class F>
inline void streamValues(T* out, int lo, int hi, F& value) {
    static_assert(kLineBytes % sizeof(T) == 0, "element size divides a line");
    constexpr int kPerLine = kLineBytes / static_cast<int>(sizeof(T));
    int i = lo;
    const int head = lo + (hi - lo < elementsToLine(out, lo) ? hi - lo : elementsToLine(out, lo));
    for (; i < head; ++i) out[i] = value(i);
    for (; i <= hi - kPerLine; i += kPerLine) {  // i + kPerLine could pass INT_MAX
        alignas(kLineBytes) T line[kPerLine];
        LMX_SIMD
        for (int j = 0; j < kPerLine; ++j) line[j] = value(i + j);
        streamLine(out + i, line);
    }
    for (; i < hi; ++i) out[i] = value(i);
    fenceStreamingStores();
}

}  // namespace cpu

template <class F>
inline void forEachPixel(int n, F body) {
    cpu::forEachChunk(cpu::launchedPixels(n), [&](int lo, int hi) {
        // A local copy of the body lets the compiler keep the captured pointers in registers
        // and vectorise the loop.
        F local = body;
        LMX_SIMD
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

// Columns beyond the grid's threads are left alone; rows never are: the threads of a grid with
// fewer rows than the plane loop over the rows, as the GPU's do.
template <class F>
inline void forEachPixel2D(int w, int h, F body) {
    const cpu::LaunchShape& s = cpu::currentLaunch;
    const int xEnd = static_cast<int>(std::min<long long>(w, 1LL * s.grid.x * s.block.x));
    const int yEnd = h;
    const auto row = [&](int y) {
        F local = body;
        LMX_SIMD
        for (int x = 0; x < xEnd; ++x) local(x, y);
    };
    if (!cpu::splits(1LL * xEnd * yEnd)) {
        for (int y = 0; y < yEnd; ++y) cpu::runOutOfLine(row, y);
        return;
    }
#pragma omp parallel for schedule(static)
    for (int y = 0; y < yEnd; ++y) cpu::runOutOfLine(row, y);
}

//! The window of pixel (x, y) read through the source's read().
template <class Read>
struct ReadWindow {
    Read read;
    int x, y;
    float operator()(int dx, int dy) const { return read(x + dx, y + dy); }
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

// Defined in kernels/Dialect.h, beside stagedTileFloats.
inline int stripTilePitch(int bx, int hx);
inline int stripTileFloats(int bx, int by, int hx, int hy);

//! The window of a pixel inside a staged tile: centre is the pixel, pitch the tile's width.
struct TileWindow {
    const float* centre;
    int pitch;
    float operator()(int dx, int dy) const { return centre[dy * pitch + dx]; }
};

namespace cpu {

//! When set (tests set it), the strip shapes run a launch as the GPU runs it: block after block,
//! each staging its tile as the GPU's does and each of its threads writing a strip of
//! kRowsPerThread rows, so that the strip bodies the GPU runs are checked on this backend
//! against the plain ones. One thread, no vectorisation: for tests only.
inline bool stripsAsOnTheGpu = false;

//! The GPU's strip shapes, block by block (Engine.cuh): thread(x, y, n, tile, pitch) for each
//! thread whose strip starts inside the plane, tile pointing at the strip's first pixel in the
//! block's staged tile, or null where nothing is staged (hx < 0: the unstaged shape).
template <class Read, class Thread>
void runStripBlocks(int w, int h, int hx, int hy, Read read, Thread thread) {
    const LaunchShape s = currentLaunch;
    const int bx = static_cast<int>(s.block.x), by = static_cast<int>(s.block.y);
    const int rows = by * kRowsPerThread, tw = bx + 2 * hx;
    const bool staged = hx >= 0 && stripTileFloats(bx, by, hx, hy) > 0;
    const int pitch = staged ? stripTilePitch(bx, hx) : 0;
    std::vector<float> tile(staged ? static_cast<std::size_t>(stripTileFloats(bx, by, hx, hy)) : 0);
    for (unsigned gy = 0; gy < s.grid.y; ++gy)
        for (unsigned gx = 0; gx < s.grid.x; ++gx)
            for (long long y0 = 1LL * gy * rows; y0 < h; y0 += 1LL * s.grid.y * rows) {
                const int x0 = static_cast<int>(gx) * bx;
                if (staged)
                    for (int i = 0; i < tw * (rows + 2 * hy); ++i)
                        tile[static_cast<std::size_t>(i / tw * pitch + i % tw)] =
                            read(x0 - hx + i % tw, static_cast<int>(y0) - hy + i / tw);
                for (int ty = 0; ty < by; ++ty)
                    for (int tx = 0; tx < bx; ++tx) {
                        const int x = x0 + tx;
                        const long long y = y0 + 1LL * ty * kRowsPerThread;
                        if (x >= w || y >= h) continue;
                        const long long left = h - y;
                        const float* at =
                            staged ? tile.data() + (ty * kRowsPerThread + hy) * pitch + tx + hx
                                   : nullptr;
                        thread(x, static_cast<int>(y),
                               left < kRowsPerThread ? static_cast<int>(left) : kRowsPerThread, at,
                               pitch);
                    }
            }
}

}  // namespace cpu

// Strips of one row each, in forEachPixel2D's loops (the GPU's strips where stripsAsOnTheGpu).
template <class F>
inline void forEachPixelRows2D(int w, int h, F body) {
    if (cpu::stripsAsOnTheGpu) {
        cpu::runStripBlocks(
            w, h, -1, 0, [](int, int) { return 0.0f; },
            [&](int x, int y, int n, const float*, int) { body(x, y, Rows<kRowsPerThread>{}, n); });
        return;
    }
    forEachPixel2D(w, h, [=](int x, int y) { body(x, y, Rows<1>{}, 1); });
}

// forEachStagedPixel2D in strips of one row (the GPU's strips where stripsAsOnTheGpu).
template <class Read, class Inside, class F>
inline void forEachStagedRows2D(int w, int h, int hx, int hy, Read read, Inside inside, F body) {
    if (cpu::stripsAsOnTheGpu) {
        cpu::runStripBlocks(w, h, hx, hy, read, [&](int x, int y, int n, const float* at, int p) {
            if (at)
                body(x, y, Rows<kRowsPerThread>{}, n, TileWindow{at, p});
            else
                body(x, y, Rows<kRowsPerThread>{}, n, ReadWindow<Read>{read, x, y});
        });
        return;
    }
    forEachStagedPixel2D(w, h, hx, hy, read, inside,
                         [=](int x, int y, const auto& win) { body(x, y, Rows<1>{}, 1, win); });
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
    const auto block = [&](int b) {
        body(Block{b, size, blocks});
    };
    if (!cpu::splits(1LL * blocks * size)) {
        for (int b = 0; b < blocks; ++b) cpu::runOutOfLine(block, b);
        return;
    }
#pragma omp parallel for schedule(static)
    for (int b = 0; b < blocks; ++b) cpu::runOutOfLine(block, b);
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
