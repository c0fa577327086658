// Forward and inverse 2-D FFT against a direct DFT in double precision, known transforms, the
// plan cache and its reclamation, and the refusals that leave every image as it was.

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

using Spectrum = std::vector<std::complex<double>>;

// The plain 2-D DFT: sum of f(x, y) e^(sign 2 pi i (ux / W + vy / H)) at u + v W.
Spectrum directDft(const Spectrum& f, int w, int h, int sign) {
    const double pi = std::acos(-1.0);
    Spectrum out(f.size());
    for (int v = 0; v < h; ++v)
        for (int u = 0; u < w; ++u) {
            std::complex<double> s = 0;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    // Reduced first, so the angle stays small and exact for large sizes.
                    const double turns = static_cast<double>((1LL * u * x) % w) / w +
                                         static_cast<double>((1LL * v * y) % h) / h;
                    s += f[static_cast<std::size_t>(y * w + x)] *
                         std::polar(1.0, sign * 2 * pi * turns);
                }
            out[static_cast<std::size_t>(v * w + u)] = s;
        }
    return out;
}

Spectrum realSpectrum(const std::vector<float>& values) {
    return Spectrum(values.begin(), values.end());
}

// Expects re and im to hold want within 1e-4 of its largest magnitude.
::testing::AssertionResult closeTo(const std::vector<float>& re, const std::vector<float>& im,
                                   const Spectrum& want) {
    if (re.size() != want.size() || im.size() != want.size())
        return ::testing::AssertionFailure() << re.size() << " values, want " << want.size();
    double largest = 0;
    for (const auto& z : want) largest = std::max(largest, std::abs(z));
    const double tolerance = 1e-4 * std::max(largest, 1e-30);
    for (std::size_t k = 0; k < want.size(); ++k) {
        const double error = std::abs(std::complex<double>(re[k], im[k]) - want[k]);
        if (!(error <= tolerance))
            return ::testing::AssertionFailure()
                   << "at " << k << ": got (" << re[k] << ", " << im[k] << "), want " << want[k]
                   << ", tolerance " << tolerance;
    }
    return ::testing::AssertionSuccess();
}

std::vector<float> zeros(std::size_t n) {
    return std::vector<float>(n, 0.0f);
}

struct Size {
    int w, h;
};

// Odd, prime, non-square, one-row and one-column sizes, and a few that need more than one block
// of rows or columns in the CPU backend's passes.
const Size kSizes[] = {{7, 5},   {17, 5},  {1, 64}, {64, 1},  {1, 1},   {2, 1},
                       {16, 12}, {33, 20}, {5, 40}, {64, 48}, {100, 9}, {3, 129}};

// The image is left unlocked and cached on the device after an operation or a refusal.
void expectUsable(Lumerix& image, const std::vector<float>& values) {
    EXPECT_EQ(image.page->lockCount, 0);
    EXPECT_TRUE(sameFloats(pixels(image), values));
}

class FFT : public ::testing::Test {
protected:
    void TearDown() override {
#if defined(LMX_BACKEND_CPU)
        lmx::cpu::clearFaults();
#endif
        cudaGetLastError();
    }
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

TEST_F(FFT, PlansAreMadeOncePerSizeAndDirectionAndKeptBetweenCalls) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    const auto plansMade = [] {
        return lmx::cpu::counters().fftPlans;
    };
    Lumerix image = imageOf(cmmDims(23, 19), randomValues(23 * 19, 0, 1)), re, im;
    long before = plansMade();
    fft(image, re, im);
    EXPECT_EQ(plansMade() - before, 1);
    fft(image, re, im);
    ifft(re, im);
    EXPECT_EQ(plansMade() - before, 2);  // one more for the inverse
    ifft(re, im);
    fft(image, re, im);
    EXPECT_EQ(plansMade() - before, 2);
    // A single pixel is its own transform: no plan at all.
    Lumerix one = imageOf(cmmDims(1, 1), {3.0f});
    before = plansMade();
    fft(one, re, im);
    EXPECT_EQ(plansMade(), before);
    EXPECT_EQ(pixels(re), std::vector<float>{3.0f});
    EXPECT_EQ(pixels(im), std::vector<float>{0.0f});
    EXPECT_LE(lmx::cachedFftPlans(), 4u);
#endif
}

TEST_F(FFT, AFailedPlanIsRetriedAfterReclaimingAndEndsInOutOfMemory) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    using lmx::cpu::Fault;
    const std::vector<float> values = randomValues(12 * 9, -1, 1, 8);
    const Spectrum want = directDft(realSpectrum(values), 12, 9, -1);
    // What each reclaim step finds to give back: an idle plan, then a zombie, then a page.
    enum Step { IdlePlan, Zombie, CachedPage };
    for (const Step step : {IdlePlan, Zombie, CachedPage}) {
        SCOPED_TRACE(step);
        Lumerix image = imageOf(cmmDims(12, 9), values), re, im;
        Lumerix other = imageOf(cmmDims(5, 6), ramp(30)), oRe, oIm;
        // Nothing idle from earlier tests (label tables, chunks, plans), then one plan of
        // another size in the cache.
        lmx::releaseDeviceCaches();
        fft(other, oRe, oIm);
        startClean();
        releaseCachedChunks();
        if (step != IdlePlan)
            while (lmx::releaseOneFftPlan()) {
            }
        if (step == Zombie) {
            Lumerix gone(cmmDims(77));
            gone.Lock();
            gone.Release();
        }
        Lumerix cached = imageOf(cmmDims(50), ramp(50));
        if (step == CachedPage) onDevice({&cached});
        const std::size_t plansBefore = lmx::cachedFftPlans();
        const ManagerTotals totals = ManagerTotals::now();
        lmx::cpu::injectFault(Fault::FftPlan, 1, cudaErrorMemoryAllocation);
        fft(image, re, im);
        EXPECT_TRUE(closeTo(pixels(re), pixels(im), want));
        const ManagerTotals counted = ManagerTotals::now().since(totals);
        EXPECT_EQ(lmx::cachedFftPlans(), step == IdlePlan ? plansBefore : plansBefore + 1);
        EXPECT_EQ(counted.putDowns, step == IdlePlan ? 0 : 1);
        EXPECT_EQ(counted.spills, step == CachedPage ? 1 : 0);
        EXPECT_TRUE(sameFloats(pixels(cached), ramp(50)));
    }

    // Nothing left to give back: "Out of memory", with the outputs untouched and nothing locked.
    // (A size without a cached plan: the one above is cached now.)
    Lumerix image = imageOf(cmmDims(9, 12), values);
    Lumerix re = imageOf(cmmDims(3), ramp(3)), im = imageOf(cmmDims(2), ramp(2));
    Lumerix cached = imageOf(cmmDims(50), ramp(50));
    onDevice({&image, &cached});
    lmx::cpu::injectPersistentFault(Fault::FftPlan, 1, cudaErrorMemoryAllocation);
    LMX_EXPECT_RUNTIME_ERROR(fft(image, re, im), "Out of memory");
    LMX_EXPECT_RUNTIME_ERROR(ifft(image, image), "Out of memory");
    EXPECT_EQ(lmx::cachedFftPlans(), 0u);
    EXPECT_TRUE(cmmCached().list->empty());  // every page was spilled on the way
    lmx::cpu::clearFaults();
    expectUsable(image, values);
    expectUsable(re, ramp(3));
    expectUsable(im, ramp(2));
    expectUsable(cached, ramp(50));
#endif
}

TEST_F(FFT, TheManagerReleasesIdlePlansWhenItMustReclaimDeviceMemory) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    Lumerix image = imageOf(cmmDims(40, 30), ramp(1200)), re, im;
    fft(image, re, im);
    ASSERT_GT(lmx::cachedFftPlans(), 0u);
    startClean();
    releaseCachedChunks();
    const ScopedDeviceCapacity full(0);
    // A plan's work area is device memory here as on the GPU: giving it back makes room.
    Lumerix fresh(cmmDims(64));
    EXPECT_NE(fresh.Lock(), nullptr);
    fresh.Release();
    EXPECT_EQ(lmx::cachedFftPlans(), 0u);
#endif
}

#if defined(LMX_BACKEND_CPU)
namespace {

void transformWithFault(lmx::cpu::Fault kind, cudaError_t error, bool inverse) {
    Lumerix image = imageOf(cmmDims(61, 3), ramp(183));
    Lumerix re, im;
    lmx::cpu::injectFault(kind, 1, error);
    if (inverse)
        ifft(image, image);
    else
        fft(image, re, im);
}

std::string fftReport(const std::string& error, const std::string& expression) {
    std::string re = "^LUMERIX error\nLumerixFFT\\.cpp:[0-9]+ : " + error + "\nFunction: ";
    for (const char c : expression) {
        if (std::string("\\.[](){}*+?|^$").find(c) != std::string::npos) re += '\\';
        re += c;
    }
    return re + "\n$";
}

}  // namespace
#endif

TEST(FFTDeathTest, FailedTransformsAndPlansEndTheProcessWithTheCheckedExpression) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    using lmx::cpu::Fault;
    EXPECT_EXIT(transformWithFault(Fault::FftExec, cudaErrorLaunchFailure, false),
                ::testing::ExitedWithCode(1),
                fftReport("CUFFT_EXEC_FAILED", "cufftExecC2C(plan.handle(), c, c, CUFFT_FORWARD)"));
    EXPECT_EXIT(transformWithFault(Fault::FftExec, cudaErrorLaunchFailure, true),
                ::testing::ExitedWithCode(1),
                fftReport("CUFFT_EXEC_FAILED", "cufftExecC2C(plan.handle(), c, c, CUFFT_INVERSE)"));
    // A failure other than a full device is not reclaimed for but reported.
    EXPECT_EXIT(transformWithFault(Fault::FftPlan, cudaErrorUnknown, false),
                ::testing::ExitedWithCode(1),
                fftReport("CUFFT_INTERNAL_ERROR", "cufftPlan2d(&handle, h, w, CUFFT_C2C)"));
#endif
}
