// The CPU backend's stand-in for cuFFT: a 2-D complex transform as a pass over the rows and a
// pass over the columns, each a batch of 1-D FFTW transforms spread over the OpenMP team.
//
// FFTW's own 2-D plans are either slow to run or slow to make: an estimated plan walks the
// columns with the row stride and runs ~10x slower than a measured one at 1024^2, and measuring
// the whole 2-D problem takes seconds per size. Here each pass runs one small measured plan over
// blocks of the array: rows kRowBlock at a time in place, columns kColumnBlock at a time through
// a per-thread buffer that holds them as h short contiguous rows. Measuring then touches only a
// block-sized buffer (milliseconds), and every block is transformed in cache.
//
// A transform of real data (every imaginary part zero, as the forward transform of an image is)
// runs as half a transform: its row pass as real-to-complex transforms, its column pass over the
// first W / 2 + 1 columns only, the others being the conjugates of their mirror columns. An
// inverse transform of a Hermitian array (one whose value at (x, y) is the conjugate of the value
// at (-x, -y), as every forward transform of real data is) has a real result: its column pass
// runs over the first W / 2 + 1 columns and its row pass as complex-to-real transforms. Each falls
// back to the full transform where the data is not of that kind. (The library's transforms of
// images run on these plans with their conversions inside the passes: FftImages.cpp.)
//
// A plan's buffers are its work area and come from device memory (cudaMalloc), as cuFFT's do,
// so a full device makes plan creation fail with CUFFT_ALLOC_FAILED. As with cuFFT, a plan made
// with automatic allocation off (cufftCreate, cufftSetAutoAllocation, cufftMakePlan*) allocates
// nothing: it reports its work area's size and runs in the area cufftSetWorkArea gives it, one
// slice per thread. The FFTW plans of a direction are made at its first execution (the complex
// row pass at the first execution that needs it), on the plan's own buffer, never on the caller's
// data (measuring overwrites the arrays it runs on).

#include "backend/cpu/Fft.h"

#include "backend/cpu/Control.h"
#include "backend/cpu/Engine.h"
#include "backend/cpu/FftPlan.h"
#include "backend/cpu/FftWisdom.h"

#include <fftw3.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace lmx::cpu {
namespace {

using namespace fft;

struct Registry {
    std::map<cufftHandle, std::unique_ptr<Plan>> plans;
    cufftHandle next = 1;
};

Registry& registry() {
    static Registry* r = [] {
        fftwf_import_system_wisdom();
        return new Registry;
    }();
    return *r;
}

}  // namespace

Plan* fft::findPlan(cufftHandle handle) {
    auto it = registry().plans.find(handle);
    return it == registry().plans.end() ? nullptr : it->second.get();
}

namespace {

Plan* find(cufftHandle handle) {
    return findPlan(handle);
}

// Makes the plan of h rows of w values in `plan`, a plan not made yet. On failure it is left
// as it was (a failed cufftPlan* then destroys it).
cufftResult makeInto(Plan& plan, int w, int h, cufftType type, std::size_t* workSize) {
    if (plan.made) return CUFFT_INVALID_PLAN;
    if (type != CUFFT_C2C) return CUFFT_INVALID_TYPE;
    if (w < 1 || h < 1 || 1LL * w * h > (1LL << 31) - 1) return CUFFT_INVALID_SIZE;
    if (const cudaError_t e = injectedFault(Fault::FftPlan))
        return e == cudaErrorMemoryAllocation ? CUFFT_ALLOC_FAILED : CUFFT_INTERNAL_ERROR;

    plan.w = w;
    plan.h = h;
    plan.rowsPerBlock = std::min(kRowBlock, h);
    plan.columnsPerBlock = std::min(kColumnBlock, w);
    const std::size_t rowValues =
        static_cast<std::size_t>(plan.rowsPerBlock) * static_cast<std::size_t>(w);
    constexpr std::size_t kLineFloats = kSliceAlignment / sizeof(float);
    plan.imageRowsOffset = (rowValues + kLineFloats - 1) / kLineFloats * kLineFloats / 2;
    constexpr std::size_t kLineValues = kSliceAlignment / sizeof(fftwf_complex);
    const std::size_t half = static_cast<std::size_t>(w / 2 + 1);
    const std::size_t padded = (half + kLineValues - 1) / kLineValues * kLineValues;
    plan.workStride = padded <= static_cast<std::size_t>(w) ? padded : half;
    plan.bufferValues = std::max(
        {rowValues, static_cast<std::size_t>(h) * static_cast<std::size_t>(plan.columnsPerBlock),
         plan.imageRowsOffset + static_cast<std::size_t>(plan.rowsPerBlock) * plan.workStride});
    const std::size_t bytes = plan.bufferValues * sizeof(fftwf_complex);
    plan.sliceBytes = (bytes + kSliceAlignment - 1) / kSliceAlignment * kSliceAlignment;
    plan.threads = teamSize();
    if (plan.autoAllocate) {
        for (int t = 0; t < plan.threads; ++t) {
            void* memory = nullptr;
            if (cudaMalloc(&memory, bytes) != cudaSuccess) {
                for (fftwf_complex* b : plan.buffers) cudaFree(b);
                plan.buffers.clear();
                return CUFFT_ALLOC_FAILED;
            }
            plan.buffers.push_back(static_cast<fftwf_complex*>(memory));
        }
    }
    if (workSize) *workSize = plan.autoAllocate ? 0 : plan.sliceBytes * plan.threads;
    plan.made = true;
    countFftPlan();
    return CUFFT_SUCCESS;
}

cufftResult makePlan(cufftHandle* handle, int w, int h, cufftType type) {
    if (!handle) return CUFFT_INVALID_VALUE;
    auto plan = std::make_unique<Plan>();
    if (const cufftResult r = makeInto(*plan, w, h, type, nullptr); r != CUFFT_SUCCESS) return r;
    Registry& r = registry();
    *handle = r.next++;
    r.plans.emplace(*handle, std::move(plan));
    return CUFFT_SUCCESS;
}

int fftwSign(int direction) {
    return direction == CUFFT_FORWARD ? FFTW_FORWARD : FFTW_BACKWARD;
}

// The complex row pass of a direction, made at its first use (between passes, on the first
// buffer): forward transforms of real data and inverse ones of Hermitian data never need it.
bool planComplexRows(const Plan& plan, Passes& passes, int direction) {
    if (passes.rows || plan.w < 2) return true;
    fftwf_complex* scratch = plan.buffers.front();
    fftwf_set_timelimit(kPlanningSeconds);
    passes.rows = planWithWisdom([&] {
        return fftwf_plan_many_dft(1, &plan.w, plan.rowsPerBlock, scratch, nullptr, 1, plan.w,
                                   scratch, nullptr, 1, plan.w, fftwSign(direction), kPlanning);
    });
    return passes.rows != nullptr;
}

// The real row pass of a direction in place in a buffer, made at its first use: transforms of
// images take the image-row pass instead.
bool planRealRows(const Plan& plan, Passes& passes, int direction) {
    if (passes.realRows || plan.w < 2) return true;
    fftwf_complex* scratch = plan.buffers.front();
    fftwf_set_timelimit(kPlanningSeconds);
    const int half = plan.w / 2 + 1;
    auto* reals = reinterpret_cast<float*>(scratch);
    passes.realRows = planWithWisdom([&] {
        return direction == CUFFT_FORWARD
                   ? fftwf_plan_many_dft_r2c(1, &plan.w, plan.rowsPerBlock, reals, nullptr, 1,
                                             2 * half, scratch, nullptr, 1, half, kPlanning)
                   : fftwf_plan_many_dft_c2r(1, &plan.w, plan.rowsPerBlock, scratch, nullptr, 1,
                                             half, reals, nullptr, 1, 2 * half, kPlanning);
    });
    return passes.realRows != nullptr;
}

}  // namespace

Passes* fft::passesFor(Plan& plan, int direction) {
    std::unique_ptr<Passes>& slot = plan.passes[direction == CUFFT_FORWARD ? 0 : 1];
    if (slot) return slot.get();
    auto passes = std::make_unique<Passes>();
    fftwf_complex* scratch = plan.buffers.front();
    fftwf_set_timelimit(kPlanningSeconds);
    const int sign = fftwSign(direction);
    if (plan.h > 1) {
        const int stride = plan.columnsPerBlock;
        passes->columns = planWithWisdom([&] {
            return fftwf_plan_many_dft(1, &plan.h, stride, scratch, nullptr, stride, 1, scratch,
                                       nullptr, stride, 1, sign, kPlanning);
        });
        if (!passes->columns) return nullptr;
    }
    slot = std::move(passes);
    return slot.get();
}

namespace {

// The complex row transform of `count` rows at `block`, run in the thread's buffer.
void transformRowsInBuffer(const Plan& plan, fftwf_plan rows, fftwf_complex* buffer,
                           fftwf_complex* block, int count) {
    const std::size_t bytes =
        static_cast<std::size_t>(count) * static_cast<std::size_t>(plan.w) * sizeof(fftwf_complex);
    std::memcpy(buffer, block, bytes);
    fftwf_execute_dft(rows, buffer, buffer);
    std::memcpy(block, buffer, bytes);
}

// The row pass: whole blocks in place where the data is aligned as the planning buffer was,
// the rest (the last rows, or everything on other alignment) through the thread's buffer.
void transformRows(const Plan& plan, fftwf_plan rows, fftwf_complex* data, bool inPlace) {
    forEachRowBlock(plan, [&](fftwf_complex* buffer, int, int first, int count) {
        fftwf_complex* block = data + static_cast<std::size_t>(first) * plan.w;
        if (inPlace && count == plan.rowsPerBlock)
            fftwf_execute_dft(rows, block, block);
        else
            transformRowsInBuffer(plan, rows, buffer, block, count);
    });
}

// The column pass over columns [0, width): each block of columns is gathered into the thread's
// buffer as h rows of columnsPerBlock values, transformed there and scattered back. Columns
// beyond the last one of a narrow block are transformed along but never copied back. With
// `mirror`, the transform of real rows: column w - x of the result (for 0 < x < w - x) is the
// conjugate of column x reversed, written as each column x is scattered.
void transformColumns(const Plan& plan, fftwf_plan columns, fftwf_complex* data, int width,
                      bool mirror) {
    const std::size_t w = static_cast<std::size_t>(plan.w);
    const std::size_t stride = static_cast<std::size_t>(plan.columnsPerBlock);
    forEachColumnBlock(
        plan, width, [&](fftwf_complex* buffer, std::size_t first, std::size_t count) {
            const std::size_t bytes = count * sizeof(fftwf_complex);
            for (int y = 0; y < plan.h; ++y)
                std::memcpy(buffer + static_cast<std::size_t>(y) * stride,
                            data + static_cast<std::size_t>(y) * w + first, bytes);
            fftwf_execute_dft(columns, buffer, buffer);
            for (int y = 0; y < plan.h; ++y)
                std::memcpy(data + static_cast<std::size_t>(y) * w + first,
                            buffer + static_cast<std::size_t>(y) * stride, bytes);
            if (!mirror) return true;
            // Columns 0 and w / 2 are their own mirrors: their values at rows v and -v are made
            // exact conjugates (and those at rows 0 and h / 2 real), as in the other columns,
            // so that the result is exactly Hermitian and its inverse takes the real path.
            for (std::size_t x = first; x < first + count; ++x) {
                if (x != 0 && 2 * x != w) continue;
                const std::size_t k = x - first;
                for (int v = 0; v <= plan.h - v; ++v) {
                    fftwf_complex& z = data[static_cast<std::size_t>(v) * w + x];
                    if (v == 0 || v == plan.h - v) {
                        z[1] = 0.0f;
                        continue;
                    }
                    fftwf_complex& m = data[static_cast<std::size_t>(plan.h - v) * w + x];
                    m[0] = buffer[static_cast<std::size_t>(v) * stride + k][0];
                    m[1] = -buffer[static_cast<std::size_t>(v) * stride + k][1];
                }
            }
            // Columns first .. first + count - 1 land on w - first .. w - first - count + 1.
            const std::size_t lo = std::max<std::size_t>(first, 1);
            const std::size_t hi = std::min(first + count, (w + 1) / 2);  // x < w - x
            for (int y = 0; y < plan.h; ++y) {
                const fftwf_complex* in = buffer + static_cast<std::size_t>(y) * stride;
                fftwf_complex* out = data + static_cast<std::size_t>(y ? plan.h - y : 0) * w;
                for (std::size_t x = lo; x < hi; ++x) {
                    out[w - x][0] = in[x - first][0];
                    out[w - x][1] = -in[x - first][1];
                }
            }
            return true;
        });
}

// Columns w / 2 + 1 .. w - 1 of rows [first, first + count): the conjugates of columns
// w - x of the same row, as the transform of a real row has them (whose values at 0 and w / 2
// are real).
void mirrorRows(fftwf_complex* data, std::size_t w, int first, int count) {
    for (int y = first; y < first + count; ++y) {
        fftwf_complex* row = data + static_cast<std::size_t>(y) * w;
        row[0][1] = 0.0f;
        if (w % 2 == 0) row[w / 2][1] = 0.0f;
        for (std::size_t x = w / 2 + 1; x < w; ++x) {
            row[x][0] = row[w - x][0];
            row[x][1] = -row[w - x][1];
        }
    }
}

// The row pass of a forward transform where a block of rows is real: its real parts gathered
// (their imaginary parts checked on the way), transformed real-to-complex in the thread's buffer
// and the W / 2 + 1 coefficients of each row copied back. Blocks with any imaginary part other
// than zero then run the complex transform. Columns w / 2 + 1 .. w - 1 of the real blocks are
// left for the column pass to mirror when every block was real, else written here.
enum class RowPass { Real, Mixed, Failed };

RowPass transformRealRows(const Plan& plan, Passes& passes, fftwf_complex* data) {
    if (!planRealRows(plan, passes, CUFFT_FORWARD)) return RowPass::Failed;
    const std::size_t w = static_cast<std::size_t>(plan.w);
    const std::size_t half = w / 2 + 1;
    const int step = plan.rowsPerBlock;
    const int blocks = plan.h / step + (plan.h % step ? 1 : 0);
    std::vector<char> real(static_cast<std::size_t>(blocks), 1);
    forEachRowBlock(plan, [&](fftwf_complex* buffer, int b, int first, int count) {
        auto* reals = reinterpret_cast<float*>(buffer);
        fftwf_complex* block = data + static_cast<std::size_t>(first) * w;
        int imaginary = 0;
        for (int r = 0; r < count; ++r) {
            const fftwf_complex* in = block + static_cast<std::size_t>(r) * w;
            float* out = reals + static_cast<std::size_t>(r) * 2 * half;
            for (std::size_t x = 0; x < w; ++x) {
                out[x] = in[x][0];
                imaginary |= in[x][1] != 0.0f;
            }
        }
        if (imaginary) {  // NaN counts as not zero; transformed below
            real[static_cast<std::size_t>(b)] = 0;
            return;
        }
        fftwf_execute_dft_r2c(passes.realRows, reals, buffer);
        for (int r = 0; r < count; ++r)
            std::memcpy(block + static_cast<std::size_t>(r) * w,
                        buffer + static_cast<std::size_t>(r) * half, half * sizeof(fftwf_complex));
        if (!passes.columns) mirrorRows(data, w, first, count);
    });
    if (std::find(real.begin(), real.end(), 0) == real.end()) return RowPass::Real;
    if (!planComplexRows(plan, passes, CUFFT_FORWARD)) return RowPass::Failed;
    forEachRowBlock(plan, [&](fftwf_complex* buffer, int b, int first, int count) {
        if (real[static_cast<std::size_t>(b)]) {
            // A full column pass follows: the mirrored columns are needed.
            if (passes.columns) mirrorRows(data, w, first, count);
            return;
        }
        transformRowsInBuffer(plan, passes.rows, buffer, data + static_cast<std::size_t>(first) * w,
                              count);
    });
    return RowPass::Mixed;
}

// True when data[x, y] is the conjugate of data[-x, -y] (indices modulo w and h) everywhere,
// compared exactly; NaN anywhere makes it false.
bool hermitian(const Plan& plan, const fftwf_complex* data) {
    const std::size_t w = static_cast<std::size_t>(plan.w);
    const int rows = plan.h / 2 + 1;  // row y and row -y are compared together
    std::vector<char> broken(static_cast<std::size_t>(rows), 0);
    parallelRows(rows, 1LL * plan.w * rows, [&](int y) {
        const fftwf_complex* a = data + static_cast<std::size_t>(y) * w;
        const fftwf_complex* b = data + static_cast<std::size_t>(y ? plan.h - y : 0) * w;
        int differs = a[0][0] != b[0][0] || a[0][1] != -b[0][1];
        for (std::size_t x = 1; x < w; ++x)
            differs |= a[x][0] != b[w - x][0] || a[x][1] != -b[w - x][1];
        broken[static_cast<std::size_t>(y)] = static_cast<char>(differs);
    });
    return std::find(broken.begin(), broken.end(), 1) == broken.end();
}

// The row pass of an inverse transform whose result is real: the first W / 2 + 1 values of each
// row transformed complex-to-real in the thread's buffer, written back as (value, 0).
void transformRowsToReal(const Plan& plan, const Passes& passes, fftwf_complex* data) {
    const std::size_t w = static_cast<std::size_t>(plan.w);
    const std::size_t half = w / 2 + 1;
    forEachRowBlock(plan, [&](fftwf_complex* buffer, int, int first, int count) {
        const auto* reals = reinterpret_cast<const float*>(buffer);
        fftwf_complex* block = data + static_cast<std::size_t>(first) * w;
        for (int r = 0; r < count; ++r)
            std::memcpy(buffer + static_cast<std::size_t>(r) * half,
                        block + static_cast<std::size_t>(r) * w, half * sizeof(fftwf_complex));
        fftwf_execute_dft_c2r(passes.realRows, buffer, reinterpret_cast<float*>(buffer));
        for (int r = 0; r < count; ++r) {
            const float* in = reals + static_cast<std::size_t>(r) * 2 * half;
            fftwf_complex* out = block + static_cast<std::size_t>(r) * w;
            for (std::size_t x = 0; x < w; ++x) {
                out[x][0] = in[x];
                out[x][1] = 0.0f;
            }
        }
    });
}

}  // namespace

cufftResult cufftPlan2d(cufftHandle* plan, int nx, int ny, cufftType type) {
    return makePlan(plan, ny, nx, type);
}

cufftResult cufftPlan1d(cufftHandle* plan, int nx, cufftType type, int batch) {
    if (batch != 1) return CUFFT_INVALID_SIZE;
    return makePlan(plan, nx, 1, type);
}

cufftResult cufftCreate(cufftHandle* handle) {
    if (!handle) return CUFFT_INVALID_VALUE;
    Registry& r = registry();
    *handle = r.next++;
    r.plans.emplace(*handle, std::make_unique<Plan>());
    return CUFFT_SUCCESS;
}

cufftResult cufftSetAutoAllocation(cufftHandle handle, int autoAllocate) {
    Plan* plan = find(handle);
    if (!plan) return CUFFT_INVALID_PLAN;
    if (plan->made) return CUFFT_INVALID_VALUE;  // only before the plan is made
    plan->autoAllocate = autoAllocate != 0;
    return CUFFT_SUCCESS;
}

cufftResult cufftMakePlan2d(cufftHandle handle, int nx, int ny, cufftType type,
                            std::size_t* workSize) {
    Plan* plan = find(handle);
    return plan ? makeInto(*plan, ny, nx, type, workSize) : CUFFT_INVALID_PLAN;
}

cufftResult cufftMakePlan1d(cufftHandle handle, int nx, cufftType type, int batch,
                            std::size_t* workSize) {
    if (batch != 1) return CUFFT_INVALID_SIZE;
    Plan* plan = find(handle);
    return plan ? makeInto(*plan, nx, 1, type, workSize) : CUFFT_INVALID_PLAN;
}

cufftResult cufftGetSize(cufftHandle handle, std::size_t* workSize) {
    Plan* plan = find(handle);
    if (!plan || !plan->made) return CUFFT_INVALID_PLAN;
    if (!workSize) return CUFFT_INVALID_VALUE;
    *workSize = plan->autoAllocate ? 0 : plan->sliceBytes * plan->threads;
    return CUFFT_SUCCESS;
}

cufftResult cufftSetWorkArea(cufftHandle handle, void* workArea) {
    Plan* plan = find(handle);
    if (!plan || !plan->made) return CUFFT_INVALID_PLAN;
    if (plan->autoAllocate) return CUFFT_SUCCESS;  // keeps its own buffers
    plan->buffers.clear();
    if (!workArea) return CUFFT_SUCCESS;
    for (int t = 0; t < plan->threads; ++t)
        plan->buffers.push_back(
            reinterpret_cast<fftwf_complex*>(static_cast<char*>(workArea) + t * plan->sliceBytes));
    return CUFFT_SUCCESS;
}

cufftResult cufftExecC2C(cufftHandle handle, cufftComplex* idata, cufftComplex* odata,
                         int direction) {
    if (injectedFault(Fault::FftExec) != cudaSuccess) return CUFFT_EXEC_FAILED;
    Plan* plan = find(handle);
    if (!plan || !plan->made) return CUFFT_INVALID_PLAN;
    if (plan->buffers.empty()) return CUFFT_INVALID_VALUE;  // no work area was given
    if (!idata || !odata || (direction != CUFFT_FORWARD && direction != CUFFT_INVERSE))
        return CUFFT_INVALID_VALUE;
    Passes* passes = passesFor(*plan, direction);
    if (!passes) return CUFFT_EXEC_FAILED;
    auto* data = reinterpret_cast<fftwf_complex*>(odata);
    if (idata != odata)
        std::memmove(odata, idata,
                     static_cast<std::size_t>(plan->w) * static_cast<std::size_t>(plan->h) *
                         sizeof(cufftComplex));
    const bool aligned = fftwf_alignment_of(reinterpret_cast<float*>(data)) ==
                         fftwf_alignment_of(reinterpret_cast<float*>(plan->buffers.front()));
    const int half = plan->w / 2 + 1;
    if (plan->w < 2) {  // one column
        if (passes->columns) transformColumns(*plan, passes->columns, data, plan->w, false);
    } else if (direction == CUFFT_FORWARD) {
        const RowPass rows = transformRealRows(*plan, *passes, data);
        if (rows == RowPass::Failed) return CUFFT_EXEC_FAILED;
        const bool real = rows == RowPass::Real;
        if (passes->columns)
            transformColumns(*plan, passes->columns, data, real ? half : plan->w, real);
    } else if (hermitian(*plan, data)) {
        if (!planRealRows(*plan, *passes, direction)) return CUFFT_EXEC_FAILED;
        if (passes->columns) transformColumns(*plan, passes->columns, data, half, false);
        transformRowsToReal(*plan, *passes, data);
    } else {
        if (!planComplexRows(*plan, *passes, direction)) return CUFFT_EXEC_FAILED;
        transformRows(*plan, passes->rows, data, aligned);
        if (passes->columns) transformColumns(*plan, passes->columns, data, plan->w, false);
    }
    return CUFFT_SUCCESS;
}

cufftResult cufftDestroy(cufftHandle handle) {
    return registry().plans.erase(handle) ? CUFFT_SUCCESS : CUFFT_INVALID_PLAN;
}

}  // namespace lmx::cpu
