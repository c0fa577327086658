// Copies and assignments of images when the CPU backend's device is full.

#include "TestSupport.h"
#include "cpu/StandIn.h"

#include <cstdlib>
#include <functional>

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

// Images without pixels move no data: the library issues no copy or set of zero bytes, whose
// answer a real runtime may give as an error when the image's device pointer is null.
TEST(EmptyImage, NoOperationIssuesACopyOfZeroBytes) {
    struct Step {
        const char* name;
        std::function<void(Lumerix&)> run;
    };
    float none[1] = {};
    unsigned char bytes[1] = {};
    unsigned short words[1] = {};
    const Step steps[] = {
        {"copy",
         [](Lumerix& a) {
             Lumerix b(a);
             a.Lock();  // with device memory now, however little
             a.Release();
             Lumerix c(a);
         }},
        {"assignment",
         [](Lumerix& a) {
             Lumerix b(cmmDims(3));
             b = a;
         }},
        {"SetData",
         [&](Lumerix& a) {
             a.SetData(none);
         }},
        {"CopyTo",
         [&](Lumerix& a) {
             a.CopyTo(none);
         }},
        {"lock, release and spill",
         [](Lumerix& a) {
             a.Lock();
             a.Release();
             startClean();
             a.Lock();
             a.Release();
         }},
        {"8-bit data",
         [&](Lumerix& a) {
             a.SetDataInt8(bytes);
             std::free(a.GetDataInt8());
         }},
        {"16-bit data",
         [&](Lumerix& a) {
             a.SetDataInt16(words);
             std::free(a.GetDataInt16());
         }},
        {"pixel-wise",
         [](Lumerix& a) {
             Lumerix b = a + a;
         }},
        {"shift and crop",
         [](Lumerix& a) {
             Lumerix b = a(1, 1);
             Lumerix c = a(0, 0, 0, 0);
         }},
        {"filters",
         [](Lumerix& a) {
             Lumerix b = erosion(a, 1, 1);
             Lumerix c = gauss(a, 1.0f);
         }},
    };
    // Images without pixels: the default one, and extents that start with 0 (the first zero
    // extent ends the list).
    for (int kind = 0; kind < 3; ++kind) {
        for (const Step& s : steps) {
            SCOPED_TRACE(testing::Message() << s.name << ", image " << kind);
            Lumerix a = kind == 0 ? Lumerix() : Lumerix(kind == 1 ? cmmDims(0) : cmmDims(0, 7));
            ASSERT_EQ(a.GetDimensions().Size(), 0);
            const long before = lmx::cpu::counters().emptyCopies;
            try {
                s.run(a);
            } catch (const std::exception&) {
                // A refusal of the empty image is fine; a copy of zero bytes is not.
            }
            EXPECT_EQ(lmx::cpu::counters().emptyCopies, before);
        }
    }
}
