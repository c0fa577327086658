// Extents and blocks: what the constructors take, the element counts they fix, equality, checked
// access and element counts that do not fit in an int.

#include "TestSupport.h"

#include <climits>
#include <stdexcept>
#include <vector>

using namespace cmm;
using namespace lmxtest;
using Ints = std::vector<int>;  // the extents, starts and ends, four each

TEST(Dims, TakeExtentsUpToTheFirstZeroAndPadWithOnes) {
    const struct {
        cmmDims dims;
        Ints extents;
        int size;
    } rows[] = {
        {cmmDims(640, 480), {640, 480, 1, 1}, 307200},
        {cmmDims(5, 0, 7), {5, 1, 1, 1}, 5},
        {cmmDims(2, 3, 4, 5), {2, 3, 4, 5}, 120},
        {cmmDims(3, 2, 0, 9), {3, 2, 1, 1}, 6},
        {cmmDims(-2, 3), {-2, 3, 1, 1}, -6},  // negative extents are taken as given
        {cmmDims(), {1, 1, 1, 1}, 0},         // unit extents, but no elements
        {cmmDims(1, 1, 1, 1), {1, 1, 1, 1}, 1},
        {cmmDims(cmmBlock(10, 20, 5, 15)), {10, 10, 1, 1}, 100},
        {cmmDims(cmmBlock()), {1, 1, 1, 1}, 1},  // the empty block spans one index per dimension
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.dims.dims, r.extents);
        EXPECT_EQ(r.dims.Size(), r.size) << r.extents[0];
    }
    // Copies keep the fixed Size(), even where it is not the product of the extents.
    cmmDims assigned(7, 7);
    assigned = cmmDims();
    EXPECT_EQ(assigned.dims, (Ints{1, 1, 1, 1}));
    EXPECT_EQ(assigned.Size(), 0);
    EXPECT_EQ(cmmDims(cmmDims()).Size(), 0);
}

TEST(Dims, EqualityComparesEveryExtentButNotTheSize) {
    EXPECT_EQ(cmmDims(4, 3), cmmDims(4, 3, 1, 1));
    EXPECT_NE(cmmDims(4, 3), cmmDims(3, 4));
    EXPECT_NE(cmmDims(4, 3), cmmDims(4, 3, 2));
    EXPECT_NE(cmmDims(4, 3, 2, 1), cmmDims(4, 3, 2, 2));
    EXPECT_TRUE(cmmDims(12) != cmmDims(3, 4));
    EXPECT_TRUE(cmmDims() == cmmDims(1, 1, 1, 1));  // Size() 0 and 1
    EXPECT_FALSE(cmmDims() != cmmDims(1, 1, 1, 1));
}

TEST(Block, TakePairsWhileOneOfTheirValuesIsNonZero) {
    const struct {
        cmmBlock block;
        Ints starts, ends;
        int size;
    } rows[] = {
        {cmmBlock(10, 20, 5, 15), {10, 5, 0, 0}, {20, 15, 1, 1}, 100},
        {cmmBlock(0, 8), {0, 0, 0, 0}, {8, 1, 1, 1}, 8},
        {cmmBlock(0, 8, 0, 0, 3, 4), {0, 0, 0, 0}, {8, 1, 1, 1}, 8},  // (0, 0) stops the taking
        {cmmBlock(2, 6, 3, 0), {2, 3, 0, 0}, {6, 0, 1, 1}, -12},      // a start alone is taken
        {cmmBlock(1, 3, 0, 2, 1, 4, 2, 3), {1, 0, 1, 2}, {3, 2, 4, 3}, 12},
        {cmmBlock(), {0, 0, 0, 0}, {1, 1, 1, 1}, 0},  // without a first pair nothing is taken
        {cmmBlock(0, 0, 2, 4), {0, 0, 0, 0}, {1, 1, 1, 1}, 0},
        {cmmBlock(cmmDims(8, 4)), {0, 0, 0, 0}, {8, 4, 1, 1}, 32},
        {cmmBlock(cmmDims()), {0, 0, 0, 0}, {1, 1, 1, 1}, 1},  // Size() 0, but one element
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.block.start, r.starts);
        EXPECT_EQ(r.block.end, r.ends);
        EXPECT_EQ(r.block.Size(), r.size) << r.ends[0];
    }
    cmmBlock assigned;
    assigned = cmmBlock(2, 5, 1, 3);
    EXPECT_EQ(assigned.start, (Ints{2, 1, 0, 0}));
    EXPECT_EQ(assigned.end, (Ints{5, 3, 1, 1}));
    EXPECT_EQ(assigned.Size(), 6);
}

TEST(Block, EqualityComparesRangesNotHowTheBlockWasMade) {
    EXPECT_EQ(cmmBlock(cmmDims(8, 4)), cmmBlock(0, 8, 0, 4));
    EXPECT_EQ(cmmBlock(cmmDims(8, 4, 2)), cmmBlock(0, 8, 0, 4, 0, 2));
    // The same element count over other ranges is another block.
    EXPECT_NE(cmmBlock(0, 4, 0, 2), cmmBlock(4, 8, 0, 2));
    EXPECT_NE(cmmBlock(0, 4, 0, 2), cmmBlock(0, 4, 2, 4));
    EXPECT_NE(cmmBlock(0, 4, 0, 2), cmmBlock(0, 2, 0, 4));
    EXPECT_FALSE(cmmBlock(0, 4, 0, 2) != cmmBlock(cmmDims(4, 2)));
    EXPECT_EQ(cmmBlock(), cmmBlock(cmmDims()));  // Size() 0 and 1
    EXPECT_EQ(cmmBlock(0, 0, 2, 4), cmmBlock());
}

TEST(DimsAccess, IndexOutsideTheFourDimensionsThrows) {
    const cmmDims d(3, 2);
    const cmmBlock b(0, 3, 0, 2);
    for (int i : {-1, 4}) {
        EXPECT_THROW(d.Dim(i), std::out_of_range);
        EXPECT_THROW(b.Start(i), std::out_of_range);
        EXPECT_THROW(b.End(i), std::out_of_range);
    }
    EXPECT_EQ(d.Dim(3), 1);
    EXPECT_EQ(b.Start(3), 0);
    EXPECT_EQ(b.End(3), 1);
}

TEST(DimsOverflow, ElementCountsBeyondIntThrow) {
    EXPECT_THROW(cmmDims(65536, 65536), std::overflow_error);
    EXPECT_THROW(cmmDims(65536, 32768), std::overflow_error);  // exactly 2^31
    EXPECT_THROW(cmmDims(2, 1024, 1024, 1024), std::overflow_error);
    EXPECT_THROW(cmmDims(-65536, 65536), std::overflow_error);
    // Overflow in an early product is caught even though small extents follow.
    EXPECT_THROW(cmmDims(1 << 20, 1 << 20, 1, 1), std::overflow_error);
    EXPECT_EQ(cmmDims(65536, 32767).Size(), 65536 * 32767);
    EXPECT_EQ(cmmDims(INT_MAX).Size(), INT_MAX);
    EXPECT_THROW(cmmBlock(0, 65536, 0, 65536), std::overflow_error);
    EXPECT_THROW(cmmBlock(0, 65536, 0, 32768), std::overflow_error);
    EXPECT_THROW(cmmBlock(0, 2, 0, 1024, 0, 1024, 0, 1024), std::overflow_error);
    // One range wider than an int can count.
    EXPECT_THROW(cmmBlock(-1, INT_MAX), std::overflow_error);
    EXPECT_THROW(cmmBlock(INT_MIN, 0, 0, 1), std::overflow_error);
    EXPECT_EQ(cmmBlock(0, 65536, 0, 32767).Size(), 65536 * 32767);
    // No element (the first range is empty), but a second range of 2^32 - 1 indices: an extent
    // that a cmmDims cannot hold.
    EXPECT_THROW(cmmDims(cmmBlock(1, 1, INT_MIN, INT_MAX)), std::overflow_error);
}
