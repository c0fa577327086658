// Device memory reclamation: zombies reused by element count, zombies put down oldest first,
// cached pages spilled in the order of their release, and "Out of memory" once only locked
// pages hold device memory. The CPU backend's capacity makes the device fill up on demand.

#include "TestSupport.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

using cmm::cmmBlock;
using cmm::cmmCached;
using cmm::cmmDims;
using cmm::cmmLocked;
using cmm::cmmStored;
using cmm::cmmZombie;
using lmxtest::inState;
using lmxtest::ManagerTotals;
using lmxtest::RuntimeTotals;

namespace {

[[maybe_unused]] std::vector<float> ramp(int n, float from) {
    std::vector<float> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = from + static_cast<float>(i);
    return v;
}

// Gives an image without host data device contents, as an operation's result has, and leaves
// it cached.
[[maybe_unused]] void fillOnDevice(Lumerix& image, float first) {
    float* device = image.Lock();
    lmxtest::writeDevice(device, ramp(image.GetDimensions().Size(), first));
    image.Release();
}

// Leaves a zombie holding the device memory of an array of the given extents; returns its buffer.
float* makeZombie(const cmmDims& dims) {
    Lumerix image(dims);
    float* device = image.Lock();
    image.Release();
    return device;
}

bool holdsZombie(const float* buffer) {
    const std::vector<float*> zombies = lmxtest::zombieBuffers();
    return std::find(zombies.begin(), zombies.end(), buffer) != zombies.end();
}

// Every test starts with no zombie and no cached page: cached pages left by earlier tests are
// written back to their host arrays, so that the reclamation order is the test's own.
class Reclaim : public ::testing::Test {
protected:
    void SetUp() override {
        while (!cmmCached().list->empty()) cmmCached().list->front()->Flush();
        lmxtest::putDownAllZombies();
        cudaGetLastError();
    }
    void TearDown() override {
#if defined(LMX_BACKEND_CPU)
        lmx::cpu::clearFaults();
#endif
        cudaGetLastError();
    }
};

}  // namespace

TEST_F(Reclaim, ZombieOfEqualElementCountIsTakenOverWithoutAllocation) {
    float* freed = makeZombie(cmmDims(10, 20));
    ASSERT_TRUE(holdsZombie(freed));
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();

    Lumerix other(cmmDims(20, 10));  // another shape, the same element count
    EXPECT_EQ(other.Lock(), freed);

    EXPECT_EQ(ManagerTotals::now().since(totals).cacheHits, 1);
    EXPECT_EQ(ManagerTotals::now().since(totals).putDowns, 0);
    if (lmxtest::kCpuBackend) {
        EXPECT_EQ(RuntimeTotals::now().since(runtime).allocations, 0);
    }
    EXPECT_FALSE(holdsZombie(freed));
    EXPECT_TRUE(cmmZombie().list->empty());
    other.Release();
}

TEST_F(Reclaim, OldestZombieOfEqualCountIsTakenFirst) {
    // All three hold device memory at once, so that none takes over another's.
    auto older = std::make_unique<Lumerix>(cmmDims(300));
    auto other = std::make_unique<Lumerix>(cmmDims(301));
    auto newer = std::make_unique<Lumerix>(cmmDims(15, 20));
    float* olderBuffer = older->Lock();
    float* otherBuffer = other->Lock();
    float* newerBuffer = newer->Lock();
    older->Release();
    other->Release();
    newer->Release();
    older.reset();
    other.reset();
    newer.reset();

    Lumerix image(cmmDims(3, 100));
    EXPECT_EQ(image.Lock(), olderBuffer);
    image.Release();
    EXPECT_EQ(lmxtest::zombieBuffers(), (std::vector<float*>{otherBuffer, newerBuffer}));
}

TEST_F(Reclaim, ZombiesOfOtherCountsAreNotTakenOver) {
    float* smaller = makeZombie(cmmDims(255));
    float* larger = makeZombie(cmmDims(257));
    const ManagerTotals totals = ManagerTotals::now();

    Lumerix image(cmmDims(256));
    float* device = image.Lock();
    EXPECT_NE(device, smaller);
    EXPECT_NE(device, larger);
    EXPECT_EQ(ManagerTotals::now().since(totals).cacheHits, 0);
    EXPECT_EQ(lmxtest::zombieBuffers(), (std::vector<float*>{smaller, larger}));
    image.Release();
}

TEST_F(Reclaim, ZombiesArePutDownOldestFirstWhenTheDeviceIsFull) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    makeZombie(cmmDims(500));
    makeZombie(cmmDims(600));
    float* youngest = makeZombie(cmmDims(700));
    const lmxtest::ScopedDeviceCapacity full(0);
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();
    const std::size_t inUse = lmx::cpu::deviceBytesInUse();

    // 4000 bytes: the oldest zombie (2000) is not enough, the next one (2400) makes room.
    Lumerix image(cmmDims(1000));
    float* device = image.Lock();

    ASSERT_NE(device, nullptr);
    const ManagerTotals counted = ManagerTotals::now().since(totals);
    EXPECT_EQ(counted.putDowns, 2);
    EXPECT_EQ(counted.spills, 0);
    EXPECT_EQ(counted.cacheHits, 0);
    EXPECT_EQ(lmxtest::zombieBuffers(), (std::vector<float*>{youngest}));
    EXPECT_EQ(RuntimeTotals::now().since(runtime).frees, 2);
    EXPECT_EQ(RuntimeTotals::now().since(runtime).allocations, 1);
    EXPECT_EQ(lmx::cpu::deviceBytesInUse(), inUse - 2000 - 2400 + 4000);
    // The failed attempts leave nothing for the next launch check to find.
    EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
    image.Release();
#endif
}

TEST_F(Reclaim, CachedPagesAreSpilledInReleaseOrderOnceNoZombieIsLeft) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    Lumerix first(cmmDims(500));
    Lumerix second(cmmDims(20, 30));
    Lumerix third(cmmDims(700));
    first.Lock();
    second.Lock();
    third.Lock();
    lmxtest::writeDevice(second.GetDevicePtr(), ramp(600, 7.0f));
    // Released in another order than made: second has been cached longest.
    second.Release();
    first.Release();
    third.Release();
    makeZombie(cmmDims(400));
    const lmxtest::ScopedDeviceCapacity full(0);
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
    EXPECT_TRUE(inState(first.page, cmmCached()));
    EXPECT_TRUE(inState(third.page, cmmCached()));
    EXPECT_EQ(lmxtest::pagesOf(cmmCached()), (std::vector<cmm::cmmPage*>{first.page, third.page}));
    // The spilled result got a host array holding its device data; reading it moves nothing.
    ASSERT_NE(second.page->host, nullptr);
    const RuntimeTotals runtime = RuntimeTotals::now();
    EXPECT_EQ(lmxtest::pixels(second), ramp(600, 7.0f));
    EXPECT_TRUE(RuntimeTotals::now().since(runtime).quiet());
    image.Release();
#endif
}

TEST_F(Reclaim, RelockedPageIsSpilledAfterThoseCachedSince) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    Lumerix early(cmmDims(800));
    Lumerix late(cmmDims(801));
    fillOnDevice(early, 1.0f);
    fillOnDevice(late, 2.0f);
    early.Lock();  // a relock: early is cached again after late
    early.Release();
    const lmxtest::ScopedDeviceCapacity full(0);

    Lumerix image(cmmDims(801));  // late's memory, once spilled, fits exactly
    image.Lock();

    EXPECT_TRUE(inState(late.page, cmmStored()));
    EXPECT_TRUE(inState(early.page, cmmCached()));
    EXPECT_EQ(lmxtest::pixels(late), ramp(801, 2.0f));
    image.Release();
#endif
}

TEST_F(Reclaim, SpilledMemoryOfEqualCountIsTakenOverDirectly) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    Lumerix cached(cmmDims(20, 40));
    fillOnDevice(cached, 3.0f);
    float* buffer = cached.GetDevicePtr();
    const lmxtest::ScopedDeviceCapacity full(0);
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
    EXPECT_EQ(lmxtest::pixels(cached), ramp(800, 3.0f));
#endif
}

TEST_F(Reclaim, OutOfMemoryWhenOnlyLockedPagesRemain) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    Lumerix held(cmmDims(1000));
    held.Lock();
    Lumerix spilled(cmmDims(600));
    fillOnDevice(spilled, 5.0f);
    const std::vector<float> values = ramp(900, -50.0f);
    Lumerix wanted = lmxtest::imageOf(cmmDims(30, 30), values);
    float* host = wanted.page->host;
    const lmxtest::ScopedDeviceCapacity full(0);
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
    EXPECT_EQ(lmxtest::deviceValues(device, 900), values);
    wanted.Release();
    EXPECT_EQ(lmxtest::pixels(spilled), ramp(600, 5.0f));
#endif
}

TEST_F(Reclaim, FailedAllocationsReclaimEvenWithRoomLeft) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    // The manager does not ask why an allocation failed: any failure puts down a zombie.
    float* zombie = makeZombie(cmmDims(123));
    const ManagerTotals totals = ManagerTotals::now();
    lmx::cpu::injectFault(lmx::cpu::Fault::Allocation, 1, cudaErrorMemoryAllocation);

    Lumerix image(cmmDims(124));
    float* device = image.Lock();

    EXPECT_NE(device, nullptr);
    EXPECT_EQ(ManagerTotals::now().since(totals).putDowns, 1);
    EXPECT_FALSE(holdsZombie(zombie));
    EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
    image.Release();
#endif
}
