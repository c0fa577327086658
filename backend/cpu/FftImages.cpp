// The CPU backend's transforms of images (lmx::fftOfRealImage, lmx::ifftToRealImage), run on
// the plans of its cuFFT stand-in.

#include "backend/cpu/Control.h"
#include "backend/cpu/Engine.h"
#include "backend/cpu/FftPlan.h"
#include "backend/cpu/FftWisdom.h"
#include "runtime/Backend.h"

#include <fftw3.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>

namespace lmx::cpu::fft {
namespace {

// The library's forward transform of an image and its inverse to a real image run with the
// conversions between images and the complex working array inside the transform's passes, in
// three passes each where the general path takes five: forward, the row pass reads the image's
// rows straight into real-to-complex transforms, the column pass runs over the w / 2 + 1
// columns these give, and the last pass writes re and im row by row, the mirrored half of each
// row from the conjugates of its mirror row. Inverse, the first pass interleaves the first
// w / 2 + 1 values of each row of re and im, checking on the way that the array is Hermitian
// (streaming over rows y and -y together), the column pass runs over those columns, and the row
// pass writes the image's rows from complex-to-real transforms. Every pass reads and writes
// whole rows or strips of cache lines. The working array holds h rows of w / 2 + 1
// coefficients (rows workStride apart).

// The image-row pass of a direction, made on the plan's first buffer at its first use.
bool planImageRows(const Plan& plan, Passes& passes, int direction) {
    if (passes.imageRows) return true;
    auto* reals = reinterpret_cast<float*>(plan.buffers.front());
    fftwf_complex* coefficients = plan.buffers.front() + plan.imageRowsOffset;
    const int stride = static_cast<int>(plan.workStride);
    fftwf_set_timelimit(kPlanningSeconds);
    // The forward pass reads the caller's image: FFTW must leave its input as it was.
    passes.imageRows = planWithWisdom([&] {
        return direction == CUFFT_FORWARD
                   ? fftwf_plan_many_dft_r2c(1, &plan.w, plan.rowsPerBlock, reals, nullptr, 1,
                                             plan.w, coefficients, nullptr, 1, stride,
                                             kPlanning | FFTW_PRESERVE_INPUT)
                   : fftwf_plan_many_dft_c2r(1, &plan.w, plan.rowsPerBlock, coefficients, nullptr,
                                             1, stride, reals, nullptr, 1, plan.w, kPlanning);
    });
    passes.realAlignment = fftwf_alignment_of(reals);
    passes.coefficientAlignment = fftwf_alignment_of(reinterpret_cast<float*>(coefficients));
    return passes.imageRows != nullptr;
}

// Whether the image-row plan may run on rows at `reals` and `coefficients` (and whole blocks of
// rows after them): FFTW runs a plan only on arrays aligned as those it was made on. The
// thread's buffers must be, as they are the way round misaligned rows.
bool imageRowsAlignedFor(const Passes& passes, const float* reals,
                         const fftwf_complex* coefficients) {
    return fftwf_alignment_of(const_cast<float*>(reals)) == passes.realAlignment &&
           fftwf_alignment_of(reinterpret_cast<float*>(const_cast<fftwf_complex*>(coefficients))) ==
               passes.coefficientAlignment;
}

bool buffersAlignedFor(const Plan& plan, const Passes& passes) {
    for (fftwf_complex* b : plan.buffers)
        if (!imageRowsAlignedFor(passes, reinterpret_cast<float*>(b), b + plan.imageRowsOffset))
            return false;
    return true;
}

// The forward row pass of an image: each block of its rows transformed real-to-complex into its
// rows of the working array, straight where the arrays are aligned for the plan, else (and for
// a last, shorter block) through the thread's buffer.
void imageRowsForward(const Plan& plan, const Passes& passes, const float* image,
                      fftwf_complex* work) {
    const std::size_t w = static_cast<std::size_t>(plan.w);
    const std::size_t stride = plan.workStride;
    const bool straight = imageRowsAlignedFor(passes, image, work);
    forEachRowBlock(plan, [&](fftwf_complex* buffer, int, int first, int count) {
        const float* in = image + static_cast<std::size_t>(first) * w;
        fftwf_complex* out = work + static_cast<std::size_t>(first) * stride;
        if (straight && count == plan.rowsPerBlock) {
            fftwf_execute_dft_r2c(passes.imageRows, const_cast<float*>(in), out);
            return;
        }
        auto* reals = reinterpret_cast<float*>(buffer);
        fftwf_complex* coefficients = buffer + plan.imageRowsOffset;
        const std::size_t rows = static_cast<std::size_t>(count);
        std::memcpy(reals, in, rows * w * sizeof(float));
        fftwf_execute_dft_r2c(passes.imageRows, reals, coefficients);
        std::memcpy(out, coefficients, rows * stride * sizeof(fftwf_complex));
    });
}

// The column pass of an image's transform over the w / 2 + 1 columns of the working array in
// place, each block of columns gathered into the thread's buffer, transformed and scattered back.
// With `symmetric` (forward), columns 0 and w / 2, their own mirrors, have their values at rows v
// and -v made exact conjugates (and those at rows 0 and h / 2 real), as the other columns' mirror
// images are by construction, so that the whole result is exactly Hermitian and its inverse
// takes the real path.
void imageColumns(const Plan& plan, const Passes& passes, fftwf_complex* work, bool symmetric) {
    const std::size_t w = static_cast<std::size_t>(plan.w);
    const std::size_t half = w / 2 + 1;
    const std::size_t row = plan.workStride;
    const std::size_t stride = static_cast<std::size_t>(plan.columnsPerBlock);
    const std::size_t h = static_cast<std::size_t>(plan.h);
    forEachColumnBlock(plan, static_cast<int>(half),
                       [&](fftwf_complex* buffer, std::size_t first, std::size_t count) {
                           const std::size_t bytes = count * sizeof(fftwf_complex);
                           if (passes.columns) {
                               for (std::size_t y = 0; y < h; ++y)
                                   std::memcpy(buffer + y * stride, work + y * row + first, bytes);
                               fftwf_execute_dft(passes.columns, buffer, buffer);
                               for (std::size_t y = 0; y < h; ++y)
                                   std::memcpy(work + y * row + first, buffer + y * stride, bytes);
                           }
                           if (!symmetric) return true;
                           for (std::size_t x = first; x < first + count; ++x) {
                               if (x != 0 && 2 * x != w) continue;
                               for (std::size_t v = 0; v <= h - v; ++v) {
                                   fftwf_complex& z = work[v * row + x];
                                   if (v == 0 || v == h - v) {
                                       z[1] = 0.0f;
                                       continue;
                                   }
                                   fftwf_complex& m = work[(h - v) * row + x];
                                   m[0] = z[0];
                                   m[1] = -z[1];
                               }
                           }
                           return true;
                       });
}

// The last pass of an image's forward transform: each row y of the result split into re and im,
// its first w / 2 + 1 values from row y of the working array and the others, x >= w / 2 + 1,
// the conjugates of value w - x of row -y (the transform of a real image is Hermitian). Rows y
// and -y are written together, so each row of the working array is read once.
void splitRows(const Plan& plan, const fftwf_complex* work, float* re, float* im) {
    const std::size_t w = static_cast<std::size_t>(plan.w);
    const std::size_t half = w / 2 + 1;
    const int h = plan.h;
    const auto split = [&](std::size_t y, std::size_t mirror) {
        const fftwf_complex* c = work + y * plan.workStride;
        const fftwf_complex* m = work + mirror * plan.workStride;
        float* r = re + y * w;
        float* i = im + y * w;
        for (std::size_t x = 0; x < half; ++x) {
            r[x] = c[x][0];
            i[x] = c[x][1];
        }
        for (std::size_t x = half; x < w; ++x) {
            r[x] = m[w - x][0];
            i[x] = -m[w - x][1];
        }
    };
    parallelRows(h / 2 + 1, 1LL * plan.w * plan.h, [&](int y) {
        const int mirror = y ? h - y : 0;
        split(static_cast<std::size_t>(y), static_cast<std::size_t>(mirror));
        if (mirror != y) split(static_cast<std::size_t>(mirror), static_cast<std::size_t>(y));
    });
}

// The first pass of an image's inverse transform: the first w / 2 + 1 values of each row of
// re + i im interleaved into the working array, each pair of rows y and -y compared on the way:
// value x of row y must be the conjugate of value -x of row -y, compared exactly (NaN differs
// from everything). Returns false when the array is not exactly Hermitian; the working array then
// holds anything.
bool gatherRows(const Plan& plan, const float* re, const float* im, fftwf_complex* work) {
    const std::size_t w = static_cast<std::size_t>(plan.w);
    const std::size_t half = w / 2 + 1;
    const int h = plan.h;
    std::atomic<bool> broken{false};
    const auto gather = [&](std::size_t y) {
        const float* r = re + y * w;
        const float* i = im + y * w;
        fftwf_complex* c = work + y * plan.workStride;
        for (std::size_t x = 0; x < half; ++x) {
            c[x][0] = r[x];
            c[x][1] = i[x];
        }
    };
    parallelRows(h / 2 + 1, 1LL * plan.w * plan.h, [&](int y) {
        if (broken.load(std::memory_order_relaxed)) return;
        const std::size_t mirror = static_cast<std::size_t>(y ? h - y : 0);
        const float* r = re + static_cast<std::size_t>(y) * w;
        const float* i = im + static_cast<std::size_t>(y) * w;
        const float* mr = re + mirror * w;
        const float* mi = im + mirror * w;
        int differs = (r[0] != mr[0]) | (i[0] != -mi[0]);
        for (std::size_t x = 1; x < w; ++x) differs |= (r[x] != mr[w - x]) | (i[x] != -mi[w - x]);
        if (differs) {
            broken.store(true, std::memory_order_relaxed);
            return;
        }
        gather(static_cast<std::size_t>(y));
        if (mirror != static_cast<std::size_t>(y)) gather(mirror);
    });
    return !broken.load();
}

// The inverse row pass of an image: each block of rows of the working array transformed
// complex-to-real into the image's rows, straight where the arrays are aligned for the plan,
// else (and for a last, shorter block) through the thread's buffer. The working array's rows are
// overwritten.
void imageRowsInverse(const Plan& plan, const Passes& passes, fftwf_complex* work, float* out) {
    const std::size_t w = static_cast<std::size_t>(plan.w);
    const std::size_t stride = plan.workStride;
    const bool straight = imageRowsAlignedFor(passes, out, work);
    forEachRowBlock(plan, [&](fftwf_complex* buffer, int, int first, int count) {
        fftwf_complex* in = work + static_cast<std::size_t>(first) * stride;
        float* o = out + static_cast<std::size_t>(first) * w;
        if (straight && count == plan.rowsPerBlock) {
            fftwf_execute_dft_c2r(passes.imageRows, in, o);
            return;
        }
        auto* reals = reinterpret_cast<float*>(buffer);
        fftwf_complex* coefficients = buffer + plan.imageRowsOffset;
        const std::size_t rows = static_cast<std::size_t>(count);
        std::memcpy(coefficients, in, rows * stride * sizeof(fftwf_complex));
        fftwf_execute_dft_c2r(passes.imageRows, coefficients, reals);
        std::memcpy(o, reals, rows * w * sizeof(float));
    });
}

// The plan and passes of an image's transform in a direction, or nullptr where the fused passes
// cannot run: no such plan or no work area, a single value, a plan that cannot be made (left
// for cufftExecC2C to report), buffers not aligned as the plan's, or a pending fault (left for
// cufftExecC2C to count).
Passes* imagePasses(cufftHandle handle, int direction, Plan*& plan) {
    plan = findPlan(handle);
    if (!plan || !plan->made || plan->buffers.empty() || plan->w < 2) return nullptr;
    if (faultPending(Fault::FftExec)) return nullptr;
    Passes* passes = passesFor(*plan, direction);
    if (!passes || !planImageRows(*plan, *passes, direction)) return nullptr;
    return buffersAlignedFor(*plan, *passes) ? passes : nullptr;
}

}  // namespace
}  // namespace lmx::cpu::fft

bool lmx::fftOfRealImage(cufftHandle handle, const float* image, float2* work, float* re,
                         float* im) {
    using namespace lmx::cpu::fft;
    Plan* plan = nullptr;
    const Passes* passes = imagePasses(handle, CUFFT_FORWARD, plan);
    if (!passes || !image || !work || !re || !im) return false;
    auto* coefficients = reinterpret_cast<fftwf_complex*>(work);
    imageRowsForward(*plan, *passes, image, coefficients);
    imageColumns(*plan, *passes, coefficients, true);
    splitRows(*plan, coefficients, re, im);
    return true;
}

bool lmx::ifftToRealImage(cufftHandle handle, const float* re, const float* im, float2* work,
                          float* out) {
    using namespace lmx::cpu::fft;
    Plan* plan = nullptr;
    const Passes* passes = imagePasses(handle, CUFFT_INVERSE, plan);
    if (!passes || !re || !im || !work || !out) return false;
    auto* coefficients = reinterpret_cast<fftwf_complex*>(work);
    if (!gatherRows(*plan, re, im, coefficients)) return false;
    imageColumns(*plan, *passes, coefficients, false);
    imageRowsInverse(*plan, *passes, coefficients, out);
    return true;
}
