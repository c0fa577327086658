// Scaling, the warp with a border, 8-connected labelling and region statistics against what an
// OpenCV user writes for the same result: cv::resize by the matching interpolation, warpAffine
// (bilinear, inverse map, constant border), compare + connectedComponents(8) + convertTo, and
// connectedComponentsWithStats (its excess over connectedComponents is the statistics' share).
//
// Scale arguments: (source side, result side, method 0 nearest / 1 linear / 2 cubic / 3 area).

#include "BenchSupport.h"

#if defined(LMX_BENCH_OPENCV)
#include <opencv2/imgproc.hpp>
#endif

#include <cmath>
#include <random>
#include <vector>

using lmxbench::deviceImage;
using lmxbench::sync;

namespace {

// A rotation by 10 degrees about the centre with a zoom out by 1.25, so that a band of the
// result reads outside the source.
void rotationZoom(int side, float* m) {
    const double t = 10.0 * 3.14159265358979323846 / 180.0, z = 1.25;
    const double c = z * std::cos(t), s = z * std::sin(t), o = (side - 1) / 2.0;
    const double v[6] = {c, -s, o - c * o + s * o, s, c, o - s * o - c * o};
    for (int i = 0; i < 6; ++i) m[i] = static_cast<float>(v[i]);
}

// Thresholded noise, about 30 % foreground: many small components.
std::vector<float> mask(int side) {
    std::vector<float> v(static_cast<std::size_t>(side) * side);
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> dist(0.f, 1.f);
    for (float& p : v) p = dist(gen) < 0.3f ? 1.0f : 0.0f;
    return v;
}

Lumerix deviceMask(int side) {
    const std::vector<float> v = mask(side);
    Lumerix img(cmm::cmmDims(side, side));
    std::copy(v.begin(), v.end(), img.GetHostPtr());
    img.Lock();
    img.Release();
    return img;
}

void Scale_Lumerix(benchmark::State& state) {
    const int from = static_cast<int>(state.range(0)), to = static_cast<int>(state.range(1));
    const auto method = static_cast<LumerixInterpolation>(state.range(2));
    Lumerix a = deviceImage(from, -1.f, 1.f, 1);
    for (auto _ : state) {
        Lumerix c = scale(a, to, to, method);
        sync();
        benchmark::DoNotOptimize(c.GetDevicePtr());
    }
}

void AffineBorder_Lumerix(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    Lumerix a = deviceImage(side, -1.f, 1.f, 1);
    float m[6];
    rotationZoom(side, m);
    for (auto _ : state) {
        Lumerix c = affine(a, m, LumerixBorder::Constant, 0.0f);
        sync();
        benchmark::DoNotOptimize(c.GetDevicePtr());
    }
}

void Label8_Lumerix(benchmark::State& state) {
    Lumerix img = deviceMask(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        Lumerix out = label(img, 8);
        sync();
        benchmark::DoNotOptimize(out.page);
    }
}

// The statistics alone, on labels made once, with the mask as the intensities.
void Regions_Lumerix(benchmark::State& state) {
    Lumerix img = deviceMask(static_cast<int>(state.range(0)));
    Lumerix labels = label(img, 8);
    for (auto _ : state) {
        std::vector<LumerixRegion> r = regions(labels, img);
        benchmark::DoNotOptimize(r.data());
    }
}

#if defined(LMX_BENCH_OPENCV)
const int kCvMethods[] = {cv::INTER_NEAREST_EXACT, cv::INTER_LINEAR, cv::INTER_CUBIC,
                          cv::INTER_AREA};

void Scale_OpenCV(benchmark::State& state) {
    cv::setNumThreads(2);
    const int from = static_cast<int>(state.range(0)), to = static_cast<int>(state.range(1));
    cv::Mat a = lmxbench::hostImage(from, -1.f, 1.f, 1), c;
    for (auto _ : state) {
        cv::resize(a, c, cv::Size(to, to), 0, 0, kCvMethods[state.range(2)]);
        benchmark::DoNotOptimize(c.data);
    }
}

void AffineBorder_OpenCV(benchmark::State& state) {
    cv::setNumThreads(2);
    const int side = static_cast<int>(state.range(0));
    cv::Mat a = lmxbench::hostImage(side, -1.f, 1.f, 1), c;
    float m[6];
    rotationZoom(side, m);
    const cv::Mat map = (cv::Mat_<float>(2, 3) << m[0], m[1], m[2], m[3], m[4], m[5]);
    for (auto _ : state) {
        cv::warpAffine(a, c, map, a.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                       cv::BORDER_CONSTANT, cv::Scalar(0));
        benchmark::DoNotOptimize(c.data);
    }
}

cv::Mat maskMat(int side) {
    const std::vector<float> v = mask(side);
    cv::Mat m(side, side, CV_32F);
    std::copy(v.begin(), v.end(), m.ptr<float>());
    return m;
}

void Label8_OpenCV(benchmark::State& state) {
    cv::setNumThreads(2);
    cv::Mat img = maskMat(static_cast<int>(state.range(0))), m, labels, out;
    for (auto _ : state) {
        cv::compare(img, 0, m, cv::CMP_NE);
        cv::connectedComponents(m, labels, 8, CV_32S);
        labels.convertTo(out, CV_32F);
        benchmark::DoNotOptimize(out.data);
    }
}

void Components8_OpenCV(benchmark::State& state) {
    cv::setNumThreads(2);
    cv::Mat img = maskMat(static_cast<int>(state.range(0))), m, labels;
    cv::compare(img, 0, m, cv::CMP_NE);
    for (auto _ : state) {
        cv::connectedComponents(m, labels, 8, CV_32S);
        benchmark::DoNotOptimize(labels.data);
    }
}

void ComponentsWithStats8_OpenCV(benchmark::State& state) {
    cv::setNumThreads(2);
    cv::Mat img = maskMat(static_cast<int>(state.range(0))), m, labels, stats, centroids;
    cv::compare(img, 0, m, cv::CMP_NE);
    for (auto _ : state) {
        cv::connectedComponentsWithStats(m, labels, stats, centroids, 8, CV_32S);
        benchmark::DoNotOptimize(labels.data);
    }
}
#endif

}  // namespace

#define LMX_SCALE_ARGS                                \
    ->ArgsProduct({{1024}, {1536}, {0, 1, 2, 3}})     \
        ->ArgsProduct({{4096}, {1024}, {0, 1, 2, 3}}) \
        ->ArgNames({"from", "to", "method"})          \
        ->UseRealTime()                               \
        ->Unit(benchmark::kMicrosecond)
#define LMX_REGION_ARGS ->Arg(1024)->Arg(4096)->UseRealTime()->Unit(benchmark::kMillisecond)

BENCHMARK(Scale_Lumerix) LMX_SCALE_ARGS;
BENCHMARK(AffineBorder_Lumerix) LMX_BENCH_SIZES;
BENCHMARK(Label8_Lumerix) LMX_REGION_ARGS;
BENCHMARK(Regions_Lumerix) LMX_REGION_ARGS;
#if defined(LMX_BENCH_OPENCV)
BENCHMARK(Scale_OpenCV) LMX_SCALE_ARGS;
BENCHMARK(AffineBorder_OpenCV) LMX_BENCH_SIZES;
BENCHMARK(Label8_OpenCV) LMX_REGION_ARGS;
BENCHMARK(Components8_OpenCV) LMX_REGION_ARGS;
BENCHMARK(ComponentsWithStats8_OpenCV) LMX_REGION_ARGS;
#endif
