// Forward and inverse 2-D FFT against OpenCV's dft/idft, against the transform alone on the same
// data (what our conversions and the manager add), and the cost of a first call at a size.

#include "BenchSupport.h"

#include "lumerix/FftPlans.h"

#if defined(LMX_BENCH_OPENCV)
#include <opencv2/core.hpp>
#endif

#include <cstring>
#include <vector>

using lmxbench::deviceImage;
using lmxbench::setBytes;

namespace {

// Floors on an H100 (3.35 TB/s) at 4096^2, n = 2^24 pixels, counting only the bytes that must
// cross memory: the conversion kernels move 12 n (image to complex: 4 n read, 8 n written;
// complex to real: 8 n read, the sectors of the imaginary parts included, 4 n written) or 16 n
// bytes (interleave, deinterleave): 60 and 80 us. A 2-D complex transform in place reads and
// writes the 8 n-byte array at least once: 80 us. So FFT_Lumerix and IFFT_Lumerix take at
// least 60 + 80 + 80 = 220 us, FFT_TransformOnly 80 us.

// Steady state: the plan is cached and the outputs' device memory is reused.
void FFT_Lumerix(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    Lumerix a = deviceImage(side, 0.f, 255.f, 1), re, im;
    fft(a, re, im);
    for (auto _ : state) {
        fft(a, re, im);
        lmxbench::sync();
    }
    setBytes(state, side, 3);
}

void IFFT_Lumerix(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    Lumerix a = deviceImage(side, 0.f, 255.f, 1), re, im;
    fft(a, re, im);
    Lumerix out = ifft(re, im);
    for (auto _ : state) {
        out = ifft(re, im);
        lmxbench::sync();
    }
    setBytes(state, side, 3);
}

// The in-place transform alone, through the same plan, on the complex array of the same image;
// the array is restored between iterations (untimed) so that its values stay finite.
void FFT_TransformOnly(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    const std::size_t n = static_cast<std::size_t>(side) * side;
    std::vector<float2> host(n);
    std::vector<float> values(n);
    lmxbench::fill(values.data(), n, 0.f, 255.f, 1);
    for (std::size_t k = 0; k < n; ++k) host[k] = float2{values[k], 0.f};
    void* device = nullptr;
    cudaMalloc(&device, n * sizeof(float2));
    auto* c = static_cast<cufftComplex*>(device);
    const lmx::FftPlan plan(side, side);
    for (auto _ : state) {
        state.PauseTiming();
        cudaMemcpy(c, host.data(), n * sizeof(float2), cudaMemcpyHostToDevice);
        lmxbench::sync();
        state.ResumeTiming();
        cufftExecC2C(plan.handle(), c, c, CUFFT_FORWARD);
        lmxbench::sync();
    }
    cudaFree(device);
    setBytes(state, side, 2);
}

// A first call at a size: no cached plan and, on the CPU, no FFTW wisdom in the process.
void FFT_FirstCall(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    Lumerix a = deviceImage(side, 0.f, 255.f, 1), re, im;
    for (auto _ : state) {
        state.PauseTiming();
        while (lmx::releaseOneFftPlan()) {
        }
        lmxbench::forgetFftWisdom();
        state.ResumeTiming();
        fft(a, re, im);
        lmxbench::sync();
    }
}

// A call after the cache gave its plan back: planned again, from the wisdom of the first one.
void FFT_Replanned(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    Lumerix a = deviceImage(side, 0.f, 255.f, 1), re, im;
    fft(a, re, im);
    for (auto _ : state) {
        state.PauseTiming();
        while (lmx::releaseOneFftPlan()) {
        }
        state.ResumeTiming();
        fft(a, re, im);
        lmxbench::sync();
    }
}

#if defined(LMX_BENCH_OPENCV)
// What a user of OpenCV does to get our two images: a complex dft, then the split.
void FFT_OpenCV(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    cv::Mat a = lmxbench::hostImage(side, 0.f, 255.f, 1), complex;
    std::vector<cv::Mat> planes;
    for (auto _ : state) {
        cv::dft(a, complex, cv::DFT_COMPLEX_OUTPUT);
        cv::split(complex, planes);
        benchmark::DoNotOptimize(planes.data());
    }
    setBytes(state, side, 3);
}

// The inverse from the merged planes (merged once, untimed) to a real output.
void IFFT_OpenCV(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    cv::Mat a = lmxbench::hostImage(side, 0.f, 255.f, 1), complex, out;
    cv::dft(a, complex, cv::DFT_COMPLEX_OUTPUT);
    for (auto _ : state) {
        cv::idft(complex, out, cv::DFT_REAL_OUTPUT);
        benchmark::DoNotOptimize(out.data);
    }
    setBytes(state, side, 3);
}
#endif

}  // namespace

#define LMX_FFT_SIZES \
    ->Arg(1000)->Arg(1024)->Arg(2048)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime()

BENCHMARK(FFT_Lumerix) LMX_FFT_SIZES;
BENCHMARK(IFFT_Lumerix) LMX_FFT_SIZES;
BENCHMARK(FFT_TransformOnly) LMX_FFT_SIZES;
BENCHMARK(FFT_FirstCall)
    ->Arg(1024)
    ->Arg(4096)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(FFT_Replanned)
    ->Arg(1024)
    ->Arg(4096)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#if defined(LMX_BENCH_OPENCV)
BENCHMARK(FFT_OpenCV) LMX_FFT_SIZES;
BENCHMARK(IFFT_OpenCV) LMX_FFT_SIZES;
#endif
