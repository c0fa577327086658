#pragma once
// The state of one of the CPU backend's FFT plans, shared by the cuFFT stand-in (Fft.cpp) and the
// transforms of images that run on its plans (FftImages.cpp): the FFTW plans of each direction,
// the block sizes of the passes and the threads' buffers in the work area.

#include "backend/cpu/Engine.h"
#include "backend/cpu/Fft.h"

#include <fftw3.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

namespace lmx::cpu::fft {

constexpr int kRowBlock = 16;     // rows per transform of the row pass
constexpr int kColumnBlock = 16;  // columns per transform of the column pass: 128 bytes a row
// Measured block plans make the whole transform ~3x faster than estimated ones (4096^2: 140 ms
// against 440 ms); measuring one takes a few tenths of a second on a quiet machine. The bound
// only matters on a busy one, and must leave room to finish: FFTW finishes a plan that reaches
// it as if estimating. Sizes with more factorisations to try measure longest: on a busy machine
// (load 12 on 2 cores) a block plan of 1000 points took ~0.9 s to measure in full, and cut at
// 0.4 s it ran the passes of a 1000^2 transform 1.6x slower (3.1 ms against 2.0 ms). FFTW keeps
// the wisdom for the process (and fftKeepPlans between processes), so a plan made again (after
// the cache gave it back) is made at once.
constexpr unsigned kPlanning = FFTW_MEASURE;
constexpr double kPlanningSeconds = 1.5;

// The FFTW plans of one direction.
struct Passes {
    fftwf_plan rows = nullptr;     // rowsPerBlock rows of w values, contiguous (made when needed)
    fftwf_plan columns = nullptr;  // h values at stride columnsPerBlock, columnsPerBlock of them
    // rowsPerBlock rows in place, w real values each (padded to w / 2 + 1 complex values) and
    // their w / 2 + 1 complex coefficients: real-to-complex forward, complex-to-real inverse
    // (made when needed).
    fftwf_plan realRows = nullptr;
    // rowsPerBlock rows out of place between an image's rows (w real values, contiguous) and
    // rows of w / 2 + 1 complex coefficients: real-to-complex forward, complex-to-real inverse
    // (made when needed).
    fftwf_plan imageRows = nullptr;
    // The alignments (fftwf_alignment_of) of the real and complex arrays imageRows was made on.
    int realAlignment = 0, coefficientAlignment = 0;

    ~Passes() {
        if (rows) fftwf_destroy_plan(rows);
        if (columns) fftwf_destroy_plan(columns);
        if (realRows) fftwf_destroy_plan(realRows);
        if (imageRows) fftwf_destroy_plan(imageRows);
    }
};

// A thread's slice of a work area: whole cache lines, so that every slice is aligned as the
// area is (FFTW's plans are made for that alignment).
constexpr std::size_t kSliceAlignment = 64;

struct Plan {
    int w = 0, h = 0;
    bool made = false;         // by cufftPlan* or cufftMakePlan*
    bool autoAllocate = true;  // owns its buffers, else runs in a given work area
    int rowsPerBlock = 0, columnsPerBlock = 0;
    std::size_t bufferValues = 0;  // complex values per buffer
    // Where the coefficients of the image-row passes start in a buffer (complex values), after
    // rowsPerBlock * w real values rounded up to whole cache lines.
    std::size_t imageRowsOffset = 0;
    // Complex values from one row of an image's working array to the next: w / 2 + 1 rounded up
    // to whole cache lines where the array (w h complex values) has room for that.
    std::size_t workStride = 0;
    std::size_t sliceBytes = 0;           // a buffer's share of the work area
    int threads = 0;                      // buffers of the work area
    std::vector<fftwf_complex*> buffers;  // one per thread, device memory
    std::unique_ptr<Passes> passes[2];    // forward, inverse

    ~Plan() {
        passes[0].reset();
        passes[1].reset();
        if (autoAllocate)
            for (fftwf_complex* b : buffers) cudaFree(b);
    }
};

//! The plan of a handle, or nullptr where there is none.
Plan* findPlan(cufftHandle handle);

//! The column pass of one direction, made on the plan's first buffer at its first use (the row
//! passes are made when a transform needs them); nullptr when FFTW cannot make it.
Passes* passesFor(Plan& plan, int direction);

// Runs body(buffer, b, first, count) for each block b of rowsPerBlock rows (rows first ..
// first + count - 1; the last block may be shorter), the blocks shared out between the plan's
// threads, each with its own buffer of the work area.
template <class F>
void forEachRowBlock(const Plan& plan, F body) {
    const int step = plan.rowsPerBlock;
    const int blocks = plan.h / step + (plan.h % step ? 1 : 0);
    const int threads = static_cast<int>(plan.buffers.size());
    parallelParts(threads, 1LL * plan.w * plan.h, [&](int id, int parts) {
        fftwf_complex* buffer = plan.buffers[static_cast<std::size_t>(id)];
        long long firstBlock, lastBlock;
        partRange(blocks, id, parts, firstBlock, lastBlock);
        for (int b = static_cast<int>(firstBlock); b < lastBlock; ++b) {
            const int first = b * step;
            body(buffer, b, first, std::min(step, plan.h - first));
        }
    });
}

// Runs body(buffer, first, count) for each block of columnsPerBlock columns of [0, width)
// (columns first .. first + count - 1), the blocks shared out between the plan's threads, each
// with its own buffer. A body that returns false ends its thread's share.
template <class F>
void forEachColumnBlock(const Plan& plan, int width, F body) {
    const int step = plan.columnsPerBlock;
    const int blocks = width / step + (width % step ? 1 : 0);
    const int threads = static_cast<int>(plan.buffers.size());
    parallelParts(threads, 1LL * width * plan.h, [&](int id, int parts) {
        fftwf_complex* buffer = plan.buffers[static_cast<std::size_t>(id)];
        long long firstBlock, lastBlock;
        partRange(blocks, id, parts, firstBlock, lastBlock);
        for (long long b = firstBlock; b < lastBlock; ++b) {
            const std::size_t first = static_cast<std::size_t>(b) * static_cast<std::size_t>(step);
            const std::size_t count =
                std::min(static_cast<std::size_t>(step), static_cast<std::size_t>(width) - first);
            if (!body(buffer, first, count)) return;
        }
    });
}

}  // namespace lmx::cpu::fft
