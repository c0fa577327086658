// The paged memory handle: construction, whole-array and block locks, host access, handles over
// a caller's array, and what a locked handle refuses.

#include "TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <type_traits>
#include <vector>

using cmm::cmmBlock;
using cmm::cmmCached;
using cmm::cmmDims;
using cmm::cmmLocked;
using cmm::cmmPagedMemory;
using cmm::cmmStored;
using cmm::cmmZombie;
using lmxtest::inState;
using lmxtest::RuntimeTotals;

// Two handles over one page would free it twice.
static_assert(!std::is_copy_constructible_v<cmmPagedMemory>);
static_assert(!std::is_copy_assignable_v<cmmPagedMemory>);

namespace {

std::vector<float> ramp(int n, float from) {
    std::vector<float> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = from + static_cast<float>(i);
    return v;
}

}  // namespace

TEST(Handle, NewHandleIsStoredWithoutData) {
    const cmmPagedMemory handle(cmmDims(6, 5), nullptr, true);
    EXPECT_TRUE(inState(handle.page, cmmStored()));
    EXPECT_EQ(handle.GetDimensions(), cmmDims(6, 5));
    EXPECT_EQ(handle.GetDimensions().Size(), 30);
    EXPECT_EQ(handle.GetBlock(), cmmBlock());
    EXPECT_EQ(handle.GetDevicePtr(), nullptr);
    EXPECT_EQ(handle.page->host, nullptr);
    EXPECT_TRUE(handle.page->ownsHost);
}

TEST(Handle, LockReturnsTheDevicePointerOfTheWholeArray) {
    cmmPagedMemory handle(cmmDims(6, 5), nullptr, true);
    float* device = handle.Lock();
    EXPECT_NE(device, nullptr);
    EXPECT_EQ(handle.GetDevicePtr(), device);
    EXPECT_EQ(handle.GetBlock(), cmmBlock(0, 6, 0, 5));
    EXPECT_TRUE(inState(handle.page, cmmLocked()));
    handle.Release();
    EXPECT_TRUE(inState(handle.page, cmmCached()));
    // Released, the page still holds its device copy.
    EXPECT_EQ(handle.GetDevicePtr(), device);
}

TEST(Handle, BlockLockIsReportedUntilTheHostTakesTheDataBack) {
    cmmPagedMemory handle(cmmDims(10, 6), nullptr, true);
    EXPECT_NE(handle.Lock(cmmBlock(0, 8, 0, 4)), nullptr);
    EXPECT_EQ(handle.GetBlock(), cmmBlock(0, 8, 0, 4));
    handle.Release();
    EXPECT_EQ(handle.GetBlock(), cmmBlock(0, 8, 0, 4));
    handle.Flush();
    EXPECT_EQ(handle.GetBlock(), cmmBlock());
    EXPECT_EQ(handle.GetDevicePtr(), nullptr);
}

TEST(Handle, HostPointerOfNewHandleIsAllocatedWithoutTransfer) {
    cmmPagedMemory handle(cmmDims(33, 3), nullptr, true);
    const RuntimeTotals runtime = RuntimeTotals::now();
    float* host = handle.GetHostPtr();
    ASSERT_NE(host, nullptr);
    EXPECT_TRUE(RuntimeTotals::now().since(runtime).quiet());
    EXPECT_EQ(handle.GetHostPtr(), host);
    EXPECT_TRUE(inState(handle.page, cmmStored()));
    host[98] = 1.0f;  // the array holds all 99 elements
}

TEST(Handle, HostWritesReachTheDeviceOnTheNextLock) {
    cmmPagedMemory handle(cmmDims(4, 4), nullptr, true);
    float* host = handle.GetHostPtr();
    const std::vector<float> values = ramp(16, 0.5f);
    std::copy(values.begin(), values.end(), host);
    const float* device = handle.Lock();
    EXPECT_EQ(lmxtest::deviceValues(device, 16), values);
    handle.Release();
}

TEST(Handle, AfterALockTheDeviceCopyOverwritesHostWrites) {
    cmmPagedMemory handle(cmmDims(3, 3), nullptr, true);
    float* host = handle.GetHostPtr();
    std::fill(host, host + 9, 1.0f);
    float* device = handle.Lock();
    lmxtest::writeDevice(device, ramp(9, 10.0f));
    handle.Release();
    host[4] = -99.0f;  // written behind the manager's back while the device copy is current
    float* again = handle.GetHostPtr();
    EXPECT_EQ(again, host);
    EXPECT_EQ(std::vector<float>(again, again + 9), ramp(9, 10.0f));
}

TEST(Handle, HandleOverACallersArrayWritesResultsIntoIt) {
    std::vector<float> caller = ramp(24, 1.0f);
    {
        cmmPagedMemory handle(cmmDims(6, 4), caller.data(), false);
        EXPECT_FALSE(handle.page->ownsHost);
        float* device = handle.Lock();
        EXPECT_EQ(lmxtest::deviceValues(device, 24), ramp(24, 1.0f));
        lmxtest::writeDevice(device, ramp(24, 100.0f));
        handle.Release();

        EXPECT_EQ(handle.GetHostPtr(), caller.data());
        EXPECT_EQ(caller, ramp(24, 100.0f));
    }
    // Destroying the handle left the array allocated and as it was.
    EXPECT_EQ(caller, ramp(24, 100.0f));
    caller.resize(1000);  // the vector still owns (and can reallocate) its buffer
}

TEST(Handle, HandleOverACallersArrayKeepsItThroughACachedFree) {
    auto* caller = static_cast<float*>(std::malloc(8 * sizeof(float)));
    std::fill(caller, caller + 8, 2.0f);
    {
        cmmPagedMemory handle(cmmDims(8), caller, false);
        handle.Lock();
        handle.Release();
    }  // freed while cached: a zombie takes the device memory, the array stays the caller's
    EXPECT_EQ(caller[7], 2.0f);
    std::free(caller);  // a double free here would abort
}

TEST(Handle, DoubleLockAndSingleReleaseKeepsTheArrayLocked) {
    auto* handle = new cmmPagedMemory(cmmDims(5, 5), nullptr, true);
    cmm::cmmPage* page = handle->page;
    handle->Lock();
    handle->Lock();
    handle->Release();
    EXPECT_TRUE(inState(page, cmmLocked()));
    EXPECT_EQ(page->lockCount, 1);

    LMX_EXPECT_RUNTIME_ERROR(handle->GetHostPtr(), "Invalid state");
    LMX_EXPECT_RUNTIME_ERROR(handle->Flush(), "Invalid state");
    LMX_EXPECT_RUNTIME_ERROR(delete handle, "Invalid state");
    // The handle is gone but its page was left as it was.
    EXPECT_TRUE(inState(page, cmmLocked()));
    EXPECT_EQ(page->lockCount, 1);

    page->Release();
    page->Free();
    EXPECT_TRUE(inState(page, cmmZombie()));
}

TEST(Handle, LockWithAnotherBlockWhileLockedThrowsAndKeepsTheLock) {
    cmmPagedMemory handle(cmmDims(8, 8), nullptr, true);
    float* device = handle.Lock(cmmBlock(0, 4, 0, 4));
    LMX_EXPECT_RUNTIME_ERROR(handle.Lock(), "Invalid state");
    EXPECT_EQ(handle.GetBlock(), cmmBlock(0, 4, 0, 4));
    EXPECT_EQ(handle.GetDevicePtr(), device);
    EXPECT_EQ(handle.page->lockCount, 1);
    handle.Release();
}

TEST(Handle, ReleaseOfAnUnlockedHandleThrows) {
    cmmPagedMemory handle(cmmDims(2, 2), nullptr, true);
    LMX_EXPECT_RUNTIME_ERROR(handle.Release(), "Invalid state");
    handle.Lock();
    handle.Release();
    LMX_EXPECT_RUNTIME_ERROR(handle.Release(), "Invalid state");
    EXPECT_TRUE(inState(handle.page, cmmCached()));
}
