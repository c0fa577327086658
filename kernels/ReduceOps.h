#pragma once
// The folding operations of the reductions, shared by the kernels and the CPU traversals.

#include "kernels/Dialect.h"
#include "kernels/Shapes.h"

namespace lmx {

struct SumOp {
    LMX_HD float operator()(float acc, float v) const { return acc + v; }
};
// The thread fold of the variance: adds the square of the pixel's deviation from the mean,
// computed as the pixel-wise subtraction and multiplication would (v - mean, then d * d), so
// the sum is that of the image of squared deviations, bit for bit. Partials combine with SumOp.
struct SquaredDeviationOp {
    float mean;
    LMX_HD float operator()(float acc, float v) const {
        const float d = v - mean;
        return acc + d * d;
    }
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
