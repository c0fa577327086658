// Connected-component labelling against what a user with float images does in OpenCV: a mask
// of the non-zero pixels, 4-connected components, and the labels converted to floats.
//
// Inputs (second argument): 0 thresholded noise, about 30 % foreground (many small
// components); 1 a thresholded smooth field (a few large ones); 2 a checkerboard (one run per
// two pixels, every pixel its own component: the worst case for the run tables).

#include "BenchSupport.h"

#if defined(LMX_BENCH_OPENCV)
#include <opencv2/imgproc.hpp>
#endif

#include <cmath>
#include <random>
#include <vector>

using lmxbench::sync;

namespace {

std::vector<float> labelInput(int side, int kind) {
    std::vector<float> v(static_cast<std::size_t>(side) * side);
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> dist(0.f, 1.f);
    const double k = 2 * 3.14159265358979 / 256;  // features a few hundred pixels across
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            float& p = v[static_cast<std::size_t>(y) * side + x];
            if (kind == 0) {
                p = dist(gen) < 0.3f ? 1.0f : 0.0f;
            } else if (kind == 1) {
                const double f = std::sin(k * x) * std::cos(0.7 * k * y) +
                                 0.5 * std::sin(0.4 * k * (x + 2 * y) + 1.0);
                p = f > 0.3 ? 1.0f : 0.0f;
            } else {
                p = (x + y) % 2 == 0 ? 1.0f : 0.0f;
            }
        }
    }
    return v;
}

void Label_Lumerix(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    const std::vector<float> v = labelInput(side, static_cast<int>(state.range(1)));
    Lumerix img(cmm::cmmDims(side, side));
    std::copy(v.begin(), v.end(), img.GetHostPtr());
    img.Lock();
    img.Release();
    for (auto _ : state) {
        Lumerix out = label(img);
        benchmark::DoNotOptimize(out.page);
        sync();
    }
}

#if defined(LMX_BENCH_OPENCV)
cv::Mat labelInputMat(int side, int kind) {
    const std::vector<float> v = labelInput(side, kind);
    cv::Mat m(side, side, CV_32F);
    std::copy(v.begin(), v.end(), m.ptr<float>());
    return m;
}

void Label_OpenCV(benchmark::State& state) {
    cv::setNumThreads(2);
    const int side = static_cast<int>(state.range(0));
    cv::Mat img = labelInputMat(side, static_cast<int>(state.range(1))), mask, labels, out;
    for (auto _ : state) {
        cv::compare(img, 0, mask, cv::CMP_NE);
        cv::connectedComponents(mask, labels, 4, CV_32S);
        labels.convertTo(out, CV_32F);
        benchmark::DoNotOptimize(out.data);
    }
}

// The labelling alone, on a mask made once.
void Label_OpenCVComponentsOnly(benchmark::State& state) {
    cv::setNumThreads(2);
    const int side = static_cast<int>(state.range(0));
    cv::Mat img = labelInputMat(side, static_cast<int>(state.range(1))), mask, labels;
    cv::compare(img, 0, mask, cv::CMP_NE);
    for (auto _ : state) {
        cv::connectedComponents(mask, labels, 4, CV_32S);
        benchmark::DoNotOptimize(labels.data);
    }
}
#endif

}  // namespace

#define LMX_LABEL_ARGS                       \
    ->ArgsProduct({{1024, 4096}, {0, 1, 2}}) \
        ->ArgNames({"side", "input"})        \
        ->UseRealTime()                      \
        ->Unit(benchmark::kMillisecond)

BENCHMARK(Label_Lumerix) LMX_LABEL_ARGS;
#if defined(LMX_BENCH_OPENCV)
BENCHMARK(Label_OpenCV) LMX_LABEL_ARGS;
BENCHMARK(Label_OpenCVComponentsOnly) LMX_LABEL_ARGS;
#endif
