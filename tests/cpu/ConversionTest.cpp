// Conversions against the CPU backend's counters and capacity: what crosses the bus, and the
// scratch buffer given back when the image cannot be had.

#include "ConversionSupport.h"
#include "TestSupport.h"
#include "cpu/StandIn.h"

#include <cstdlib>
#include <memory>
#include <vector>

using namespace cmm;
using namespace lmxtest;

TEST(Conversion, IntegerPixelsCrossTheBusInTheirNarrowFormThroughOneScratchBuffer) {
    const std::size_t n = 1000;
    const std::vector<unsigned char> bytes(n, 17);
    const std::vector<unsigned short> words(n, 1717);
    Lumerix img{cmmDims(40, 25)};
    RuntimeTotals before = RuntimeTotals::now();
    img.SetDataInt8(bytes.data());  // the image has no data yet: only the bytes go down
    const Owned<unsigned char> b(img.GetDataInt8());
    EXPECT_EQ(RuntimeTotals::now().since(before).hostToDeviceBytes, n);
    EXPECT_EQ(RuntimeTotals::now().since(before).deviceToHostBytes, n);
    before = RuntimeTotals::now();
    img.SetDataInt16(words.data());
    const Owned<unsigned short> w(img.GetDataInt16());
    EXPECT_EQ(RuntimeTotals::now().since(before).hostToDeviceBytes, 2 * n);
    EXPECT_EQ(RuntimeTotals::now().since(before).deviceToHostBytes, 2 * n);
    EXPECT_EQ(contents(w, n), words);
    // Repeated conversions of one size reuse the scratch buffer.
    before = RuntimeTotals::now();
    for (int k = 0; k < 3; ++k) {
        img.SetDataInt8(bytes.data());
        std::free(img.GetDataInt8());
    }
    EXPECT_EQ(RuntimeTotals::now().since(before).allocations, 0);
}

TEST(Conversion, OutOfMemoryForTheImageGivesTheScratchBufferBack) {
    const std::size_t n = 2000;
    const std::vector<unsigned char> bytes(n, 5), other(n, 200);
    Lumerix img{cmmDims(static_cast<int>(n))};
    img.SetDataInt8(bytes.data());  // leaves an n-byte scratch buffer in the chunk cache
    const std::vector<float> before = pixels(img);  // the image's device memory is now a zombie
    putDownAllZombies();
    {
        const NoDeviceMemory full;
        LMX_EXPECT_RUNTIME_ERROR(img.SetDataInt8(other.data()), "Out of memory");
    }
    EXPECT_EQ(img.page->lockCount, 0);
    EXPECT_EQ(pixels(img), before);
    // Had the failed call kept its scratch buffer, this one would need a new one.
    const long allocations = lmx::cpu::counters().allocations;
    img.SetDataInt8(other.data());
    EXPECT_EQ(lmx::cpu::counters().allocations - allocations, 1) << "only the image's memory";
    EXPECT_EQ(pixels(img), std::vector<float>(n, 200.0f));
}
