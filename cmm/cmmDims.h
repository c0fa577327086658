#pragma once
//! \file
//! Extents of a managed array (up to four dimensions) and rectangular blocks of it.

#include <cmm/cmmExport.h>

#include <vector>

namespace cmm {

class cmmBlock;

//! Extents of an array, dimension 0 fastest. Always four entries; extents not given are 1.
//! Size() is fixed at construction: cmmDims() has four extents of 1 but Size() 0.
//! An element count that does not fit in an int throws std::overflow_error.
class LMX_API cmmDims {
public:
    //! The four extents, dimension 0 (the row width) first.
    std::vector<int> dims;
    //! The element count, fixed at construction (see Size()).
    int size;

    //! Extents d0 x d1 x d2 x d3: the first extent given as 0 ends the list and the rest are 1.
    //! Size() is the product of the extents before it (0 when d0 is 0).
    cmmDims(int d0 = 0, int d1 = 0, int d2 = 0, int d3 = 0);
    //! The extents of a block: End(i) - Start(i) in each dimension.
    explicit cmmDims(const cmmBlock& block);

    //! The number of extents: always 4.
    int Dims() const { return static_cast<int>(dims.size()); }
    //! Checked access: an index outside 0..Dims()-1 throws std::out_of_range.
    int Dim(int i) const;
    //! The element count.
    int Size() const { return size; }

    //! Equal extents (Size() is not compared).
    bool operator==(const cmmDims& other) const { return dims == other.dims; }
    //! Different extents.
    bool operator!=(const cmmDims& other) const { return !(*this == other); }
};

//! A half-open range [start, end) per dimension; trailing dimensions are [0, 1).
class LMX_API cmmBlock {
public:
    //! The first index of each dimension.
    std::vector<int> start;
    //! One past the last index of each dimension.
    std::vector<int> end;
    //! The element count of the block.
    int size;

    //! The block [s0, e0) x [s1, e1) x [s2, e2) x [s3, e3); cmmBlock() is the empty block.
    cmmBlock(int s0 = 0, int e0 = 0, int s1 = 0, int e1 = 0, int s2 = 0, int e2 = 0, int s3 = 0,
             int e3 = 0);
    //! The whole array of the given extents.
    explicit cmmBlock(const cmmDims& dims);

    //! The number of dimensions: always 4.
    int Dims() const { return static_cast<int>(start.size()); }
    //! Checked access to start: an index outside 0..Dims()-1 throws std::out_of_range.
    int Start(int i) const;
    //! Checked access to end: an index outside 0..Dims()-1 throws std::out_of_range.
    int End(int i) const;
    //! The element count.
    int Size() const { return size; }

    //! The same starts and the same ends.
    bool operator==(const cmmBlock& other) const {
        return start == other.start && end == other.end;
    }
    //! A start or an end differs.
    bool operator!=(const cmmBlock& other) const { return !(*this == other); }
};

}  // namespace cmm
