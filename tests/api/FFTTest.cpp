// Forward and inverse 2-D FFT against a direct DFT in double precision, known transforms, the
// plan cache and its reclamation, and the refusals that leave every image as it was.

#include "FftReference.h"
#include "TestSupport.h"

#include "cmm/cmmReclaim.h"

#include "lumerix/FftPlans.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

class FFT : public ::testing::Test {
protected:
    void TearDown() override { cudaGetLastError(); }
};

}  // namespace

TEST_F(FFT, ForwardAndInverseTransformsMatchADirectDft) {
    for (const Size& s : kSizes) {
        SCOPED_TRACE(std::to_string(s.w) + " x " + std::to_string(s.h));
        const std::size_t n = static_cast<std::size_t>(s.w) * s.h;
        const std::vector<float> values = randomValues(n, -1.0f, 1.0f, 3);
        Lumerix image = imageOf(cmmDims(s.w, s.h), values), re, im;
        fft(image, re, im);
        EXPECT_EQ(re.GetDimensions(), image.GetDimensions());
        EXPECT_EQ(im.GetDimensions(), image.GetDimensions());
        EXPECT_TRUE(closeTo(pixels(re), pixels(im), directDft(realSpectrum(values), s.w, s.h, -1)));
        expectUsable(image, values);

        // The inverse of a complex input that is no transform of a real image: only the real
        // part of the result is kept.
        const std::vector<float> a = randomValues(n, -2.0f, 2.0f, 4);
        const std::vector<float> b = randomValues(n, -2.0f, 2.0f, 5);
        Lumerix ra = imageOf(cmmDims(s.w, s.h), a), ib = imageOf(cmmDims(s.w, s.h), b);
        Spectrum z(n);
        for (std::size_t k = 0; k < n; ++k) z[k] = {a[k], b[k]};
        Spectrum want = directDft(z, s.w, s.h, +1);
        for (auto& v : want) v = v.real();
        Lumerix back = ifft(ra, ib);
        EXPECT_EQ(back.GetDimensions(), ra.GetDimensions());
        EXPECT_TRUE(closeTo(pixels(back), zeros(n), want));
        expectUsable(ra, a);
        expectUsable(ib, b);
    }
}

TEST_F(FFT, InverseOfTheForwardTransformIsTheImageTimesItsPixelCount) {
    for (const Size& s : {Size{7, 5}, Size{1, 64}, Size{128, 96}, Size{250, 3}}) {
        SCOPED_TRACE(std::to_string(s.w) + " x " + std::to_string(s.h));
        const std::size_t n = static_cast<std::size_t>(s.w) * s.h;
        const std::vector<float> values = randomValues(n, 0.0f, 255.0f, 6);
        Lumerix image = imageOf(cmmDims(s.w, s.h), values), re, im;
        fft(image, re, im);
        Lumerix back = ifft(re, im);
        Spectrum want(n);
        for (std::size_t k = 0; k < n; ++k) want[k] = static_cast<double>(values[k]) * n;
        EXPECT_TRUE(closeTo(pixels(back), zeros(n), want));
    }
}

TEST_F(FFT, KnownTransformsOfAConstantAndOfAHorizontalCosine) {
    // A constant c: c N at the zero frequency, nothing elsewhere.
    const int w = 24, h = 10, n = w * h;
    Lumerix flat = imageOf(cmmDims(w, h), std::vector<float>(n, 1.5f)), re, im;
    fft(flat, re, im);
    Spectrum want(static_cast<std::size_t>(n));
    want[0] = 1.5 * n;
    EXPECT_TRUE(closeTo(pixels(re), pixels(im), want));

    // cos(2 pi x / (W / 4)) on rows of 32 in 8 rows: N / 2 at (4, 0) and at (W - 4, 0).
    const int cw = 32, ch = 8;
    std::vector<float> wave(static_cast<std::size_t>(cw * ch));
    for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x)
            wave[static_cast<std::size_t>(y * cw + x)] =
                static_cast<float>(std::cos(2 * std::acos(-1.0) * x * 4 / cw));
    Lumerix cosine = imageOf(cmmDims(cw, ch), wave);
    fft(cosine, re, im);
    Spectrum peaks(wave.size());
    peaks[4] = peaks[cw - 4] = cw * ch / 2.0;
    EXPECT_TRUE(closeTo(pixels(re), pixels(im), peaks));
}

TEST_F(FFT, OutputsOfOtherSizesAreReplacedAndImagesWithoutPixelsGiveNoPixels) {
    Lumerix image = imageOf(cmmDims(7, 5), ramp(35));
    Lumerix re = imageOf(cmmDims(3, 3), ramp(9)), im = imageOf(cmmDims(100), ramp(100));
    fft(image, re, im);
    EXPECT_EQ(re.GetDimensions(), cmmDims(7, 5));
    EXPECT_EQ(im.GetDimensions(), cmmDims(7, 5));
    EXPECT_NEAR(pixels(re)[0], 34 * 35 / 2.0, 1e-3);

    const RuntimeTotals before = RuntimeTotals::now();
    Lumerix empty, er = imageOf(cmmDims(4), ramp(4)), ei;
    fft(empty, er, ei);
    EXPECT_EQ(er.GetDimensions().Size(), 0);
    EXPECT_EQ(ei.GetDimensions().Size(), 0);
    EXPECT_EQ(ifft(er, ei).GetDimensions().Size(), 0);
    EXPECT_EQ(RuntimeTotals::now().since(before).launches, 0);
}

TEST_F(FFT, RefusalsThrowBeforeAnyWorkAndLeaveEveryImageAsItWas) {
    const std::vector<float> v24 = ramp(24), v12 = ramp(12, 5.0f);
    Lumerix deep = imageOf(cmmDims(4, 3, 2), v24);
    Lumerix re = imageOf(cmmDims(4, 3), v12), im = imageOf(cmmDims(4, 3), v12);
    Lumerix other = imageOf(cmmDims(3, 4), v12);
    const auto expectInvalid = [](auto&& statement, const std::string& part) {
        try {
            statement();
            ADD_FAILURE() << "threw nothing; want " << part;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
        }
    };
    expectInvalid([&] { fft(deep, re, im); }, "4 x 3 x 2 x 1");
    expectInvalid([&] { ifft(deep, deep); }, "4 x 3 x 2 x 1");
    // The outputs would be replaced before the input is read.
    expectInvalid([&] { fft(re, re, im); }, "other than the input");
    expectInvalid([&] { fft(im, re, im); }, "other than the input");
    // The working array would be read past im.
    LMX_EXPECT_RUNTIME_ERROR(ifft(re, other), "Image sizes do not match");
    expectUsable(deep, v24);
    expectUsable(re, v12);
    expectUsable(im, v12);
    expectUsable(other, v12);
    EXPECT_EQ(re.GetDimensions(), cmmDims(4, 3));
}

// Every cuFFT result of CUDA 12 and 13 reads as its name in a report, by number, the codes the
// CPU stand-in does not define included.
TEST(FFTResultText, EveryCufftResultOfCuda12And13HasItsName) {
    const std::pair<int, const char*> kCodes[] = {{0, "CUFFT_SUCCESS"},
                                                  {2, "CUFFT_ALLOC_FAILED"},
                                                  {9, "CUFFT_UNALIGNED_DATA"},
                                                  {10, "CUFFT_INCOMPLETE_PARAMETER_LIST"},
                                                  {11, "CUFFT_INVALID_DEVICE"},
                                                  {12, "CUFFT_PARSE_ERROR"},
                                                  {13, "CUFFT_NO_WORKSPACE"},
                                                  {14, "CUFFT_NOT_IMPLEMENTED"},
                                                  {15, "CUFFT_LICENSE_ERROR"},
                                                  {16, "CUFFT_NOT_SUPPORTED"},
                                                  {17, "CUFFT_MISSING_DEPENDENCY"},
                                                  {18, "CUFFT_NVRTC_FAILURE"},
                                                  {19, "CUFFT_NVJITLINK_FAILURE"},
                                                  {20, "CUFFT_NVSHMEM_FAILURE"},
                                                  {21, "unrecognized cuFFT result"},
                                                  {31, "unrecognized cuFFT result"}};
    for (const auto& [code, name] : kCodes)
        EXPECT_STREQ(lmx::fftResultText(static_cast<cufftResult>(code)), name) << code;
}

namespace {

// Whether (re, im) at (x, y) is exactly the conjugate of its value at (-x, -y) everywhere.
bool exactlyHermitian(const std::vector<float>& re, const std::vector<float>& im, int w, int h) {
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::size_t k = static_cast<std::size_t>(y * w + x);
            const std::size_t m = static_cast<std::size_t>(((h - y) % h) * w + (w - x) % w);
            if (re[k] != re[m] || im[k] != -im[m]) return false;
        }
    return true;
}

}  // namespace

// The forward transform of an image is exactly Hermitian, the property under which an inverse
// may be computed as a real one. An array that breaks it at a single place (the zero and middle
// rows and columns, which are their own mirrors, the last row and column, the middle) is no
// transform of a real image: its inverse is the real part of the general complex inverse.
TEST_F(FFT, AnArrayHermitianButForOneValueIsInvertedAsAGeneralComplexArray) {
    for (const Size& s : {Size{8, 6}, Size{7, 5}, Size{16, 17}, Size{33, 20}, Size{2, 3},
                          Size{40, 1}, Size{1, 9}}) {
        SCOPED_TRACE(std::to_string(s.w) + " x " + std::to_string(s.h));
        const int n = s.w * s.h;
        const std::vector<float> values = randomValues(n, -1.0f, 1.0f, 7);
        Lumerix image = imageOf(cmmDims(s.w, s.h), values), re, im;
        fft(image, re, im);
        const std::vector<float> r = pixels(re), i = pixels(im);
        EXPECT_TRUE(exactlyHermitian(r, i, s.w, s.h));
        // The untouched transform inverts to the image times n.
        Spectrum scaled(static_cast<std::size_t>(n));
        for (int k = 0; k < n; ++k) scaled[static_cast<std::size_t>(k)] = 1.0 * values[k] * n;
        EXPECT_TRUE(closeTo(pixels(ifft(re, im)), zeros(n), scaled));

        const struct {
            int x, y;
            bool imaginary;  // which part is changed
        } changes[] = {{0, 0, true},
                       {s.w / 2, 0, true},
                       {0, s.h / 2, true},
                       {s.w / 2, s.h / 2, true},
                       {s.w - 1, s.h - 1, false},
                       {1, s.h - 1, true},
                       {s.w - 1, 0, false},
                       {0, s.h - 1, false},
                       {s.w / 3, s.h / 3, false}};
        for (const auto& c : changes) {
            // (A position past a narrow image's edge is taken at its last row or column.)
            const int x = std::min(c.x, s.w - 1), y = std::min(c.y, s.h - 1);
            SCOPED_TRACE(::testing::Message() << "changed at " << x << ", " << y);
            std::vector<float> a = r, b = i;
            (c.imaginary ? b : a)[static_cast<std::size_t>(y * s.w + x)] += 0.75f;
            Spectrum z(static_cast<std::size_t>(n));
            for (std::size_t k = 0; k < z.size(); ++k) z[k] = {a[k], b[k]};
            Spectrum want = directDft(z, s.w, s.h, +1);
            for (auto& v : want) v = v.real();
            Lumerix ra = imageOf(cmmDims(s.w, s.h), a), ib = imageOf(cmmDims(s.w, s.h), b);
            EXPECT_TRUE(closeTo(pixels(ifft(ra, ib)), zeros(static_cast<std::size_t>(n)), want));
        }
    }
}
