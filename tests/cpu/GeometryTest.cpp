// Geometric operations against the CPU backend's launch log, capacity and injected faults.

#include "TestSupport.h"
#include "cpu/StandIn.h"

using namespace cmm;
using namespace lmxtest;

TEST(Geometry, LaunchesThePlaneShapeAndUnlocksEverythingWhenTheResultCannotBeHad) {
    const std::vector<float> v = ramp(33 * 25);
    Lumerix img = imageOf(cmmDims(33, 25), v);
    float m[6] = {1, 0, 0, 0, 1, 0};
    // Each result is 33 x 25; `reads` tells whether the operation locks the source as well.
    const struct {
        bool reads;
        std::function<Lumerix()> op;
    } ops[] = {{true,
                [&] {
                    return img(1, 1);
                }},
               {true,
                [&] {
                    return img(0, 33, 0, 25);
                }},
               {true,
                [&] {
                    return slice(img, 0.5f, 0, 33, 25);
                }},
               {false,
                [&] {
                    return xx(img);
                }},
               {false,
                [&] {
                    return yy(img);
                }},
               {true,
                [&] {
                    return affine(img, m);
                }},
               {true, [&] {
                    return resize(img, cmmDims(33, 25), 1, 1);
                }}};
    for (const auto& o : ops) {
        const RuntimeTotals before = RuntimeTotals::now();
        o.op();
        EXPECT_EQ(RuntimeTotals::now().since(before).deviceToDevice, 0);  // returned, not copied
        const lmx::cpu::LaunchRecord& last = lmx::cpu::launchLog().back();
        EXPECT_EQ(last.grid.x * 100 + last.grid.y, 303u) << last.kernel;
        EXPECT_EQ(last.block.x * 100 + last.block.y, 1612u) << last.kernel;
        // Room for the source but not for the result: the source is locked when the result's
        // lock throws, and must come out released.
        startClean();
        releaseCachedChunks();
        ScopedDeviceCapacity room(o.reads ? v.size() * sizeof(float) + 64 : 64);
        LMX_EXPECT_RUNTIME_ERROR(o.op(), "Out of memory");
        EXPECT_EQ(img.page->lockCount, 0) << last.kernel;
    }
    expectCachedWith(img, v);
}

TEST(GeometryDeathTest, AFailedLaunchIsReportedFromTheGeometricUnit) {
    EXPECT_EXIT(
        {
            Lumerix a = imageOf(cmmDims(5, 3), ramp(15));
            lmx::cpu::injectFault(lmx::cpu::Fault::Launch, 1, cudaErrorLaunchFailure);
            a(1, 1);
        },
        ::testing::ExitedWithCode(1),
        "^LUMERIX error\nLumerixGeometric\\.cpp:[0-9]+ : unspecified launch failure\n");
}
