// The image class: construction, deep copy and assignment, and destruction of a locked image.

#include "TestSupport.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

using cmm::cmmBlock;
using cmm::cmmCached;
using cmm::cmmDims;
using cmm::cmmLocked;
using cmm::cmmPage;
using cmm::cmmStored;
using cmm::cmmZombie;
using lmxtest::inState;
using lmxtest::ManagerTotals;
using lmxtest::RuntimeTotals;

namespace {

std::vector<float> ramp(int n, float from) {
    std::vector<float> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = from + static_cast<float>(i);
    return v;
}

// Gives an image device data only, as an operation's result has, and leaves it cached.
void fillOnDevice(Lumerix& image, float first) {
    float* device = image.Lock();
    lmxtest::writeDevice(device, ramp(image.GetDimensions().Size(), first));
    image.Release();
}

bool holdsZombie(const float* buffer) {
    const std::vector<float*> zombies = lmxtest::zombieBuffers();
    return std::find(zombies.begin(), zombies.end(), buffer) != zombies.end();
}

}  // namespace

TEST(Image, DefaultImageHasUnitExtentsAndNoElements) {
    const Lumerix image;
    EXPECT_EQ(image.GetDimensions(), cmmDims());
    EXPECT_EQ(image.GetDimensions().Size(), 0);
    EXPECT_TRUE(inState(image.page, cmmStored()));
    EXPECT_EQ(image.page->host, nullptr);
    EXPECT_TRUE(image.page->ownsHost);
}

TEST(Image, ImageOfExtentsAllocatesNothingUntilUsed) {
    const RuntimeTotals runtime = RuntimeTotals::now();
    const Lumerix image(cmmDims(640, 480));
    EXPECT_TRUE(RuntimeTotals::now().since(runtime).quiet());
    EXPECT_EQ(image.GetDimensions(), cmmDims(640, 480));
    EXPECT_TRUE(inState(image.page, cmmStored()));
    EXPECT_EQ(image.page->host, nullptr);
    EXPECT_EQ(image.GetDevicePtr(), nullptr);
    EXPECT_TRUE(image.page->ownsHost);
}

TEST(ImageCopy, CopyOfImageWithoutDataHasNoDataAndDoesNoDeviceWork) {
    Lumerix source(cmmDims(9, 4));
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();

    Lumerix copy(source);

    EXPECT_EQ(ManagerTotals::now().since(totals).locks, 0);
    EXPECT_TRUE(RuntimeTotals::now().since(runtime).quiet());
    if (lmxtest::kCpuBackend) {
        EXPECT_EQ(RuntimeTotals::now().since(runtime).launches, 0);
    }
    EXPECT_NE(copy.page, source.page);
    EXPECT_EQ(copy.GetDimensions(), cmmDims(9, 4));
    EXPECT_TRUE(inState(copy.page, cmmStored()));
    EXPECT_EQ(copy.page->host, nullptr);
    EXPECT_EQ(copy.GetDevicePtr(), nullptr);
    EXPECT_TRUE(inState(source.page, cmmStored()));
}

TEST(ImageCopy, CopyOfHostOnlyImageUploadsTheSourceOnce) {
    const std::vector<float> values = ramp(21, -3.0f);
    Lumerix source = lmxtest::imageOf(cmmDims(7, 3), values);
    float* sourceHost = source.page->host;
    const RuntimeTotals runtime = RuntimeTotals::now();

    Lumerix copy(source);

    const RuntimeTotals moved = RuntimeTotals::now().since(runtime);
    if (lmxtest::kCpuBackend) {
        EXPECT_EQ(moved.hostToDevice, 1);
        EXPECT_EQ(moved.hostToDeviceBytes, 21u * 4u);
        EXPECT_EQ(moved.deviceToDevice, 1);
        EXPECT_EQ(moved.deviceToHost, 0);
    }
    EXPECT_TRUE(inState(source.page, cmmCached()));
    EXPECT_TRUE(inState(copy.page, cmmCached()));
    EXPECT_EQ(source.page->lockCount, 0);
    EXPECT_EQ(copy.page->lockCount, 0);
    EXPECT_EQ(copy.page->host, nullptr);  // the copy's data is on the device only
    EXPECT_EQ(source.page->host, sourceHost);
    EXPECT_EQ(copy.GetDimensions(), cmmDims(7, 3));
    EXPECT_EQ(lmxtest::pixels(copy), values);
}

TEST(ImageCopy, CopyOfCachedImageCopiesOnTheDeviceOnly) {
    Lumerix source(cmmDims(5, 5));
    fillOnDevice(source, 40.0f);
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();

    Lumerix copy(source);

    const RuntimeTotals moved = RuntimeTotals::now().since(runtime);
    EXPECT_EQ(ManagerTotals::now().since(totals).relocks, 1);
    if (lmxtest::kCpuBackend) {
        EXPECT_EQ(moved.hostToDevice, 0);
        EXPECT_EQ(moved.deviceToHost, 0);
        EXPECT_EQ(moved.deviceToDevice, 1);
    }
    EXPECT_NE(copy.GetDevicePtr(), source.GetDevicePtr());
    EXPECT_EQ(lmxtest::pixels(copy), ramp(25, 40.0f));
    EXPECT_EQ(lmxtest::pixels(source), ramp(25, 40.0f));
}

TEST(ImageCopy, CopiesAreIndependentArrays) {
    Lumerix source = lmxtest::imageOf(cmmDims(4, 2), ramp(8, 1.0f));
    Lumerix copy(source);
    copy.GetHostPtr()[0] = 100.0f;
    source.GetHostPtr()[7] = -100.0f;
    std::vector<float> expectedCopy = ramp(8, 1.0f);
    expectedCopy[0] = 100.0f;
    std::vector<float> expectedSource = ramp(8, 1.0f);
    expectedSource[7] = -100.0f;
    // Through the device and back, each keeps its own pixels.
    Lumerix copyOfCopy(copy);
    Lumerix copyOfSource(source);
    EXPECT_EQ(lmxtest::pixels(copyOfCopy), expectedCopy);
    EXPECT_EQ(lmxtest::pixels(copyOfSource), expectedSource);
}

TEST(ImageAssignment, SelfAssignmentTouchesNothing) {
    Lumerix image = lmxtest::imageOf(cmmDims(3, 3), ramp(9, 0.0f));
    cmmPage* page = image.page;
    Lumerix& alias = image;
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();

    Lumerix& result = (image = alias);

    EXPECT_EQ(&result, &image);
    EXPECT_EQ(image.page, page);
    EXPECT_EQ(ManagerTotals::now().since(totals).locks, 0);
    EXPECT_TRUE(RuntimeTotals::now().since(runtime).quiet());
    EXPECT_TRUE(inState(page, cmmStored()));
    EXPECT_EQ(lmxtest::pixels(image), ramp(9, 0.0f));
}

TEST(ImageAssignment, TargetTakesTheSourceExtentsAndPixels) {
    Lumerix target = lmxtest::imageOf(cmmDims(3, 3), ramp(9, 0.0f));
    Lumerix source = lmxtest::imageOf(cmmDims(5, 2), ramp(10, 50.0f));

    target = source;

    EXPECT_EQ(target.GetDimensions(), cmmDims(5, 2));
    EXPECT_NE(target.page, source.page);
    EXPECT_TRUE(inState(target.page, cmmCached()));
    EXPECT_TRUE(inState(source.page, cmmCached()));
    EXPECT_EQ(lmxtest::pixels(target), ramp(10, 50.0f));
    EXPECT_EQ(lmxtest::pixels(source), ramp(10, 50.0f));
}

TEST(ImageAssignment, ReassignmentOfEqualExtentsReusesTheTargetsDeviceBuffer) {
    lmxtest::putDownAllZombies();
    Lumerix target(cmmDims(12, 12));
    Lumerix source(cmmDims(12, 12));
    fillOnDevice(target, 0.0f);
    fillOnDevice(source, 1000.0f);
    cmmPage* oldPage = target.page;
    float* oldBuffer = target.GetDevicePtr();
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();

    target = source;

    const ManagerTotals counted = ManagerTotals::now().since(totals);
    EXPECT_EQ(counted.cacheHits, 1);
    EXPECT_EQ(counted.relocks, 1);  // the source's lock
    if (lmxtest::kCpuBackend) {
        EXPECT_EQ(RuntimeTotals::now().since(runtime).allocations, 0);
        EXPECT_EQ(RuntimeTotals::now().since(runtime).deviceToDevice, 1);
    }
    EXPECT_NE(target.page, oldPage);  // assignment always replaces the page
    EXPECT_EQ(target.GetDevicePtr(), oldBuffer);
    EXPECT_FALSE(holdsZombie(oldBuffer));
    EXPECT_EQ(lmxtest::pixels(target), ramp(144, 1000.0f));
}

TEST(ImageAssignment, SourceWithoutDataLeavesTheTargetWithoutData) {
    Lumerix target(cmmDims(6, 6));
    fillOnDevice(target, 3.0f);
    float* oldBuffer = target.GetDevicePtr();
    Lumerix source(cmmDims(2, 8));
    const RuntimeTotals runtime = RuntimeTotals::now();

    target = source;

    EXPECT_EQ(target.GetDimensions(), cmmDims(2, 8));
    EXPECT_TRUE(inState(target.page, cmmStored()));
    EXPECT_EQ(target.page->host, nullptr);
    EXPECT_EQ(target.GetDevicePtr(), nullptr);
    EXPECT_TRUE(RuntimeTotals::now().since(runtime).quiet());
    // The old device memory waits as a zombie for a lock of its size.
    EXPECT_TRUE(holdsZombie(oldBuffer));
}

TEST(ImageAssignment, AssigningToALockedImageThrowsInvalidState) {
    Lumerix target(cmmDims(4, 4));
    Lumerix source = lmxtest::imageOf(cmmDims(4, 4), ramp(16, 0.0f));
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

TEST(ImageDestruction, DestroyingAnUnlockedImageLeavesItsDeviceDataAsAZombie) {
    float* device = nullptr;
    {
        Lumerix image(cmmDims(7, 7));
        fillOnDevice(image, 0.0f);
        device = image.GetDevicePtr();
    }
    EXPECT_TRUE(holdsZombie(device));
}

TEST(ImageDestruction, DestroyingALockedImageThrowsInvalidState) {
    auto* image = new Lumerix(cmmDims(3, 5));
    cmmPage* page = image->page;
    image->Lock();

    LMX_EXPECT_RUNTIME_ERROR(delete image, "Invalid state");

    EXPECT_TRUE(inState(page, cmmLocked()));
    EXPECT_EQ(page->lockCount, 1);
    page->Release();
    page->Free();
}

TEST(ImageDestruction, DestroyingALockedImageWhileUnwindingLeavesThePageAlone) {
    cmmPage* page = nullptr;
    ::testing::internal::CaptureStderr();
    try {
        Lumerix image(cmmDims(3, 5));
        page = image.page;
        image.Lock();
        throw std::runtime_error("x");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "x");
    }
    const std::string report = ::testing::internal::GetCapturedStderr();

    // One line on standard error, and the page still locked as it was.
    ASSERT_FALSE(report.empty());
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1) << report;
    EXPECT_EQ(report.back(), '\n');
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(inState(page, cmmLocked()));
    EXPECT_EQ(page->lockCount, 1);
    page->Release();
    page->Free();
}

TEST(ImageCopy, OutOfMemoryDuringACopyLeavesNoImageLocked) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    while (!cmmCached().list->empty()) cmmCached().list->front()->Flush();
    lmxtest::putDownAllZombies();
    Lumerix source(cmmDims(50, 10));
    fillOnDevice(source, 2.0f);
    const std::size_t stored = cmmStored().list->size();
    {
        const lmxtest::ScopedDeviceCapacity full(0);
        LMX_EXPECT_RUNTIME_ERROR(Lumerix copy(source), "Out of memory");
    }
    cudaGetLastError();
    EXPECT_TRUE(inState(source.page, cmmCached()));
    EXPECT_EQ(source.page->lockCount, 0);
    EXPECT_EQ(cmmStored().list->size(), stored);  // the copy's page went with it
    EXPECT_EQ(lmxtest::pixels(source), ramp(500, 2.0f));
#endif
}

TEST(ImageAssignment, OutOfMemoryDuringAnAssignmentLeavesNoImageLocked) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    while (!cmmCached().list->empty()) cmmCached().list->front()->Flush();
    lmxtest::putDownAllZombies();
    Lumerix source(cmmDims(50, 10));
    fillOnDevice(source, 2.0f);
    Lumerix target(cmmDims(10, 10));
    fillOnDevice(target, 0.0f);
    // The source is locked for the copy, so it cannot be spilled, and the target's old memory
    // is too small even once put down.
    {
        const lmxtest::ScopedDeviceCapacity full(0);
        LMX_EXPECT_RUNTIME_ERROR(target = source, "Out of memory");
    }
    cudaGetLastError();
    EXPECT_TRUE(inState(source.page, cmmCached()));
    EXPECT_EQ(source.page->lockCount, 0);
    EXPECT_FALSE(inState(target.page, cmmLocked()));
    EXPECT_EQ(target.page->lockCount, 0);
    EXPECT_EQ(lmxtest::pixels(source), ramp(500, 2.0f));
#endif
}
