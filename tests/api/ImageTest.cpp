// The paged memory handle and the image class built on it: locks and host access, handles over a
// caller's array, deep copy and assignment, and destruction of a locked image.

#include "TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

using namespace cmm;
using namespace lmxtest;

// Two handles over one page would free it twice.
static_assert(!std::is_copy_constructible_v<cmmPagedMemory>);
static_assert(!std::is_copy_assignable_v<cmmPagedMemory>);

// ---- the handle -------------------------------------------------------------------------------

TEST(Handle, NewImagesHoldNoDataAndDoNoDeviceWorkUntilUsed) {
    const RuntimeTotals runtime = RuntimeTotals::now();
    const Lumerix image(cmmDims(640, 480)), empty;
    EXPECT_TRUE(RuntimeTotals::now().since(runtime).quiet());
    for (const Lumerix* img : {&image, &empty}) {
        EXPECT_TRUE(inState(img->page, cmmStored()));
        EXPECT_TRUE(img->page->host == nullptr && img->GetDevicePtr() == nullptr);
        EXPECT_TRUE(img->page->ownsHost);
    }
    EXPECT_EQ(image.GetDimensions(), cmmDims(640, 480));
    EXPECT_EQ(empty.GetDimensions(), cmmDims());
    EXPECT_EQ(empty.GetDimensions().Size(), 0);
}

TEST(Handle, HostPointerComesWithoutTransferAndTheDeviceCopyWinsOnceLocked) {
    cmmPagedMemory handle(cmmDims(4, 4), nullptr, true);
    const RuntimeTotals runtime = RuntimeTotals::now();
    float* host = handle.GetHostPtr();
    ASSERT_NE(host, nullptr);
    EXPECT_TRUE(RuntimeTotals::now().since(runtime).quiet());
    EXPECT_EQ(handle.GetHostPtr(), host);
    std::copy_n(ramp(16, 0.5f).begin(), 16, host);
    float* device = handle.Lock();  // host writes reach the device
    EXPECT_EQ(deviceValues(device, 16), ramp(16, 0.5f));
    writeDevice(device, ramp(16, 10.0f));
    handle.Release();
    host[4] = -99.0f;  // behind the manager's back, while the device copy is the current one
    EXPECT_EQ(handle.GetHostPtr(), host);
    EXPECT_EQ(std::vector<float>(host, host + 16), ramp(16, 10.0f));
}

TEST(Handle, ACallersArrayReceivesTheResultsAndStaysTheCallers) {
    std::vector<float> caller = ramp(24, 1.0f);
    auto* mallocd = static_cast<float*>(std::malloc(8 * sizeof(float)));
    std::fill(mallocd, mallocd + 8, 2.0f);
    {
        cmmPagedMemory handle(cmmDims(6, 4), caller.data(), false);
        EXPECT_FALSE(handle.page->ownsHost);
        float* device = handle.Lock();
        EXPECT_EQ(deviceValues(device, 24), ramp(24, 1.0f));
        writeDevice(device, ramp(24, 100.0f));
        handle.Release();
        EXPECT_EQ(handle.GetHostPtr(), caller.data());
        EXPECT_EQ(caller, ramp(24, 100.0f));
        cmmPagedMemory cached(cmmDims(8), mallocd, false);
        cached.Lock();
        cached.Release();
    }  // the second is freed while cached: a zombie takes its device memory, not the array
    EXPECT_EQ(caller, ramp(24, 100.0f));
    caller.resize(1000);  // the vector still owns (and can reallocate) its buffer
    EXPECT_EQ(mallocd[7], 2.0f);
    std::free(mallocd);  // a double free here would abort
}

// ---- copies -------------------------------------------------------------------------------------

TEST(ImageCopy, CopyOfAnImageWithoutDataHasNoDataAndDoesNoDeviceWork) {
    Lumerix source(cmmDims(9, 4));
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();
    Lumerix copy(source);
    EXPECT_EQ(ManagerTotals::now().since(totals).locks, 0);
    EXPECT_TRUE(RuntimeTotals::now().since(runtime).quiet());
    EXPECT_EQ(RuntimeTotals::now().since(runtime).launches, 0);
    EXPECT_NE(copy.page, source.page);
    EXPECT_EQ(copy.GetDimensions(), cmmDims(9, 4));
    EXPECT_TRUE(inState(copy.page, cmmStored()) && inState(source.page, cmmStored()));
    EXPECT_TRUE(copy.page->host == nullptr && copy.GetDevicePtr() == nullptr);
}

TEST(ImageCopy, CopyOfAHostOnlyImageUploadsTheSourceOnceAndCopiesOnTheDevice) {
    Lumerix source = imageOf(cmmDims(7, 3), ramp(21, -3.0f));
    float* sourceHost = source.page->host;
    const RuntimeTotals runtime = RuntimeTotals::now();
    Lumerix copy(source);
    const RuntimeTotals moved = RuntimeTotals::now().since(runtime);
    if (kCpuBackend) {
        EXPECT_EQ(moved.hostToDeviceBytes, 21u * 4u);
        EXPECT_EQ(moved.hostToDevice + moved.deviceToDevice, 2);
        EXPECT_EQ(moved.deviceToHost, 0);
    }
    for (Lumerix* img : {&source, &copy}) {
        EXPECT_TRUE(inState(img->page, cmmCached()));
        EXPECT_EQ(img->page->lockCount, 0);
    }
    EXPECT_EQ(copy.page->host, nullptr);  // the copy's data is on the device only
    EXPECT_EQ(source.page->host, sourceHost);
    EXPECT_EQ(copy.GetDimensions(), cmmDims(7, 3));
    EXPECT_EQ(pixels(copy), ramp(21, -3.0f));
}

TEST(ImageCopy, CopyOfACachedImageIsARelockAndADeviceCopyOnly) {
    Lumerix source(cmmDims(5, 5));
    fillOnDevice(source, 40.0f);
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();
    Lumerix copy(source);
    const RuntimeTotals moved = RuntimeTotals::now().since(runtime);
    EXPECT_EQ(ManagerTotals::now().since(totals).relocks, 1);
    if (kCpuBackend) {
        EXPECT_EQ(moved.hostToDevice + moved.deviceToHost, 0);
        EXPECT_EQ(moved.deviceToDevice, 1);
    }
    EXPECT_NE(copy.GetDevicePtr(), source.GetDevicePtr());
    // Each keeps its own pixels from then on, through the device and back.
    copy.GetHostPtr()[0] = 100.0f;
    source.GetHostPtr()[24] = -100.0f;
    std::vector<float> expected = ramp(25, 40.0f);
    expected[0] = 100.0f;
    EXPECT_EQ(pixels(Lumerix(copy)), expected);
    expected = ramp(25, 40.0f);
    expected[24] = -100.0f;
    EXPECT_EQ(pixels(Lumerix(source)), expected);
}

// ---- assignment ---------------------------------------------------------------------------------

TEST(ImageAssignment, SelfAssignmentTouchesNothingAndOtherwiseTheTargetTakesExtentsAndPixels) {
    Lumerix image = imageOf(cmmDims(3, 3), ramp(9));
    cmmPage* page = image.page;
    Lumerix& alias = image;
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();
    EXPECT_EQ(&(image = alias), &image);
    EXPECT_EQ(image.page, page);
    EXPECT_EQ(ManagerTotals::now().since(totals).locks, 0);
    EXPECT_TRUE(RuntimeTotals::now().since(runtime).quiet());
    EXPECT_TRUE(inState(page, cmmStored()));
    EXPECT_EQ(pixels(image), ramp(9));
    Lumerix source = imageOf(cmmDims(5, 2), ramp(10, 50.0f));
    image = source;
    EXPECT_EQ(image.GetDimensions(), cmmDims(5, 2));
    EXPECT_NE(image.page, source.page);
    EXPECT_TRUE(inState(image.page, cmmCached()) && inState(source.page, cmmCached()));
    EXPECT_EQ(pixels(image), ramp(10, 50.0f));
    EXPECT_EQ(pixels(source), ramp(10, 50.0f));
}

TEST(ImageAssignment, ReassignmentOfEqualExtentsReusesTheTargetsDeviceBuffer) {
    putDownAllZombies();
    Lumerix target(cmmDims(12, 12)), source(cmmDims(12, 12));
    fillOnDevice(target, 0.0f);
    fillOnDevice(source, 1000.0f);
    cmmPage* oldPage = target.page;
    float* oldBuffer = target.GetDevicePtr();
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();
    target = source;
    EXPECT_EQ(ManagerTotals::now().since(totals).cacheHits, 1);
    EXPECT_EQ(ManagerTotals::now().since(totals).relocks, 1);  // the source's lock
    if (kCpuBackend) {
        EXPECT_EQ(RuntimeTotals::now().since(runtime).allocations, 0);
        EXPECT_EQ(RuntimeTotals::now().since(runtime).deviceToDevice, 1);
    }
    EXPECT_NE(target.page, oldPage);  // assignment always replaces the page
    EXPECT_EQ(target.GetDevicePtr(), oldBuffer);
    EXPECT_FALSE(holdsZombie(oldBuffer));
    EXPECT_EQ(pixels(target), ramp(144, 1000.0f));
}

TEST(ImageAssignment, ASourceWithoutDataLeavesTheTargetWithoutData) {
    Lumerix target(cmmDims(6, 6));
    fillOnDevice(target, 3.0f);
    float* oldBuffer = target.GetDevicePtr();
    Lumerix source(cmmDims(2, 8));
    const RuntimeTotals runtime = RuntimeTotals::now();
    target = source;
    EXPECT_EQ(target.GetDimensions(), cmmDims(2, 8));
    EXPECT_TRUE(inState(target.page, cmmStored()));
    EXPECT_TRUE(target.page->host == nullptr && target.GetDevicePtr() == nullptr);
    EXPECT_TRUE(RuntimeTotals::now().since(runtime).quiet());
    EXPECT_TRUE(holdsZombie(oldBuffer));  // waiting for a lock of its size
}

TEST(ImageAssignment, AssigningToALockedImageThrowsInvalidState) {
    Lumerix target(cmmDims(4, 4));
    Lumerix source = imageOf(cmmDims(4, 4), ramp(16));
    float* device = target.Lock();
    cmmPage* page = target.page;
    LMX_EXPECT_RUNTIME_ERROR(target = source, "Invalid state");
    EXPECT_EQ(target.page, page);
    EXPECT_TRUE(inState(page, cmmLocked()));
    EXPECT_EQ(page->lockCount, 1);
    EXPECT_EQ(target.GetDevicePtr(), device);
    EXPECT_TRUE(inState(source.page, cmmStored()));
    target.Release();
}

// ---- destruction --------------------------------------------------------------------------------

TEST(ImageDestruction, ALockedImageRefusesHostAccessAndDestructionExceptWhileUnwinding) {
    auto* image = new Lumerix(cmmDims(3, 5));
    cmmPage* page = image->page;
    image->Lock();
    image->Lock();
    image->Release();  // still locked once
    LMX_EXPECT_RUNTIME_ERROR(image->GetHostPtr(), "Invalid state");
    LMX_EXPECT_RUNTIME_ERROR(delete image, "Invalid state");
    // The image is gone but its page was left as it was.
    EXPECT_TRUE(inState(page, cmmLocked()));
    EXPECT_EQ(page->lockCount, 1);
    page->Release();
    page->Free();
    // While unwinding: one line on standard error, and the page still locked as it was.
    page = nullptr;
    ::testing::internal::CaptureStderr();
    try {
        Lumerix unwound(cmmDims(3, 5));
        page = unwound.page;
        unwound.Lock();
        throw std::runtime_error("x");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "x");
    }
    const std::string report = ::testing::internal::GetCapturedStderr();
    ASSERT_FALSE(report.empty());
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1) << report;
    EXPECT_EQ(report.back(), '\n');
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(inState(page, cmmLocked()));
    EXPECT_EQ(page->lockCount, 1);
    page->Release();
    page->Free();
}
