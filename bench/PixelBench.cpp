// Element-wise operations, conversions and channel merge/split against OpenCV, plus the copy
// bandwidth of the device (the ceiling for every operation that streams its images once). Each
// Lumerix benchmark reports copy_share: its bytes per second as a share of a device-to-device
// copy of the same size timed beside it (see lmxbench::CopyShare).

#include "BenchSupport.h"

#if defined(LMX_BENCH_OPENCV)
#include <opencv2/imgproc.hpp>
#endif

#include <cstdlib>
#include <vector>

using lmxbench::deviceImage;
using lmxbench::setBytes;
using lmxbench::timePasses;

namespace {

int width(const benchmark::State& state) {
    return static_cast<int>(state.range(0));
}
int height(const benchmark::State& state) {
    return static_cast<int>(state.range(1));
}

// Device-to-device copy of one image into another: two planes moved per pass. Its copy_share
// is about 1 by construction, a check of the measurement.
void Copy_Device(benchmark::State& state) {
    const int w = width(state), h = height(state);
    Lumerix a = deviceImage(w, h, 0.f, 1.f, 1);
    Lumerix c(a.GetDimensions());
    float* da = a.Lock();
    float* dc = c.Lock();
    const std::size_t bytes = static_cast<std::size_t>(w) * h * sizeof(float);
    timePasses(state, w, h, 2, [&] { cudaMemcpy(dc, da, bytes, cudaMemcpyDeviceToDevice); });
    a.Release();
    c.Release();
}

#if defined(LMX_BENCH_OPENCV)
void Copy_OpenCV(benchmark::State& state) {
    const int w = width(state), h = height(state);
    cv::Mat a = lmxbench::hostImage(w, h, 0.f, 1.f, 1), c(h, w, CV_32F);
    a.copyTo(c);
    for (auto _ : state) {
        a.copyTo(c);
        benchmark::DoNotOptimize(c.data);
    }
    setBytes(state, w, h, 2);
}
#endif

// One benchmark pair per element-wise operation on a (in [-1, 1]) and b (in [0.5, 2]):
// Lumerix's result is a new image whose device memory is taken over from the previous
// iteration's result (steady state); OpenCV writes into a preallocated image. Both sides run
// their operation before timing, so that no timed iteration maps fresh pages.
#define LMX_PIXEL_PAIR(name, planes, lumerixExpr, opencvStmt) \
    void name##_Lumerix(benchmark::State& state) {            \
        const int w = width(state), h = height(state);        \
        Lumerix a = deviceImage(w, h, -1.f, 1.f, 1);          \
        Lumerix b = deviceImage(w, h, 0.5f, 2.f, 2);          \
        timePasses(state, w, h, planes, [&] {                 \
            Lumerix c = lumerixExpr;                          \
            benchmark::DoNotOptimize(c.GetDevicePtr());       \
        });                                                   \
    }                                                         \
    LMX_PIXEL_OPENCV(name, planes, opencvStmt)                \
    BENCHMARK(name##_Lumerix) LMX_PIXEL_SIZES;                \
    LMX_OPENCV_PIXEL_BENCHMARK(name##_OpenCV);

#if defined(LMX_BENCH_OPENCV)
#define LMX_PIXEL_OPENCV(name, planes, opencvStmt)           \
    void name##_OpenCV(benchmark::State& state) {            \
        const int w = width(state), h = height(state);       \
        cv::Mat a = lmxbench::hostImage(w, h, -1.f, 1.f, 1); \
        cv::Mat b = lmxbench::hostImage(w, h, 0.5f, 2.f, 2); \
        cv::Mat c(h, w, CV_32F);                             \
        opencvStmt;                                          \
        for (auto _ : state) {                               \
            opencvStmt;                                      \
            benchmark::DoNotOptimize(c.data);                \
        }                                                    \
        setBytes(state, w, h, planes);                       \
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
LMX_PIXEL_PAIR(Log, 2, log(b), cv::log(b, c))
LMX_PIXEL_PAIR(Abs, 2, abs(a), c = cv::abs(a))

// Float image to 8 or 16 bits on the host, each direction alone and the round trip. The caller
// owns the array GetDataInt8/16 returns, so OpenCV's peer converts into a new Mat each time.
template <typename T>
T* getData(Lumerix& img) {
    if constexpr (sizeof(T) == 1)
        return img.GetDataInt8();
    else
        return img.GetDataInt16();
}

void setData(Lumerix& img, const unsigned char* p) {
    img.SetDataInt8(p);
}
void setData(Lumerix& img, const unsigned short* p) {
    img.SetDataInt16(p);
}

template <typename T>
constexpr double hostPlanes() {
    return sizeof(T) / 4.0;
}

template <typename T>
constexpr float fullScale() {
    return sizeof(T) == 1 ? 255.f : 65535.f;
}

template <typename T>
void GetData_Lumerix(benchmark::State& state) {
    const int w = width(state), h = height(state);
    Lumerix a = deviceImage(w, h, 0.f, fullScale<T>(), 1);
    timePasses(state, w, h, 1 + hostPlanes<T>(), [&] {
        T* p = getData<T>(a);
        benchmark::DoNotOptimize(p);
        std::free(p);
    });
}

template <typename T>
void SetData_Lumerix(benchmark::State& state) {
    const int w = width(state), h = height(state);
    Lumerix src = deviceImage(w, h, 0.f, fullScale<T>(), 1);
    T* values = getData<T>(src);
    Lumerix img(src.GetDimensions());
    timePasses(state, w, h, 1 + hostPlanes<T>(), [&] {
        setData(img, values);
        benchmark::DoNotOptimize(img.GetDevicePtr());
    });
    std::free(values);
}

void GetInt8_Lumerix(benchmark::State& state) {
    GetData_Lumerix<unsigned char>(state);
}
void GetInt16_Lumerix(benchmark::State& state) {
    GetData_Lumerix<unsigned short>(state);
}
void SetInt8_Lumerix(benchmark::State& state) {
    SetData_Lumerix<unsigned char>(state);
}
void SetInt16_Lumerix(benchmark::State& state) {
    SetData_Lumerix<unsigned short>(state);
}

// The round trip: GetDataInt8/16 into a new host array, then SetDataInt8/16 from it.
template <typename T>
void Convert_Lumerix(benchmark::State& state) {
    const int w = width(state), h = height(state);
    Lumerix a = deviceImage(w, h, 0.f, fullScale<T>(), 1);
    Lumerix back(a.GetDimensions());
    timePasses(state, w, h, 2 * (1 + hostPlanes<T>()), [&] {
        T* p = getData<T>(a);
        setData(back, p);
        std::free(p);
    });
}

void Convert8_Lumerix(benchmark::State& state) {
    Convert_Lumerix<unsigned char>(state);
}
void Convert16_Lumerix(benchmark::State& state) {
    Convert_Lumerix<unsigned short>(state);
}

#if defined(LMX_BENCH_OPENCV)
template <int Depth>
void GetData_OpenCV(benchmark::State& state) {
    const int w = width(state), h = height(state);
    const float scale = Depth == CV_8U ? 255.f : 65535.f;
    cv::Mat a = lmxbench::hostImage(w, h, 0.f, scale, 1), warm;
    a.convertTo(warm, Depth);
    warm.release();
    for (auto _ : state) {
        cv::Mat out;
        a.convertTo(out, Depth);
        benchmark::DoNotOptimize(out.data);
    }
    setBytes(state, w, h, 1 + (Depth == CV_8U ? 0.25 : 0.5));
}

template <int Depth>
void SetData_OpenCV(benchmark::State& state) {
    const int w = width(state), h = height(state);
    const float scale = Depth == CV_8U ? 255.f : 65535.f;
    cv::Mat values, img(h, w, CV_32F);
    lmxbench::hostImage(w, h, 0.f, scale, 1).convertTo(values, Depth);
    values.convertTo(img, CV_32F);
    for (auto _ : state) {
        values.convertTo(img, CV_32F);
        benchmark::DoNotOptimize(img.data);
    }
    setBytes(state, w, h, 1 + (Depth == CV_8U ? 0.25 : 0.5));
}

void GetInt8_OpenCV(benchmark::State& state) {
    GetData_OpenCV<CV_8U>(state);
}
void GetInt16_OpenCV(benchmark::State& state) {
    GetData_OpenCV<CV_16U>(state);
}
void SetInt8_OpenCV(benchmark::State& state) {
    SetData_OpenCV<CV_8U>(state);
}
void SetInt16_OpenCV(benchmark::State& state) {
    SetData_OpenCV<CV_16U>(state);
}

// To the narrow type and back into an existing float Mat; top is the narrow type's largest value.
template <int kType>
void RoundTrip_OpenCV(benchmark::State& state, float top, double planes) {
    const int w = width(state), h = height(state);
    cv::Mat a = lmxbench::hostImage(w, h, 0.f, top, 1), narrow, back;
    a.convertTo(narrow, kType);
    narrow.convertTo(back, CV_32F);
    for (auto _ : state) {
        a.convertTo(narrow, kType);
        narrow.convertTo(back, CV_32F);
        benchmark::DoNotOptimize(back.data);
    }
    setBytes(state, w, h, planes);
}

void Convert8_OpenCV(benchmark::State& state) {
    RoundTrip_OpenCV<CV_8U>(state, 255.f, 2.5);
}
void Convert16_OpenCV(benchmark::State& state) {
    RoundTrip_OpenCV<CV_16U>(state, 65535.f, 3);
}
#endif

// merge3 and split3 each alone (three planes in, three out) and one after the other.
void Merge3_Lumerix(benchmark::State& state) {
    const int w = width(state), h = height(state);
    Lumerix a = deviceImage(w, h, 0.f, 1.f, 1);
    Lumerix b = deviceImage(w, h, 0.f, 1.f, 2);
    Lumerix c = deviceImage(w, h, 0.f, 1.f, 3);
    timePasses(state, w, h, 6, [&] {
        Lumerix m = merge3(a, b, c);
        benchmark::DoNotOptimize(m.GetDevicePtr());
    });
}

void Split3_Lumerix(benchmark::State& state) {
    const int w = width(state), h = height(state);
    Lumerix a = deviceImage(w, h, 0.f, 1.f, 1);
    Lumerix b = deviceImage(w, h, 0.f, 1.f, 2);
    Lumerix c = deviceImage(w, h, 0.f, 1.f, 3);
    Lumerix m = merge3(a, b, c);
    Lumerix x, y, z;
    timePasses(state, w, h, 6, [&] { split3(m, x, y, z); });
}

void MergeSplit_Lumerix(benchmark::State& state) {
    const int w = width(state), h = height(state);
    Lumerix a = deviceImage(w, h, 0.f, 1.f, 1);
    Lumerix b = deviceImage(w, h, 0.f, 1.f, 2);
    Lumerix c = deviceImage(w, h, 0.f, 1.f, 3);
    Lumerix x, y, z;
    timePasses(state, w, h, 12, [&] {
        Lumerix m = merge3(a, b, c);
        split3(m, x, y, z);
    });
}

#if defined(LMX_BENCH_OPENCV)
std::vector<cv::Mat> hostChannels(int w, int h) {
    return {lmxbench::hostImage(w, h, 0.f, 1.f, 1), lmxbench::hostImage(w, h, 0.f, 1.f, 2),
            lmxbench::hostImage(w, h, 0.f, 1.f, 3)};
}

void Merge3_OpenCV(benchmark::State& state) {
    const int w = width(state), h = height(state);
    const std::vector<cv::Mat> channels = hostChannels(w, h);
    cv::Mat m(h, w, CV_32FC3);
    cv::merge(channels, m);
    for (auto _ : state) {
        cv::merge(channels, m);
        benchmark::DoNotOptimize(m.data);
    }
    setBytes(state, w, h, 6);
}

void Split3_OpenCV(benchmark::State& state) {
    const int w = width(state), h = height(state);
    cv::Mat m;
    cv::merge(hostChannels(w, h), m);
    std::vector<cv::Mat> out = {cv::Mat(h, w, CV_32F), cv::Mat(h, w, CV_32F),
                                cv::Mat(h, w, CV_32F)};
    cv::split(m, out);
    for (auto _ : state) {
        cv::split(m, out);
        benchmark::DoNotOptimize(out[0].data);
    }
    setBytes(state, w, h, 6);
}

void MergeSplit_OpenCV(benchmark::State& state) {
    const int w = width(state), h = height(state);
    const std::vector<cv::Mat> channels = hostChannels(w, h);
    std::vector<cv::Mat> out(3);
    cv::Mat m;
    cv::merge(channels, m);
    cv::split(m, out);
    for (auto _ : state) {
        cv::merge(channels, m);
        cv::split(m, out);
        benchmark::DoNotOptimize(out[0].data);
    }
    setBytes(state, w, h, 12);
}
#endif

}  // namespace

// The fixed cost of a call and the team's wake-up: a + b from one pixel up to a size where both
// threads pay off.
BENCHMARK(Add_Lumerix)
    ->Args({1, 1})
    ->Args({256, 256})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
#if defined(LMX_BENCH_OPENCV)
BENCHMARK(Add_OpenCV)->Args({1, 1})->Args({256, 256})->Unit(benchmark::kMicrosecond)->UseRealTime();
#endif

BENCHMARK(Copy_Device) LMX_PIXEL_SIZES;
LMX_OPENCV_PIXEL_BENCHMARK(Copy_OpenCV);
BENCHMARK(GetInt8_Lumerix) LMX_PIXEL_SIZES;
LMX_OPENCV_PIXEL_BENCHMARK(GetInt8_OpenCV);
BENCHMARK(GetInt16_Lumerix) LMX_PIXEL_SIZES;
LMX_OPENCV_PIXEL_BENCHMARK(GetInt16_OpenCV);
BENCHMARK(SetInt8_Lumerix) LMX_PIXEL_SIZES;
LMX_OPENCV_PIXEL_BENCHMARK(SetInt8_OpenCV);
BENCHMARK(SetInt16_Lumerix) LMX_PIXEL_SIZES;
LMX_OPENCV_PIXEL_BENCHMARK(SetInt16_OpenCV);
BENCHMARK(Convert8_Lumerix) LMX_PIXEL_SIZES;
LMX_OPENCV_PIXEL_BENCHMARK(Convert8_OpenCV);
BENCHMARK(Convert16_Lumerix) LMX_PIXEL_SIZES;
LMX_OPENCV_PIXEL_BENCHMARK(Convert16_OpenCV);
BENCHMARK(Merge3_Lumerix) LMX_PIXEL_SIZES;
LMX_OPENCV_PIXEL_BENCHMARK(Merge3_OpenCV);
BENCHMARK(Split3_Lumerix) LMX_PIXEL_SIZES;
LMX_OPENCV_PIXEL_BENCHMARK(Split3_OpenCV);
BENCHMARK(MergeSplit_Lumerix) LMX_PIXEL_SIZES;
LMX_OPENCV_PIXEL_BENCHMARK(MergeSplit_OpenCV);
