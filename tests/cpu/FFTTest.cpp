// The FFT's plans against the CPU backend's plan counter, capacity and injected faults: made
// once per size and direction, retried after reclaiming, released when memory runs short, and
// the fatal report of a failed transform.

#include "FftReference.h"
#include "TestSupport.h"
#include "cpu/StandIn.h"

#include "cmm/cmmReclaim.h"
#include "lumerix/FftPlans.h"

#include <string>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

class FFTPlans : public ::testing::Test {
protected:
    void TearDown() override {
        lmx::cpu::clearFaults();
        cudaGetLastError();
    }
};

}  // namespace

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

TEST_F(FFTPlans, PlansAreMadeOncePerSizeAndDirectionAndKeptBetweenCalls) {
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
}

TEST_F(FFTPlans, AFailedPlanIsRetriedAfterReclaimingAndEndsInOutOfMemory) {
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
}

TEST_F(FFTPlans, TheManagerReleasesIdlePlansWhenItMustReclaimDeviceMemory) {
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
}

TEST(FFTDeathTest, FailedTransformsAndPlansEndTheProcessWithTheCheckedExpression) {
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
}

namespace {

// The stand-in's transform of a w x h complex array (h rows of w values) in one direction.
std::vector<float> standInTransform(int w, int h, const std::vector<float>& interleaved,
                                    int direction) {
    cufftHandle plan = 0;
    const cufftResult made =
        h == 1 ? cufftPlan1d(&plan, w, CUFFT_C2C, 1) : cufftPlan2d(&plan, h, w, CUFFT_C2C);
    EXPECT_EQ(made, CUFFT_SUCCESS);
    DeviceBuffer data(interleaved.size() * sizeof(float));
    writeDevice(data.get(), interleaved);
    auto* c = reinterpret_cast<cufftComplex*>(data.get());
    EXPECT_EQ(cufftExecC2C(plan, c, c, direction), CUFFT_SUCCESS);
    EXPECT_EQ(cufftDestroy(plan), CUFFT_SUCCESS);
    std::vector<float> out(interleaved.size());
    EXPECT_EQ(
        cudaMemcpy(out.data(), data.get(), out.size() * sizeof(float), cudaMemcpyDeviceToHost),
        cudaSuccess);
    return out;
}

Spectrum asSpectrum(const std::vector<float>& interleaved) {
    Spectrum s(interleaved.size() / 2);
    for (std::size_t k = 0; k < s.size(); ++k) s[k] = {interleaved[2 * k], interleaved[2 * k + 1]};
    return s;
}

::testing::AssertionResult transformIs(const std::vector<float>& got, const Spectrum& want) {
    std::vector<float> re, im;
    for (std::size_t k = 0; k + 1 < got.size(); k += 2) {
        re.push_back(got[k]);
        im.push_back(got[k + 1]);
    }
    return closeTo(re, im, want);
}

// Whether value (x, y) is exactly the conjugate of value (-x, -y) everywhere.
bool exactlyHermitian(const std::vector<float>& c, int w, int h) {
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::size_t k = 2 * static_cast<std::size_t>(y * w + x);
            const std::size_t m = 2 * static_cast<std::size_t>(((h - y) % h) * w + (w - x) % w);
            if (c[k] != c[m] || c[k + 1] != -c[m + 1]) return false;
        }
    return true;
}

}  // namespace

// Real arrays take a half-size transform forward, Hermitian ones inverse; the others the full
// one. Whichever path a size and content take, the values are the direct DFT's.
TEST(FFTStandIn, RealAndHermitianArraysGiveTheDirectTransform) {
    // Odd and even extents, several blocks of rows and columns with partial last ones, and the
    // one-dimensional plans.
    const struct {
        int w, h;
    } sizes[] = {{2, 2}, {5, 3}, {8, 4}, {17, 13}, {34, 21}, {40, 1}, {7, 1}, {1, 6}, {3, 40}};
    for (const auto& s : sizes) {
        SCOPED_TRACE(::testing::Message() << s.w << "x" << s.h);
        const std::size_t n = static_cast<std::size_t>(s.w) * s.h;
        const std::vector<float> values = randomValues(2 * n, -1, 1, s.w * 31 + s.h);
        std::vector<float> real(2 * n, 0.0f), mixed, complex = values;
        for (std::size_t k = 0; k < n; ++k) real[2 * k] = values[2 * k];
        mixed = real;
        mixed[2 * (n - 1) + 1] = 0.5f;  // one imaginary part, in the last block of rows

        for (const auto* input : {&real, &mixed, &complex}) {
            const Spectrum want = directDft(asSpectrum(*input), s.w, s.h, -1);
            const std::vector<float> forward = standInTransform(s.w, s.h, *input, CUFFT_FORWARD);
            EXPECT_TRUE(transformIs(forward, want));
            // The forward transform of real values is exactly Hermitian, so that its inverse
            // can take the real path; inverting gives the values back, scaled by n.
            if (input == &real) {
                EXPECT_TRUE(exactlyHermitian(forward, s.w, s.h));
            }
            const Spectrum back = directDft(asSpectrum(forward), s.w, s.h, 1);
            EXPECT_TRUE(transformIs(standInTransform(s.w, s.h, forward, CUFFT_INVERSE), back));
            EXPECT_TRUE(transformIs(standInTransform(s.w, s.h, *input, CUFFT_INVERSE),
                                    directDft(asSpectrum(*input), s.w, s.h, 1)));
        }
    }
}
