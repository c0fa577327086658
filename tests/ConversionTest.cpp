// 8- and 16-bit pixel conversion: integer values become float pixels exactly and come back
// unchanged; float pixels outside the integer range saturate.

#include "TestSupport.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using lmxtest::imageOf;
using lmxtest::pixels;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Arrays returned by GetData belong to the caller and go back with free.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Owned = std::unique_ptr<T[], FreeDeleter>;

template <class T>
std::vector<T> contents(const Owned<T>& data, std::size_t n) {
    return std::vector<T>(data.get(), data.get() + n);
}

// The saturating conversion: the fraction is dropped, NaN and values below 0 give 0, values
// above the range give its largest value.
template <class T>
T saturated(float v) {
    const double top = std::numeric_limits<T>::max();
    if (!(v > 0.0f)) return 0;
    if (v >= top) return std::numeric_limits<T>::max();
    return static_cast<T>(std::trunc(static_cast<double>(v)));
}

}  // namespace

TEST(Conversion, EveryByteValueMakesTheRoundTrip) {
    std::vector<unsigned char> bytes(256);
    for (int v = 0; v < 256; ++v) bytes[static_cast<std::size_t>(v)] = static_cast<unsigned char>(v);
    Lumerix img{cmm::cmmDims(16, 16)};
    img.SetDataInt8(bytes.data());
    const std::vector<float> values = pixels(img);
    for (int v = 0; v < 256; ++v) ASSERT_EQ(values[static_cast<std::size_t>(v)], float(v)) << v;
    const Owned<unsigned char> back(img.GetDataInt8());
    EXPECT_EQ(contents(back, 256), bytes);
}

TEST(Conversion, BytesMakeTheRoundTripInImagesOfAwkwardSizes) {
    for (const cmm::cmmDims& dims : {cmm::cmmDims(1), cmm::cmmDims(1, 300), cmm::cmmDims(300, 1),
                                     cmm::cmmDims(37, 29), cmm::cmmDims(1000, 3),
                                     cmm::cmmDims(7, 5, 3, 2)}) {
        const std::size_t n = static_cast<std::size_t>(dims.Size());
        SCOPED_TRACE(n);
        std::vector<unsigned char> bytes(n);
        for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>((i * 151 + 7) % 256);
        Lumerix img{dims};
        img.SetDataInt8(bytes.data());
        EXPECT_TRUE(img.GetDimensions() == dims);
        const std::vector<float> values = pixels(img);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(values[i], float(bytes[i])) << i;
        const Owned<unsigned char> back(img.GetDataInt8());
        EXPECT_EQ(contents(back, n), bytes);
    }
}

TEST(Conversion, EverySixteenBitValueMakesTheRoundTrip) {
    std::vector<unsigned short> words(65536);
    for (std::size_t v = 0; v < words.size(); ++v) words[v] = static_cast<unsigned short>(v);
    Lumerix img{cmm::cmmDims(256, 256)};
    img.SetDataInt16(words.data());
    const std::vector<float> values = pixels(img);
    EXPECT_EQ(values[0], 0.0f);
    EXPECT_EQ(values[32767], 32767.0f);
    EXPECT_EQ(values[32768], 32768.0f);
    EXPECT_EQ(values[65535], 65535.0f);
    for (std::size_t v = 0; v < words.size(); ++v) ASSERT_EQ(values[v], float(v)) << v;
    const Owned<unsigned short> back(img.GetDataInt16());
    EXPECT_EQ(contents(back, words.size()), words);
}

TEST(Conversion, EightBitConversionTruncatesAndSaturates) {
    const std::vector<float> values = {-1.0f,  -0.5f,   -0.0f, kNaN,  -kInf, 0.0f,   0.9f,
                                       1.0f,   2.9f,    44.5f, 254.99f, 255.0f, 255.5f, 256.0f,
                                       300.0f, 1.0e10f, kInf};
    const std::vector<unsigned char> want = {0, 0, 0,   0,   0,   0,   0,  1,  2,
                                             44, 254, 255, 255, 255, 255, 255, 255};
    Lumerix img = imageOf(cmm::cmmDims(static_cast<int>(values.size())), values);
    const Owned<unsigned char> got(img.GetDataInt8());
    EXPECT_EQ(contents(got, values.size()), want);
}

TEST(Conversion, SixteenBitConversionTruncatesAndSaturates) {
    const std::vector<float> values = {-1.0f,    -0.5f,    kNaN,     -kInf,   0.9f,
                                       2.9f,     300.0f,   65534.99f, 65535.0f, 65535.5f,
                                       65536.0f, 100000.0f, 1.0e10f,  kInf};
    const std::vector<unsigned short> want = {0,   0,     0,     0,     0,     2,     300,
                                              65534, 65535, 65535, 65535, 65535, 65535, 65535};
    Lumerix img = imageOf(cmm::cmmDims(static_cast<int>(values.size())), values);
    const Owned<unsigned short> got(img.GetDataInt16());
    EXPECT_EQ(contents(got, values.size()), want);
}

TEST(Conversion, RandomPixelsConvertLikeTheReference) {
    std::vector<float> values = lmxtest::randomValues(37 * 29, -300.0f, 70000.0f, 17);
    const std::vector<float> small = lmxtest::randomValues(values.size(), -20.0f, 280.0f, 18);
    for (std::size_t i = 0; i < values.size(); i += 2) values[i] = small[i];
    Lumerix img = imageOf(cmm::cmmDims(37, 29), values);
    const Owned<unsigned char> bytes(img.GetDataInt8());
    const Owned<unsigned short> words(img.GetDataInt16());
    for (std::size_t i = 0; i < values.size(); ++i) {
        ASSERT_EQ(bytes[i], saturated<unsigned char>(values[i])) << values[i];
        ASSERT_EQ(words[i], saturated<unsigned short>(values[i])) << values[i];
    }
    // Reading converts; the pixels stay as they were.
    EXPECT_EQ(pixels(img), values);
}

TEST(Conversion, SetDataReturnsTheImageItself) {
    Lumerix img{cmm::cmmDims(4, 2)};
    const unsigned char bytes[8] = {0, 1, 2, 3, 250, 251, 254, 255};
    Lumerix& same = img.SetDataInt8(bytes);
    EXPECT_EQ(&same, &img);
    const unsigned short words[8] = {65535, 0, 1, 2, 3, 4, 5, 6};
    const Owned<unsigned short> back(img.SetDataInt16(words).GetDataInt16());
    EXPECT_EQ(contents(back, 8), std::vector<unsigned short>(words, words + 8));
    const Owned<unsigned char> chained(img.SetDataInt8(bytes).GetDataInt8());
    EXPECT_EQ(contents(chained, 8), std::vector<unsigned char>(bytes, bytes + 8));
    EXPECT_EQ(pixels(img),
              (std::vector<float>{0.0f, 1.0f, 2.0f, 3.0f, 250.0f, 251.0f, 254.0f, 255.0f}));
}

TEST(Conversion, SetDataReplacesOldPixelsButNotExtents) {
    const cmm::cmmDims dims(6, 5, 2);
    Lumerix img = imageOf(dims, lmxtest::randomValues(60, -5.0f, 5.0f));
    std::vector<unsigned short> words(60);
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<unsigned short>(i * 1000);
    img.SetDataInt16(words.data());
    EXPECT_TRUE(img.GetDimensions() == dims);
    const std::vector<float> values = pixels(img);
    for (std::size_t i = 0; i < words.size(); ++i) EXPECT_EQ(values[i], float(words[i]));
}

TEST(Conversion, EachGetDataCallReturnsANewArray) {
    Lumerix img = imageOf({1.0f, 2.0f, 3.0f, 400.0f, 5.0f});
    const Owned<unsigned char> first(img.GetDataInt8());
    const Owned<unsigned char> second(img.GetDataInt8());
    ASSERT_NE(first.get(), second.get());
    first[0] = 99;
    EXPECT_EQ(contents(second, 5), (std::vector<unsigned char>{1, 2, 3, 255, 5}));
    const Owned<unsigned short> third(img.GetDataInt16());
    const Owned<unsigned short> fourth(img.GetDataInt16());
    ASSERT_NE(third.get(), fourth.get());
    third[3] = 7;
    EXPECT_EQ(contents(fourth, 5), (std::vector<unsigned short>{1, 2, 3, 400, 5}));
}

TEST(Conversion, ImagesWithoutPixelsConvertNothing) {
    Lumerix e;
#if defined(LMX_BACKEND_CPU)
    const lmx::cpu::Counters before = lmx::cpu::counters();
#endif
    const unsigned char byte = 9;
    const unsigned short word = 9;
    EXPECT_EQ(&e.SetDataInt8(&byte), &e);
    EXPECT_EQ(&e.SetDataInt16(&word), &e);
    std::free(e.GetDataInt8());
    std::free(e.GetDataInt16());
    EXPECT_EQ(e.GetDimensions().Size(), 0);
#if defined(LMX_BACKEND_CPU)
    EXPECT_EQ(lmx::cpu::counters().launches, before.launches);
    EXPECT_EQ(lmx::cpu::counters().hostToDevice(), before.hostToDevice());
    EXPECT_EQ(lmx::cpu::counters().deviceToHost(), before.deviceToHost());
#endif
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

#if defined(LMX_BACKEND_CPU)

TEST(Conversion, IntegerPixelsCrossTheBusInTheirNarrowForm) {
    LMX_CPU_BACKEND_ONLY();
    const std::size_t n = 1000;
    std::vector<unsigned char> bytes(n, 17);
    std::vector<unsigned short> words(n, 1717);
    Lumerix img{cmm::cmmDims(40, 25)};
    const auto bytesIn = [] { return lmx::cpu::counters().bytes[cudaMemcpyHostToDevice]; };
    const auto bytesOut = [] { return lmx::cpu::counters().bytes[cudaMemcpyDeviceToHost]; };

    std::size_t in = bytesIn(), out = bytesOut();
    img.SetDataInt8(bytes.data());  // the image has no data yet: only the bytes go down
    EXPECT_EQ(bytesIn() - in, n);
    const Owned<unsigned char> b(img.GetDataInt8());
    EXPECT_EQ(bytesOut() - out, n);

    in = bytesIn();
    out = bytesOut();
    img.SetDataInt16(words.data());
    EXPECT_EQ(bytesIn() - in, 2 * n);
    const Owned<unsigned short> w(img.GetDataInt16());
    EXPECT_EQ(bytesOut() - out, 2 * n);
    EXPECT_EQ(contents(w, n), words);
}

TEST(Conversion, RepeatedConversionsReuseTheScratchBuffer) {
    LMX_CPU_BACKEND_ONLY();
    std::vector<unsigned char> bytes(777, 3);
    Lumerix img{cmm::cmmDims(777)};
    img.SetDataInt8(bytes.data());
    std::free(img.GetDataInt8());
    const long allocations = lmx::cpu::counters().allocations;
    for (int k = 0; k < 3; ++k) {
        img.SetDataInt8(bytes.data());
        std::free(img.GetDataInt8());
    }
    EXPECT_EQ(lmx::cpu::counters().allocations, allocations);
}

TEST(Conversion, OutOfMemoryForTheImageGivesTheScratchBufferBack) {
    LMX_CPU_BACKEND_ONLY();
    const std::size_t n = 2000;
    std::vector<unsigned char> bytes(n, 5);
    Lumerix img{cmm::cmmDims(static_cast<int>(n))};
    img.SetDataInt8(bytes.data());  // leaves an n-byte scratch buffer in the chunk cache
    const std::vector<float> before = pixels(img);  // the image's device memory is now a zombie
    lmxtest::putDownAllZombies();

    std::string message = "(nothing thrown)";
    const std::vector<unsigned char> other(n, 200);
    lmx::cpu::injectPersistentFault(lmx::cpu::Fault::Allocation, 1, cudaErrorMemoryAllocation);
    try {
        img.SetDataInt8(other.data());
    } catch (const std::runtime_error& e) {
        message = e.what();
    }
    lmx::cpu::clearFaults();
    cudaGetLastError();
    EXPECT_EQ(message, "Out of memory");
    EXPECT_EQ(img.page->lockCount, 0);
    EXPECT_EQ(pixels(img), before);

    // Had the failed call kept its scratch buffer, this one would need a new one.
    const long allocations = lmx::cpu::counters().allocations;
    img.SetDataInt8(other.data());
    EXPECT_EQ(lmx::cpu::counters().allocations - allocations, 1) << "only the image's memory";
    EXPECT_EQ(pixels(img), std::vector<float>(n, 200.0f));
}

#endif  // LMX_BACKEND_CPU
