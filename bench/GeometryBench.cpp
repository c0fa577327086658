// Geometric operations against what an OpenCV user would write for the same result: the shift
// as four ROI copies, the crop as Mat(roi).copyTo, the canvas change as copyMakeBorder with
// zeros, the coordinate images against a fill, the sub-pixel window against cv::remap (bilinear,
// wrapped border), the affine warp against cv::warpAffine (bilinear, inverse map, replicated
// border). Copy_Device (PixelBench.cpp) gives the copy bandwidth of the same run.

#include "BenchSupport.h"

#if defined(LMX_BENCH_OPENCV)
#include <opencv2/imgproc.hpp>
#endif

#include <cmath>

using lmxbench::deviceImage;
using lmxbench::setBytes;
using lmxbench::sync;

namespace {

constexpr int kPad = 16;  // zeros on every side of the canvas change

// A rotation by 10 degrees about the centre, mapping result positions to source positions.
struct Rotation {
    float m[6];
    explicit Rotation(int side) {
        const double t = 10.0 * 3.14159265358979323846 / 180.0, c = std::cos(t), s = std::sin(t);
        const double centre = (side - 1) / 2.0;
        const double values[6] = {c, -s, centre - c * centre + s * centre,
                                  s, c,  centre - s * centre - c * centre};
        for (int i = 0; i < 6; ++i) m[i] = static_cast<float>(values[i]);
    }
};

// One Lumerix benchmark: a new result per iteration, whose device memory is taken over from the
// previous iteration's result (steady state).
#define LMX_GEOMETRY_LUMERIX(name, planes, expr)           \
    void name##_Lumerix(benchmark::State& state) {         \
        const int side = static_cast<int>(state.range(0)); \
        Lumerix a = deviceImage(side, -1.f, 1.f, 1);       \
        [[maybe_unused]] Rotation rot(side);               \
        for (auto _ : state) {                             \
            Lumerix c = expr;                              \
            sync();                                        \
            benchmark::DoNotOptimize(c.GetDevicePtr());    \
        }                                                  \
        setBytes(state, side, planes);                     \
    }                                                      \
    BENCHMARK(name##_Lumerix) LMX_BENCH_SIZES;

// Planes moved by the canvas change: the source read, the larger canvas written.
double canvasPlanes(int side) {
    return 1.0 + std::pow((side + 2.0 * kPad) / side, 2);
}

LMX_GEOMETRY_LUMERIX(Shift, 2, a(side / 3, side / 5))
LMX_GEOMETRY_LUMERIX(Crop, 0.5, a(side / 4, 3 * side / 4, side / 4, 3 * side / 4))
LMX_GEOMETRY_LUMERIX(Canvas, canvasPlanes(side),
                     resize(a, cmm::cmmDims(side + 2 * kPad, side + 2 * kPad), kPad, kPad))
LMX_GEOMETRY_LUMERIX(XX, 1, xx(a))
LMX_GEOMETRY_LUMERIX(YY, 1, yy(a))
LMX_GEOMETRY_LUMERIX(Affine, 2, affine(a, rot.m))
LMX_GEOMETRY_LUMERIX(Slice, 2, slice(a, 0.5f, 0.25f, side, side))

#undef LMX_GEOMETRY_LUMERIX

#if defined(LMX_BENCH_OPENCV)

#define LMX_GEOMETRY_OPENCV(name, planes, statement)            \
    void name##_OpenCV(benchmark::State& state) {               \
        const int side = static_cast<int>(state.range(0));      \
        cv::Mat a = lmxbench::hostImage(side, -1.f, 1.f, 1), c; \
        [[maybe_unused]] Rotation rot(side);                    \
        for (auto _ : state) {                                  \
            statement;                                          \
            benchmark::DoNotOptimize(c.data);                   \
        }                                                       \
        setBytes(state, side, planes);                          \
    }                                                           \
    BENCHMARK(name##_OpenCV) LMX_BENCH_SIZES;

// The shift by (dx, dy) as the four pieces of the wrapped image.
void shiftByRois(const cv::Mat& a, cv::Mat& c, int dx, int dy) {
    c.create(a.size(), a.type());
    const int w = a.cols, h = a.rows;
    a(cv::Rect(dx, dy, w - dx, h - dy)).copyTo(c(cv::Rect(0, 0, w - dx, h - dy)));
    a(cv::Rect(0, dy, dx, h - dy)).copyTo(c(cv::Rect(w - dx, 0, dx, h - dy)));
    a(cv::Rect(dx, 0, w - dx, dy)).copyTo(c(cv::Rect(0, h - dy, w - dx, dy)));
    a(cv::Rect(0, 0, dx, dy)).copyTo(c(cv::Rect(w - dx, h - dy, dx, dy)));
}

LMX_GEOMETRY_OPENCV(Shift, 2, shiftByRois(a, c, side / 3, side / 5))
LMX_GEOMETRY_OPENCV(Crop, 0.5, a(cv::Rect(side / 4, side / 4, side / 2, side / 2)).copyTo(c))
LMX_GEOMETRY_OPENCV(Canvas, canvasPlanes(side),
                    cv::copyMakeBorder(a, c, kPad, kPad, kPad, kPad, cv::BORDER_CONSTANT,
                                       cv::Scalar(0)))
LMX_GEOMETRY_OPENCV(Fill, 1, c.create(side, side, CV_32F); c.setTo(cv::Scalar(1.0)))
LMX_GEOMETRY_OPENCV(Affine, 2,
                    cv::warpAffine(a, c, cv::Mat(2, 3, CV_32F, rot.m), a.size(),
                                   cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE))

// The sub-pixel window as OpenCV does it: remap with the window's positions (maps made once),
// bilinear, wrapping around the edges.
void Slice_OpenCV(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    cv::Mat a = lmxbench::hostImage(side, -1.f, 1.f, 1), c;
    cv::Mat mapX(side, side, CV_32F), mapY(side, side, CV_32F);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            mapX.at<float>(y, x) = static_cast<float>(x) + 0.5f;
            mapY.at<float>(y, x) = static_cast<float>(y) + 0.25f;
        }
    for (auto _ : state) {
        cv::remap(a, c, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_WRAP);
        benchmark::DoNotOptimize(c.data);
    }
    setBytes(state, side, 2);
}
BENCHMARK(Slice_OpenCV) LMX_BENCH_SIZES;

#undef LMX_GEOMETRY_OPENCV

#endif

}  // namespace
