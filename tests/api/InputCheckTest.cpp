// Inputs that used to read or write past an array, or to be taken for something else: an output
// of split3 that is also its input, blocks outside their array, negative element counts,
// operands of equal extents but different element counts, a merged extent past INT_MAX.

#include "TestSupport.h"

#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

using namespace cmm;
using namespace lmxtest;

namespace {

std::vector<float> channelOf(const std::vector<float>& merged, int k) {
    std::vector<float> c;
    for (std::size_t i = static_cast<std::size_t>(k); i < merged.size(); i += 3)
        c.push_back(merged[i]);
    return c;
}

// Everything of a page that a refused call must leave as it was.
struct PageView {
    int lockCount;
    float* host;
    float* device;
    cmmBlock block;
    cmmDims dims;

    explicit PageView(const Lumerix& image)
        : lockCount(image.page->lockCount),
          host(image.page->host),
          device(image.page->device),
          block(image.page->block),
          dims(image.page->dims) {}
    bool operator==(const PageView& o) const {
        return lockCount == o.lockCount && host == o.host && device == o.device &&
               block == o.block && dims == o.dims && dims.Size() == o.dims.Size();
    }
};

}  // namespace

// ---- split3 with an output that is its input --------------------------------------------------

TEST(SplitAliasing, AnyOutputMayBeTheMergedImage) {
    const cmmDims merged(7, 5, 3);
    const std::vector<float> values = randomValues(105, -9.0f, 9.0f, 31);
    const std::vector<float> want[3] = {channelOf(values, 0), channelOf(values, 1),
                                        channelOf(values, 2)};
    for (int position = 0; position < 4; ++position) {  // 3: the merged image is all three
        SCOPED_TRACE(position);
        Lumerix m = imageOf(merged, values);
        if (position % 2) onDevice({&m});  // from the host and from the device
        Lumerix x, y, z;
        Lumerix* outs[3] = {&x, &y, &z};
        if (position < 3)
            outs[position] = &m;
        else
            outs[0] = outs[1] = outs[2] = &m;
        split3(m, *outs[0], *outs[1], *outs[2]);
        for (int k = 0; k < 3; ++k) {
            if (position == 3 && k < 2) continue;  // the last assignment wins
            EXPECT_EQ(outs[k]->GetDimensions(), cmmDims(7, 5, 1)) << k;
            EXPECT_EQ(outs[k]->GetDimensions().Size(), 35) << k;
            EXPECT_TRUE(sameFloats(pixels(*outs[k]), want[k])) << "channel " << k;
        }
        EXPECT_TRUE(cmmLocked().list->empty());
    }
}

TEST(SplitAliasing, ALockedOutputRefusesTheCallBeforeAnyOutputIsReplaced) {
    const std::vector<float> values = ramp(48);
    Lumerix m = imageOf(cmmDims(4, 4, 3), values);
    Lumerix o0 = imageOf({1.0f, 2.0f}), o1 = imageOf({3.0f}), o2 = imageOf({4.0f, 5.0f, 6.0f});
    o1.Lock();
    const PageView before0(o0), before1(o1), before2(o2);
    cmmPage* const pages[3] = {o0.page, o1.page, o2.page};
    // Wherever the locked output is, the ones before it are not replaced either.
    LMX_EXPECT_RUNTIME_ERROR(split3(m, o0, o1, o2), "Invalid state");
    LMX_EXPECT_RUNTIME_ERROR(split3(m, o0, o2, o1), "Invalid state");
    LMX_EXPECT_RUNTIME_ERROR(split3(m, o1, o0, o2), "Invalid state");
    EXPECT_EQ(o0.page, pages[0]);
    EXPECT_EQ(o1.page, pages[1]);
    EXPECT_EQ(o2.page, pages[2]);
    EXPECT_TRUE(PageView(o0) == before0 && PageView(o1) == before1 && PageView(o2) == before2);
    o1.Release();
    EXPECT_EQ(pixels(o0), (std::vector<float>{1.0f, 2.0f}));
    EXPECT_EQ(pixels(o1), (std::vector<float>{3.0f}));
    EXPECT_EQ(pixels(o2), (std::vector<float>{4.0f, 5.0f, 6.0f}));
    EXPECT_TRUE(sameFloats(pixels(m), values));
}

// ---- blocks against their array ---------------------------------------------------------------

TEST(BlockBounds, ABlockOutsideItsArrayIsRefusedAndTheArrayKeepsItsState) {
    const struct {
        cmmDims dims;
        cmmBlock block;
    } refused[] = {
        {cmmDims(8, 4), cmmBlock(0, 8, 2, 6)},           // rows 2 to 6 of 4
        {cmmDims(8, 4), cmmBlock(4, 9, 0, 4)},           // columns past the width
        {cmmDims(8, 4), cmmBlock(-1, 3, 0, 2)},          // a negative start
        {cmmDims(8, 4), cmmBlock(3, 3, 0, 2)},           // an empty range
        {cmmDims(8, 4), cmmBlock(5, 2, 0, 2)},           // a reversed range
        {cmmDims(8, 4), cmmBlock(0, 4, 0, 8)},           // the element count, another shape
        {cmmDims(8, 4), cmmBlock(0, 32)},                // the element count as one row
        {cmmDims(8, 4, 2), cmmBlock(0, 8, 0, 4)},        // part of the third extent
        {cmmDims(8, 4, 2), cmmBlock(0, 8, 0, 4, 1, 2)},  // another part of it
        {cmmDims(8, 4, 1, 3), cmmBlock(0, 8, 0, 4, 0, 1, 0, 2)},  // part of the fourth
        {cmmDims(8, 4), cmmBlock()},  // ranges of one element holding none (found by fuzzing)
        {cmmDims(1, 1), cmmBlock()},  // the same over the whole of a 1 x 1 array
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(::testing::Message()
                     << "block [" << c.block.Start(0) << ", " << c.block.End(0) << ") x ["
                     << c.block.Start(1) << ", " << c.block.End(1) << ") of " << c.dims.Size());
        const std::vector<float> values = ramp(c.dims.Size(), 1.0f);
        for (bool cached : {false, true}) {
            Lumerix image = imageOf(c.dims, values);
            if (cached) onDevice({&image});
            const PageView before(image);
            const long long locks = lockTotal;
            try {
                image.Lock(c.block);
                ADD_FAILURE() << "the block was taken";
                image.Release();
            } catch (const std::invalid_argument& e) {
                const std::string what = e.what();
                const std::string extents = "(" + std::to_string(c.dims.Dim(0)) + ", " +
                                            std::to_string(c.dims.Dim(1)) + ", " +
                                            std::to_string(c.dims.Dim(2)) + ", " +
                                            std::to_string(c.dims.Dim(3)) + ")";
                EXPECT_NE(what.find(extents), std::string::npos) << what;
                EXPECT_NE(what.find("[" + std::to_string(c.block.Start(1)) + ", " +
                                    std::to_string(c.block.End(1)) + ")"),
                          std::string::npos)
                    << what;
            }
            EXPECT_EQ(lockTotal, locks);
            EXPECT_TRUE(PageView(image) == before) << "cached " << cached;
            EXPECT_TRUE(inState(image.page, cached ? cmmCached() : cmmStored()));
            EXPECT_EQ(pixels(image), values);
        }
    }
}

TEST(BlockBounds, BlocksInsideTheRowsAndColumnsAreTaken) {
    const std::vector<float> values = ramp(32, 1.0f);
    for (const cmmBlock& block : {cmmBlock(0, 8, 2, 4), cmmBlock(2, 6, 1, 3), cmmBlock(7, 8, 3, 4),
                                  cmmBlock(0, 8, 0, 4), cmmBlock(cmmDims(8, 4))}) {
        Lumerix image = imageOf(cmmDims(8, 4), values);
        float* device = image.Lock(block);
        ASSERT_NE(device, nullptr);
        const int w = block.End(0) - block.Start(0), h = block.End(1) - block.Start(1);
        const std::vector<float> got = deviceValues(device, w * h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                EXPECT_EQ(got[static_cast<std::size_t>(y * w + x)],
                          values[static_cast<std::size_t>((block.Start(1) + y) * 8 +
                                                          block.Start(0) + x)]);
        image.Release();
        EXPECT_EQ(pixels(image), values);
    }
}

// ---- element counts ---------------------------------------------------------------------------

TEST(ElementCounts, ANegativeCountIsRefusedBeforeAnyMemoryIsReclaimed) {
    startClean();
    Lumerix cached = imageOf(ramp(100));
    onDevice({&cached});
    {
        Lumerix z(cmmDims(50));
        z.Lock();
        z.Release();
    }
    const std::size_t zombies = cmmZombie().list->size();
    const std::size_t newPages = cmmNew().list->size();
    const ManagerTotals before = ManagerTotals::now();
    for (const cmmDims& dims : {cmmDims(-5), cmmDims(4, -3), cmmDims(2, 3, -1, 7)}) {
        ASSERT_LT(dims.Size(), 0);
        EXPECT_THROW(Lumerix image(dims), std::invalid_argument) << dims.Size();
        EXPECT_THROW(cmmPagedMemory handle(dims, nullptr, true), std::invalid_argument);
    }
    // Two negative extents give a positive count; the array is associated, and a lock is
    // refused by the block check instead.
    Lumerix odd(cmmDims(-2, -3));
    EXPECT_THROW(odd.Lock(), std::invalid_argument);
    EXPECT_THROW(odd + odd, std::invalid_argument);
    const ManagerTotals after = ManagerTotals::now().since(before);
    EXPECT_EQ(after.putDowns, 0);
    EXPECT_EQ(after.spills, 0);
    EXPECT_EQ(cmmZombie().list->size(), zombies);
    EXPECT_EQ(cmmNew().list->size(), newPages) << "a refused page was left behind";
    EXPECT_TRUE(inState(cached.page, cmmCached()));
}

TEST(ElementCounts, OperandsOfEqualExtentsButOtherCountsDoNotMatch) {
    Lumerix one = imageOf(cmmDims(1), {5.0f}), empty;
    ASSERT_EQ(one.GetDimensions(), empty.GetDimensions());  // extents (1, 1, 1, 1) both
    const RuntimeTotals runtime = RuntimeTotals::now();
    LMX_EXPECT_RUNTIME_ERROR(one + empty, "Image sizes do not match");
    LMX_EXPECT_RUNTIME_ERROR(empty - one, "Image sizes do not match");
    LMX_EXPECT_RUNTIME_ERROR(fmax(one, empty), "Image sizes do not match");
    LMX_EXPECT_RUNTIME_ERROR(one ^ empty, "Image sizes do not match");
    LMX_EXPECT_RUNTIME_ERROR(merge3(one, one, empty), "Image sizes do not match");
    LMX_EXPECT_RUNTIME_ERROR(merge3(empty, one, one), "Image sizes do not match");
    EXPECT_EQ(RuntimeTotals::now().since(runtime).launches, 0);
    // Images without pixels give images without pixels.
    Lumerix e2, e3;
    Lumerix sumOfEmpty = empty + e2, minOfEmpty = fmin(empty, e2), merged = merge3(empty, e2, e3);
    for (Lumerix* r : {&sumOfEmpty, &minOfEmpty, &merged}) {
        EXPECT_EQ(r->GetDimensions().Size(), 0);
        EXPECT_EQ(r->GetDimensions(), cmmDims());
    }
    Lumerix x = imageOf({1.0f}), y = imageOf({2.0f}), z = imageOf({3.0f});
    split3(empty, x, y, z);
    for (Lumerix* c : {&x, &y, &z}) EXPECT_EQ(c->GetDimensions().Size(), 0);
    EXPECT_EQ(RuntimeTotals::now().since(runtime).launches, 0);
    EXPECT_EQ(pixels(one + one), std::vector<float>{10.0f});
}

TEST(ElementCounts, AMergedThirdExtentPastIntMaxOverflows) {
    // No memory is touched: the extents are refused before anything is locked.
    const int d2 = INT_MAX / 3 + 1;
    Lumerix c(cmmDims(1, 1, d2));
    const long long locks = lockTotal;
    EXPECT_THROW(merge3(c, c, c), std::overflow_error);
    EXPECT_EQ(lockTotal, locks);
    Lumerix fits(cmmDims(1, 1, INT_MAX / 3));
    EXPECT_EQ(fits.GetDimensions().Size(), INT_MAX / 3);
}
