// Copies and assignments of images when the CPU backend's device is full.

#include "TestSupport.h"
#include "cpu/StandIn.h"

using namespace cmm;
using namespace lmxtest;

// Out of memory while the source is locked for the copy: neither image may stay locked.
TEST(ImageAssignment, OutOfMemoryDuringACopyOrAnAssignmentLeavesNoImageLocked) {
    startClean();
    Lumerix source(cmmDims(50, 10)), target(cmmDims(10, 10));
    fillOnDevice(source, 2.0f);
    fillOnDevice(target, 0.0f);
    {
        // The locked source cannot be spilled, and the target's old memory is too small.
        const ScopedDeviceCapacity full(0);
        LMX_EXPECT_RUNTIME_ERROR(target = source, "Out of memory");
        const std::size_t stored = cmmStored().list->size();
        LMX_EXPECT_RUNTIME_ERROR(Lumerix copy(source), "Out of memory");
        EXPECT_EQ(cmmStored().list->size(), stored);  // the copy's page went with it
    }
    EXPECT_FALSE(inState(target.page, cmmLocked()));
    EXPECT_EQ(target.page->lockCount, 0);
    expectCachedWith(source, ramp(500, 2.0f));
}
