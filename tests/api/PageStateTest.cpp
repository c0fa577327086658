// The page state machine: every operation in every state, with the state it leads to and its
// transfers, or "Invalid state" with the page left as it was; lists kept in order; partial
// blocks moved as two-dimensional regions.

#include "TestSupport.h"

#include <cstdlib>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

// A host array from malloc holding the given values, as an owning page requires.
float* mallocFloats(const std::vector<float>& values) {
    auto* p = static_cast<float*>(std::malloc(values.size() * sizeof(float)));
    std::memcpy(p, values.data(), values.size() * sizeof(float));
    return p;
}

enum class State { New, Stored, Locked, Cached, Zombie };

// A page in the given state. From Stored on it owns a host array of 1, 2, 3, ...; from Locked
// on its whole block is on the device, overwritten with 101, 102, ... as a result would be.
cmmPage* pageIn(State s, const cmmDims& dims) {
    auto* page = new cmmPage();
    if (s == State::New) return page;
    page->Associate(dims, mallocFloats(ramp(dims.Size(), 1.0f)), true);
    if (s == State::Stored) return page;
    page->Lock(cmmBlock(dims));
    writeDevice(page->device, ramp(dims.Size(), 101.0f));
    if (s == State::Locked) return page;
    page->Release();
    if (s == State::Cached) return page;
    page->Free();  // keeps its device memory, so the page object lives on as the zombie
    return page;
}

// Ends a page that a test no longer needs (a cached page is left as a zombie for later locks).
void dispose(cmmPage* page) {
    if (page->state == cmmZombie()) {
        cudaFree(page->device);
        page->device = nullptr;
        delete page;
        return;
    }
    while (page->state == cmmLocked()) page->Release();
    if (page->state == cmmNew()) {
        std::free(page->host);
        page->host = nullptr;
        page->Associate(cmmDims(), nullptr, true);
    }
    page->Free();
}

// The state whose list holds the page (found by address only), or "gone".
std::string stateOf(const cmmPage* page) {
    const std::pair<const char*, cmmState*> states[] = {{"New", &cmmNew()},
                                                        {"Stored", &cmmStored()},
                                                        {"Locked", &cmmLocked()},
                                                        {"Cached", &cmmCached()},
                                                        {"Zombie", &cmmZombie()}};
    for (const auto& [name, state] : states)
        if (std::find(state->list->begin(), state->list->end(), page) != state->list->end())
            return name;
    return "gone";
}

// Everything about a page that a refused operation must leave as it was.
auto snapshot(const cmmPage* p) {
    const long position =
        std::distance(p->state.list->begin(), std::list<cmmPage*>::iterator(p->state.position));
    return std::make_tuple(p->state.list, position, p->lockCount, p->host, p->device, p->dims.dims,
                           p->dims.size, p->block.start, p->block.end, p->block.size, p->ownsHost);
}

bool atBack(const cmmPage* page, const cmmState& state) {
    return inState(page, state) && state.list->back() == page;
}

enum class Op { Associate, Lock, LockOther, Release, Flush, Free, Destroy };
const char* const kOpNames[] = {"Associate", "Lock", "LockOther", "Release",
                                "Flush",     "Free", "Destroy"};
const char* const kStateNames[] = {"New", "Stored", "Locked", "Cached", "Zombie"};

// Pages of the table are 4 x 4; Lock takes the whole block, LockOther the 2 x 2 top left.
void apply(Op op, cmmPage* page) {
    switch (op) {
        // clang-format off
        case Op::Associate: page->Associate(cmmDims(4, 4), nullptr, true); break;
        case Op::Lock: page->Lock(cmmBlock(0, 4, 0, 4)); break;
        case Op::LockOther: page->Lock(cmmBlock(0, 2, 0, 2)); break;
        case Op::Release: page->Release(); break;
        case Op::Flush: page->Flush(); break;
        case Op::Free: page->Free(); break;
        case Op::Destroy: delete page; break;
            // clang-format on
    }
}

constexpr const char* kInvalid = "Invalid state";
using S = State;

// What each operation does in each state: the state it leads to ("gone": the page object is
// deleted), the lock count it leaves, the floats it uploads and writes back, the zombies it
// makes, and the page's device contents afterwards (none when empty).
const struct Transition {
    State from;
    Op op;
    const char* outcome;
    int lockCount = 0, uploaded = 0, written = 0, zombies = 0;
    std::vector<float> device = {};
} kTable[] = {
    {S::New, Op::Associate, "Stored"},
    {S::New, Op::Lock, kInvalid},
    {S::New, Op::LockOther, kInvalid},
    {S::New, Op::Release, kInvalid},
    {S::New, Op::Flush, kInvalid},
    {S::New, Op::Free, kInvalid},
    {S::New, Op::Destroy, kInvalid},
    {S::Stored, Op::Associate, kInvalid},
    {S::Stored, Op::Lock, "Locked", 1, 16, 0, 0, ramp(16, 1.0f)},
    {S::Stored, Op::LockOther, "Locked", 1, 4, 0, 0, {1, 2, 5, 6}},
    {S::Stored, Op::Release, kInvalid},
    {S::Stored, Op::Flush, "Stored"},
    {S::Stored, Op::Free, "gone"},
    {S::Stored, Op::Destroy, kInvalid},
    {S::Locked, Op::Associate, kInvalid},
    {S::Locked, Op::Lock, "Locked", 2, 0, 0, 0, ramp(16, 101.0f)},
    {S::Locked, Op::LockOther, kInvalid},
    {S::Locked, Op::Release, "Cached", 0, 0, 0, 0, ramp(16, 101.0f)},
    {S::Locked, Op::Flush, kInvalid},
    {S::Locked, Op::Free, kInvalid},
    {S::Locked, Op::Destroy, kInvalid},
    {S::Cached, Op::Associate, kInvalid},
    {S::Cached, Op::Lock, "Locked", 1, 0, 0, 0, ramp(16, 101.0f)},  // a relock
    {S::Cached, Op::LockOther, "Locked", 1, 4, 16, 1, {101, 102, 105, 106}},
    {S::Cached, Op::Release, kInvalid},
    {S::Cached, Op::Flush, "Stored", 0, 0, 16, 1},
    {S::Cached, Op::Free, "Zombie", 0, 0, 0, 1, ramp(16, 101.0f)},
    {S::Cached, Op::Destroy, kInvalid},
    {S::Zombie, Op::Associate, kInvalid},
    {S::Zombie, Op::Lock, kInvalid},
    {S::Zombie, Op::LockOther, kInvalid},
    {S::Zombie, Op::Release, kInvalid},
    {S::Zombie, Op::Flush, kInvalid},
    {S::Zombie, Op::Free, kInvalid},
    {S::Zombie, Op::Destroy, "gone"},
};

}  // namespace

TEST(PageState, EveryOperationInEveryStateFollowsTheTable) {
    for (const Transition& t : kTable) {
        SCOPED_TRACE(std::string(kStateNames[int(t.from)]) + " " + kOpNames[int(t.op)]);
        putDownAllZombies();  // no lock can take over a zombie
        cmmPage* page = pageIn(t.from, cmmDims(4, 4));
        const auto before = snapshot(page);
        float* const host = page->host;
        float* const device = page->device;
        const bool ownsHost = page->ownsHost;
        const ManagerTotals totals = ManagerTotals::now();
        const RuntimeTotals runtime = RuntimeTotals::now();
        std::string outcome;
        try {
            apply(t.op, page);
        } catch (const std::runtime_error& e) {
            outcome = e.what();
        }
        if (outcome.empty()) outcome = stateOf(page);
        EXPECT_EQ(outcome, t.outcome);
        const ManagerTotals counted = ManagerTotals::now().since(totals);
        const RuntimeTotals moved = RuntimeTotals::now().since(runtime);
        EXPECT_EQ(counted.locks, t.op == Op::Lock || t.op == Op::LockOther ? 1 : 0);
        EXPECT_EQ(counted.relocks, int(t.from == S::Cached && t.op == Op::Lock));
        EXPECT_EQ(counted.cacheHits + counted.spills + counted.putDowns, 0);
        if (kCpuBackend) {
            EXPECT_EQ(moved.hostToDeviceBytes, t.uploaded * sizeof(float));
            EXPECT_EQ(moved.deviceToHostBytes, t.written * sizeof(float));
            EXPECT_EQ(moved.deviceToDevice, 0);
        }
        if (t.op == Op::Destroy) {
            // Deleted either way; a refused deletion must not leave its node behind in a list.
            EXPECT_EQ(stateOf(page), "gone");
            if (ownsHost) std::free(host);
            cudaFree(device);
            continue;
        }
        if (outcome == "gone") continue;
        if (outcome == kInvalid) {
            // Flush may allocate a host array before it tests the state, nothing else.
            if (t.op == Op::Flush && !host) {
                std::free(page->host);
                page->host = nullptr;
            }
            EXPECT_TRUE(snapshot(page) == before);
            EXPECT_TRUE(moved.quiet());
        } else {
            EXPECT_EQ(page->lockCount, t.lockCount);
            EXPECT_EQ(cmmZombie().list->size(), std::size_t(t.zombies));
            if (t.zombies && outcome != "Zombie") {
                // The zombie took over the page's old device memory with the block it held.
                EXPECT_EQ(cmmZombie().list->back()->device, device);
                EXPECT_EQ(cmmZombie().list->back()->block, cmmBlock(0, 4, 0, 4));
            }
            if (t.device.empty()) {
                EXPECT_EQ(page->device, nullptr);
                EXPECT_EQ(page->block, cmmBlock());
            } else {
                ASSERT_NE(page->device, nullptr);
                EXPECT_EQ(page->block.Size(), int(t.device.size()));
                EXPECT_EQ(deviceValues(page->device, int(t.device.size())), t.device);
                // The page keeps its device memory unless it wrote its block back.
                if (device && !t.written) {
                    EXPECT_EQ(page->device, device);
                }
            }
            // The host holds what was written back, or what it held.
            if (page->host) {
                EXPECT_EQ(std::vector<float>(page->host, page->host + 16),
                          ramp(16, t.written ? 101.0f : 1.0f));
            }
        }
        dispose(page);
    }
}

TEST(PageState, ANewPageHoldsNothingAndAssociateRecordsTheArray) {
    const std::size_t newPages = cmmNew().list->size();
    auto* page = new cmmPage();
    EXPECT_TRUE(atBack(page, cmmNew()));
    EXPECT_EQ(page->state.page, page);
    EXPECT_EQ(cmmNew().list->size(), newPages + 1);
    EXPECT_TRUE(page->host == nullptr && page->device == nullptr && page->lockCount == 0);
    EXPECT_EQ(page->dims.Size(), 0);
    EXPECT_EQ(page->block, cmmBlock());
    std::vector<float> caller = ramp(12, 1.0f);
    page->Associate(cmmDims(4, 3), caller.data(), false);
    EXPECT_TRUE(atBack(page, cmmStored()));
    EXPECT_EQ(cmmNew().list->size(), newPages);
    EXPECT_EQ(page->dims, cmmDims(4, 3));
    EXPECT_EQ(page->dims.Size(), 12);
    EXPECT_TRUE(page->host == caller.data() && !page->ownsHost);
    page->Free();
}

TEST(PageState, LocksAreCountedInPlaceAndTheLastReleaseCachesThePageAtTheBack) {
    cmmPage* first = pageIn(State::Locked, cmmDims(6, 2));
    auto* second = new cmmPage();  // a result: no host array, so its lock uploads nothing
    second->Associate(cmmDims(6, 2), nullptr, true);
    const RuntimeTotals runtime = RuntimeTotals::now();
    second->Lock(cmmBlock(0, 6, 0, 2));
    EXPECT_EQ(RuntimeTotals::now().since(runtime).hostToDevice, 0);
    first->Lock(cmmBlock(0, 6, 0, 2));
    // A second lock keeps the page's place: the page locked after it stays behind it.
    EXPECT_TRUE(inState(first, cmmLocked()));
    EXPECT_TRUE(atBack(second, cmmLocked()));
    first->Release();
    EXPECT_TRUE(inState(first, cmmLocked()));
    EXPECT_EQ(first->lockCount, 1);
    second->Release();
    first->Release();  // released last, so cached last
    EXPECT_TRUE(atBack(first, cmmCached()));
    const std::vector<cmmPage*> cached = pagesOf(cmmCached());
    ASSERT_GE(cached.size(), 2u);
    EXPECT_EQ(cached[cached.size() - 2], second);
    dispose(first);
    dispose(second);
}

TEST(PageState, LockOfACachedPageWithAnotherBlockOfTheSameSizeTakesBackItsOwnMemory) {
    putDownAllZombies();
    cmmPage* page = pageIn(State::Stored, cmmDims(6, 4));
    page->Lock(cmmBlock(0, 3, 0, 2));  // 3 x 2 at the top left
    float* firstBuffer = page->device;
    writeDevice(page->device, {-1, -2, -3, -4, -5, -6});
    page->Release();
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();
    // The old block goes back to the host and its memory, the only zombie, is a cache hit.
    page->Lock(cmmBlock(3, 6, 2, 4));
    const RuntimeTotals moved = RuntimeTotals::now().since(runtime);
    EXPECT_EQ(page->block, cmmBlock(3, 6, 2, 4));
    EXPECT_EQ(page->device, firstBuffer);
    EXPECT_EQ(ManagerTotals::now().since(totals).cacheHits, 1);
    EXPECT_TRUE(cmmZombie().list->empty());
    if (kCpuBackend) {
        EXPECT_EQ(moved.allocations, 0);
        EXPECT_EQ(moved.deviceToHostBytes, 6u * 4u);
        EXPECT_EQ(moved.hostToDeviceBytes, 6u * 4u);
    }
    std::vector<float> host = ramp(24, 1.0f);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) host[y * 6 + x] = static_cast<float>(-1 - (y * 3 + x));
    EXPECT_EQ(std::vector<float>(page->host, page->host + 24), host);
    EXPECT_EQ(deviceValues(page->device, 6), (std::vector<float>{16, 17, 18, 22, 23, 24}));
    dispose(page);
}

TEST(PageState, ChangeMovesAPageToTheBackAndStatesCompareByTheirList) {
    cmmPage* first = pageIn(State::Stored, cmmDims(2, 2));
    cmmPage* second = pageIn(State::Stored, cmmDims(2, 2));
    first->state.Change(cmmStored());  // into its own state: to the back, once
    EXPECT_TRUE(atBack(first, cmmStored()));
    EXPECT_TRUE(inState(second, cmmStored()));
    EXPECT_EQ(std::count(cmmStored().list->begin(), cmmStored().list->end(), first), 1);
    EXPECT_TRUE(first->state == cmmStored() && !(first->state != cmmStored()));
    EXPECT_TRUE(first->state != cmmCached() && cmmStored() != cmmCached());
    dispose(first);
    dispose(second);
    // A global state is no page's state.
    const std::size_t stored = cmmStored().list->size(), cached = cmmCached().list->size();
    LMX_EXPECT_RUNTIME_ERROR(cmmStored().Change(cmmCached()), "Invalid object");
    EXPECT_EQ(cmmStored().page, nullptr);
    EXPECT_EQ(cmmStored().list->size(), stored);
    EXPECT_EQ(cmmCached().list->size(), cached);
}

// ---- partial blocks ---------------------------------------------------------------------------

TEST(PartialBlock, LockUploadsOnlyTheBlockDenselyAndFlushWritesBackOnlyTheBlock) {
    cmmPage* page = pageIn(State::Stored, cmmDims(7, 4));
    RuntimeTotals runtime = RuntimeTotals::now();
    page->Lock(cmmBlock(2, 5, 1, 3));  // columns 2..4 of rows 1..2
    EXPECT_EQ(RuntimeTotals::now().since(runtime).hostToDeviceBytes, kCpuBackend ? 24u : 0u);
    EXPECT_EQ(deviceValues(page->device, 6), (std::vector<float>{10, 11, 12, 17, 18, 19}));
    writeDevice(page->device, {-1, -2, -3, -4, -5, -6});
    page->Release();
    runtime = RuntimeTotals::now();
    page->Flush();
    EXPECT_EQ(RuntimeTotals::now().since(runtime).deviceToHostBytes, kCpuBackend ? 24u : 0u);
    std::vector<float> expected = ramp(28, 1.0f);
    for (int x = 0; x < 3; ++x) {
        expected[std::size_t(7 + 2 + x)] = static_cast<float>(-1 - x);
        expected[std::size_t(14 + 2 + x)] = static_cast<float>(-4 - x);
    }
    EXPECT_EQ(std::vector<float>(page->host, page->host + 28), expected);
    EXPECT_EQ(page->block, cmmBlock());
    // Full-width rows and a single column move exactly as well.
    page->Lock(cmmBlock(0, 7, 2, 4));  // the last two rows
    EXPECT_EQ(deviceValues(page->device, 14),
              std::vector<float>(expected.begin() + 14, expected.end()));
    page->Release();
    page->Lock(cmmBlock(6, 7, 0, 4));  // the last column
    EXPECT_EQ(deviceValues(page->device, 4), (std::vector<float>{7, 14, 21, 28}));
    writeDevice(page->device, {0, 0, 0, 0});
    page->Release();
    page->Flush();
    for (int y = 0; y < 4; ++y) expected[std::size_t(y * 7 + 6)] = 0;
    EXPECT_EQ(std::vector<float>(page->host, page->host + 28), expected);
    dispose(page);
}
