// Neighbourhood filters against OpenCV: erosion and dilation (cv::erode / cv::dilate with the
// same element and BORDER_REFLECT), convolution (cv::filter2D, also on its direct path for
// tables that it would otherwise take through a DFT) and the Gaussian filters (cv::filter2D
// with the same full table, cv::GaussianBlur for information). Morphology reports bytes moved
// (two planes per pass), to compare with Copy_Device of the same run; convolution reports
// multiply-adds per second.

#include "BenchSupport.h"

#include "lumerix/GaussTaps.h"

#if defined(LMX_BENCH_OPENCV)
#include <opencv2/imgproc.hpp>
#endif

#include <vector>

using lmxbench::deviceImage;
using lmxbench::setBytes;
using lmxbench::sync;

namespace {

// Arguments: side, shape (1 cross, 2 square), passes.
void morphologyArgs(benchmark::internal::Benchmark* b) {
    for (int side : {1024, 4096})
        for (int shape : {1, 2})
            for (int passes : {1, 4}) b->Args({side, shape, passes});
    b->Unit(benchmark::kMicrosecond)->UseRealTime();
}

template <bool kDilate>
void Morphology_Lumerix(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    const int shape = static_cast<int>(state.range(1)), passes = static_cast<int>(state.range(2));
    Lumerix a = deviceImage(side, 0.f, 1.f, 1);
    {  // warm-up: result memory mapped and reused, as in steady state
        Lumerix c = kDilate ? dilation(a, passes, shape) : erosion(a, passes, shape);
    }
    for (auto _ : state) {
        Lumerix c = kDilate ? dilation(a, passes, shape) : erosion(a, passes, shape);
        sync();
        benchmark::DoNotOptimize(c.GetDevicePtr());
    }
    setBytes(state, side, 2.0 * passes);
}

#if defined(LMX_BENCH_OPENCV)
template <bool kDilate>
void Morphology_OpenCV(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    const int shape = static_cast<int>(state.range(1)), passes = static_cast<int>(state.range(2));
    cv::Mat a = lmxbench::hostImage(side, 0.f, 1.f, 1), c(side, side, CV_32F);
    const cv::Mat element =
        cv::getStructuringElement(shape == 1 ? cv::MORPH_CROSS : cv::MORPH_RECT, cv::Size(3, 3));
    {  // warm-up: result memory mapped and reused, as in steady state
        if (kDilate)
            cv::dilate(a, c, element, cv::Point(-1, -1), passes, cv::BORDER_REFLECT);
        else
            cv::erode(a, c, element, cv::Point(-1, -1), passes, cv::BORDER_REFLECT);
    }
    for (auto _ : state) {
        if (kDilate)
            cv::dilate(a, c, element, cv::Point(-1, -1), passes, cv::BORDER_REFLECT);
        else
            cv::erode(a, c, element, cv::Point(-1, -1), passes, cv::BORDER_REFLECT);
        benchmark::DoNotOptimize(c.data);
    }
    setBytes(state, side, 2.0 * passes);
}
#endif

void setMacs(benchmark::State& state, int side, int taps) {
    state.counters["MAC/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * side * side * taps, benchmark::Counter::kIsRate);
}

// Arguments: side, radius (a square table of random taps).
void convolveArgs(benchmark::internal::Benchmark* b) {
    for (int side : {1024, 4096})
        for (int radius : {2, 7}) b->Args({side, radius});
    b->Unit(benchmark::kMicrosecond)->UseRealTime();
}

std::vector<float> randomTaps(int radius) {
    std::vector<float> taps(static_cast<std::size_t>((2 * radius + 1) * (2 * radius + 1)));
    lmxbench::fill(taps.data(), taps.size(), -1.f, 1.f, 7);
    return taps;
}

void Convolve_Lumerix(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0)), r = static_cast<int>(state.range(1));
    Lumerix a = deviceImage(side, 0.f, 1.f, 1);
    std::vector<float> taps = randomTaps(r);
    {  // warm-up: result memory mapped and reused, as in steady state
        Lumerix c = convolve(a, taps.data(), r, r);
    }
    for (auto _ : state) {
        Lumerix c = convolve(a, taps.data(), r, r);
        sync();
        benchmark::DoNotOptimize(c.GetDevicePtr());
    }
    setMacs(state, side, static_cast<int>(taps.size()));
}

#if defined(LMX_BENCH_OPENCV)
// The source as a window one pixel inside a larger matrix: OpenCV then stays on its direct path
// whatever the table's size.
struct OpenCVSource {
    cv::Mat whole, image;
    OpenCVSource(int side, bool direct) {
        if (direct) {
            whole = lmxbench::hostImage(side + 2, 0.f, 1.f, 1);
            image = whole(cv::Rect(1, 1, side, side));
        } else {
            image = lmxbench::hostImage(side, 0.f, 1.f, 1);
        }
    }
};

template <bool kDirect>
void Convolve_OpenCV(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0)), r = static_cast<int>(state.range(1));
    OpenCVSource src(side, kDirect);
    std::vector<float> taps = randomTaps(r);
    const cv::Mat table(2 * r + 1, 2 * r + 1, CV_32F, taps.data());
    cv::Mat c(side, side, CV_32F);
    {  // warm-up: result memory mapped and reused, as in steady state
        cv::filter2D(src.image, c, CV_32F, table, cv::Point(-1, -1), 0, cv::BORDER_REFLECT);
    }
    for (auto _ : state) {
        cv::filter2D(src.image, c, CV_32F, table, cv::Point(-1, -1), 0, cv::BORDER_REFLECT);
        benchmark::DoNotOptimize(c.data);
    }
    setMacs(state, side, static_cast<int>(taps.size()));
}
#endif

// Arguments: side, sigma x 10 (1.0: a 5 x 5 table, 3.5: 15 x 15).
void gaussArgs(benchmark::internal::Benchmark* b) {
    for (int side : {1024, 4096})
        for (int sigma10 : {10, 35}) b->Args({side, sigma10});
    b->Unit(benchmark::kMicrosecond)->UseRealTime();
}

void Gauss_Lumerix(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    const float sigma = static_cast<float>(state.range(1)) / 10.0f;
    Lumerix a = deviceImage(side, 0.f, 1.f, 1);
    const int r = lmx::gaussRadius(sigma);
    {  // warm-up: result memory mapped and reused, as in steady state
        Lumerix c = gauss(a, sigma);
    }
    for (auto _ : state) {
        Lumerix c = gauss(a, sigma);
        sync();
        benchmark::DoNotOptimize(c.GetDevicePtr());
    }
    setMacs(state, side, (2 * r + 1) * (2 * r + 1));
}

#if defined(LMX_BENCH_OPENCV)
void Gauss_OpenCVFilter2D(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    const float sigma = static_cast<float>(state.range(1)) / 10.0f;
    OpenCVSource src(side, true);
    lmx::GaussTaps g = lmx::gaussTaps(sigma, lmx::GaussKind::Smooth, "bench");
    const int span = 2 * g.radius + 1;
    const cv::Mat table(span, span, CV_32F, g.taps);
    cv::Mat c(side, side, CV_32F);
    {  // warm-up: result memory mapped and reused, as in steady state
        cv::filter2D(src.image, c, CV_32F, table, cv::Point(-1, -1), 0, cv::BORDER_REFLECT);
    }
    for (auto _ : state) {
        cv::filter2D(src.image, c, CV_32F, table, cv::Point(-1, -1), 0, cv::BORDER_REFLECT);
        benchmark::DoNotOptimize(c.data);
    }
    setMacs(state, side, span * span);
}

void Gauss_OpenCVGaussianBlur(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    const float sigma = static_cast<float>(state.range(1)) / 10.0f;
    cv::Mat a = lmxbench::hostImage(side, 0.f, 1.f, 1), c(side, side, CV_32F);
    const int span = 2 * lmx::gaussRadius(sigma) + 1;
    {  // warm-up: result memory mapped and reused, as in steady state
        cv::GaussianBlur(a, c, cv::Size(span, span), sigma, sigma, cv::BORDER_REFLECT);
    }
    for (auto _ : state) {
        cv::GaussianBlur(a, c, cv::Size(span, span), sigma, sigma, cv::BORDER_REFLECT);
        benchmark::DoNotOptimize(c.data);
    }
    setMacs(state, side, span * span);
}
#endif

}  // namespace

BENCHMARK(Morphology_Lumerix<false>)->Name("Erode_Lumerix")->Apply(morphologyArgs);
BENCHMARK(Morphology_Lumerix<true>)->Name("Dilate_Lumerix")->Apply(morphologyArgs);
BENCHMARK(Convolve_Lumerix)->Apply(convolveArgs);
BENCHMARK(Gauss_Lumerix)->Apply(gaussArgs);
#if defined(LMX_BENCH_OPENCV)
BENCHMARK(Morphology_OpenCV<false>)->Name("Erode_OpenCV")->Apply(morphologyArgs);
BENCHMARK(Morphology_OpenCV<true>)->Name("Dilate_OpenCV")->Apply(morphologyArgs);
BENCHMARK(Convolve_OpenCV<false>)->Name("Convolve_OpenCV")->Apply(convolveArgs);
BENCHMARK(Convolve_OpenCV<true>)->Name("Convolve_OpenCVDirect")->Apply(convolveArgs);
BENCHMARK(Gauss_OpenCVFilter2D)->Apply(gaussArgs);
BENCHMARK(Gauss_OpenCVGaussianBlur)->Apply(gaussArgs);
#endif
