// Scratch buffers and pages share the device: an operation's scratch buffer is served from
// memory the manager can reclaim (zombie pages, cached pages), and a page lock from the chunk
// allocator's idle chunks, before either reports a full device. On the CPU backend a small
// capacity fills the device on demand.

#include "TestSupport.h"
#include "cpu/StandIn.h"

#include "lumerix/FftPlans.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

// The image of the cases: (32, 24, 3), 2304 pixels of small integers (exact sums in float).
const cmmDims kDims(32, 24, 3);
constexpr int kPixels = 32 * 24 * 3;
constexpr std::size_t kImageBytes = kPixels * sizeof(float);

std::vector<float> smallIntegers(int n) {
    std::vector<float> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = static_cast<float>(i % 13 - 4);
    return v;
}

template <class T, int kTop>
T narrowed(float v) {  // what the saturating conversions give for these values
    return static_cast<T>(std::min(std::max(v, 0.0f), static_cast<float>(kTop)));
}

// One operation that needs a scratch buffer (or, for a ^ a, only pages); it checks its own
// result against the values the image holds.
struct ScratchCase {
    const char* name;
    std::function<void(Lumerix& image, const std::vector<float>& values)> runAndCheck;
};

const ScratchCase kCases[] = {
    {"sum",
     [](Lumerix& a, const std::vector<float>& v) {
         double s = 0;
         for (float x : v) s += x;
         EXPECT_EQ(sum(a), static_cast<float>(s));
     }},
    {"fmin",
     [](Lumerix& a, const std::vector<float>& v) {
         EXPECT_EQ(fmin(a), *std::min_element(v.begin(), v.end()));
     }},
    {"fmax",
     [](Lumerix& a, const std::vector<float>& v) {
         EXPECT_EQ(fmax(a), *std::max_element(v.begin(), v.end()));
     }},
    {"mean",
     [](Lumerix& a, const std::vector<float>& v) {
         double s = 0;
         for (float x : v) s += x;
         EXPECT_FLOAT_EQ(mean(a), static_cast<float>(s / v.size()));
     }},
    {"var",
     [](Lumerix& a, const std::vector<float>& v) {
         double s = 0, q = 0;
         for (float x : v) s += x;
         const double m = s / v.size();
         for (float x : v) q += (x - m) * (x - m);
         EXPECT_NEAR(var(a), q / v.size(), 1e-4 * q / v.size());
     }},
    {"histogram256",
     [](Lumerix& a, const std::vector<float>& v) {
         std::vector<unsigned int> want(256, 0), got(256, 7);
         for (float x : v) ++want[narrowed<unsigned char, 255>(x)];
         histogram256(a, got.data());
         EXPECT_EQ(got, want);
     }},
    {"GetDataInt8",
     [](Lumerix& a, const std::vector<float>& v) {
         unsigned char* data = a.GetDataInt8();
         for (std::size_t i = 0; i < v.size(); ++i)
             ASSERT_EQ(data[i], (narrowed<unsigned char, 255>(v[i]))) << i;
         std::free(data);
     }},
    {"GetDataInt16",
     [](Lumerix& a, const std::vector<float>& v) {
         unsigned short* data = a.GetDataInt16();
         for (std::size_t i = 0; i < v.size(); ++i)
             ASSERT_EQ(data[i], (narrowed<unsigned short, 65535>(v[i]))) << i;
         std::free(data);
     }},
    {"SetDataInt8",
     [](Lumerix& a, const std::vector<float>& v) {
         std::vector<unsigned char> bytes(v.size());
         for (std::size_t i = 0; i < v.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
         a.SetDataInt8(bytes.data());
         const std::vector<float> got = pixels(a);
         for (std::size_t i = 0; i < v.size(); ++i)
             ASSERT_EQ(got[i], static_cast<float>(bytes[i])) << i;
     }},
    {"SetDataInt16",
     [](Lumerix& a, const std::vector<float>& v) {
         std::vector<unsigned short> words(v.size());
         for (std::size_t i = 0; i < v.size(); ++i) words[i] = static_cast<unsigned short>(i * 29);
         a.SetDataInt16(words.data());
         const std::vector<float> got = pixels(a);
         for (std::size_t i = 0; i < v.size(); ++i)
             ASSERT_EQ(got[i], static_cast<float>(words[i])) << i;
     }},
    {"a ^ a",
     [](Lumerix& a, const std::vector<float>&) {
         EXPECT_EQ(pixels(a ^ a), std::vector<float>(kPixels, 0.0f));
     }},
};

// What holds the memory the operation needs, besides its own image. IdleFftPlan: what an FFT
// left behind (its plan, idle, and the plan's work area), with the spare image cached as well,
// which must then stay.
enum class Holder { Zombie, CachedPage, IdleFftPlan };

class ScratchReclaim : public ::testing::TestWithParam<std::tuple<int, Holder>> {
protected:
    void SetUp() override {
        startClean();
        releaseCachedChunks();
    }
    void TearDown() override { cudaGetLastError(); }
};

}  // namespace

// The device is full: the operation's image and a holder of twelve images' worth of memory that
// the manager can reclaim (enough for var's two intermediate images, or the histogram's 64 KiB
// of partial counts with its 8-bit copy).
TEST_P(ScratchReclaim, AnOperationOnAFullDeviceTakesReclaimableMemoryInsteadOfEndingTheProcess) {
    const ScratchCase& c = kCases[std::get<0>(GetParam())];
    const Holder holder = std::get<1>(GetParam());
    SCOPED_TRACE(c.name);
    const std::vector<float> values = smallIntegers(kPixels);
    if (holder == Holder::IdleFftPlan) {
        // Work areas of at least 1024 x 16 complex values per thread, well above what any case
        // asks for; the transform's own images are gone again.
        {
            Lumerix big(cmmDims(1024, 1024)), re, im;
            fft(big, re, im);
        }
        startClean();
    }
    const std::size_t plans = lmx::cachedFftPlans();
    ASSERT_EQ(plans, holder == Holder::IdleFftPlan ? 1u : 0u);
    const std::vector<float> spareValues = ramp(12 * kPixels, -3.0f);
    Lumerix spare = imageOf(cmmDims(12 * kPixels), spareValues);
    spare.Lock();
    spare.Release();
    if (holder == Holder::Zombie) {
        pixels(spare);  // its device memory becomes a zombie
    }
    Lumerix a = imageOf(kDims, values);
    a.Lock();  // cached after the holder: the holder goes first
    a.Release();
    const ManagerTotals before = ManagerTotals::now();
    {
        const ScopedDeviceCapacity full(0);
        c.runAndCheck(a, values);
        EXPECT_LE(lmx::cpu::deviceBytesInUse(), lmx::cpu::deviceCapacity());
    }
    const ManagerTotals reclaimed = ManagerTotals::now().since(before);
    if (holder == Holder::IdleFftPlan) {
        EXPECT_EQ(reclaimed.spills, 0)
            << "a cached page was spilled while idle FFT memory was left";
    } else {
        EXPECT_GE(reclaimed.putDowns + reclaimed.spills, 1) << "nothing was reclaimed";
    }
    EXPECT_EQ(pixels(spare), spareValues) << "the holder lost its pixels";
    EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
}

INSTANTIATE_TEST_SUITE_P(
    EveryScratchUser, ScratchReclaim,
    ::testing::Combine(::testing::Range(0, static_cast<int>(std::size(kCases))),
                       ::testing::Values(Holder::Zombie, Holder::CachedPage, Holder::IdleFftPlan)),
    [](const ::testing::TestParamInfo<ScratchReclaim::ParamType>& param) {
        std::string name = kCases[std::get<0>(param.param)].name;
        name.erase(
            std::remove_if(name.begin(), name.end(),
                           [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }),
            name.end());
        const Holder holder = std::get<1>(param.param);
        return name + (holder == Holder::Zombie       ? "_Zombie"
                       : holder == Holder::CachedPage ? "_CachedPage"
                                                      : "_IdleFftPlan");
    });

// The sequence as a program meets it: room for two images; a ^ a leaves its result behind as a
// zombie; the 16-bit conversion's scratch buffer then has to come from that zombie.
TEST(ScratchReclaimSequence, ConversionAfterAnOperatorOnADeviceFullOfZombies) {
    startClean();
    releaseCachedChunks();
    const std::vector<float> values = smallIntegers(kPixels);
    const ScopedDeviceCapacity room(2 * kImageBytes);
    Lumerix a = imageOf(kDims, values);
    EXPECT_EQ(pixels(a ^ a), std::vector<float>(kPixels, 0.0f));
    unsigned short* data = a.GetDataInt16();
    ASSERT_NE(data, nullptr);
    for (int i = 0; i < kPixels; ++i)
        ASSERT_EQ(data[i], (narrowed<unsigned short, 65535>(values[static_cast<std::size_t>(i)])));
    std::free(data);
}

// The reverse direction: a page lock that cannot allocate puts down zombies first, then takes
// the chunk allocator's idle chunks, and spills cached pages only when neither was enough.
TEST(ScratchReclaimSequence, APageLockReleasesIdleChunksBeforeItSpillsCachedPages) {
    startClean();
    releaseCachedChunks();
    Lumerix cached = imageOf(ramp(300));
    cached.Lock();
    cached.Release();
    {
        Lumerix z(cmmDims(256));  // a zombie of 1 KiB: not enough on its own
        z.Lock();
        z.Release();
    }
    // Three idle chunks of 4 KiB each.
    void* chunks[3] = {};
    for (int k = 0; k < 3; ++k) ASSERT_EQ(LumerixMalloc(&chunks[k], 4096 + 64 * k), cudaSuccess);
    for (void* p : chunks) ASSERT_EQ(LumerixFree(p), cudaSuccess);
    const std::size_t inUse = lmx::cpu::deviceBytesInUse();
    const ScopedDeviceCapacity full(0);
    const ManagerTotals before = ManagerTotals::now();
    const long frees = lmx::cpu::counters().frees;
    Lumerix image(cmmDims(2048));  // 8 KiB
    ASSERT_NE(image.Lock(), nullptr);
    const ManagerTotals counted = ManagerTotals::now().since(before);
    EXPECT_EQ(counted.putDowns, 1);
    EXPECT_EQ(counted.spills, 0) << "a cached page was spilled while idle chunks held memory";
    EXPECT_EQ(lmx::cpu::counters().frees - frees, 4);  // the zombie and the three chunks
    EXPECT_TRUE(inState(cached.page, cmmCached()));
    EXPECT_EQ(lmx::cpu::deviceBytesInUse(), inUse - 1024 - (3 * 4096 + 64 * 3) + 8192);
    image.Release();
    EXPECT_EQ(pixels(cached), ramp(300));
}
