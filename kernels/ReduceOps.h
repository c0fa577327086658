#pragma once
// The folding operations of the reductions, shared by the kernels and the CPU traversals.

#include "kernels/Dialect.h"
#include "kernels/Shapes.h"

namespace lmx {

struct SumOp {
    LMX_HD float operator()(float acc, float v) const { return acc + v; }
};
// Minimum and maximum ignore NaN, as fminf and fmaxf do: a NaN value leaves acc as it is, and
// a NaN acc (the identity, or a run of NaN so far) takes the value. The result is NaN only when
// every value is. The thread folds, the block's tree and the host fold all use these.
struct MinOp {
    LMX_HD float operator()(float acc, float v) const { return (v < acc || acc != acc) ? v : acc; }
};
struct MaxOp {
    LMX_HD float operator()(float acc, float v) const { return (v > acc || acc != acc) ? v : acc; }
};

}  // namespace lmx
