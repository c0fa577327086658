// The CPU backend's part of the benchmarks: its store-path setting, FFTW's wisdom, and FFTW's own
// threaded 2-D plan as the peer of the FFT batches.

#include "BenchSupport.h"

#include "backend/cpu/Control.h"

#include <fftw3.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace lmxbench {

// LUMERIX_STREAMING_BYTES=<bytes> sets the result size from which the CPU backend writes with
// streaming stores, so that both store paths can be timed on the same machine ("never": none).
void configureBackend() {
    if (const char* bytes = std::getenv("LUMERIX_STREAMING_BYTES"))
        lmx::cpu::setStreamingStoreBytes(
            std::string(bytes) == "never" ? ~std::size_t(0) : std::strtoull(bytes, nullptr, 10));
}

void forgetFftWisdom() {
    fftwf_forget_wisdom();
}

}  // namespace lmxbench

namespace {

// FFTW's own 2-D plan of the whole in-place problem, measured, on the threads library: what the
// row and column batches stand in for (measuring it takes seconds, so only at 1024^2 and below).
void FFT_FftwPlan2d(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    const std::size_t n = static_cast<std::size_t>(side) * side;
    static const bool threads = (fftwf_init_threads(), true);
    (void)threads;
    fftwf_plan_with_nthreads(2);
    fftwf_set_timelimit(FFTW_NO_TIMELIMIT);  // the backend bounds its own planning
    auto* c = static_cast<fftwf_complex*>(fftwf_malloc(n * sizeof(fftwf_complex)));
    fftwf_plan plan = fftwf_plan_dft_2d(side, side, c, c, FFTW_FORWARD, FFTW_MEASURE);
    std::vector<float> values(n);
    lmxbench::fill(values.data(), n, 0.f, 255.f, 1);
    for (auto _ : state) {
        state.PauseTiming();
        for (std::size_t k = 0; k < n; ++k) {
            c[k][0] = values[k];
            c[k][1] = 0.f;
        }
        state.ResumeTiming();
        fftwf_execute(plan);
    }
    fftwf_destroy_plan(plan);
    fftwf_free(c);
    fftwf_plan_with_nthreads(1);
}

}  // namespace

BENCHMARK(FFT_FftwPlan2d)->Arg(1000)->Arg(1024)->Unit(benchmark::kMillisecond)->UseRealTime();
