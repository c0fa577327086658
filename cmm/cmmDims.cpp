#include "cmm/cmmDims.h"

#include <climits>
#include <stdexcept>
#include <string>

namespace cmm {
namespace {

// Multiplies an element count, refusing counts that an int cannot hold.
int checkedProduct(long long product, const char* what) {
    if (product > INT_MAX || product < INT_MIN)
        throw std::overflow_error(std::string(what) + ": element count " + std::to_string(product) +
                                  " does not fit in an int");
    return static_cast<int>(product);
}

int checkedIndex(const std::vector<int>& v, int i, const char* what) {
    if (i < 0 || i >= static_cast<int>(v.size()))
        throw std::out_of_range(std::string(what) + ": index " + std::to_string(i) +
                                " outside 0.." + std::to_string(static_cast<int>(v.size()) - 1));
    return v[static_cast<size_t>(i)];
}

}  // namespace

cmmDims::cmmDims(int d0, int d1, int d2, int d3) : size(0) {
    // The first zero extent ends the list of given extents.
    const int given[4] = {d0, d1, d2, d3};
    dims.reserve(4);  // one allocation: dimensions are built with every image and lock
    long long count = 0;
    for (int i = 0; i < 4 && given[i] != 0; ++i) {
        dims.push_back(given[i]);
        count = (i == 0) ? given[i] : count * given[i];
        checkedProduct(count, "cmmDims");
    }
    size = static_cast<int>(count);
    while (dims.size() < 4) dims.push_back(1);
}

cmmDims::cmmDims(const cmmBlock& block) : size(0) {
    dims.reserve(static_cast<std::size_t>(block.Dims()));
    long long count = 1;
    for (int i = 0; i < block.Dims(); ++i) {
        const long long extent = static_cast<long long>(block.End(i)) - block.Start(i);
        dims.push_back(checkedProduct(extent, "cmmDims extent"));
        count *= extent;
        checkedProduct(count, "cmmDims");
    }
    size = static_cast<int>(count);
}

int cmmDims::Dim(int i) const {
    return checkedIndex(dims, i, "cmmDims::Dim");
}

cmmBlock::cmmBlock(int s0, int e0, int s1, int e1, int s2, int e2, int s3, int e3) : size(0) {
    // Pair 0 is taken unless it is (0, 0); each later pair while it has a non-zero value.
    const int s[4] = {s0, s1, s2, s3};
    const int e[4] = {e0, e1, e2, e3};
    start.reserve(4);
    end.reserve(4);
    long long count = 0;
    for (int i = 0; i < 4 && (s[i] != 0 || e[i] != 0); ++i) {
        start.push_back(s[i]);
        end.push_back(e[i]);
        const long long extent = static_cast<long long>(e[i]) - s[i];
        count = (i == 0) ? extent : count * extent;
        checkedProduct(count, "cmmBlock");
    }
    size = static_cast<int>(count);
    while (start.size() < 4) start.push_back(0);
    while (end.size() < 4) end.push_back(1);
}

cmmBlock::cmmBlock(const cmmDims& dims) : start(dims.dims.size(), 0), end(dims.dims), size(0) {
    // Every lock of a whole image builds one: the extents are read straight from the list.
    long long count = 1;
    for (const int extent : dims.dims) {
        count *= extent;
        checkedProduct(count, "cmmBlock");
    }
    size = static_cast<int>(count);
}

int cmmBlock::Start(int i) const {
    return checkedIndex(start, i, "cmmBlock::Start");
}
int cmmBlock::End(int i) const {
    return checkedIndex(end, i, "cmmBlock::End");
}

}  // namespace cmm
