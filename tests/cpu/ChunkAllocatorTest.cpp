// The scratch-buffer allocator against the CPU backend's counters and injected faults: what
// each request allocates, caches, untracks and frees.

#include "ChunkSupport.h"
#include "TestSupport.h"
#include "cpu/StandIn.h"

#include <cstdlib>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

// Byte sizes of the tests' own chunks: distinct for each k, multiples of the CPU backend's
// alignment so that its byte counts are exact.
std::size_t distinctSize(int k) {
    return 64 * (4001 + static_cast<std::size_t>(k));
}

struct Totals {
    long allocations, frees;
    std::size_t inUse;
    static Totals now() {
        return {lmx::cpu::counters().allocations, lmx::cpu::counters().frees,
                lmx::cpu::deviceBytesInUse()};
    }
    Totals since(const Totals& e) const {
        return {allocations - e.allocations, frees - e.frees, inUse - e.inUse};
    }
};

// Brings the allocator to the state of a fresh process: no chunk cached, none tracked in use.
// Sixteen outstanding requests of new sizes take over every descriptor (chunks of other
// owners are released or untracked on the way); released, they are cached; then released.
void drainChunkAllocator() {
    releaseCachedChunks();
    std::vector<void*> held;
    for (int k = 0; k < 16; ++k) held.push_back(allocate(distinctSize(200 + k)));
    for (void* p : held) release(p);
    releaseCachedChunks();
}

class Chunks : public ::testing::Test {
protected:
    void SetUp() override { drainChunkAllocator(); }
    void TearDown() override { drainChunkAllocator(); }
};

}  // namespace

TEST_F(Chunks, AFreshSizeIsOneCudaMallocAndStaysAllocatedWhenReleased) {
    const Totals start = Totals::now();
    void* p = allocate(128);
    release(p);
    EXPECT_EQ(Totals::now().since(start).inUse, 128u) << "the released chunk stays allocated";
    void* q = allocate(192);  // another size: a new chunk, the cached one stays
    EXPECT_NE(q, p);
    EXPECT_EQ(allocate(128), p);
    EXPECT_EQ(Totals::now().since(start).allocations, 2);
    EXPECT_EQ(Totals::now().since(start).frees, 0);
    release(q);
    release(p);
}

TEST_F(Chunks, ANewSizeWithSixteenChunksCachedReleasesTheOldestOne) {
    std::vector<void*> chunks;
    for (int k = 0; k < 16; ++k) chunks.push_back(allocate(distinctSize(k)));
    for (void* p : chunks) release(p);  // released in order: chunk 0 is the oldest
    const Totals start = Totals::now();
    void* fresh = allocate(distinctSize(16));
    EXPECT_EQ(Totals::now().since(start).frees, 1);
    EXPECT_EQ(Totals::now().since(start).allocations, 1);
    EXPECT_EQ(Totals::now().inUse + distinctSize(0), start.inUse + distinctSize(16))
        << "the chunk released is the oldest one";
    // Chunk 1 is still cached; chunk 0 is gone and has to be allocated again.
    void* second = allocate(distinctSize(1));
    EXPECT_EQ(second, chunks[1]);
    EXPECT_EQ(Totals::now().since(start).allocations, 1);
    void* first = allocate(distinctSize(0));
    EXPECT_EQ(Totals::now().since(start).allocations, 2);
    for (void* p : {fresh, second, first}) release(p);
}

TEST_F(Chunks, TheSeventeenthOutstandingChunkUntracksTheFirst) {
    const Totals start = Totals::now();
    std::vector<void*> chunks;
    std::size_t bytes = 0;
    for (int k = 0; k < 17; ++k) {
        chunks.push_back(allocate(distinctSize(k)));
        bytes += distinctSize(k);
    }
    EXPECT_EQ(Totals::now().since(start).allocations, 17);
    EXPECT_EQ(Totals::now().since(start).frees, 0) << "the first chunk stays with its owner";
    // The first is no longer tracked: releasing it frees its device memory at once.
    release(chunks[0]);
    EXPECT_EQ(Totals::now().since(start).frees, 1);
    EXPECT_EQ(Totals::now().since(start).inUse, bytes - distinctSize(0));
    // The other sixteen are cached on release and handed out again without an allocation.
    for (int k = 1; k < 17; ++k) release(chunks[static_cast<std::size_t>(k)]);
    EXPECT_EQ(Totals::now().since(start).frees, 1);
    for (int k = 16; k >= 1; --k)
        EXPECT_EQ(allocate(distinctSize(k)), chunks[static_cast<std::size_t>(k)]) << k;
    EXPECT_EQ(Totals::now().since(start).allocations, 17);
    for (int k = 1; k < 17; ++k) release(chunks[static_cast<std::size_t>(k)]);
}

TEST_F(Chunks, AForeignPointerIsFreedDirectly) {
    void* p = nullptr;
    ASSERT_EQ(cudaMalloc(&p, 320), cudaSuccess);
    const Totals start = Totals::now();
    release(p);
    EXPECT_EQ(Totals::now().since(start).frees, 1);
    EXPECT_EQ(start.inUse - Totals::now().inUse, 320u);
}

TEST_F(Chunks, AFailedAllocationReleasesCachedChunksOldestFirstAndRetries) {
    void* a = allocate(distinctSize(0));
    void* b = allocate(distinctSize(1));
    release(a);
    release(b);
    Totals start = Totals::now();
    // The first attempt fails; the oldest cached chunk goes and the second attempt succeeds.
    lmx::cpu::injectFault(lmx::cpu::Fault::Allocation, 1, cudaErrorMemoryAllocation);
    void* c = allocate(distinctSize(2));
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "the failed attempt left an error behind";
    EXPECT_EQ(Totals::now().since(start).frees, 1);
    EXPECT_EQ(Totals::now().since(start).allocations, 1);
    EXPECT_EQ(allocate(distinctSize(1)), b) << "the newer cached chunk stays";
    release(c);
    release(b);
    // When every attempt fails, every cached chunk is given back before the failure is reported.
    start = Totals::now();
    void* p = reinterpret_cast<void*>(0x1);
    {
        const NoDeviceMemory full;
        EXPECT_EQ(LumerixMalloc(&p, distinctSize(9)), cudaErrorMemoryAllocation);
        EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess) << "answered by the return value only";
    }
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(Totals::now().since(start).frees, 2);
    release(allocate(distinctSize(9)));  // the allocator still works afterwards
}

// The error of the failed first attempt must not be left for the launch check of the operation
// that asked for the chunk. Run in a child process: if it were left, the check ends the process.
TEST(ChunkAllocatorDeathTest, ARecoveredAllocationFailureDoesNotEndTheOperation) {
    EXPECT_EXIT(
        {
            drainChunkAllocator();
            release(allocate(distinctSize(0)));  // a cached chunk to give back on failure
            Lumerix img = imageOf({1.0f, 2.0f, 3.0f});
            img.Lock();
            img.Release();
            lmx::cpu::injectFault(lmx::cpu::Fault::Allocation, 1, cudaErrorMemoryAllocation);
            const float total = sum(img);  // its 256-byte partial buffer is the next allocation
            std::exit(total == 6.0f ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
}
