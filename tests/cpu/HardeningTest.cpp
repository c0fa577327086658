// The CPU backend under misuse and extreme arguments: the variance without device memory for
// another image of the input's size, the default capacity.

#include "TestSupport.h"
#include "cpu/StandIn.h"

#include <unistd.h>

#include <cstdlib>

using cmm::cmmDims;
using lmxtest::imageOf;

namespace {

// ---- variance without images of the input's size --------------------------------------------

TEST(Hardening, VarianceNeedsNoDeviceMemoryOfTheImagesSizeAndKeepsItsBits) {
    const cmmDims sizes[] = {cmmDims(1), cmmDims(1, 9), cmmDims(17, 13), cmmDims(3, 40),
                             cmmDims(301, 300)};
    for (const cmmDims& dims : sizes) {
        SCOPED_TRACE(dims.Size());
        Lumerix image =
            imageOf(dims, lmxtest::randomValues(static_cast<std::size_t>(dims.Size()), -3, 50));
        // The variance as the image of squared deviations and its sum give it.
        const float m = mean(image);
        float want = 0.0f;
        {
            Lumerix deviation = image - m;
            Lumerix squares = deviation * deviation;
            want = sum(squares) / static_cast<float>(dims.Size());
        }
        // Only the image on the device, locked while var runs: nothing to spill or take over.
        lmxtest::startClean();
        lmxtest::onDevice({&image});
        float got = 0.0f;
        {
            // Room for the partial results, not for another image of this size.
            const lmxtest::ScopedDeviceCapacity room(4096);
            got = var(image);
        }
        EXPECT_TRUE(lmxtest::sameFloat(got, want)) << got << " vs " << want;
    }
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
