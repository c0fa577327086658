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
// A plan's buffers are its work area and come from device memory (cudaMalloc), as cuFFT's do,
// so a full device makes plan creation fail with CUFFT_ALLOC_FAILED. The FFTW plans of a
// direction are made at its first execution, on the plan's own buffer, never on the caller's
// data (measuring overwrites the arrays it runs on).

#include "backend/cpu/Fft.h"

#include "backend/cpu/Control.h"
#include "backend/cpu/Engine.h"
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

constexpr int kRowBlock = 16;     // rows per transform of the row pass
constexpr int kColumnBlock = 16;  // columns per transform of the column pass: 128 bytes a row
// Measured block plans make the whole transform ~3x faster than estimated ones (4096^2: 140 ms
// against 440 ms); measuring one takes a few tenths of a second, bounded so that a first call
// stays well under two seconds on a busy machine. FFTW keeps the wisdom for the process, so a
// plan made again (after the cache gave it back) is made at once.
constexpr unsigned kPlanning = FFTW_MEASURE;
constexpr double kPlanningSeconds = 0.4;

// The FFTW plans of one direction.
struct Passes {
    fftwf_plan rows = nullptr;     // rowsPerBlock rows of w values, contiguous
    fftwf_plan columns = nullptr;  // h values at stride columnsPerBlock, columnsPerBlock of them

    ~Passes() {
        if (rows) fftwf_destroy_plan(rows);
        if (columns) fftwf_destroy_plan(columns);
    }
};

struct Plan {
    int w = 0, h = 0;
    int rowsPerBlock = 0, columnsPerBlock = 0;
    std::size_t bufferValues = 0;         // complex values per buffer
    std::vector<fftwf_complex*> buffers;  // one per thread, device memory
    std::unique_ptr<Passes> passes[2];    // forward, inverse

    ~Plan() {
        passes[0].reset();
        passes[1].reset();
        for (fftwf_complex* b : buffers) cudaFree(b);
    }
};

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

Plan* find(cufftHandle handle) {
    auto it = registry().plans.find(handle);
    return it == registry().plans.end() ? nullptr : it->second.get();
}

cufftResult makePlan(cufftHandle* handle, int w, int h, cufftType type) {
    if (!handle) return CUFFT_INVALID_VALUE;
    if (type != CUFFT_C2C) return CUFFT_INVALID_TYPE;
    if (w < 1 || h < 1 || 1LL * w * h > (1LL << 31) - 1) return CUFFT_INVALID_SIZE;
    if (const cudaError_t e = injectedFault(Fault::FftPlan))
        return e == cudaErrorMemoryAllocation ? CUFFT_ALLOC_FAILED : CUFFT_INTERNAL_ERROR;

    auto plan = std::make_unique<Plan>();
    plan->w = w;
    plan->h = h;
    plan->rowsPerBlock = std::min(kRowBlock, h);
    plan->columnsPerBlock = std::min(kColumnBlock, w);
    plan->bufferValues =
        std::max(static_cast<std::size_t>(plan->rowsPerBlock) * static_cast<std::size_t>(w),
                 static_cast<std::size_t>(h) * static_cast<std::size_t>(plan->columnsPerBlock));
    const int threads = teamSize();
    for (int t = 0; t < threads; ++t) {
        void* memory = nullptr;
        if (cudaMalloc(&memory, plan->bufferValues * sizeof(fftwf_complex)) != cudaSuccess)
            return CUFFT_ALLOC_FAILED;  // the plan frees the buffers it holds
        plan->buffers.push_back(static_cast<fftwf_complex*>(memory));
    }
    Registry& r = registry();
    *handle = r.next++;
    r.plans.emplace(*handle, std::move(plan));
    countFftPlan();
    return CUFFT_SUCCESS;
}

// The FFTW plans of one direction, made on the plan's first buffer at their first use.
const Passes* passesFor(Plan& plan, int direction) {
    std::unique_ptr<Passes>& slot = plan.passes[direction == CUFFT_FORWARD ? 0 : 1];
    if (slot) return slot.get();
    auto passes = std::make_unique<Passes>();
    fftwf_complex* scratch = plan.buffers.front();
    fftwf_set_timelimit(kPlanningSeconds);
    const int sign = direction == CUFFT_FORWARD ? FFTW_FORWARD : FFTW_BACKWARD;
    if (plan.w > 1) {
        passes->rows = planWithWisdom([&] {
            return fftwf_plan_many_dft(1, &plan.w, plan.rowsPerBlock, scratch, nullptr, 1, plan.w,
                                       scratch, nullptr, 1, plan.w, sign, kPlanning);
        });
        if (!passes->rows) return nullptr;
    }
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

// The row pass: whole blocks in place where the data is aligned as the planning buffer was,
// the rest (the last rows, or everything on other alignment) through the thread's buffer.
void transformRows(const Plan& plan, fftwf_plan rows, fftwf_complex* data, bool inPlace) {
    const std::size_t w = static_cast<std::size_t>(plan.w);
    const int step = plan.rowsPerBlock;
    const int blocks = plan.h / step + (plan.h % step ? 1 : 0);
    const int threads = static_cast<int>(plan.buffers.size());
    parallelParts(threads, 1LL * plan.w * plan.h, [&](int id, int parts) {
        fftwf_complex* buffer = plan.buffers[static_cast<std::size_t>(id)];
        long long firstBlock, lastBlock;
        partRange(blocks, id, parts, firstBlock, lastBlock);
        for (int b = static_cast<int>(firstBlock); b < lastBlock; ++b) {
            const int first = b * step;
            const int count = std::min(step, plan.h - first);
            fftwf_complex* block = data + static_cast<std::size_t>(first) * w;
            if (inPlace && count == step) {
                fftwf_execute_dft(rows, block, block);
                continue;
            }
            const std::size_t bytes = static_cast<std::size_t>(count) * w * sizeof(fftwf_complex);
            std::memcpy(buffer, block, bytes);
            fftwf_execute_dft(rows, buffer, buffer);
            std::memcpy(block, buffer, bytes);
        }
    });
}

// The column pass: each block of columns is gathered into the thread's buffer as h rows of
// columnsPerBlock values, transformed there and scattered back. Columns beyond the last one of
// a narrow block are transformed along but never copied back.
void transformColumns(const Plan& plan, fftwf_plan columns, fftwf_complex* data) {
    const std::size_t w = static_cast<std::size_t>(plan.w);
    const std::size_t stride = static_cast<std::size_t>(plan.columnsPerBlock);
    const int step = plan.columnsPerBlock;
    const int blocks = plan.w / step + (plan.w % step ? 1 : 0);
    const int threads = static_cast<int>(plan.buffers.size());
    parallelParts(threads, 1LL * plan.w * plan.h, [&](int id, int parts) {
        fftwf_complex* buffer = plan.buffers[static_cast<std::size_t>(id)];
        long long firstBlock, lastBlock;
        partRange(blocks, id, parts, firstBlock, lastBlock);
        for (int b = static_cast<int>(firstBlock); b < lastBlock; ++b) {
            const std::size_t first = static_cast<std::size_t>(b) * stride;
            const std::size_t bytes = std::min(stride, w - first) * sizeof(fftwf_complex);
            for (int y = 0; y < plan.h; ++y)
                std::memcpy(buffer + static_cast<std::size_t>(y) * stride,
                            data + static_cast<std::size_t>(y) * w + first, bytes);
            fftwf_execute_dft(columns, buffer, buffer);
            for (int y = 0; y < plan.h; ++y)
                std::memcpy(data + static_cast<std::size_t>(y) * w + first,
                            buffer + static_cast<std::size_t>(y) * stride, bytes);
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

cufftResult cufftExecC2C(cufftHandle handle, cufftComplex* idata, cufftComplex* odata,
                         int direction) {
    if (injectedFault(Fault::FftExec) != cudaSuccess) return CUFFT_EXEC_FAILED;
    Plan* plan = find(handle);
    if (!plan) return CUFFT_INVALID_PLAN;
    if (!idata || !odata || (direction != CUFFT_FORWARD && direction != CUFFT_INVERSE))
        return CUFFT_INVALID_VALUE;
    const Passes* passes = passesFor(*plan, direction);
    if (!passes) return CUFFT_EXEC_FAILED;
    auto* data = reinterpret_cast<fftwf_complex*>(odata);
    if (idata != odata)
        std::memmove(odata, idata,
                     static_cast<std::size_t>(plan->w) * static_cast<std::size_t>(plan->h) *
                         sizeof(cufftComplex));
    const bool aligned = fftwf_alignment_of(reinterpret_cast<float*>(data)) ==
                         fftwf_alignment_of(reinterpret_cast<float*>(plan->buffers.front()));
    if (passes->rows) transformRows(*plan, passes->rows, data, aligned);
    if (passes->columns) transformColumns(*plan, passes->columns, data);
    return CUFFT_SUCCESS;
}

cufftResult cufftDestroy(cufftHandle handle) {
    return registry().plans.erase(handle) ? CUFFT_SUCCESS : CUFFT_INVALID_PLAN;
}

}  // namespace lmx::cpu
