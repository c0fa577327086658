#pragma once
// Extents of a managed array (up to four dimensions) and rectangular blocks of it.

#include <cmm/cmmExport.h>

#include <vector>

namespace cmm {

class cmmBlock;

//! Extents of an array, dimension 0 fastest. Always four entries; extents not given are 1.
//! Size() is fixed at construction: cmmDims() has four extents of 1 but Size() 0.
//! An element count that does not fit in an int throws std::overflow_error.
class LMX_API cmmDims {
public:
    std::vector<int> dims;
    int size;

    cmmDims(int d0 = 0, int d1 = 0, int d2 = 0, int d3 = 0);
    explicit cmmDims(const cmmBlock& block);

    int Dims() const { return static_cast<int>(dims.size()); }
    //! Checked access: an index outside 0..Dims()-1 throws std::out_of_range.
    int Dim(int i) const;
    int Size() const { return size; }

    bool operator==(const cmmDims& other) const { return dims == other.dims; }
    bool operator!=(const cmmDims& other) const { return !(*this == other); }
};

//! A half-open range [start, end) per dimension; trailing dimensions are [0, 1).
class LMX_API cmmBlock {
public:
    std::vector<int> start;
    std::vector<int> end;
    int size;

    cmmBlock(int s0 = 0, int e0 = 0, int s1 = 0, int e1 = 0, int s2 = 0, int e2 = 0, int s3 = 0,
             int e3 = 0);
    explicit cmmBlock(const cmmDims& dims);

    int Dims() const { return static_cast<int>(start.size()); }
    int Start(int i) const;
    int End(int i) const;
    int Size() const { return size; }

    bool operator==(const cmmBlock& other) const {
        return start == other.start && end == other.end;
    }
    bool operator!=(const cmmBlock& other) const { return !(*this == other); }
};

}  // namespace cmm
