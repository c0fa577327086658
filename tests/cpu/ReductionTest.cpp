// Reductions and the histogram against the CPU backend's counters and capacity: only the
// partial results cross the bus, and the buffers survive a full device.

#include "ReductionSupport.h"
#include "TestSupport.h"
#include "cpu/StandIn.h"

#include "cmm/cmmReclaim.h"

using namespace cmm;
using namespace lmxtest;

TEST(Reduction, OnlyThe64PartialsComeBackAndTheirBufferIsReused) {
    Lumerix img = imageOf(randomValues(20000, 0.0f, 1.0f, 13));
    sum(img);  // the image is on the device and a partial buffer is in the chunk cache
    const RuntimeTotals before = RuntimeTotals::now();
    sum(img);
    fmin(img);
    fmax(img);
    const RuntimeTotals moved = RuntimeTotals::now().since(before);
    EXPECT_EQ(moved.allocations, 0) << "the partial buffer came from the cache";
    EXPECT_EQ(moved.frees, 0);
    EXPECT_EQ(moved.deviceToHost, 3);
    EXPECT_EQ(moved.deviceToHostBytes, 3 * 64 * sizeof(float));
    EXPECT_EQ(moved.hostToDevice, 0);
}

TEST(Reduction, OutOfMemoryForTheImageReleasesItAndKeepsThePartialBuffer) {
    const std::vector<float> v = randomValues(3000, 0.0f, 1.0f, 15);
    Lumerix img = imageOf(v);
    sum(img);             // a partial buffer is cached
    pixels(img);          // the image's device memory becomes a zombie...
    putDownAllZombies();  // ...which is released: the next lock has to allocate
    {
        const NoDeviceMemory full;
        LMX_EXPECT_RUNTIME_ERROR(sum(img), "Out of memory");
    }
    EXPECT_EQ(img.page->lockCount, 0);
    const long allocations = lmx::cpu::counters().allocations;
    EXPECT_FLOAT_EQ(sum(img), static_cast<float>(reference(v).sum));
    EXPECT_EQ(lmx::cpu::counters().allocations - allocations, 1) << "only the image's memory";
}

TEST(Histogram, OutOfMemoryForTheImageGivesBothBuffersBack) {
    const std::vector<float> v = mixedPixels(4096, 8);
    Lumerix img = imageOf(v);
    // Nothing idle from earlier tests that the failed lock could give back, then both scratch
    // buffers (partial histograms, 8-bit copy) in the chunk cache.
    lmx::releaseDeviceCaches();
    const Counts want = histogramOf(img);
    pixels(img);  // the image's device memory becomes a zombie
    putDownAllZombies();
    const std::size_t inUse = lmx::cpu::deviceBytesInUse();
    {
        // Both buffers come from the cache, and while the call holds them they are not idle
        // memory the page could reclaim: no room for the image's 16 KiB.
        const ScopedDeviceCapacity capacity(1024);
        Counts c;
        LMX_EXPECT_RUNTIME_ERROR(histogram256(img, c.data()), "Out of memory");
    }
    EXPECT_EQ(img.page->lockCount, 0);
    EXPECT_EQ(lmx::cpu::deviceBytesInUse(), inUse) << "a scratch buffer leaked";
    const long allocations = lmx::cpu::counters().allocations;
    EXPECT_EQ(histogramOf(img), want);
    // Only the image: both scratch buffers went back to the cache.
    EXPECT_EQ(lmx::cpu::counters().allocations - allocations, 1);
}
