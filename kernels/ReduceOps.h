#pragma once
// The folding operations of the reductions, shared by the kernels and the CPU traversals.

#include "kernels/Dialect.h"
#include "kernels/Shapes.h"

namespace lmx {

struct SumOp {
    LMX_HD float operator()(float acc, float v) const { return acc + v; }
};
// acc keeps its value only while it is strictly smaller (larger); the new value wins otherwise,
// NaN included: the same rule as the host fold.
struct MinOp {
    LMX_HD float operator()(float acc, float v) const { return acc < v ? acc : v; }
};
struct MaxOp {
    LMX_HD float operator()(float acc, float v) const { return acc > v ? acc : v; }
};

}  // namespace lmx
