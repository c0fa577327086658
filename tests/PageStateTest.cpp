// The page state machine: every transition with its effect on lists, lock counts and transfers,
// every operation a state refuses, and partial blocks moved as two-dimensional regions.

#include "TestSupport.h"

#include <cstdlib>
#include <iterator>
#include <stdexcept>
#include <vector>

using cmm::cmmBlock;
using cmm::cmmCached;
using cmm::cmmDims;
using cmm::cmmLocked;
using cmm::cmmNew;
using cmm::cmmPage;
using cmm::cmmState;
using cmm::cmmStored;
using cmm::cmmZombie;
using lmxtest::inState;
using lmxtest::ManagerTotals;
using lmxtest::RuntimeTotals;

namespace {

// A host array from malloc holding the given values, as an owning page requires.
float* mallocFloats(const std::vector<float>& values) {
    auto* p = static_cast<float*>(std::malloc(values.size() * sizeof(float)));
    std::memcpy(p, values.data(), values.size() * sizeof(float));
    return p;
}

cmmPage* storedPage(const cmmDims& dims, float* host = nullptr, bool ownsHost = true) {
    auto* page = new cmmPage();
    page->Associate(dims, host, ownsHost);
    return page;
}

cmmPage* lockedPage(const cmmDims& dims, float* host = nullptr) {
    cmmPage* page = storedPage(dims, host);
    page->Lock(cmmBlock(dims));
    return page;
}

cmmPage* cachedPage(const cmmDims& dims, float* host = nullptr) {
    cmmPage* page = lockedPage(dims, host);
    page->Release();
    return page;
}

cmmPage* zombiePage(const cmmDims& dims) {
    cmmPage* page = cachedPage(dims);
    page->Free();  // keeps its device memory, so the page object lives on as the zombie
    return page;
}

// Releases the device memory of a zombie and destroys it.
void putDown(cmmPage* zombie) {
    cudaFree(zombie->device);
    zombie->device = nullptr;
    delete zombie;
}

// Ends a page that a test no longer needs: unlocked, then freed (a cached page is left as a
// zombie for later locks to reuse or put down).
void dispose(cmmPage* page) {
    while (page->state == cmmLocked()) page->Release();
    if (page->state == cmmNew()) {
        std::free(page->host);
        page->host = nullptr;
        page->Associate(cmmDims(), nullptr, true);
    }
    page->Free();
}

// Everything about a page that a refused operation must leave as it was.
struct PageSnapshot {
    std::list<cmmPage*>* list;
    long position;
    int lockCount;
    float* host;
    float* device;
    cmmDims dims;
    cmmBlock block;
    bool ownsHost;

    explicit PageSnapshot(const cmmPage* p)
        : list(p->state.list),
          position(std::distance(p->state.list->begin(),
                                 std::list<cmmPage*>::iterator(p->state.position))),
          lockCount(p->lockCount),
          host(p->host),
          device(p->device),
          dims(p->dims),
          block(p->block),
          ownsHost(p->ownsHost) {}

    bool operator==(const PageSnapshot& o) const {
        return list == o.list && position == o.position && lockCount == o.lockCount &&
               host == o.host && device == o.device && dims == o.dims && block == o.block &&
               block.Size() == o.block.Size() && ownsHost == o.ownsHost;
    }
};

bool atBack(const cmmPage* page, const cmmState& state) {
    return inState(page, state) && state.list->back() == page;
}

std::vector<float> ramp(int n, float from = 1.0f) {
    std::vector<float> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = from + static_cast<float>(i);
    return v;
}

}  // namespace

// ---- transitions ------------------------------------------------------------------------------

TEST(PageState, ConstructionEntersNewWithoutMemory) {
    const std::size_t newPages = cmmNew().list->size();
    auto* page = new cmmPage();
    EXPECT_TRUE(atBack(page, cmmNew()));
    EXPECT_EQ(page->state.page, page);
    EXPECT_EQ(cmmNew().list->size(), newPages + 1);
    EXPECT_EQ(page->lockCount, 0);
    EXPECT_EQ(page->host, nullptr);
    EXPECT_EQ(page->device, nullptr);
    EXPECT_EQ(page->dims, cmmDims());
    EXPECT_EQ(page->dims.Size(), 0);
    EXPECT_EQ(page->block, cmmBlock());
    dispose(page);
    EXPECT_EQ(cmmNew().list->size(), newPages);
}

TEST(PageState, AssociateRecordsTheArrayAndStoresThePage) {
    std::vector<float> caller(12, 2.0f);
    auto* page = new cmmPage();
    page->Associate(cmmDims(4, 3), caller.data(), false);
    EXPECT_TRUE(atBack(page, cmmStored()));
    EXPECT_FALSE(inState(page, cmmNew()));
    EXPECT_EQ(page->dims, cmmDims(4, 3));
    EXPECT_EQ(page->dims.Size(), 12);
    EXPECT_EQ(page->host, caller.data());
    EXPECT_FALSE(page->ownsHost);
    EXPECT_EQ(page->device, nullptr);
    EXPECT_EQ(page->lockCount, 0);
    dispose(page);
    EXPECT_EQ(caller[11], 2.0f);  // a caller's array is never released
}

TEST(PageState, LockOfStoredPageUploadsTheHostArray) {
    const std::vector<float> values = ramp(35);
    cmmPage* page = storedPage(cmmDims(7, 5), mallocFloats(values));
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();

    page->Lock(cmmBlock(cmmDims(7, 5)));

    const RuntimeTotals moved = RuntimeTotals::now().since(runtime);
    EXPECT_TRUE(atBack(page, cmmLocked()));
    EXPECT_EQ(page->lockCount, 1);
    EXPECT_EQ(page->block, cmmBlock(0, 7, 0, 5));
    ASSERT_NE(page->device, nullptr);
    EXPECT_EQ(ManagerTotals::now().since(totals).locks, 1);
    EXPECT_EQ(ManagerTotals::now().since(totals).relocks, 0);
    if (lmxtest::kCpuBackend) {
        EXPECT_EQ(moved.hostToDevice, 1);
        EXPECT_EQ(moved.hostToDeviceBytes, 35u * 4u);
        EXPECT_EQ(moved.deviceToHost, 0);
    }
    EXPECT_EQ(lmxtest::deviceValues(page->device, 35), values);
    dispose(page);
}

TEST(PageState, LockOfStoredPageWithoutHostOnlyObtainsDeviceMemory) {
    cmmPage* page = storedPage(cmmDims(9, 3));
    const RuntimeTotals runtime = RuntimeTotals::now();
    page->Lock(cmmBlock(cmmDims(9, 3)));
    const RuntimeTotals moved = RuntimeTotals::now().since(runtime);
    EXPECT_TRUE(inState(page, cmmLocked()));
    EXPECT_NE(page->device, nullptr);
    EXPECT_EQ(page->host, nullptr);
    if (lmxtest::kCpuBackend) {
        EXPECT_EQ(moved.hostToDevice, 0);
        EXPECT_EQ(moved.deviceToHost, 0);
    }
    dispose(page);
}

TEST(PageState, SecondLockOfLockedPageOnlyCountsIt) {
    cmmPage* first = lockedPage(cmmDims(6, 2), mallocFloats(ramp(12)));
    cmmPage* second = lockedPage(cmmDims(6, 2));
    float* device = first->device;
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();

    first->Lock(cmmBlock(0, 6, 0, 2));

    EXPECT_EQ(first->lockCount, 2);
    EXPECT_EQ(first->device, device);
    EXPECT_EQ(ManagerTotals::now().since(totals).locks, 1);
    EXPECT_EQ(ManagerTotals::now().since(totals).relocks, 0);
    EXPECT_TRUE(RuntimeTotals::now().since(runtime).quiet());
    // It keeps its place in the list: the page locked after it stays behind it.
    EXPECT_TRUE(inState(first, cmmLocked()));
    EXPECT_TRUE(atBack(second, cmmLocked()));

    first->Release();
    EXPECT_TRUE(inState(first, cmmLocked()));
    EXPECT_EQ(first->lockCount, 1);
    first->Release();
    EXPECT_TRUE(atBack(first, cmmCached()));
    EXPECT_EQ(first->lockCount, 0);
    EXPECT_EQ(first->device, device);
    dispose(first);
    dispose(second);
}

TEST(PageState, LastReleaseCachesThePageAtTheBack) {
    cmmPage* early = lockedPage(cmmDims(5, 5));
    cmmPage* late = lockedPage(cmmDims(5, 5));
    late->Release();
    early->Release();  // released last, so it was cached last
    EXPECT_TRUE(inState(late, cmmCached()));
    EXPECT_TRUE(atBack(early, cmmCached()));
    const std::vector<cmmPage*> cached = lmxtest::pagesOf(cmmCached());
    ASSERT_GE(cached.size(), 2u);
    EXPECT_EQ(cached[cached.size() - 2], late);
    EXPECT_NE(early->device, nullptr);
    dispose(early);
    dispose(late);
}

TEST(PageState, RelockOfCachedPageCopiesNothing) {
    cmmPage* page = cachedPage(cmmDims(8, 8), mallocFloats(ramp(64)));
    float* device = page->device;
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();

    page->Lock(cmmBlock(0, 8, 0, 8));

    const ManagerTotals counted = ManagerTotals::now().since(totals);
    EXPECT_EQ(counted.locks, 1);
    EXPECT_EQ(counted.relocks, 1);
    EXPECT_EQ(counted.cacheHits, 0);
    EXPECT_TRUE(RuntimeTotals::now().since(runtime).quiet());
    EXPECT_TRUE(atBack(page, cmmLocked()));
    EXPECT_EQ(page->lockCount, 1);
    EXPECT_EQ(page->device, device);
    dispose(page);
}

TEST(PageState, LockOfCachedPageWithAnotherBlockWritesTheOldBlockBackFirst) {
    lmxtest::putDownAllZombies();
    const cmmDims dims(6, 4);
    const std::vector<float> original = ramp(24);
    cmmPage* page = storedPage(dims, mallocFloats(original));
    page->Lock(cmmBlock(0, 3, 0, 2));  // 3 x 2 at the top left
    float* firstBuffer = page->device;
    const std::vector<float> written = {-1, -2, -3, -4, -5, -6};
    lmxtest::writeDevice(page->device, written);
    page->Release();

    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();
    // Another block of the same element count: the old block goes back to the host and its
    // memory, the only zombie, comes back as a cache hit.
    page->Lock(cmmBlock(3, 6, 2, 4));

    const RuntimeTotals moved = RuntimeTotals::now().since(runtime);
    const ManagerTotals counted = ManagerTotals::now().since(totals);
    EXPECT_TRUE(inState(page, cmmLocked()));
    EXPECT_EQ(page->lockCount, 1);
    EXPECT_EQ(page->block, cmmBlock(3, 6, 2, 4));
    EXPECT_EQ(page->device, firstBuffer);
    EXPECT_EQ(counted.cacheHits, 1);
    EXPECT_EQ(counted.relocks, 0);
    EXPECT_TRUE(cmmZombie().list->empty());
    if (lmxtest::kCpuBackend) {
        EXPECT_EQ(moved.allocations, 0);
        EXPECT_EQ(moved.deviceToHost, 1);
        EXPECT_EQ(moved.deviceToHostBytes, 6u * 4u);
        EXPECT_EQ(moved.hostToDevice, 1);
        EXPECT_EQ(moved.hostToDeviceBytes, 6u * 4u);
    }
    // The host holds the written block; the new block came from the host.
    std::vector<float> expectedHost = original;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) expectedHost[y * 6 + x] = written[y * 3 + x];
    EXPECT_EQ(std::vector<float>(page->host, page->host + 24), expectedHost);
    EXPECT_EQ(lmxtest::deviceValues(page->device, 6), (std::vector<float>{16, 17, 18, 22, 23, 24}));
    dispose(page);
}

TEST(PageState, LockOfCachedPageWithBlockOfOtherSizeLeavesTheOldMemoryAsZombie) {
    lmxtest::putDownAllZombies();
    cmmPage* page = storedPage(cmmDims(10, 10), mallocFloats(ramp(100)));
    page->Lock(cmmBlock(0, 10, 0, 10));
    float* wholeBuffer = page->device;
    page->Release();

    page->Lock(cmmBlock(2, 4, 2, 4));

    EXPECT_TRUE(inState(page, cmmLocked()));
    EXPECT_EQ(page->block.Size(), 4);
    ASSERT_EQ(cmmZombie().list->size(), 1u);
    const cmmPage* zombie = cmmZombie().list->front();
    EXPECT_EQ(zombie->device, wholeBuffer);
    EXPECT_EQ(zombie->block, cmmBlock(0, 10, 0, 10));
    EXPECT_EQ(zombie->block.Size(), 100);
    EXPECT_EQ(zombie->host, nullptr);
    EXPECT_EQ(zombie->lockCount, 0);
    EXPECT_EQ(lmxtest::deviceValues(page->device, 4), (std::vector<float>{23, 24, 33, 34}));
    dispose(page);
}

TEST(PageState, FlushOfStoredPageOnlyAllocatesTheHostArray) {
    cmmPage* page = storedPage(cmmDims(3, 7));
    const RuntimeTotals runtime = RuntimeTotals::now();
    const std::size_t zombies = cmmZombie().list->size();
    page->Flush();
    EXPECT_NE(page->host, nullptr);
    EXPECT_TRUE(inState(page, cmmStored()));
    EXPECT_EQ(cmmZombie().list->size(), zombies);
    EXPECT_TRUE(RuntimeTotals::now().since(runtime).quiet());
    float* host = page->host;
    page->Flush();  // a second flush keeps the array
    EXPECT_EQ(page->host, host);
    host[20] = 5.0f;  // all 21 elements are there
    dispose(page);
}

TEST(PageState, FlushOfCachedPageHandsItsDeviceMemoryToANewZombie) {
    cmmPage* page = lockedPage(cmmDims(4, 4));  // a result: no host array
    const std::vector<float> result = ramp(16, 100.0f);
    lmxtest::writeDevice(page->device, result);
    page->Release();
    float* device = page->device;
    const std::size_t zombies = cmmZombie().list->size();
    const RuntimeTotals runtime = RuntimeTotals::now();

    page->Flush();

    const RuntimeTotals moved = RuntimeTotals::now().since(runtime);
    EXPECT_TRUE(atBack(page, cmmStored()));
    EXPECT_EQ(page->device, nullptr);
    EXPECT_EQ(page->block, cmmBlock());
    EXPECT_EQ(page->block.Size(), 0);
    ASSERT_NE(page->host, nullptr);
    EXPECT_EQ(std::vector<float>(page->host, page->host + 16), result);
    if (lmxtest::kCpuBackend) {
        EXPECT_EQ(moved.deviceToHost, 1);
        EXPECT_EQ(moved.deviceToHostBytes, 16u * 4u);
        EXPECT_EQ(moved.allocations, 0);
    }
    ASSERT_EQ(cmmZombie().list->size(), zombies + 1);
    const cmmPage* zombie = cmmZombie().list->back();
    EXPECT_TRUE(inState(zombie, cmmZombie()));
    EXPECT_EQ(zombie->device, device);
    EXPECT_EQ(zombie->block, cmmBlock(0, 4, 0, 4));
    EXPECT_EQ(zombie->block.Size(), 16);
    EXPECT_EQ(zombie->dims.Size(), 0);
    EXPECT_EQ(zombie->host, nullptr);
    dispose(page);
}

TEST(PageState, FreeOfStoredPageDestroysItAndKeepsACallersArray) {
    std::vector<float> caller = ramp(20);
    cmmPage* page = storedPage(cmmDims(5, 4), caller.data(), false);
    const std::size_t stored = cmmStored().list->size();
    const std::size_t zombies = cmmZombie().list->size();
    page->Free();
    EXPECT_EQ(cmmStored().list->size(), stored - 1);
    EXPECT_EQ(cmmZombie().list->size(), zombies);
    for (const cmmPage* p : *cmmStored().list) EXPECT_NE(p, page);
    EXPECT_EQ(caller, ramp(20));
}

TEST(PageState, FreeOfCachedPageLeavesAZombieWithItsDeviceMemory) {
    std::vector<float> caller = ramp(20);
    cmmPage* page = storedPage(cmmDims(5, 4), caller.data(), false);
    page->Lock(cmmBlock(0, 5, 0, 4));
    page->Release();
    float* device = page->device;

    page->Free();

    EXPECT_TRUE(atBack(page, cmmZombie()));
    EXPECT_EQ(page->device, device);
    EXPECT_EQ(page->block, cmmBlock(0, 5, 0, 4));
    EXPECT_EQ(page->host, nullptr);
    EXPECT_EQ(caller, ramp(20));
    putDown(page);
}

TEST(PageState, FreeReleasesAnOwnedHostArrayAndForgetsIt) {
    cmmPage* page = cachedPage(cmmDims(3, 3), mallocFloats(ramp(9)));
    ASSERT_NE(page->host, nullptr);
    page->Free();
    EXPECT_TRUE(inState(page, cmmZombie()));
    EXPECT_EQ(page->host, nullptr);
    putDown(page);
}

TEST(PageState, ChangeIntoTheSameStateMovesThePageToTheBack) {
    cmmPage* first = storedPage(cmmDims(2, 2));
    cmmPage* second = storedPage(cmmDims(2, 2));
    EXPECT_TRUE(atBack(second, cmmStored()));
    first->state.Change(cmmStored());
    EXPECT_TRUE(atBack(first, cmmStored()));
    EXPECT_TRUE(inState(second, cmmStored()));
    std::size_t count = 0;
    for (const cmmPage* p : *cmmStored().list) count += (p == first);
    EXPECT_EQ(count, 1u);
    dispose(first);
    dispose(second);
}

TEST(PageState, StatesCompareByTheirList) {
    cmmPage* page = storedPage(cmmDims(2));
    EXPECT_TRUE(page->state == cmmStored());
    EXPECT_FALSE(page->state != cmmStored());
    EXPECT_TRUE(page->state != cmmCached());
    EXPECT_TRUE(cmmStored() != cmmCached());
    EXPECT_TRUE(cmmZombie() == cmmZombie());
    dispose(page);
}

TEST(PageState, ChangeOfAGlobalStateThrowsInvalidObject) {
    const std::size_t stored = cmmStored().list->size();
    const std::size_t cached = cmmCached().list->size();
    LMX_EXPECT_RUNTIME_ERROR(cmmStored().Change(cmmCached()), "Invalid object");
    EXPECT_EQ(cmmStored().page, nullptr);
    EXPECT_EQ(cmmStored().list->size(), stored);
    EXPECT_EQ(cmmCached().list->size(), cached);
}

// ---- refused operations -----------------------------------------------------------------------

TEST(PageStateRefusal, NewPageAcceptsOnlyAssociate) {
    auto* page = new cmmPage();
    const PageSnapshot before(page);
    const ManagerTotals totals = ManagerTotals::now();

    LMX_EXPECT_RUNTIME_ERROR(page->Lock(cmmBlock(0, 1)), "Invalid state");
    EXPECT_TRUE(PageSnapshot(page) == before);
    EXPECT_EQ(ManagerTotals::now().since(totals).locks, 1);
    LMX_EXPECT_RUNTIME_ERROR(page->Release(), "Invalid state");
    EXPECT_TRUE(PageSnapshot(page) == before);
    LMX_EXPECT_RUNTIME_ERROR(page->Free(), "Invalid state");
    EXPECT_TRUE(PageSnapshot(page) == before);
    // Flush may allocate a host array before it tests the state, nothing else.
    LMX_EXPECT_RUNTIME_ERROR(page->Flush(), "Invalid state");
    EXPECT_TRUE(inState(page, cmmNew()));
    EXPECT_EQ(page->device, nullptr);
    EXPECT_EQ(page->lockCount, 0);
    dispose(page);
}

TEST(PageStateRefusal, StoredPageRefusesReleaseAndAssociate) {
    std::vector<float> caller = ramp(6);
    cmmPage* page = storedPage(cmmDims(3, 2), caller.data(), false);
    const PageSnapshot before(page);

    LMX_EXPECT_RUNTIME_ERROR(page->Release(), "Invalid state");
    EXPECT_TRUE(PageSnapshot(page) == before);
    LMX_EXPECT_RUNTIME_ERROR(page->Associate(cmmDims(6), nullptr, true), "Invalid state");
    EXPECT_TRUE(PageSnapshot(page) == before);
    dispose(page);
}

TEST(PageStateRefusal, LockedPageRefusesAnotherBlockFlushFreeAndAssociate) {
    cmmPage* page = storedPage(cmmDims(8, 4), mallocFloats(ramp(32)));
    page->Lock(cmmBlock(0, 4, 0, 4));
    const PageSnapshot before(page);
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();

    LMX_EXPECT_RUNTIME_ERROR(page->Lock(cmmBlock(4, 8, 0, 4)), "Invalid state");
    EXPECT_TRUE(PageSnapshot(page) == before);
    LMX_EXPECT_RUNTIME_ERROR(page->Lock(cmmBlock(0, 8, 0, 4)), "Invalid state");
    EXPECT_TRUE(PageSnapshot(page) == before);
    EXPECT_EQ(ManagerTotals::now().since(totals).locks, 2);
    EXPECT_EQ(ManagerTotals::now().since(totals).relocks, 0);
    LMX_EXPECT_RUNTIME_ERROR(page->Flush(), "Invalid state");
    EXPECT_TRUE(PageSnapshot(page) == before);
    LMX_EXPECT_RUNTIME_ERROR(page->Free(), "Invalid state");
    EXPECT_TRUE(PageSnapshot(page) == before);
    LMX_EXPECT_RUNTIME_ERROR(page->Associate(cmmDims(8, 4), nullptr, true), "Invalid state");
    EXPECT_TRUE(PageSnapshot(page) == before);
    EXPECT_TRUE(RuntimeTotals::now().since(runtime).quiet());
    dispose(page);
}

TEST(PageStateRefusal, CachedPageRefusesReleaseAndAssociate) {
    cmmPage* page = cachedPage(cmmDims(4, 4), mallocFloats(ramp(16)));
    const PageSnapshot before(page);
    LMX_EXPECT_RUNTIME_ERROR(page->Release(), "Invalid state");
    EXPECT_TRUE(PageSnapshot(page) == before);
    LMX_EXPECT_RUNTIME_ERROR(page->Associate(cmmDims(4, 4), nullptr, true), "Invalid state");
    EXPECT_TRUE(PageSnapshot(page) == before);
    dispose(page);
}

TEST(PageStateRefusal, ZombiePageRefusesEveryOperation) {
    cmmPage* page = zombiePage(cmmDims(4, 5));
    const PageSnapshot before(page);
    const RuntimeTotals runtime = RuntimeTotals::now();

    LMX_EXPECT_RUNTIME_ERROR(page->Lock(cmmBlock(0, 4, 0, 5)), "Invalid state");
    EXPECT_TRUE(PageSnapshot(page) == before);
    LMX_EXPECT_RUNTIME_ERROR(page->Release(), "Invalid state");
    EXPECT_TRUE(PageSnapshot(page) == before);
    LMX_EXPECT_RUNTIME_ERROR(page->Free(), "Invalid state");
    EXPECT_TRUE(PageSnapshot(page) == before);
    LMX_EXPECT_RUNTIME_ERROR(page->Associate(cmmDims(4, 5), nullptr, true), "Invalid state");
    EXPECT_TRUE(PageSnapshot(page) == before);
    LMX_EXPECT_RUNTIME_ERROR(page->Flush(), "Invalid state");
    EXPECT_TRUE(inState(page, cmmZombie()));
    EXPECT_EQ(page->device, before.device);
    EXPECT_TRUE(RuntimeTotals::now().since(runtime).quiet());
    std::free(page->host);  // the flush may have allocated one before refusing
    page->host = nullptr;
    putDown(page);
}

TEST(PageStateRefusal, DestroyingAPageThatIsNotAZombieThrows) {
    auto* fresh = new cmmPage();
    LMX_EXPECT_RUNTIME_ERROR(delete fresh, "Invalid state");

    auto* stored = storedPage(cmmDims(3));
    LMX_EXPECT_RUNTIME_ERROR(delete stored, "Invalid state");

    cmmPage* cached = cachedPage(cmmDims(3));
    float* device = cached->device;
    LMX_EXPECT_RUNTIME_ERROR(delete cached, "Invalid state");
    cudaFree(device);

    cmmPage* locked = lockedPage(cmmDims(3));
    device = locked->device;
    LMX_EXPECT_RUNTIME_ERROR(delete locked, "Invalid state");
    cudaFree(device);

    // The object is gone either way; its node must not be left behind in a list.
    for (const cmmState* s : {&cmmNew(), &cmmStored(), &cmmLocked(), &cmmCached()})
        for (const cmmPage* p : *s->list) {
            EXPECT_NE(p, fresh);
            EXPECT_NE(p, stored);
            EXPECT_NE(p, cached);
            EXPECT_NE(p, locked);
        }
}

// ---- partial blocks ---------------------------------------------------------------------------

TEST(PartialBlock, LockUploadsOnlyTheBlockStoredDensely) {
    const std::vector<float> values = ramp(7 * 4);
    cmmPage* page = storedPage(cmmDims(7, 4), mallocFloats(values));
    const RuntimeTotals runtime = RuntimeTotals::now();

    page->Lock(cmmBlock(2, 5, 1, 3));  // columns 2..4 of rows 1..2

    const RuntimeTotals moved = RuntimeTotals::now().since(runtime);
    EXPECT_EQ(page->block, cmmBlock(2, 5, 1, 3));
    if (lmxtest::kCpuBackend) {
        EXPECT_EQ(moved.hostToDevice, 1);
        EXPECT_EQ(moved.hostToDeviceBytes, 6u * 4u);
    }
    std::vector<float> expected;
    for (int y = 1; y < 3; ++y)
        for (int x = 2; x < 5; ++x) expected.push_back(values[static_cast<std::size_t>(y * 7 + x)]);
    EXPECT_EQ(lmxtest::deviceValues(page->device, 6), expected);
    dispose(page);
}

TEST(PartialBlock, FlushWritesBackOnlyTheBlock) {
    const std::vector<float> values = ramp(7 * 4);
    cmmPage* page = storedPage(cmmDims(7, 4), mallocFloats(values));
    page->Lock(cmmBlock(2, 5, 1, 3));
    const std::vector<float> written = {-1, -2, -3, -4, -5, -6};
    lmxtest::writeDevice(page->device, written);
    page->Release();
    const RuntimeTotals runtime = RuntimeTotals::now();

    page->Flush();

    const RuntimeTotals moved = RuntimeTotals::now().since(runtime);
    if (lmxtest::kCpuBackend) {
        EXPECT_EQ(moved.deviceToHost, 1);
        EXPECT_EQ(moved.deviceToHostBytes, 6u * 4u);
    }
    std::vector<float> expected = values;
    for (int y = 1; y < 3; ++y)
        for (int x = 2; x < 5; ++x)
            expected[static_cast<std::size_t>(y * 7 + x)] =
                written[static_cast<std::size_t>((y - 1) * 3 + (x - 2))];
    EXPECT_EQ(std::vector<float>(page->host, page->host + 28), expected);
    EXPECT_TRUE(inState(page, cmmStored()));
    EXPECT_EQ(page->block, cmmBlock());
    dispose(page);
}

TEST(PartialBlock, FullWidthRowsAndSingleColumnsMoveExactly) {
    const std::vector<float> values = ramp(5 * 6);
    cmmPage* page = storedPage(cmmDims(5, 6), mallocFloats(values));

    page->Lock(cmmBlock(0, 5, 4, 6));  // the last two rows
    EXPECT_EQ(lmxtest::deviceValues(page->device, 10),
              std::vector<float>(values.begin() + 20, values.end()));
    page->Release();

    page->Lock(cmmBlock(4, 5, 0, 6));  // the last column
    std::vector<float> column;
    for (int y = 0; y < 6; ++y) column.push_back(values[static_cast<std::size_t>(y * 5 + 4)]);
    EXPECT_EQ(lmxtest::deviceValues(page->device, 6), column);
    lmxtest::writeDevice(page->device, {0, 0, 0, 0, 0, 0});
    page->Release();
    page->Flush();
    std::vector<float> expected = values;
    for (int y = 0; y < 6; ++y) expected[static_cast<std::size_t>(y * 5 + 4)] = 0;
    EXPECT_EQ(std::vector<float>(page->host, page->host + 30), expected);
    dispose(page);
}
