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
#include <climits>
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
// when the team wakes in no time (idle threads spinning); the learned threshold never goes below
// it, and launches below it are neither split nor timed.
constexpr long long kParallelThreshold = 1 << 15;
// Work that always splits, and that nothing is learned from: items worth a thread each.
constexpr long long kAlwaysSplit = LLONG_MAX;
// Pixels per chunk of a parallel launch: large enough to hide the scheduling, small enough to
// keep every thread busy on small images.
constexpr int kChunk = 4096;

//! The number of threads a parallel region runs on.
inline int teamSize() {
    return std::max(1, omp_get_max_threads());
}

//! What splitting a launch between the team's threads really costs, and the work from which
//! it pays.
//!
//! A split launch of work W on T threads takes about W / (T r) + c, where r is one thread's
//! rate (work per second) and c what the region adds: waking the idle threads, a thread that
//! starts late or runs slower on a busy core, the join. One thread alone takes W / r, so
//! splitting pays once W / r > c T / (T - 1). Both are learned from the launches themselves: a
//! timed launch on one thread gives r; a timed split launch gives r from the calling thread's
//! own share, and c as the wall time less that share. The threshold follows the medians of the
//! last few of each, so that one slow moment moves nothing and a lasting change (another wait
//! policy, a machine that got busy) moves it within a few launches.
//!
//! While launches stay on one thread nothing tells whether the team got cheaper, so now and then
//! launches that would not split are split anyway (probes): a short burst, because the second
//! of two split launches in a row finds the threads still awake where the wait policy lets them
//! spin, and a program that launches back to back pays that. The gap between bursts is many
//! times what a probe can lose, so probing costs a few percent at most.
class SplitCosts {
public:
    static constexpr int kSamples = 5;          // medians over this many of the latest samples
    static constexpr int kProbeBurst = 3;       // launches split in a row per probe
    static constexpr double kProbeGap = 0.01;   // seconds between bursts, at least,
    static constexpr double kProbeShare = 100;  // and at least this many region costs

    //! A team of `threads` whose region is taken to cost `regionSeconds`, one thread streaming
    //! `rate` work per second, until launches tell otherwise.
    SplitCosts(int threads, double regionSeconds, double rate);

    //! The work from which launches split.
    long long threshold() const { return threshold_; }
    //! True when a launch that the threshold keeps on one thread is split to learn what the
    //! team costs now; `now` is the time of the call (seconds on a steady clock).
    bool probe(double now);
    //! A launch of `work` that took `seconds` on one thread.
    void alone(long long work, double seconds);
    //! A launch of `work` split between `threads` threads that took `wall` seconds, of which the
    //! calling thread spent `own` on its share (1 / threads of the work); `end` is when it ended.
    void split(long long work, int threads, double wall, double own, double end);

    //! The medians the threshold is drawn from.
    double regionCost() const { return median(cost_); }
    double rate() const { return median(rate_); }

private:
    struct Window {
        double values[kSamples];
        int next;
    };
    static double median(const Window& w);
    static void add(Window& w, double value);
    void update();

    int threads_;
    Window cost_, rate_;
    long long threshold_ = 0;
    double nextProbe_ = 0;
    int burst_ = 0;  // probes left in the current burst
};

//! How a launch runs: on the calling thread or split, and whether it is timed to learn from.
enum class Run { Alone, AloneTimed, Split, SplitTimed };

//! The split setting in force, read by every launch.
struct SplitSetting {
    long long threshold;  // the work from which launches split
    long long timedFrom;  // the work from which launches are timed; LLONG_MAX: none
};
extern SplitSetting splitSetting;

//! The work from which a launch is split between the team's threads: the learned threshold
//! (SplitCosts), or the one set by setParallelWork. With a team of one thread, more than any
//! launch has.
long long parallelWork();

//! True when `work` is past the threshold (probes aside).
inline bool splits(long long work) {
    return work >= parallelWork();
}

//! How a timed launch of `work` that the threshold keeps on one thread runs: a probe or not
//! (Team.cpp).
Run aloneOrProbe(long long work);
//! The learned costs take in a timed launch (Team.cpp).
void learnAlone(long long work, double seconds);
void learnSplit(long long work, int threads, double wall, double own, double end);

//! The learned costs now, and a replacement for them (tests inject costs); learning goes on from
//! the replacement. Neither changes a threshold fixed by setParallelWork.
SplitCosts splitCosts();
void setSplitCosts(const SplitCosts& costs);

//! How a launch of `work` runs. The common cases take one comparison or two.
inline Run chooseRun(long long work) {
    const SplitSetting& s = splitSetting;
    if (work >= s.threshold)
        return work >= s.timedFrom && work < kAlwaysSplit ? Run::SplitTimed : Run::Split;
    if (work < s.timedFrom) return Run::Alone;
    return aloneOrProbe(work);
}

//! Seconds on the steady clock.
inline double clockSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

//! The median wall time, in seconds, of a parallel region that does next to nothing once the
//! team is made: what waking the idle threads and joining them costs under the wait policy,
//! with no work in the way (SplitCosts learns what real launches pay).
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

//! part(id, count) once for each of `count` parts, count being at most `parts`: each thread of
//! the team takes one part when the launch's `work` is worth it (chooseRun); otherwise the
//! calling thread takes the whole (id 0 of 1) without entering a parallel region at all (even a
//! region of one thread costs the runtime's bookkeeping, which on a one-pixel launch is most of
//! the call). Every way of splitting passes through here, so that the costs learned are those
//! of real launches.
template <class Part>
inline void parallelParts(int parts, long long work, Part part) {
    const Run run = parts > 1 ? chooseRun(work) : Run::Alone;
    if (run == Run::Alone) {
        part(0, 1);
        return;
    }
    if (run == Run::AloneTimed) {
        const double start = clockSeconds();
        part(0, 1);
        learnAlone(work, clockSeconds() - start);
        return;
    }
    if (run == Run::Split) {
#pragma omp parallel num_threads(parts)
        part(omp_get_thread_num(), omp_get_num_threads());
        return;
    }
    // The calling thread times its own share: what the region adds is the wall time less that.
    double own = 0;
    int threads = 1;
    const double start = clockSeconds();
#pragma omp parallel num_threads(parts)
    {
        const int id = omp_get_thread_num();
        if (id == 0) {
            threads = omp_get_num_threads();
            const double begin = clockSeconds();
            part(0, threads);
            own = clockSeconds() - begin;
        } else {
            part(id, omp_get_num_threads());
        }
    }
    const double end = clockSeconds();
    learnSplit(work, threads, end - start, own, end);
}

//! The first and one-past-last of `n` items that part `id` of `count` takes: contiguous, in
//! order, sizes differing by at most one.
inline void partRange(long long n, int id, int count, long long& first, long long& last) {
    first = n * id / count;
    last = n * (id + 1) / count;
}

//! row(y) for y in [0, rows), the rows split evenly between the team's threads when `work` is
//! worth it (parallelParts); otherwise on the calling thread.
template <class Row>
inline void parallelRows(int rows, long long work, Row row) {
    parallelParts(std::min(rows, teamSize()), work, [&](int id, int count) {
        long long first, last;
        partRange(rows, id, count, first, last);
        for (long long y = first; y < last; ++y) row(static_cast<int>(y));
    });
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
//! are computed in 64 bits: the last chunk of a count near INT_MAX ends past INT_MAX.
template <class Range>
inline void forEachChunk(int end, Range range) {
    const int chunks = end > 0 ? end / kChunk + (end % kChunk ? 1 : 0) : 0;
    const auto chunk = [&](int c) {
        range(c * kChunk, static_cast<int>(std::min<long long>(end, (c + 1LL) * kChunk)));
    };
    parallelRows(chunks, end, [&](int c) { runOutOfLine(chunk, c); });
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
    cpu::parallelRows(yEnd, 1LL * xEnd * yEnd, [&](int y) { cpu::runOutOfLine(row, y); });
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
    cpu::parallelRows(blocks, 1LL * blocks * size, [&](int b) { cpu::runOutOfLine(block, b); });
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
