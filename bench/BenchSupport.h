#pragma once
// Shared set-up of the benchmarks: float images filled once, with their data already on the
// device so that every iteration is steady state. Most families time square images of 1024^2
// and 4096^2 pixels; the pixel-wise family adds the non-square 3000 x 5000 and reports each
// operation's bandwidth as a share of the device copy's, measured beside it.

#include <lumerix/Lumerix.h>

#include "runtime/Backend.h"

#include <benchmark/benchmark.h>
#if defined(LMX_BENCH_OPENCV)
#include <opencv2/core.hpp>
#endif

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <vector>

namespace lmxbench {

// Waits for the device so that a GPU timing covers the kernels; free on the CPU backend, where
// a launch has finished when it returns.
inline void sync() {
    if (!lmx::kDeviceMemoryIsHost) cudaDeviceSynchronize();
}

// What the backend's own source file (CpuBackend.cpp or CudaBackend.cpp, as CMake picks) does
// around the shared benchmarks: reads the process's settings before the run, and drops what the
// FFT library learned about plans so that a first call can be timed as such.
void configureBackend();
void forgetFftWisdom();

inline void fill(float* p, std::size_t n, float lo, float hi, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    for (std::size_t i = 0; i < n; ++i) p[i] = dist(gen);
}

// An image of w x h random pixels (w the fast extent), uploaded to the device (by a no-op
// operation).
inline Lumerix deviceImage(int w, int h, float lo, float hi, unsigned seed) {
    Lumerix img(cmm::cmmDims(w, h));
    fill(img.GetHostPtr(), static_cast<std::size_t>(w) * h, lo, hi, seed);
    img.Lock();
    img.Release();
    return img;
}

inline Lumerix deviceImage(int side, float lo, float hi, unsigned seed) {
    return deviceImage(side, side, lo, hi, seed);
}

#if defined(LMX_BENCH_OPENCV)
// The same pixels as deviceImage: h rows of w columns.
inline cv::Mat hostImage(int w, int h, float lo, float hi, unsigned seed) {
    cv::Mat m(h, w, CV_32F);
    fill(m.ptr<float>(), static_cast<std::size_t>(w) * h, lo, hi, seed);
    return m;
}

inline cv::Mat hostImage(int side, float lo, float hi, unsigned seed) {
    return hostImage(side, side, lo, hi, seed);
}
#endif

// Bytes a pass moves: `planes` float planes of w x h pixels read or written.
inline void setBytes(benchmark::State& state, int w, int h, double planes) {
    state.SetBytesProcessed(
        static_cast<int64_t>(static_cast<double>(state.iterations()) * planes * w * h * 4.0));
}

inline void setBytes(benchmark::State& state, int side, double planes) {
    setBytes(state, side, side, planes);
}

// The device copy bandwidth beside an operation: device-to-device copies between two locked
// images of the operation's size, timed before the timed loop and after it, so that the copy
// sees the same machine state as the operation without disturbing the caches inside the loop.
// report() sets bytes_per_second and the counter copy_share: the operation's bytes per second
// (wall time) over the copy's, which moves two planes. Benchmarks use it through timePasses.
class CopyShare {
public:
    static constexpr int kCopies = 5;

    CopyShare(benchmark::State& state, int w, int h)
        : state_(state),
          w_(w),
          h_(h),
          src_(deviceImage(w, h, 0.f, 1.f, 99)),
          dst_(cmm::cmmDims(w, h)) {
        timeCopies();
    }

    // Call right before the timed loop: its wall time runs from here to report().
    void start() { start_ = Clock::now(); }

    // Call right after the timed loop, with the float planes the operation moves per iteration.
    void report(double planes) {
        const double loopSeconds = std::chrono::duration<double>(Clock::now() - start_).count();
        timeCopies();
        setBytes(state_, w_, h_, planes);
        if (state_.iterations() == 0 || loopSeconds <= 0) return;
        std::sort(seconds_.begin(), seconds_.end());
        const std::size_t n = seconds_.size();
        const double copySeconds = (seconds_[(n - 1) / 2] + seconds_[n / 2]) / 2;
        const double iterationSeconds = loopSeconds / static_cast<double>(state_.iterations());
        state_.counters["copy_share"] = planes * copySeconds / (2.0 * iterationSeconds);
    }

private:
    using Clock = std::chrono::steady_clock;

    // kCopies timed copies after an untimed one, which brings the two images into the state a
    // copy leaves them in (pages mapped, caches as a copy leaves them).
    void timeCopies() {
        float* s = src_.Lock();
        float* d = dst_.Lock();
        const std::size_t bytes = static_cast<std::size_t>(w_) * h_ * sizeof(float);
        cudaMemcpy(d, s, bytes, cudaMemcpyDeviceToDevice);
        sync();
        for (int i = 0; i < kCopies; ++i) {
            const Clock::time_point t0 = Clock::now();
            cudaMemcpy(d, s, bytes, cudaMemcpyDeviceToDevice);
            sync();
            seconds_.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
        }
        dst_.Release();
        src_.Release();
    }

    benchmark::State& state_;
    int w_, h_;
    Lumerix src_, dst_;
    std::vector<double> seconds_;
    Clock::time_point start_;
};

// The timed loop of a pixel-wise benchmark on w x h images: `pass` is one iteration's work,
// moving `planes` float planes. It runs twice untimed first, after the copy images are in
// place, so that no timed iteration maps fresh pages (on a VM the first touch of 64 MiB costs
// more than a hundred passes over it) and results that replace earlier ones find the memory
// those freed.
template <typename Pass>
void timePasses(benchmark::State& state, int w, int h, double planes, Pass&& pass) {
    CopyShare share(state, w, h);
    pass();
    pass();
    sync();
    share.start();
    for (auto _ : state) {
        pass();
        sync();
    }
    share.report(planes);
}

}  // namespace lmxbench

#define LMX_BENCH_SIZES ->Arg(1024)->Arg(4096)->Unit(benchmark::kMicrosecond)->UseRealTime()
// The pixel-wise family: width, height.
#define LMX_PIXEL_SIZES                 \
    ->Args({1024, 1024})                \
        ->Args({4096, 4096})            \
        ->Args({3000, 5000})            \
        ->Unit(benchmark::kMicrosecond) \
        ->UseRealTime()

// OpenCV peers exist only where OpenCV does (the CPU build).
#if defined(LMX_BENCH_OPENCV)
#define LMX_OPENCV_BENCHMARK(name) BENCHMARK(name) LMX_BENCH_SIZES
#define LMX_OPENCV_PIXEL_BENCHMARK(name) BENCHMARK(name) LMX_PIXEL_SIZES
#else
#define LMX_OPENCV_BENCHMARK(name) static_assert(true, "")
#define LMX_OPENCV_PIXEL_BENCHMARK(name) static_assert(true, "")
#endif
