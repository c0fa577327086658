// Moves hand the page over without copying; SetData and CopyTo move float data in one copy.

#include "TestSupport.h"

#include <cstring>
#include <string>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

// One move of each kind: construction and assignment.
struct MoveCase {
    const char* name;
    void (*move)(Lumerix& from, Lumerix& into);
};

const MoveCase kMoves[] = {
    {"construction",
     [](Lumerix& from, Lumerix& into) {
         into = Lumerix(std::move(from));
     }},
    {"assignment",
     [](Lumerix& from, Lumerix& into) {
         into = std::move(from);
     }},
};

}  // namespace

TEST(ImageMove, TakesOverThePageAndLeavesAnImageWithoutPixels) {
    for (const MoveCase& c : kMoves) {
        Lumerix from = imageOf(cmmDims(5, 3), ramp(15, 1.0f));
        fillOnDevice(from, 7.0f);
        Lumerix into = imageOf(cmmDims(2, 2), ramp(4));
        cmmPage* page = from.page;
        float* device = from.GetDevicePtr();
        const RuntimeTotals before = RuntimeTotals::now();
        c.move(from, into);
        EXPECT_EQ(into.page, page) << c.name;
        EXPECT_EQ(into.GetDevicePtr(), device) << c.name;
        EXPECT_EQ(from.GetDimensions().Size(), 0) << c.name;
        EXPECT_TRUE(from.GetDimensions() == cmmDims()) << c.name;
        if (kCpuBackend) {
            EXPECT_EQ(RuntimeTotals::now().since(before).deviceToDevice, 0) << c.name;
        }
        EXPECT_TRUE(sameFloats(pixels(into), ramp(15, 7.0f))) << c.name;
    }
}

TEST(ImageMove, RefusesALockedImageAndLeavesBothAsTheyWere) {
    for (const MoveCase& c : kMoves) {
        Lumerix from = imageOf(ramp(6, 2.0f));
        Lumerix into = imageOf(ramp(3));
        cmmPage* fromPage = from.page;
        cmmPage* intoPage = into.page;
        from.Lock();
        LMX_EXPECT_RUNTIME_ERROR(c.move(from, into), "Invalid state");
        from.Release();
        EXPECT_EQ(from.page, fromPage) << c.name;
        EXPECT_TRUE(sameFloats(pixels(from), ramp(6, 2.0f))) << c.name;
        EXPECT_EQ(into.page, intoPage) << c.name;
        EXPECT_TRUE(sameFloats(pixels(into), ramp(3))) << c.name;
    }
    // A locked target cannot give up its page either.
    Lumerix from = imageOf(ramp(4, 1.0f));
    Lumerix into = imageOf(ramp(2));
    into.Lock();
    LMX_EXPECT_RUNTIME_ERROR(into = std::move(from), "Invalid state");
    into.Release();
    EXPECT_TRUE(sameFloats(pixels(from), ramp(4, 1.0f)));
    EXPECT_TRUE(sameFloats(pixels(into), ramp(2)));
}

TEST(ImageData, SetDataAndCopyToMoveEachPixelOnceWhereverItIs) {
    const std::vector<float> values = randomValues(17 * 13, -5.0f, 5.0f, 3);
    Lumerix img(cmmDims(17, 13));
    const RuntimeTotals before = RuntimeTotals::now();
    img.SetData(values.data());
    std::vector<float> out(values.size());
    img.CopyTo(out.data());
    EXPECT_TRUE(sameFloats(out, values));
    if (kCpuBackend) {
        const RuntimeTotals copies = RuntimeTotals::now().since(before);
        EXPECT_EQ(copies.hostToDevice, 1);
        EXPECT_EQ(copies.deviceToHost, 1);
    }
    EXPECT_EQ(img.page->host, nullptr) << "no host copy is kept";

    // From the host copy, a locked image, a result on the device and an image without data.
    Lumerix onHost = imageOf(cmmDims(4, 2), ramp(8, 3.0f));
    std::vector<float> got(8);
    onHost.CopyTo(got.data());
    EXPECT_TRUE(sameFloats(got, ramp(8, 3.0f)));
    onHost.Lock();
    std::fill(got.begin(), got.end(), 0.0f);
    onHost.CopyTo(got.data());
    onHost.Release();
    EXPECT_TRUE(sameFloats(got, ramp(8, 3.0f)));
    Lumerix doubled = onHost + onHost;
    doubled.CopyTo(got.data());
    std::vector<float> want = ramp(8, 3.0f);
    for (float& v : want) v += v;
    EXPECT_TRUE(sameFloats(got, want));
    Lumerix empty(cmmDims(4, 2));
    std::fill(got.begin(), got.end(), 9.0f);
    empty.CopyTo(got.data());
    EXPECT_TRUE(sameFloats(got, std::vector<float>(8, 0.0f)));

    // SetData over a host copy replaces it.
    onHost.SetData(values.data());
    EXPECT_TRUE(sameFloats(pixels(onHost), std::vector<float>(values.begin(), values.begin() + 8)));
}

TEST(ImageData, ReshapeKeepsThePixelsWhereTheyAre) {
    Lumerix img = imageOf(cmmDims(6, 2), ramp(12, 1.0f));
    fillOnDevice(img, 4.0f);
    float* device = img.GetDevicePtr();
    img.Reshape(cmmDims(3, 2, 2));
    EXPECT_TRUE(img.GetDimensions() == cmmDims(3, 2, 2));
    EXPECT_EQ(img.Lock(), device) << "a relock, no transfer";
    img.Release();
    EXPECT_TRUE(sameFloats(pixels(img), ramp(12, 4.0f)));
    EXPECT_THROW(img.Reshape(cmmDims(5, 2)), std::invalid_argument);
    img.Lock();
    LMX_EXPECT_RUNTIME_ERROR(img.Reshape(cmmDims(12)), "Invalid state");
    img.Release();
}
