// 8- and 16-bit pixel conversion: integer values become float pixels exactly and come back
// unchanged; float pixels outside the integer range saturate.

#include "ConversionSupport.h"
#include "TestSupport.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

// The saturating conversion: the fraction is dropped, NaN and values below 0 give 0, values
// above the range give its largest value.
template <class T>
T saturated(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= static_cast<double>(std::numeric_limits<T>::max()))
        return std::numeric_limits<T>::max();
    return static_cast<T>(std::trunc(static_cast<double>(v)));
}

}  // namespace

TEST(Conversion, BytesMakeTheRoundTripInImagesOfAwkwardSizes) {
    // 151 is odd, so the 256 pixels of the 16 x 16 image take every byte value once.
    for (const cmmDims& dims : {cmmDims(16, 16), cmmDims(1), cmmDims(1, 300), cmmDims(300, 1),
                                cmmDims(37, 29), cmmDims(1000, 3), cmmDims(7, 5, 3, 2)}) {
        const std::size_t n = static_cast<std::size_t>(dims.Size());
        SCOPED_TRACE(n);
        std::vector<unsigned char> bytes(n);
        for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>(i * 151 + 7);
        Lumerix img = imageOf(dims, randomValues(n, -5.0f, 5.0f));  // old pixels
        EXPECT_EQ(&img.SetDataInt8(bytes.data()), &img);
        EXPECT_EQ(img.GetDimensions(), dims);
        const std::vector<float> values = pixels(img);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(values[i], float(bytes[i])) << i;
        const Owned<unsigned char> back(img.GetDataInt8());
        EXPECT_EQ(contents(back, n), bytes);
    }
}

TEST(Conversion, EverySixteenBitValueMakesTheRoundTrip) {
    std::vector<unsigned short> words(65536);
    for (std::size_t v = 0; v < words.size(); ++v) words[v] = static_cast<unsigned short>(v);
    Lumerix img{cmmDims(256, 256)};
    EXPECT_EQ(&img.SetDataInt16(words.data()), &img);
    const std::vector<float> values = pixels(img);
    for (std::size_t v = 0; v < words.size(); ++v) ASSERT_EQ(values[v], float(v)) << v;
    const Owned<unsigned short> back(img.GetDataInt16());
    EXPECT_EQ(contents(back, words.size()), words);
    // SetData returns the image, so the calls chain.
    const unsigned char bytes[4] = {0, 1, 254, 255};
    const Owned<unsigned char> chained(Lumerix(cmmDims(4)).SetDataInt8(bytes).GetDataInt8());
    EXPECT_EQ(contents(chained, 4), std::vector<unsigned char>(bytes, bytes + 4));
}

TEST(Conversion, FloatPixelsAreTruncatedAndSaturated) {
    const std::vector<float> values = {-1.0f,    -0.5f,   -0.0f,  kNaN,      -kInf,    0.0f,
                                       0.9f,     1.0f,    2.9f,   44.5f,     254.99f,  255.0f,
                                       255.5f,   256.0f,  300.0f, 65534.99f, 65535.0f, 65535.5f,
                                       65536.0f, 1.0e10f, kInf};
    const std::vector<unsigned char> bytes = {0,   0,   0,   0,   0,   0,   0,   1,   2,   44, 254,
                                              255, 255, 255, 255, 255, 255, 255, 255, 255, 255};
    const std::vector<unsigned short> words = {0,   0,     0,     0,     0,     0,     0,
                                               1,   2,     44,    254,   255,   255,   256,
                                               300, 65534, 65535, 65535, 65535, 65535, 65535};
    Lumerix img = imageOf(values);
    EXPECT_EQ(contents(Owned<unsigned char>(img.GetDataInt8()), values.size()), bytes);
    EXPECT_EQ(contents(Owned<unsigned short>(img.GetDataInt16()), values.size()), words);
}

TEST(Conversion, RandomPixelsConvertLikeTheReferenceAndStayAsTheyWere) {
    std::vector<float> values = randomValues(37 * 29, -300.0f, 70000.0f, 17);
    const std::vector<float> small = randomValues(values.size(), -20.0f, 280.0f, 18);
    for (std::size_t i = 0; i < values.size(); i += 2) values[i] = small[i];
    Lumerix img = imageOf(cmmDims(37, 29), values);
    const Owned<unsigned char> bytes(img.GetDataInt8());
    const Owned<unsigned short> words(img.GetDataInt16());
    for (std::size_t i = 0; i < values.size(); ++i) {
        ASSERT_EQ(bytes[i], saturated<unsigned char>(values[i])) << values[i];
        ASSERT_EQ(words[i], saturated<unsigned short>(values[i])) << values[i];
    }
    EXPECT_EQ(pixels(img), values);
}

TEST(Conversion, EachGetDataCallReturnsANewArray) {
    Lumerix img = imageOf({1.0f, 2.0f, 3.0f, 400.0f, 5.0f});
    const Owned<unsigned char> first(img.GetDataInt8()), second(img.GetDataInt8());
    ASSERT_NE(first.get(), second.get());
    first[0] = 99;
    EXPECT_EQ(contents(second, 5), (std::vector<unsigned char>{1, 2, 3, 255, 5}));
    const Owned<unsigned short> third(img.GetDataInt16()), fourth(img.GetDataInt16());
    ASSERT_NE(third.get(), fourth.get());
    third[3] = 7;
    EXPECT_EQ(contents(fourth, 5), (std::vector<unsigned short>{1, 2, 3, 400, 5}));
}

TEST(Conversion, ImagesWithoutPixelsConvertNothing) {
    Lumerix e;
    const RuntimeTotals runtime = RuntimeTotals::now();
    const unsigned char byte = 9;
    const unsigned short word = 9;
    EXPECT_EQ(&e.SetDataInt8(&byte), &e);
    EXPECT_EQ(&e.SetDataInt16(&word), &e);
    std::free(e.GetDataInt8());
    std::free(e.GetDataInt16());
    EXPECT_EQ(e.GetDimensions().Size(), 0);
    const RuntimeTotals moved = RuntimeTotals::now().since(runtime);
    EXPECT_EQ(moved.launches + moved.hostToDevice + moved.deviceToHost, 0);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}
