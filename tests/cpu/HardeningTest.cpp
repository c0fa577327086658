// The CPU backend under misuse and extreme arguments: the variance without device memory for
// another image of the input's size, the default capacity.

#include "TestSupport.h"
#include "VarianceSupport.h"
#include "cpu/StandIn.h"

#include <unistd.h>

#include <cstdlib>

using cmm::cmmDims;
using lmxtest::imageOf;

namespace {

// ---- variance without images of the input's size --------------------------------------------

TEST(Hardening, VarianceNeedsNoDeviceMemoryOfTheImagesSizeAndKeepsItsBits) {
    lmxtest::expectVarianceKeepsItsBits([](Lumerix& image) {
        // Room for the partial results, not for another image of this size.
        const lmxtest::ScopedDeviceCapacity room(4096);
        return var(image);
    });
}

// ---- the CPU backend's default capacity -----------------------------------------------------

TEST(Hardening, CpuDeviceCapacityDefaultsBelowThePhysicalMemory) {
    if (std::getenv("LUMERIX_CPU_DEVICE_MEMORY")) GTEST_SKIP() << "capacity set by the environment";
    const std::size_t physical = static_cast<std::size_t>(sysconf(_SC_PHYS_PAGES)) *
                                 static_cast<std::size_t>(sysconf(_SC_PAGE_SIZE));
    EXPECT_GT(lmx::cpu::deviceCapacity(), 0u);
    EXPECT_LT(lmx::cpu::deviceCapacity(), physical);
}

}  // namespace
