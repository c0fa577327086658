// Extents and blocks: what the constructors take, the element counts they fix, equality, checked
// access and element counts that do not fit in an int.

#include "TestSupport.h"

#include <climits>
#include <stdexcept>
#include <vector>

using cmm::cmmBlock;
using cmm::cmmDims;

namespace {

std::vector<int> extentsOf(const cmmDims& d) {
    std::vector<int> v;
    for (int i = 0; i < d.Dims(); ++i) v.push_back(d.Dim(i));
    return v;
}

std::vector<int> startsOf(const cmmBlock& b) {
    std::vector<int> v;
    for (int i = 0; i < b.Dims(); ++i) v.push_back(b.Start(i));
    return v;
}

std::vector<int> endsOf(const cmmBlock& b) {
    std::vector<int> v;
    for (int i = 0; i < b.Dims(); ++i) v.push_back(b.End(i));
    return v;
}

using Ints = std::vector<int>;

}  // namespace

TEST(Dims, TakeExtentsUpToTheFirstZeroAndPadWithOnes) {
    const cmmDims image(640, 480);
    EXPECT_EQ(image.Dims(), 4);
    EXPECT_EQ(extentsOf(image), (Ints{640, 480, 1, 1}));
    EXPECT_EQ(image.Size(), 307200);

    const cmmDims stopped(5, 0, 7);
    EXPECT_EQ(extentsOf(stopped), (Ints{5, 1, 1, 1}));
    EXPECT_EQ(stopped.Size(), 5);

    const cmmDims full(2, 3, 4, 5);
    EXPECT_EQ(extentsOf(full), (Ints{2, 3, 4, 5}));
    EXPECT_EQ(full.Size(), 120);

    const cmmDims third(3, 2, 0, 9);
    EXPECT_EQ(extentsOf(third), (Ints{3, 2, 1, 1}));
    EXPECT_EQ(third.Size(), 6);
}

TEST(Dims, EmptyDimsHaveUnitExtentsButNoElements) {
    const cmmDims empty;
    EXPECT_EQ(extentsOf(empty), (Ints{1, 1, 1, 1}));
    EXPECT_EQ(empty.Size(), 0);

    const cmmDims ones(1, 1, 1, 1);
    EXPECT_EQ(ones.Size(), 1);
    // Equality compares extents only.
    EXPECT_TRUE(empty == ones);
    EXPECT_FALSE(empty != ones);
}

TEST(Dims, EqualityComparesEveryExtent) {
    EXPECT_EQ(cmmDims(4, 3), cmmDims(4, 3, 1, 1));
    EXPECT_NE(cmmDims(4, 3), cmmDims(3, 4));
    EXPECT_NE(cmmDims(4, 3), cmmDims(4, 3, 2));
    EXPECT_NE(cmmDims(4, 3, 2, 1), cmmDims(4, 3, 2, 2));
    EXPECT_TRUE(cmmDims(12) != cmmDims(3, 4));
}

TEST(Dims, NegativeExtentsAreTakenAsGiven) {
    const cmmDims d(-2, 3);
    EXPECT_EQ(extentsOf(d), (Ints{-2, 3, 1, 1}));
    EXPECT_EQ(d.Size(), -6);
}

TEST(Dims, CopyAndAssignmentKeepExtentsAndSize) {
    const cmmDims original;  // Size() 0 although the product of its extents is 1
    cmmDims copy(original);
    EXPECT_EQ(copy, original);
    EXPECT_EQ(copy.Size(), 0);

    cmmDims assigned(7, 7);
    assigned = original;
    EXPECT_EQ(extentsOf(assigned), (Ints{1, 1, 1, 1}));
    EXPECT_EQ(assigned.Size(), 0);
}

TEST(Dims, FromBlockTakeTheBlockExtents) {
    const cmmBlock block(10, 20, 5, 15);
    const cmmDims d(block);
    EXPECT_EQ(extentsOf(d), (Ints{10, 10, 1, 1}));
    EXPECT_EQ(d.Size(), 100);

    // The empty block covers one element in each dimension.
    const cmmDims one{cmmBlock()};
    EXPECT_EQ(extentsOf(one), (Ints{1, 1, 1, 1}));
    EXPECT_EQ(one.Size(), 1);
}

TEST(Block, TakePairsWhileOneOfTheirValuesIsNonZero) {
    const cmmBlock b(10, 20, 5, 15);
    EXPECT_EQ(b.Dims(), 4);
    EXPECT_EQ(startsOf(b), (Ints{10, 5, 0, 0}));
    EXPECT_EQ(endsOf(b), (Ints{20, 15, 1, 1}));
    EXPECT_EQ(b.Size(), 100);

    const cmmBlock row(0, 8);
    EXPECT_EQ(startsOf(row), (Ints{0, 0, 0, 0}));
    EXPECT_EQ(endsOf(row), (Ints{8, 1, 1, 1}));
    EXPECT_EQ(row.Size(), 8);

    // A pair (0, 0) stops the taking, even when later pairs are given.
    const cmmBlock stopped(0, 8, 0, 0, 3, 4);
    EXPECT_EQ(startsOf(stopped), (Ints{0, 0, 0, 0}));
    EXPECT_EQ(endsOf(stopped), (Ints{8, 1, 1, 1}));
    EXPECT_EQ(stopped.Size(), 8);

    // A pair with only a non-zero start is taken.
    const cmmBlock startOnly(2, 6, 3, 0);
    EXPECT_EQ(startsOf(startOnly), (Ints{2, 3, 0, 0}));
    EXPECT_EQ(endsOf(startOnly), (Ints{6, 0, 1, 1}));
    EXPECT_EQ(startOnly.Size(), -12);

    const cmmBlock four(1, 3, 0, 2, 1, 4, 2, 3);
    EXPECT_EQ(startsOf(four), (Ints{1, 0, 1, 2}));
    EXPECT_EQ(endsOf(four), (Ints{3, 2, 4, 3}));
    EXPECT_EQ(four.Size(), 12);
}

TEST(Block, WithoutFirstPairTakesNothing) {
    const cmmBlock empty;
    EXPECT_EQ(startsOf(empty), (Ints{0, 0, 0, 0}));
    EXPECT_EQ(endsOf(empty), (Ints{1, 1, 1, 1}));
    EXPECT_EQ(empty.Size(), 0);

    const cmmBlock ignored(0, 0, 2, 4);
    EXPECT_EQ(startsOf(ignored), (Ints{0, 0, 0, 0}));
    EXPECT_EQ(endsOf(ignored), (Ints{1, 1, 1, 1}));
    EXPECT_EQ(ignored.Size(), 0);
    EXPECT_EQ(ignored, empty);
}

TEST(Block, FromDimsCoversTheWholeArray) {
    const cmmBlock whole{cmmDims(8, 4)};
    EXPECT_EQ(startsOf(whole), (Ints{0, 0, 0, 0}));
    EXPECT_EQ(endsOf(whole), (Ints{8, 4, 1, 1}));
    EXPECT_EQ(whole.Size(), 32);

    // cmmDims() has Size() 0 but its block covers one element.
    const cmmBlock ofEmpty{cmmDims()};
    EXPECT_EQ(ofEmpty.Size(), 1);
    EXPECT_EQ(endsOf(ofEmpty), (Ints{1, 1, 1, 1}));
}

TEST(Block, EqualityComparesRangesNotHowTheBlockWasMade) {
    EXPECT_EQ(cmmBlock(cmmDims(8, 4)), cmmBlock(0, 8, 0, 4));
    EXPECT_EQ(cmmBlock(cmmDims(8, 4, 2)), cmmBlock(0, 8, 0, 4, 0, 2));
    // The same element count over other ranges is another block.
    EXPECT_NE(cmmBlock(0, 4, 0, 2), cmmBlock(4, 8, 0, 2));
    EXPECT_NE(cmmBlock(0, 4, 0, 2), cmmBlock(0, 4, 2, 4));
    EXPECT_NE(cmmBlock(0, 4, 0, 2), cmmBlock(0, 2, 0, 4));
    EXPECT_FALSE(cmmBlock(0, 4, 0, 2) != cmmBlock(cmmDims(4, 2)));
    // Size is not compared: cmmBlock() (Size 0) equals the block of cmmDims() (Size 1).
    EXPECT_EQ(cmmBlock(), cmmBlock(cmmDims()));
}

TEST(Block, CopyAndAssignmentKeepRangesAndSize) {
    const cmmBlock original(2, 5, 1, 3);
    cmmBlock copy(original);
    EXPECT_EQ(copy, original);
    EXPECT_EQ(copy.Size(), 6);

    cmmBlock assigned;
    assigned = original;
    EXPECT_EQ(startsOf(assigned), (Ints{2, 1, 0, 0}));
    EXPECT_EQ(endsOf(assigned), (Ints{5, 3, 1, 1}));
    EXPECT_EQ(assigned.Size(), 6);
}

TEST(DimsAccess, IndexOutsideTheFourDimensionsThrows) {
    const cmmDims d(3, 2);
    EXPECT_THROW(d.Dim(4), std::out_of_range);
    EXPECT_THROW(d.Dim(-1), std::out_of_range);
    EXPECT_EQ(d.Dim(3), 1);

    const cmmBlock b(0, 3, 0, 2);
    EXPECT_THROW(b.Start(-1), std::out_of_range);
    EXPECT_THROW(b.Start(4), std::out_of_range);
    EXPECT_THROW(b.End(4), std::out_of_range);
    EXPECT_THROW(b.End(-1), std::out_of_range);
    EXPECT_EQ(b.Start(3), 0);
    EXPECT_EQ(b.End(3), 1);
}

TEST(DimsOverflow, ElementCountBeyondIntThrows) {
    EXPECT_THROW(cmmDims(65536, 65536), std::overflow_error);
    EXPECT_THROW(cmmDims(65536, 32768), std::overflow_error);  // exactly 2^31
    EXPECT_THROW(cmmDims(2, 1024, 1024, 1024), std::overflow_error);
    EXPECT_THROW(cmmDims(-65536, 65536), std::overflow_error);
    // Overflow in an early product is caught even though it is followed by small extents.
    EXPECT_THROW(cmmDims(1 << 20, 1 << 20, 1, 1), std::overflow_error);

    const cmmDims largest(65536, 32767);
    EXPECT_EQ(largest.Size(), 65536 * 32767);
    EXPECT_EQ(cmmDims(INT_MAX).Size(), INT_MAX);
}

TEST(DimsOverflow, BlockElementCountBeyondIntThrows) {
    EXPECT_THROW(cmmBlock(0, 65536, 0, 65536), std::overflow_error);
    EXPECT_THROW(cmmBlock(0, 65536, 0, 32768), std::overflow_error);
    EXPECT_THROW(cmmBlock(0, 2, 0, 1024, 0, 1024, 0, 1024), std::overflow_error);
    // One range wider than an int can count.
    EXPECT_THROW(cmmBlock(-1, INT_MAX), std::overflow_error);
    EXPECT_THROW(cmmBlock(INT_MIN, 0, 0, 1), std::overflow_error);

    EXPECT_EQ(cmmBlock(0, 65536, 0, 32767).Size(), 65536 * 32767);
}

TEST(DimsOverflow, ExtentOfABlockWiderThanAnIntThrows) {
    // The block holds no element (its first range is empty), but its second range spans 2^32 - 1
    // indices: an extent that a cmmDims cannot hold.
    EXPECT_THROW(cmmDims(cmmBlock(1, 1, INT_MIN, INT_MAX)), std::overflow_error);
}
