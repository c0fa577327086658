// The logarithm's CPU traversal against the kernel's plain body, bit for bit: over values of
// every exponent and sign, every special class (zeros, subnormals, infinities, NaNs with
// payloads) and the values next to 1, at result sizes around the streaming threshold and for
// results that do not start on a vector boundary, without a store outside the result.

#include "TestSupport.h"

#include "backend/cpu/Control.h"
#include "backend/cpu/Registry.h"
#include "kernels/Dialect.h"
#include "kernels/Kernels.h"

#include <cfenv>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr std::size_t kThreshold = 96 << 10;
constexpr std::uint32_t kGuardBits = 0x7fc0a5a5;  // a NaN no logf returns
constexpr int kGuard = 16;                        // floats before and after every result

struct ScopedStreamingBytes {
    explicit ScopedStreamingBytes(std::size_t bytes) : saved(lmx::cpu::streamingStoreThreshold()) {
        lmx::cpu::setStreamingStoreBytes(bytes);
    }
    ~ScopedStreamingBytes() { lmx::cpu::setStreamingStoreBytes(saved); }
    std::size_t saved;
};

// Random bit patterns (all exponents, both signs, NaN payloads) with the special classes and
// the neighbourhood of 1 spread over them.
std::vector<float> logInputs(int n) {
    // clang-format off
    const std::uint32_t special[] = {
        0x00000000, 0x80000000, 0x00000001, 0x007fffff, 0x00400000, 0x80000001, 0x807fffff,
        0x00800000, 0x7f7fffff, 0x7f800000, 0xff800000, 0x7fc00000, 0xffc00000, 0x7f800001,
        0x7fbfffff, 0xffffffff, 0x3f800000, 0xbf800000, 0x3f7fffff, 0x3f800001, 0x3f330000};
    // clang-format on
    std::mt19937 gen(7);
    std::vector<float> v(n);
    for (int i = 0; i < n; ++i) {
        std::uint32_t bits = static_cast<std::uint32_t>(gen());
        if (i % 7 == 0) bits = special[(i / 7) % (sizeof special / sizeof special[0])];
        if (i % 7 == 3) bits = 0x3f800000u + (bits % 4096) - 2048;  // within 2048 ulp of 1
        std::memcpy(&v[i], &bits, sizeof bits);
    }
    return v;
}

// The result of `n` pixels starting `shift` floats into a guarded buffer.
std::vector<std::uint32_t> runLog(bool plain, std::vector<float>& in, int n, int shift) {
    const lmx::cpu::KernelEntry* e =
        lmx::cpu::findKernel(reinterpret_cast<const void*>(&LumerixPixelLogI2I));
    EXPECT_NE(e, nullptr);
    std::vector<std::uint32_t> out(static_cast<std::size_t>(n) + 2 * kGuard + 8, kGuardBits);
    float* a = in.data();
    float* r = reinterpret_cast<float*>(out.data() + kGuard + shift);
    void* args[] = {&a, &r, &n};
    lmx::cpu::currentLaunch = lmx::cpu::LaunchShape{dim3(n / 256 + 1), dim3(256)};
    (plain ? e->plain : e->invoke)(args);
    return out;
}

}  // namespace

TEST(LogPath, GivesThePlainBitsForEveryClassOfValue) {
    const int atThreshold = static_cast<int>(kThreshold / sizeof(float));
    for (int n : {1, 7, 8, 9, 4097, atThreshold - 1, atThreshold, atThreshold + 37, 3 << 20}) {
        std::vector<float> in = logInputs(n);
        for (int shift : {0, 1, 3, 7}) {
            SCOPED_TRACE(testing::Message() << "n=" << n << " shift=" << shift);
            std::vector<std::uint32_t> want, got;
            {
                const ScopedStreamingBytes never(~std::size_t(0));
                want = runLog(true, in, n, shift);
            }
            {
                const ScopedStreamingBytes from(kThreshold);
                got = runLog(false, in, n, shift);
            }
            ASSERT_EQ(got, want);
            for (std::size_t k = 0; k < got.size(); ++k) {
                const bool inside =
                    k >= std::size_t(kGuard + shift) && k < std::size_t(kGuard + shift + n);
                if (!inside) {
                    ASSERT_EQ(got[k], kGuardBits) << "a store outside the result at " << k;
                }
            }
        }
    }
}

// logf(1) is +0 in every rounding mode; an unguarded evaluation gives -0 when rounding down.
TEST(LogPath, GivesThePlainBitsInEveryRoundingMode) {
    std::vector<float> in = logInputs(4101);  // below the parallel threshold: this thread's mode
    for (int mode : {FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO}) {
        ASSERT_EQ(std::fesetround(mode), 0);
        const std::vector<std::uint32_t> want = runLog(true, in, 4101, 1);
        const std::vector<std::uint32_t> got = runLog(false, in, 4101, 1);
        std::fesetround(FE_TONEAREST);
        ASSERT_EQ(got, want) << "rounding mode " << mode;
    }
}
