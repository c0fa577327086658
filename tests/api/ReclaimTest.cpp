// Device memory reclamation: zombies reused by element count, zombies put down oldest first,
// cached pages spilled in the order of their release, and "Out of memory" once only locked
// pages hold device memory. The CPU backend's capacity makes the device fill up on demand.

#include "TestSupport.h"

#include <memory>
#include <stdexcept>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

// Leaves a zombie holding the device memory of an array of the given extents; returns its buffer.
[[maybe_unused]] float* makeZombie(const cmmDims& dims) {
    Lumerix image(dims);
    float* device = image.Lock();
    image.Release();
    return device;
}

// Every test starts with no zombie and no cached page, so that the reclamation order is its own.
class Reclaim : public ::testing::Test {
protected:
    void SetUp() override { startClean(); }
    void TearDown() override { cudaGetLastError(); }
};

}  // namespace

TEST_F(Reclaim, TheOldestZombieOfTheSameElementCountIsTakenOverWithoutAllocation) {
    // All hold device memory at once, so that none takes over another's; then they become
    // zombies in this order.
    std::vector<std::unique_ptr<Lumerix>> images;
    std::vector<float*> buffers;
    for (const cmmDims& d : {cmmDims(300), cmmDims(299), cmmDims(15, 20), cmmDims(301)}) {
        images.push_back(std::make_unique<Lumerix>(d));
        buffers.push_back(images.back()->Lock());
    }
    for (auto& image : images) {
        image->Release();
        image.reset();
    }
    ASSERT_EQ(zombieBuffers(), buffers);
    const ManagerTotals totals = ManagerTotals::now();
    const RuntimeTotals runtime = RuntimeTotals::now();
    Lumerix same(cmmDims(3, 100));  // another shape, the same element count
    EXPECT_EQ(same.Lock(), buffers[0]);
    Lumerix other(cmmDims(256));  // no zombie of its count
    float* device = other.Lock();
    for (float* b : buffers) EXPECT_NE(device, b);
    EXPECT_EQ(zombieBuffers(), (std::vector<float*>{buffers[1], buffers[2], buffers[3]}));
    const ManagerTotals counted = ManagerTotals::now().since(totals);
    EXPECT_EQ(counted.cacheHits, 1);
    EXPECT_EQ(counted.putDowns, 0);
    if (kCpuBackend) {
        EXPECT_EQ(RuntimeTotals::now().since(runtime).allocations, 1);
    }
    same.Release();
    other.Release();
}
