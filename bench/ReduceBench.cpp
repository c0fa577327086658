// Reductions and the histogram against OpenCV.

#include "BenchSupport.h"

#if defined(LMX_BENCH_OPENCV)
#include <opencv2/imgproc.hpp>
#endif

using lmxbench::deviceImage;
using lmxbench::setBytes;

namespace {

void Sum_Lumerix(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    Lumerix a = deviceImage(side, -1.f, 1.f, 1);
    for (auto _ : state) benchmark::DoNotOptimize(sum(a));
    setBytes(state, side, 1);
}

#if defined(LMX_BENCH_OPENCV)
void Sum_OpenCV(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    cv::Mat a = lmxbench::hostImage(side, -1.f, 1.f, 1);
    for (auto _ : state) benchmark::DoNotOptimize(cv::sum(a)[0]);
    setBytes(state, side, 1);
}
#endif

void Min_Lumerix(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    Lumerix a = deviceImage(side, -1.f, 1.f, 1);
    for (auto _ : state) benchmark::DoNotOptimize(fmin(a));
    setBytes(state, side, 1);
}

// Both extremes: two reductions here, one pass of minMaxLoc there.
void MinMax_Lumerix(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    Lumerix a = deviceImage(side, -1.f, 1.f, 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(fmin(a));
        benchmark::DoNotOptimize(fmax(a));
    }
    setBytes(state, side, 1);
}

#if defined(LMX_BENCH_OPENCV)
void MinMax_OpenCV(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    cv::Mat a = lmxbench::hostImage(side, -1.f, 1.f, 1);
    for (auto _ : state) {
        double lo, hi;
        cv::minMaxLoc(a, &lo, &hi);
        benchmark::DoNotOptimize(lo + hi);
    }
    setBytes(state, side, 1);
}
#endif

void MeanVar_Lumerix(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    Lumerix a = deviceImage(side, -1.f, 1.f, 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(mean(a));
        benchmark::DoNotOptimize(var(a));
    }
    setBytes(state, side, 1);
}

#if defined(LMX_BENCH_OPENCV)
void MeanVar_OpenCV(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    cv::Mat a = lmxbench::hostImage(side, -1.f, 1.f, 1);
    for (auto _ : state) {
        cv::Scalar m, s;
        cv::meanStdDev(a, m, s);
        benchmark::DoNotOptimize(m[0] + s[0]);
    }
    setBytes(state, side, 1);
}
#endif

// The histogram is timed with the pixel-wise family (width, height): it streams its image once,
// so its copy_share is the pixels' bytes per second over the copy's.
// Floor on an H100 (3.35 TB/s) at 4096^2: 30 us, the conversion reading 67 MB of floats and
// writing 16.8 MB of bytes that the counting reads again (the counting alone: 5 us).
void Histogram_Lumerix(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    Lumerix a = deviceImage(w, h, 0.f, 300.f, 1);
    unsigned int bins[256];
    lmxbench::timePasses(state, w, h, 1, [&] {
        histogram256(a, bins);
        benchmark::DoNotOptimize(bins[0]);
    });
}

// The same work in OpenCV: to 8 bits, then a 256-bin histogram.
#if defined(LMX_BENCH_OPENCV)
void Histogram_OpenCV(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    cv::Mat a = lmxbench::hostImage(w, h, 0.f, 300.f, 1), bytes, hist;
    const int channels[] = {0};
    const int size[] = {256};
    const float range[] = {0.f, 256.f};
    const float* ranges[] = {range};
    a.convertTo(bytes, CV_8U);
    for (auto _ : state) {
        a.convertTo(bytes, CV_8U);
        cv::calcHist(&bytes, 1, channels, cv::Mat(), hist, 1, size, ranges);
        benchmark::DoNotOptimize(hist.data);
    }
    setBytes(state, w, h, 1);
}
#endif

}  // namespace

// One pixel and 256^2 show the fixed cost of a call and the team's wake-up.
BENCHMARK(Sum_Lumerix)->Arg(1)->Arg(256) LMX_BENCH_SIZES;
#if defined(LMX_BENCH_OPENCV)
BENCHMARK(Sum_OpenCV)->Arg(1)->Arg(256) LMX_BENCH_SIZES;
#endif
BENCHMARK(Min_Lumerix) LMX_BENCH_SIZES;
BENCHMARK(MinMax_Lumerix) LMX_BENCH_SIZES;
LMX_OPENCV_BENCHMARK(MinMax_OpenCV);
BENCHMARK(MeanVar_Lumerix) LMX_BENCH_SIZES;
LMX_OPENCV_BENCHMARK(MeanVar_OpenCV);
BENCHMARK(Histogram_Lumerix) LMX_PIXEL_SIZES;
LMX_OPENCV_PIXEL_BENCHMARK(Histogram_OpenCV);
