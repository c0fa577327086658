// The FFT's plans against the CPU backend's plan counter, capacity and injected faults: made
// once per size (both directions share one), retried after reclaiming, released when memory runs
// short, and the fatal report of a failed transform.

#include "FftReference.h"
#include "TestSupport.h"
#include "cpu/StandIn.h"

#include "cmm/cmmReclaim.h"
#include "kernels/Kernels.h"
#include "kernels/Launch.h"
#include "lumerix/FftPlans.h"

#include <cmath>
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

void transformWithFault(lmx::cpu::Fault kind, cudaError_t error, bool inverse,
                        const cmmDims& dims = cmmDims(61, 3)) {
    Lumerix image = imageOf(dims, ramp(dims.Size()));
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
    EXPECT_EQ(plansMade() - before, 1);  // the inverse runs on the forward transform's plan
    ifft(re, im);
    fft(image, re, im);
    EXPECT_EQ(plansMade() - before, 1);
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
        // (A request the device cannot serve, as releaseCachedChunks makes, gives back every idle
        // cache, plans included: the plan is made after it.)
        lmx::releaseDeviceCaches();
        startClean();
        releaseCachedChunks();
        fft(other, oRe, oIm);
        startClean();
        // Nothing idle but what the step names: the plan and the idle chunk of its work area go.
        if (step != IdlePlan) lmx::releaseDeviceCaches();
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
    const ScopedDeviceCapacity full(0);
    // A plan's work area is device memory here as on the GPU, an idle scratch chunk once the
    // transform is done: giving it back, with the idle plans, makes room.
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
    EXPECT_EXIT(
        transformWithFault(Fault::FftPlan, cudaErrorUnknown, false), ::testing::ExitedWithCode(1),
        fftReport("CUFFT_INTERNAL_ERROR", "cufftMakePlan2d(handle, h, w, CUFFT_C2C, &workBytes)"));
    // A single row or column takes a one-dimensional plan, and the report names that call.
    for (const cmmDims& line : {cmmDims(61, 1), cmmDims(1, 61), cmmDims(61)})
        EXPECT_EXIT(transformWithFault(Fault::FftPlan, cudaErrorUnknown, false, line),
                    ::testing::ExitedWithCode(1),
                    fftReport("CUFFT_INTERNAL_ERROR",
                              "cufftMakePlan1d(handle, w * h, CUFFT_C2C, 1, &workBytes)"));
}

// The stand-in's plans without a work area of their own, as cuFFT's extensible plans: making
// one allocates nothing and reports the area's size; a transform needs the area, and in it gives
// the bits of a plan that allocates its own.
TEST(FFTWorkArea, APlanMadeWithoutAutomaticAllocationRunsInTheAreaItIsGiven) {
    for (const cmmDims& dims : {cmmDims(12, 9), cmmDims(61, 1), cmmDims(1, 61), cmmDims(33, 20)}) {
        const int w = dims.Dim(0), h = dims.Dim(1), n = w * h;
        SCOPED_TRACE(testing::Message() << w << " x " << h);
        const bool line = w == 1 || h == 1;
        cufftHandle own = 0, given = 0;
        ASSERT_EQ(line ? cufftPlan1d(&own, n, CUFFT_C2C, 1) : cufftPlan2d(&own, h, w, CUFFT_C2C),
                  CUFFT_SUCCESS);
        ASSERT_EQ(cufftCreate(&given), CUFFT_SUCCESS);
        ASSERT_EQ(cufftSetAutoAllocation(given, 0), CUFFT_SUCCESS);
        const long allocations = lmx::cpu::counters().allocations;
        std::size_t work = 0, reported = 0;
        ASSERT_EQ(line ? cufftMakePlan1d(given, n, CUFFT_C2C, 1, &work)
                       : cufftMakePlan2d(given, h, w, CUFFT_C2C, &work),
                  CUFFT_SUCCESS);
        EXPECT_EQ(lmx::cpu::counters().allocations, allocations);
        EXPECT_GE(work, static_cast<std::size_t>(w > h ? w : h) * sizeof(cufftComplex));
        ASSERT_EQ(cufftGetSize(given, &reported), CUFFT_SUCCESS);
        EXPECT_EQ(reported, work);

        const std::vector<float> values = randomValues(2 * n, -1, 1, n);
        cufftComplex *a = nullptr, *b = nullptr;
        void* area = nullptr;
        ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&a), n * sizeof(cufftComplex)), cudaSuccess);
        ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&b), n * sizeof(cufftComplex)), cudaSuccess);
        ASSERT_EQ(cudaMalloc(&area, work), cudaSuccess);
        writeDevice(reinterpret_cast<float*>(a), values);
        writeDevice(reinterpret_cast<float*>(b), values);
        EXPECT_EQ(cufftExecC2C(given, b, b, CUFFT_FORWARD), CUFFT_INVALID_VALUE);  // no area yet
        ASSERT_EQ(cufftSetWorkArea(given, area), CUFFT_SUCCESS);
        for (const int direction : {CUFFT_FORWARD, CUFFT_INVERSE}) {
            ASSERT_EQ(cufftExecC2C(own, a, a, direction), CUFFT_SUCCESS);
            ASSERT_EQ(cufftExecC2C(given, b, b, direction), CUFFT_SUCCESS);
            EXPECT_TRUE(sameFloats(deviceValues(reinterpret_cast<float*>(b), 2 * n),
                                   deviceValues(reinterpret_cast<float*>(a), 2 * n)));
        }
        EXPECT_EQ(cufftDestroy(own), CUFFT_SUCCESS);
        EXPECT_EQ(cufftDestroy(given), CUFFT_SUCCESS);
        cudaFree(a);
        cudaFree(b);
        cudaFree(area);
    }
}

// The library's plans run in a work area that comes from the chunk allocator while a plan is
// held: an idle plan keeps no device memory, and its area waits as an idle chunk, reused by the
// next transform and given back when memory runs short.
TEST(FFTWorkArea, APlansWorkAreaIsAScratchChunkWhileThePlanIsHeld) {
    startClean();
    releaseCachedChunks();
    std::size_t work = 0;
    {
        const lmx::FftPlan plan(40, 30);
        ASSERT_TRUE(plan);
        ASSERT_EQ(cufftGetSize(plan.handle(), &work), CUFFT_SUCCESS);
        ASSERT_GT(work, 0u);
    }
    EXPECT_EQ(lmx::cachedFftPlans(), 1u);
    // The idle chunk serves a request of its size without a new allocation.
    const long allocations = lmx::cpu::counters().allocations;
    void* p = nullptr;
    ASSERT_EQ(LumerixMalloc(&p, work), cudaSuccess);
    EXPECT_EQ(lmx::cpu::counters().allocations, allocations);
    ASSERT_EQ(LumerixFree(p), cudaSuccess);
    // A transform of the size runs on the cached plan.
    Lumerix image = imageOf(cmmDims(40, 30), ramp(1200)), re, im;
    const long plansMade = lmx::cpu::counters().fftPlans;
    fft(image, re, im);
    EXPECT_EQ(lmx::cpu::counters().fftPlans, plansMade);
    // Given back with the other idle chunks: the device holds only the images afterwards.
    const std::size_t inUse = lmx::cpu::deviceBytesInUse();
    releaseCachedChunks();
    EXPECT_LE(lmx::cpu::deviceBytesInUse() + work, inUse);
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

// The library's transforms of images on this backend: the conversions run inside the
// transform's passes, so a forward transform and the inverse of an exactly Hermitian array
// launch nothing; any other array takes the general path's conversion launches.
TEST(FFTImages, ImageTransformsLaunchNoConversionUnlessTheArrayIsNotHermitian) {
    for (const cmmDims& dims : {cmmDims(33, 20), cmmDims(64, 1), cmmDims(1, 40)}) {
        SCOPED_TRACE(dims.Size());
        const std::vector<float> values = randomValues(dims.Size(), -1, 1, 9);
        Lumerix image = imageOf(dims, values), re, im;
        fft(image, re, im);  // plans the size
        const RuntimeTotals before = RuntimeTotals::now();
        fft(image, re, im);
        EXPECT_EQ(RuntimeTotals::now().since(before).launches, 0);
        Lumerix back = ifft(re, im);
        EXPECT_EQ(RuntimeTotals::now().since(before).launches, 0);
        back = ifft(image, image);  // re = im = the image: not Hermitian
        EXPECT_EQ(RuntimeTotals::now().since(before).launches, 2);
    }
}

namespace {

// The backend's image transforms called on their own, with each array `offset` floats past an
// allocation's start: FFTW runs its measured plans only on arrays aligned as those it measured,
// so misaligned arrays go through the threads' buffers, with the same results.
struct Misaligned {
    Misaligned(std::size_t floats, int offset) : buffer((floats + 2) * sizeof(float)), at(offset) {}
    float* get() const { return buffer.get() + at; }
    DeviceBuffer buffer;
    int at;
};

}  // namespace

TEST(FFTImages, MisalignedArraysAndPartialBlocksGiveTheDirectTransform) {
    // Rows in whole blocks and with a shorter last block, odd and even widths, one row.
    const struct { int w, h; } sizes[] = {{16, 32}, {17, 13}, {34, 21}, {9, 40}, {40, 1}};
    for (const auto& s : sizes) {
        const int n = s.w * s.h;
        const std::vector<float> values = randomValues(n, -1, 1, s.w + s.h);
        const Spectrum forward = directDft(realSpectrum(values), s.w, s.h, -1);
        for (const int offset : {0, 1}) {
            SCOPED_TRACE(::testing::Message() << s.w << " x " << s.h << ", offset " << offset);
            const lmx::FftPlan plan(s.w, s.h);
            ASSERT_TRUE(plan);
            Misaligned image(n, offset), re(n, offset), im(n, offset), out(n, offset);
            Misaligned work(2 * n, 2 * offset);  // float2 keeps its own alignment
            auto* c = reinterpret_cast<float2*>(work.get());
            writeDevice(image.get(), values);
            ASSERT_TRUE(lmx::fftOfRealImage(plan.handle(), image.get(), c, re.get(), im.get()));
            EXPECT_TRUE(sameFloats(deviceValues(image.get(), n), values));  // input kept
            const std::vector<float> r = deviceValues(re.get(), n), i = deviceValues(im.get(), n);
            EXPECT_TRUE(closeTo(r, i, forward));

            ASSERT_TRUE(lmx::ifftToRealImage(plan.handle(), re.get(), im.get(), c, out.get()));
            Spectrum scaled(static_cast<std::size_t>(n));
            for (int k = 0; k < n; ++k) scaled[static_cast<std::size_t>(k)] = 1.0 * values[k] * n;
            EXPECT_TRUE(closeTo(deviceValues(out.get(), n), zeros(n), scaled));

            // Not Hermitian (one imaginary part of the zero frequency): refused, and the result
            // is not written.
            std::vector<float> broken = i;
            broken[0] = 1.0f;
            writeDevice(im.get(), broken);
            writeDevice(out.get(), ramp(n));
            EXPECT_FALSE(lmx::ifftToRealImage(plan.handle(), re.get(), im.get(), c, out.get()));
            EXPECT_TRUE(sameFloats(deviceValues(out.get(), n), ramp(n)));
        }
    }
}

// The conversion kernels that the general path launches, against plain loops: each value moves
// whole and unchanged, NaN and signed zeros included.
TEST(FFTImages, ConversionKernelsMoveEveryValueUnchanged) {
    const int n = 1000;
    std::vector<float> a = randomValues(n, -5, 5, 11), b = randomValues(n, -5, 5, 12);
    a[3] = std::nanf("");
    b[4] = -0.0f;
    DeviceBuffer da(n * sizeof(float)), db(n * sizeof(float)), dc(2 * n * sizeof(float));
    DeviceBuffer dr(n * sizeof(float)), di(n * sizeof(float));
    writeDevice(da.get(), a);
    writeDevice(db.get(), b);
    auto* c = static_cast<float2*>(dc.ptr);
    std::vector<float> interleaved(2 * static_cast<std::size_t>(n)), real(interleaved.size());
    for (std::size_t k = 0; k < a.size(); ++k) {
        interleaved[2 * k] = real[2 * k] = a[k];
        interleaved[2 * k + 1] = b[k];
        real[2 * k + 1] = 0.0f;
    }
    lmx::launchPixels(&LumerixFFTFloatToComplex, n, da.get(), c, n);
    EXPECT_TRUE(sameFloats(deviceValues(dc.get(), 2 * n), real));
    lmx::launchPixels(&LumerixFFTInterleave, n, da.get(), db.get(), c, n);
    EXPECT_TRUE(sameFloats(deviceValues(dc.get(), 2 * n), interleaved));
    lmx::launchPixels(&LumerixFFTDeinterleave, n, c, dr.get(), di.get(), n);
    EXPECT_TRUE(sameFloats(deviceValues(dr.get(), n), a));
    EXPECT_TRUE(sameFloats(deviceValues(di.get(), n), b));
    lmx::launchPixels(&LumerixFFTComplexToFloat, n, c, dr.get(), n);
    EXPECT_TRUE(sameFloats(deviceValues(dr.get(), n), a));
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}
