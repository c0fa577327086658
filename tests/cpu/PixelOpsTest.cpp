// Pixel-wise operations against the CPU backend's counters and capacity: a chain copies
// nothing back, and a full device leaves no operand locked.

#include "PixelOpsSupport.h"
#include "TestSupport.h"
#include "cpu/StandIn.h"

#include <vector>

using namespace cmm;
using namespace lmxtest;

TEST(BinaryOps, AChainOfOperationsCopiesNothingBackUntilTheHostReads) {
    const cmmDims dims(37, 29);
    const std::vector<float> va = leftValues(1073, 31), vb = leftValues(1073, 32),
                             vc = leftValues(1073, 33);
    Lumerix a = imageOf(dims, va), b = imageOf(dims, vb), c = imageOf(dims, vc);
    const RuntimeTotals before = RuntimeTotals::now();
    Lumerix result = fmax((a + b) * c - 2.0f, 0.0f) / (1.0f + (a > b));
    EXPECT_EQ(RuntimeTotals::now().since(before).deviceToHost, 0);
    EXPECT_EQ(RuntimeTotals::now().since(before).hostToDevice, 3);
    const std::vector<float> got = pixels(result);
    EXPECT_EQ(RuntimeTotals::now().since(before).deviceToHost, 1);
    for (std::size_t i = 0; i < got.size(); ++i) {
        const float want = opNamed("Max").reference((va[i] + vb[i]) * vc[i] - 2.0f, 0.0f) /
                           (1.0f + opNamed("Greater").reference(va[i], vb[i]));
        ASSERT_TRUE(sameFloat(got[i], want)) << i;
    }
}

TEST(Channels, OutOfMemoryReleasesEveryImageTheOperationLocked) {
    Channels ch(cmmDims(20, 10), 21);
    onDevice({&ch.c0, &ch.c1, &ch.c2});
    {
        const NoDeviceMemory full;
        LMX_EXPECT_RUNTIME_ERROR(merge3(ch.c0, ch.c1, ch.c2), "Out of memory");
    }
    expectCachedWith(ch.c0, ch.v0);
    expectCachedWith(ch.c1, ch.v1);
    expectCachedWith(ch.c2, ch.v2);
    const std::vector<float> v = randomValues(600, 0.0f, 1.0f, 23);
    Lumerix m = imageOf(cmmDims(20, 10, 3), v);
    Lumerix o0, o1, o2;
    onDevice({&m});
    {
        const NoDeviceMemory full;
        LMX_EXPECT_RUNTIME_ERROR(split3(m, o0, o1, o2), "Out of memory");
    }
    expectCachedWith(m, v);
    for (Lumerix* o : {&o0, &o1, &o2}) EXPECT_EQ(o->page->lockCount, 0);
    split3(m, o0, o1, o2);  // the outputs can be used again
    EXPECT_EQ(pixels(o1)[5], v[16]);
}

// Only the operands of a form are on the device: a cached bystander there would be spilled, and
// its memory would make room for the result.
TEST(PixelOps, OutOfMemoryForTheResultReleasesOnlyTheLocksTheOperationTook) {
    const std::vector<float> va = leftValues(500, 41), vb = leftValues(500, 42);
    const struct {
        Lumerix (*apply)(Lumerix&, Lumerix&);
        bool both;
    } forms[] = {
        {[](Lumerix& a, Lumerix& b) { return a - b; }, true},
        {[](Lumerix& a, Lumerix&) { return a - 1.0f; }, false},
        {[](Lumerix& a, Lumerix&) { return 1.0f - a; }, false},
        {[](Lumerix& a, Lumerix&) { return a * a; }, false},
        {[](Lumerix& a, Lumerix&) { return sqrt(a); }, false},
        {[](Lumerix& a, Lumerix&) { return log(a); }, false},
        {[](Lumerix& a, Lumerix&) { return abs(a); }, false},
        {[](Lumerix& a, Lumerix&) { return !a; }, false},
    };
    for (const auto& form : forms) {
        Lumerix a = imageOf(va), b = imageOf(vb);
        form.both ? onDevice({&a, &b}) : onDevice({&a});
        {
            const NoDeviceMemory full;
            LMX_EXPECT_RUNTIME_ERROR(form.apply(a, b), "Out of memory");
        }
        expectCachedWith(a, va);
        if (form.both) expectCachedWith(b, vb);
    }
    // A lock that the caller holds stays held.
    Lumerix a = imageOf(va), b = imageOf(vb);
    onDevice({&b});
    a.Lock();
    {
        const NoDeviceMemory full;
        LMX_EXPECT_RUNTIME_ERROR(a + b, "Out of memory");
    }
    EXPECT_EQ(a.page->lockCount, 1);
    a.Release();
    expectCachedWith(a, va);
    expectCachedWith(b, vb);
}

// The caller may catch "Out of memory" and go on: nothing of the failed attempt may reach the
// launch check of a later operation, one that needs no new device memory (a sum, whose partial
// buffer is cached) or one that does. Run in a child process, since that check ends it.
TEST(PixelOpsDeathTest, AnOperationAfterOutOfMemoryRunsNormally) {
    const auto goOn = [] {
        Lumerix a = imageOf({1.0f, 2.0f, 3.0f}), b = imageOf({4.0f, 5.0f, 6.0f});
        const bool warm = sum(a) == 6.0f;  // leaves the partial buffer in the chunk cache
        onDevice({&a, &b});
        try {
            const ScopedDeviceCapacity full(0);
            a + b;
        } catch (const std::runtime_error&) {
        }
        const bool summed = sum(b) == 15.0f;
        const bool added = pixels(a + b) == std::vector<float>{5.0f, 7.0f, 9.0f};
        std::exit(warm && summed && added ? 0 : 2);
    };
    EXPECT_EXIT(goOn(), ::testing::ExitedWithCode(0), "");
}
