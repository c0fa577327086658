// Element-wise operations, conversions and channel merge/split against OpenCV, plus the copy
// bandwidth of the device (the ceiling for every operation that streams its images once).

#include "BenchSupport.h"

#if defined(LMX_BENCH_OPENCV)
#include <opencv2/imgproc.hpp>
#endif

#include <cstdlib>
#include <vector>

using lmxbench::deviceImage;
using lmxbench::setBytes;
using lmxbench::sync;

namespace {

// Device-to-device copy of one image into another: two planes moved per pass.
void Copy_Device(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    Lumerix a = deviceImage(side, 0.f, 1.f, 1);
    Lumerix c(a.GetDimensions());
    float* da = a.Lock();
    float* dc = c.Lock();
    const std::size_t bytes = static_cast<std::size_t>(side) * side * sizeof(float);
    for (auto _ : state) {
        cudaMemcpy(dc, da, bytes, cudaMemcpyDeviceToDevice);
        sync();
    }
    a.Release();
    c.Release();
    setBytes(state, side, 2);
}

#if defined(LMX_BENCH_OPENCV)
void Copy_OpenCV(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    cv::Mat a = lmxbench::hostImage(side, 0.f, 1.f, 1), c(side, side, CV_32F);
    for (auto _ : state) {
        a.copyTo(c);
        benchmark::DoNotOptimize(c.data);
    }
    setBytes(state, side, 2);
}
#endif

// One benchmark pair per element-wise operation: Lumerix's result is a new image whose device
// memory is taken over from the previous iteration's result (steady state).
#define LMX_PIXEL_PAIR(name, planes, lumerixExpr, opencvStmt) \
    void name##_Lumerix(benchmark::State& state) {            \
        const int side = static_cast<int>(state.range(0));    \
        Lumerix a = deviceImage(side, -1.f, 1.f, 1);          \
        Lumerix b = deviceImage(side, 0.5f, 2.f, 2);          \
        for (auto _ : state) {                                \
            Lumerix c = lumerixExpr;                          \
            sync();                                           \
            benchmark::DoNotOptimize(c.GetDevicePtr());       \
        }                                                     \
        setBytes(state, side, planes);                        \
    }                                                         \
    LMX_PIXEL_OPENCV(name, planes, opencvStmt)                \
    BENCHMARK(name##_Lumerix) LMX_BENCH_SIZES;                \
    LMX_OPENCV_BENCHMARK(name##_OpenCV);

#if defined(LMX_BENCH_OPENCV)
#define LMX_PIXEL_OPENCV(name, planes, opencvStmt)           \
    void name##_OpenCV(benchmark::State& state) {            \
        const int side = static_cast<int>(state.range(0));   \
        cv::Mat a = lmxbench::hostImage(side, -1.f, 1.f, 1); \
        cv::Mat b = lmxbench::hostImage(side, 0.5f, 2.f, 2); \
        cv::Mat c(side, side, CV_32F);                       \
        for (auto _ : state) {                               \
            opencvStmt;                                      \
            benchmark::DoNotOptimize(c.data);                \
        }                                                    \
        setBytes(state, side, planes);                       \
    }
#else
#define LMX_PIXEL_OPENCV(name, planes, opencvStmt)
#endif

LMX_PIXEL_PAIR(Add, 3, a + b, cv::add(a, b, c))
LMX_PIXEL_PAIR(MulScalar, 2, a * 2.0f, cv::multiply(a, cv::Scalar(2.0), c))
// OpenCV's fastest route to a 0/1 float image of a > 0.5 is a binary threshold.
LMX_PIXEL_PAIR(Greater, 2, a > 0.5f, cv::threshold(a, c, 0.5, 1.0, cv::THRESH_BINARY))
LMX_PIXEL_PAIR(Sqrt, 2, sqrt(b), cv::sqrt(b, c))
LMX_PIXEL_PAIR(MaxScalar, 2, fmax(a, 0.0f), cv::max(a, 0.0, c))

// Float image to 8 or 16 bits on the host and back into an image.
void Convert8_Lumerix(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    Lumerix a = deviceImage(side, 0.f, 255.f, 1);
    Lumerix back(a.GetDimensions());
    for (auto _ : state) {
        unsigned char* bytes = a.GetDataInt8();
        back.SetDataInt8(bytes);
        std::free(bytes);
        sync();
    }
    setBytes(state, side, 2.5);
}

#if defined(LMX_BENCH_OPENCV)
void Convert8_OpenCV(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    cv::Mat a = lmxbench::hostImage(side, 0.f, 255.f, 1), bytes, back;
    for (auto _ : state) {
        a.convertTo(bytes, CV_8U);
        bytes.convertTo(back, CV_32F);
        benchmark::DoNotOptimize(back.data);
    }
    setBytes(state, side, 2.5);
}
#endif

void Convert16_Lumerix(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    Lumerix a = deviceImage(side, 0.f, 65535.f, 1);
    Lumerix back(a.GetDimensions());
    for (auto _ : state) {
        unsigned short* words = a.GetDataInt16();
        back.SetDataInt16(words);
        std::free(words);
        sync();
    }
    setBytes(state, side, 3);
}

#if defined(LMX_BENCH_OPENCV)
void Convert16_OpenCV(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    cv::Mat a = lmxbench::hostImage(side, 0.f, 65535.f, 1), words, back;
    for (auto _ : state) {
        a.convertTo(words, CV_16U);
        words.convertTo(back, CV_32F);
        benchmark::DoNotOptimize(back.data);
    }
    setBytes(state, side, 3);
}
#endif

// merge3 then split3: three channels interleaved and separated again.
void MergeSplit_Lumerix(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    Lumerix a = deviceImage(side, 0.f, 1.f, 1);
    Lumerix b = deviceImage(side, 0.f, 1.f, 2);
    Lumerix c = deviceImage(side, 0.f, 1.f, 3);
    Lumerix x, y, z;
    for (auto _ : state) {
        Lumerix m = merge3(a, b, c);
        split3(m, x, y, z);
        sync();
    }
    setBytes(state, side, 12);
}

#if defined(LMX_BENCH_OPENCV)
void MergeSplit_OpenCV(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    std::vector<cv::Mat> channels = {lmxbench::hostImage(side, 0.f, 1.f, 1),
                                     lmxbench::hostImage(side, 0.f, 1.f, 2),
                                     lmxbench::hostImage(side, 0.f, 1.f, 3)};
    std::vector<cv::Mat> out(3);
    cv::Mat m;
    for (auto _ : state) {
        cv::merge(channels, m);
        cv::split(m, out);
        benchmark::DoNotOptimize(out[0].data);
    }
    setBytes(state, side, 12);
}
#endif

}  // namespace

BENCHMARK(Copy_Device) LMX_BENCH_SIZES;
LMX_OPENCV_BENCHMARK(Copy_OpenCV);
BENCHMARK(Convert8_Lumerix) LMX_BENCH_SIZES;
LMX_OPENCV_BENCHMARK(Convert8_OpenCV);
BENCHMARK(Convert16_Lumerix) LMX_BENCH_SIZES;
LMX_OPENCV_BENCHMARK(Convert16_OpenCV);
BENCHMARK(MergeSplit_Lumerix) LMX_BENCH_SIZES;
LMX_OPENCV_BENCHMARK(MergeSplit_OpenCV);
