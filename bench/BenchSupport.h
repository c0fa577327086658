#pragma once
// Shared set-up of the benchmarks: square float images of 1024^2 and 4096^2 pixels, filled once,
// with their data already on the device so that every iteration is steady state.

#include <lumerix/Lumerix.h>

#include "platform/Runtime.h"

#include <benchmark/benchmark.h>
#if defined(LMX_BENCH_OPENCV)
#include <opencv2/core.hpp>
#endif

#include <cstring>
#include <random>

namespace lmxbench {

// Waits for the device so that a GPU timing covers the kernels; free on the CPU backend, where
// a launch has finished when it returns.
inline void sync() {
#if defined(LMX_BACKEND_CUDA)
    cudaDeviceSynchronize();
#endif
}

inline void fill(float* p, std::size_t n, float lo, float hi, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    for (std::size_t i = 0; i < n; ++i) p[i] = dist(gen);
}

// An image of side x side random pixels, uploaded to the device (by a no-op operation).
inline Lumerix deviceImage(int side, float lo, float hi, unsigned seed) {
    Lumerix img(cmm::cmmDims(side, side));
    fill(img.GetHostPtr(), static_cast<std::size_t>(side) * side, lo, hi, seed);
    img.Lock();
    img.Release();
    return img;
}

#if defined(LMX_BENCH_OPENCV)
inline cv::Mat hostImage(int side, float lo, float hi, unsigned seed) {
    cv::Mat m(side, side, CV_32F);
    fill(m.ptr<float>(), static_cast<std::size_t>(side) * side, lo, hi, seed);
    return m;
}
#endif

// Bytes a pass moves: `planes` float planes read or written.
inline void setBytes(benchmark::State& state, int side, double planes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * planes * side * side * 4.0));
}

}  // namespace lmxbench

#define LMX_BENCH_SIZES ->Arg(1024)->Arg(4096)->Unit(benchmark::kMicrosecond)->UseRealTime()

// OpenCV peers exist only where OpenCV does (the CPU build).
#if defined(LMX_BENCH_OPENCV)
#define LMX_OPENCV_BENCHMARK(name) BENCHMARK(name) LMX_BENCH_SIZES
#else
#define LMX_OPENCV_BENCHMARK(name) static_assert(true, "")
#endif
