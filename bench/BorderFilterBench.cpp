// Filters with a chosen border against OpenCV, each case registered beside its peer so that the
// two run one after the other: gaussian at sigma 3.5 against cv::GaussianBlur (29 x 29, the same
// reflected border), median 3 x 3 and 5 x 5 against cv::medianBlur on float pixels (its border
// repeats the edge pixel: Nearest), and correlate against convolve with the same table.

#include "BenchSupport.h"

#if defined(LMX_BENCH_OPENCV)
#include <opencv2/imgproc.hpp>
#endif

#include <string>
#include <vector>

using lmxbench::deviceImage;
using lmxbench::sync;

namespace {

template <class Op>
void timeLumerix(benchmark::State& state, int side, Op op) {
    Lumerix a = deviceImage(side, 0.f, 1.f, 1);
    {  // warm-up: result memory mapped and reused, as in steady state
        Lumerix c = op(a);
    }
    for (auto _ : state) {
        Lumerix c = op(a);
        sync();
        benchmark::DoNotOptimize(c.GetDevicePtr());
    }
    lmxbench::setBytes(state, side, 2.0);
}

#if defined(LMX_BENCH_OPENCV)
template <class Op>
void timeOpenCV(benchmark::State& state, int side, Op op) {
    cv::Mat a = lmxbench::hostImage(side, 0.f, 1.f, 1), c(side, side, CV_32F);
    op(a, c);  // warm-up
    for (auto _ : state) {
        op(a, c);
        benchmark::DoNotOptimize(c.data);
    }
    lmxbench::setBytes(state, side, 2.0);
}
#endif

template <class Fn>
void add(const std::string& name, int side, Fn fn) {
    benchmark::RegisterBenchmark((name + "/" + std::to_string(side)).c_str(),
                                 [=](benchmark::State& s) { fn(s, side); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

const bool registered = [] {
    for (int side : {1024, 4096}) {
        add("Gaussian35_Lumerix", side, [](benchmark::State& s, int n) {
            timeLumerix(s, n, [](Lumerix& a) { return gaussian(a, 3.5f); });
        });
#if defined(LMX_BENCH_OPENCV)
        add("Gaussian35_OpenCVGaussianBlur", side, [](benchmark::State& s, int n) {
            timeOpenCV(s, n, [](const cv::Mat& a, cv::Mat& c) {
                cv::GaussianBlur(a, c, cv::Size(29, 29), 3.5, 3.5, cv::BORDER_REFLECT);
            });
        });
#endif
        for (int r : {1, 2}) {
            add("Median" + std::to_string(2 * r + 1) + "_Lumerix", side,
                [r](benchmark::State& s, int n) {
                    timeLumerix(
                        s, n, [r](Lumerix& a) { return median(a, r, r, LumerixBorder::Nearest); });
                });
#if defined(LMX_BENCH_OPENCV)
            add("Median" + std::to_string(2 * r + 1) + "_OpenCV", side,
                [r](benchmark::State& s, int n) {
                    timeOpenCV(s, n, [r](const cv::Mat& a, cv::Mat& c) {
                        cv::medianBlur(a, c, 2 * r + 1);
                    });
                });
#endif
        }
        for (int r : {2, 7}) {
            static std::vector<float> taps(225, 1.0f / 225);
            add("Correlate" + std::to_string(r) + "_Lumerix", side,
                [r](benchmark::State& s, int n) {
                    timeLumerix(s, n, [r](Lumerix& a) { return correlate(a, taps.data(), r, r); });
                });
            add("Correlate" + std::to_string(r) + "_Convolve", side,
                [r](benchmark::State& s, int n) {
                    timeLumerix(s, n, [r](Lumerix& a) { return convolve(a, taps.data(), r, r); });
                });
            add("Correlate" + std::to_string(r) + "Nearest_Lumerix", side,
                [r](benchmark::State& s, int n) {
                    timeLumerix(s, n, [r](Lumerix& a) {
                        return correlate(a, taps.data(), r, r, LumerixBorder::Nearest);
                    });
                });
        }
    }
    return true;
}();

}  // namespace
