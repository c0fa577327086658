// Callers on several threads while the manager reclaims and spills under a small device
// capacity: each thread still gets the results of a single-threaded run.

#include "ThreadSafetySupport.h"
#include "cpu/StandIn.h"

namespace {

// Room for a few images only: threads make each other's pages spill and zombies go.
struct SmallCapacity : lmxtest::ScopedDeviceCapacity {
    SmallCapacity() : ScopedDeviceCapacity(6 * 41 * 25 * sizeof(float) * 8) {}
};

}  // namespace

TEST(ThreadSafety, ThreadsOfMixedOperationsUnderASmallCapacityGetTheSingleThreadedResults) {
    lmxtest::expectThreadsGetTheirResultsAlone<SmallCapacity>();
}
