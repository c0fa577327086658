#pragma once
// Reductions to 64 partial results: 64 blocks of 128 threads. Thread t of block b folds the
// pixels b * 128 + t, + 8192, + 2 * 8192, ... into its shared slot; the block then combines its
// 128 slots in a tree and writes partial[b]. Slots start at the operation's identity (0 for the
// sum, NaN for minimum and maximum, which ignore NaN), so a thread or block without pixels
// changes no result.
//
// The shared slots and the loops are sized by the constants of the shape, never by the launch:
// a launch of another block size, or of more blocks than partial results, does nothing.

#include "kernels/Dialect.h"
#include "kernels/ReduceOps.h"

#include <math.h>

namespace lmx {

// Fold folds a thread's pixels into its slot; Combine joins two slots in the block's tree.
template <class Fold, class Combine>
LMX_DEVICE void reduceToPartials(const float* in, float* partial, int n, float identity, Fold fold,
                                 Combine op) {
    forEachBlock([=](Block blk) {
        if (blk.size != kReduceThreads || blk.count > kReduceBlocks) return;  // block-uniform
        LMX_SHARED float slot[kReduceThreads];
        const long long stride = 1LL * blk.count * kReduceThreads;
        // Each thread folds its pixels in order in a register and then stores its slot: no
        // shared store sits between two loads, so kLoadsInFlight loads are issued before the
        // first is folded. The order of the folds, and so every bit, is that of one pixel at a
        // time.
        blk.threads([&](int t) {
            float acc = identity;
            long long i = 1LL * blk.index * kReduceThreads + t;
            for (; i + (kLoadsInFlight - 1) * stride < n; i += kLoadsInFlight * stride) {
                float v[kLoadsInFlight];
                for (int k = 0; k < kLoadsInFlight; ++k) v[k] = in[i + k * stride];
                for (int k = 0; k < kLoadsInFlight; ++k) acc = fold(acc, v[k]);
            }
            for (; i < n; i += stride) acc = fold(acc, in[i]);
            slot[t] = acc;
        });
        for (int s = kReduceThreads / 2; s > 0; s >>= 1) {
            blk.sync();
            blk.threads(s, [&](int t) { slot[t] = op(slot[t], slot[t + s]); });
        }
        blk.threads(1, [&](int) { partial[blk.index] = slot[0]; });
    });
}

template <class Op>
LMX_DEVICE void reduceToPartials(const float* in, float* partial, int n, float identity, Op op) {
    reduceToPartials(in, partial, n, identity, op, op);
}

}  // namespace lmx

LMX_KERNEL LumerixPixelSumI2F(float* in, float* partial, int n) {
    lmx::reduceToPartials(in, partial, n, 0.0f, lmx::SumOp{});
}
LMX_KERNEL LumerixPixelMinI2F(float* in, float* partial, int n) {
    lmx::reduceToPartials(in, partial, n, NAN, lmx::MinOp{});
}
LMX_KERNEL LumerixPixelMaxI2F(float* in, float* partial, int n) {
    lmx::reduceToPartials(in, partial, n, NAN, lmx::MaxOp{});
}
// The sum of (pixel - mean)^2, for the variance without an image of squared deviations.
LMX_KERNEL LumerixPixelSquaredDeviationI2F(float* in, float* partial, int n, float mean) {
    lmx::reduceToPartials(in, partial, n, 0.0f, lmx::SquaredDeviationOp{mean}, lmx::SumOp{});
}
