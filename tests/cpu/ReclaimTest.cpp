// Device memory reclamation on a device that the CPU backend's capacity fills on demand:
// zombies put down oldest first, cached pages spilled in the order of their release, and "Out
// of memory" once only locked pages hold device memory.

#include "TestSupport.h"
#include "cpu/StandIn.h"

#include "cmm/cmmReclaim.h"

#include <memory>
#include <stdexcept>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

// Leaves a zombie holding the device memory of an array of the given extents; returns its buffer.
float* makeZombie(const cmmDims& dims) {
    Lumerix image(dims);
    float* device = image.Lock();
    image.Release();
    return device;
}

// Every test starts with no zombie, no cached page and no idle cache (scratch chunks, FFT plans,
// label tables that tests before it left), so that the reclamation order is its own.
class ReclaimOnAFullDevice : public ::testing::Test {
protected:
    void SetUp() override {
        startClean();
        lmx::releaseDeviceCaches();
    }
    void TearDown() override {
        lmx::cpu::clearFaults();
        cudaGetLastError();
    }
};

}  // namespace

TEST_F(ReclaimOnAFullDevice, ZombiesArePutDownOldestFirstWhenTheDeviceIsFull) {
    makeZombie(cmmDims(500));
    makeZombie(cmmDims(600));
    float* youngest = makeZombie(cmmDims(700));
    const ScopedDeviceCapacity full(0);
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();
    const std::size_t inUse = lmx::cpu::deviceBytesInUse();
    // 4000 bytes: the oldest zombie (2000) is not enough, the next one (2400) makes room.
    Lumerix image(cmmDims(1000));
    ASSERT_NE(image.Lock(), nullptr);
    const ManagerTotals counted = ManagerTotals::now().since(totals);
    EXPECT_EQ(counted.putDowns, 2);
    EXPECT_EQ(counted.spills, 0);
    EXPECT_EQ(counted.cacheHits, 0);
    EXPECT_EQ(zombieBuffers(), (std::vector<float*>{youngest}));
    EXPECT_EQ(RuntimeTotals::now().since(runtime).frees, 2);
    EXPECT_EQ(RuntimeTotals::now().since(runtime).allocations, 1);
    EXPECT_EQ(lmx::cpu::deviceBytesInUse(), inUse - 2000 - 2400 + 4000);
    // The failed attempts leave nothing for the next launch check to find.
    EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
    image.Release();
}

TEST_F(ReclaimOnAFullDevice, CachedPagesAreSpilledInReleaseOrderOnceNoZombieIsLeft) {
    Lumerix first(cmmDims(500)), second(cmmDims(20, 30)), third(cmmDims(700));
    first.Lock();
    second.Lock();
    third.Lock();
    writeDevice(second.GetDevicePtr(), ramp(600, 7.0f));
    // Released in another order than made: second has been cached longest.
    second.Release();
    first.Release();
    third.Release();
    makeZombie(cmmDims(400));
    const ScopedDeviceCapacity full(0);
    const ManagerTotals totals = ManagerTotals::now();
    // 4000 bytes: the zombie (1600) and then the spilled second page (2400) make room.
    Lumerix image(cmmDims(1000));
    image.Lock();
    const ManagerTotals counted = ManagerTotals::now().since(totals);
    EXPECT_EQ(counted.spills, 1);
    EXPECT_EQ(counted.putDowns, 2);
    EXPECT_TRUE(cmmZombie().list->empty());
    EXPECT_TRUE(inState(second.page, cmmStored()));
    EXPECT_EQ(second.GetDevicePtr(), nullptr);
    EXPECT_EQ(second.GetBlock(), cmmBlock());
    EXPECT_EQ(pagesOf(cmmCached()), (std::vector<cmmPage*>{first.page, third.page}));
    // The spilled result got a host array holding its device data; reading it moves nothing.
    ASSERT_NE(second.page->host, nullptr);
    const RuntimeTotals runtime = RuntimeTotals::now();
    EXPECT_EQ(pixels(second), ramp(600, 7.0f));
    EXPECT_TRUE(RuntimeTotals::now().since(runtime).quiet());
    image.Release();
}

TEST_F(ReclaimOnAFullDevice, ARelockedPageIsSpilledAfterThoseCachedSince) {
    Lumerix early(cmmDims(800)), late(cmmDims(801));
    fillOnDevice(early, 1.0f);
    fillOnDevice(late, 2.0f);
    early.Lock();  // a relock: early is cached again after late
    early.Release();
    const ScopedDeviceCapacity full(0);
    Lumerix image(cmmDims(801));  // late's memory, once spilled, fits exactly
    image.Lock();
    EXPECT_TRUE(inState(late.page, cmmStored()));
    EXPECT_TRUE(inState(early.page, cmmCached()));
    EXPECT_EQ(pixels(late), ramp(801, 2.0f));
    image.Release();
}

TEST_F(ReclaimOnAFullDevice, SpilledMemoryOfTheSameElementCountIsTakenOverDirectly) {
    Lumerix cached(cmmDims(20, 40));
    fillOnDevice(cached, 3.0f);
    float* buffer = cached.GetDevicePtr();
    const ScopedDeviceCapacity full(0);
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();
    Lumerix image(cmmDims(40, 20));
    EXPECT_EQ(image.Lock(), buffer);
    const ManagerTotals counted = ManagerTotals::now().since(totals);
    EXPECT_EQ(counted.spills, 1);
    EXPECT_EQ(counted.putDowns, 0);
    EXPECT_EQ(counted.cacheHits, 0);  // taking over the spilled memory is no cache hit
    EXPECT_EQ(RuntimeTotals::now().since(runtime).allocations, 0);
    EXPECT_EQ(RuntimeTotals::now().since(runtime).frees, 0);
    EXPECT_TRUE(cmmZombie().list->empty());
    EXPECT_TRUE(inState(cached.page, cmmStored()));
    image.Release();
    EXPECT_EQ(pixels(cached), ramp(800, 3.0f));
}

TEST_F(ReclaimOnAFullDevice, OutOfMemoryWhenOnlyLockedPagesRemainLeavesThePageStored) {
    Lumerix held(cmmDims(1000));
    held.Lock();
    Lumerix spilled(cmmDims(600));
    fillOnDevice(spilled, 5.0f);
    const std::vector<float> values = ramp(900, -50.0f);
    Lumerix wanted = imageOf(cmmDims(30, 30), values);
    float* host = wanted.page->host;
    const ScopedDeviceCapacity full(0);
    const ManagerTotals totals = ManagerTotals::now();
    LMX_EXPECT_RUNTIME_ERROR(wanted.Lock(), "Out of memory");
    // The page is as it was; the reclamation done before the failure stays done.
    EXPECT_TRUE(inState(wanted.page, cmmStored()));
    EXPECT_EQ(wanted.page->lockCount, 0);
    EXPECT_EQ(wanted.GetDevicePtr(), nullptr);
    EXPECT_EQ(wanted.GetBlock(), cmmBlock());
    EXPECT_EQ(wanted.page->host, host);
    const ManagerTotals counted = ManagerTotals::now().since(totals);
    EXPECT_EQ(counted.locks, 1);
    EXPECT_EQ(counted.spills, 1);
    EXPECT_EQ(counted.putDowns, 1);
    EXPECT_TRUE(inState(spilled.page, cmmStored()));
    EXPECT_TRUE(inState(held.page, cmmLocked()));
    EXPECT_EQ(held.page->lockCount, 1);
    EXPECT_TRUE(cmmZombie().list->empty());
    // The failure is reported by the exception; the next launch check must not find it.
    EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
    // Once the held page is released it can be spilled, and the lock succeeds.
    held.Release();
    float* device = wanted.Lock();
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(inState(held.page, cmmStored()));
    EXPECT_EQ(deviceValues(device, 900), values);
    wanted.Release();
    EXPECT_EQ(pixels(spilled), ramp(600, 5.0f));
}

TEST_F(ReclaimOnAFullDevice, AnyFailedAllocationPutsDownAZombieEvenWithRoomLeft) {
    float* zombie = makeZombie(cmmDims(123));
    const ManagerTotals totals = ManagerTotals::now();
    lmx::cpu::injectFault(lmx::cpu::Fault::Allocation, 1, cudaErrorMemoryAllocation);
    Lumerix image(cmmDims(124));
    EXPECT_NE(image.Lock(), nullptr);
    EXPECT_EQ(ManagerTotals::now().since(totals).putDowns, 1);
    EXPECT_FALSE(holdsZombie(zombie));
    EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
    image.Release();
}

// Lock() of the whole image takes short cuts for a new, a cached and a locked page; each must
// end where locking the whole-array block ends, with the same counts.
TEST_F(ReclaimOnAFullDevice, AWholeImageLockEndsWhereTheWholeArrayBlockLockEnds) {
    enum class Start { Stored, Cached, Locked };
    const Start starts[] = {Start::Stored, Start::Cached, Start::Locked};
    const std::vector<float> values = ramp(17 * 5, 2.0f);
    for (Start start : starts) {
        SCOPED_TRACE(static_cast<int>(start));
        struct Outcome {
            ManagerTotals counted;
            int lockCount;
            cmmBlock block;
            std::vector<float> device;
            bool locked;
        };
        const auto lockOnce = [&](bool whole) {
            while (lmx::putDownOldestZombie()) {
            }  // both ways allocate their device memory
            Lumerix image = imageOf(cmmDims(17, 5), values);
            if (start != Start::Stored) image.Lock();
            if (start == Start::Cached) image.Release();
            const ManagerTotals before = ManagerTotals::now();
            float* device = whole ? image.Lock() : image.Lock(cmmBlock(image.GetDimensions()));
            Outcome o{ManagerTotals::now().since(before), image.page->lockCount, image.GetBlock(),
                      deviceValues(device, 17 * 5), inState(image.page, cmmLocked())};
            while (image.page->lockCount > 0) image.Release();
            return o;
        };
        const Outcome whole = lockOnce(true), block = lockOnce(false);
        EXPECT_EQ(whole.counted.locks, block.counted.locks);
        EXPECT_EQ(whole.counted.relocks, block.counted.relocks);
        EXPECT_EQ(whole.counted.cacheHits, block.counted.cacheHits);
        EXPECT_EQ(whole.lockCount, block.lockCount);
        EXPECT_EQ(whole.block, block.block);
        EXPECT_EQ(whole.block, cmmBlock(cmmDims(17, 5)));
        EXPECT_EQ(whole.device, values);
        EXPECT_TRUE(whole.locked);
    }
}

// Pages and their list entries are reused as images come and go; every live page stays in its
// state's list under its own entry.
TEST_F(ReclaimOnAFullDevice, PagesMadeAfterManyFreedOnesSitInTheirOwnListEntries) {
    std::vector<std::unique_ptr<Lumerix>> kept;
    for (int round = 0; round < 200; ++round) {
        Lumerix passing(cmmDims(round % 7 + 1));
        if (round % 3 == 0) fillOnDevice(passing, static_cast<float>(round));
        if (round % 10 == 0) kept.push_back(std::make_unique<Lumerix>(cmmDims(round + 1)));
    }
    for (const auto& image : kept) EXPECT_TRUE(inState(image->page, cmmStored()));
    for (cmmPage* zombie : *cmmZombie().list) EXPECT_TRUE(inState(zombie, cmmZombie()));
}
