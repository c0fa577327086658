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

#include <cstdint>

namespace lmx {

// The block's tree over its kReduceThreads slots: slot[t] joins slot[t + s] for s = 64, 32, ...
// 1, and partial[blk.index] takes slot[0]. The slots were written in the phase before.
template <class Combine>
LMX_DEVICE void combineSlots(const Block& blk, float* slot, float* partial, Combine op) {
    for (int s = kReduceThreads / 2; s > 0; s >>= 1) {
        blk.sync();
        blk.threads(s, [&](int t) { slot[t] = op(slot[t], slot[t + s]); });
    }
    blk.threads(1, [&](int) { partial[blk.index] = slot[0]; });
}

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
        combineSlots(blk, slot, partial, op);
    });
}

template <class Op>
LMX_DEVICE void reduceToPartials(const float* in, float* partial, int n, float identity, Op op) {
    reduceToPartials(in, partial, n, identity, op, op);
}

// Four floats read or written with one 16-byte access.
struct alignas(16) Quad {
    float v[4];
};

// The chain pass of the two-pass reductions: chains[c] is what thread c of the 64 x 128 grid
// holds before its block's tree, the identity folded with in[c], in[c + 8192], ... in that
// order, so the second pass (combineChains) gives the one-pass kernels' partials bit for bit.
// Each block takes the groups of kChainGroup adjacent chains blk.index, + blk.count, ...; every
// thread of the block stages kChainQuads quads of the group's next kChainRows rows (the rows'
// 128-byte pieces, 16 bytes per load) while the group's first kChainGroup threads fold the rows
// staged in the phase before: each load is issued before the thread waits on anything, so a
// block keeps a whole stage in flight. Any grid of kChainThreads-thread blocks writes every
// chain; a launch of another block size does nothing.
template <class Fold>
LMX_DEVICE void foldChains(const float* in, float* chains, int n, float identity, Fold fold) {
    forEachBlock([=](Block blk) {
        if (blk.size != kChainThreads) return;  // block-uniform
        constexpr int kStageQuads = kChainRows * kChainGroup / 4;
        constexpr int kRowQuads = kChainGroup / 4;
        LMX_SHARED Quad stage[2][kStageQuads];
        LMX_SHARED float acc[kChainGroup];
        const long long rows = n > 0 ? (n - 1LL) / kReduceChains + 1 : 0;
        const long long stages = (rows + kChainRows - 1) / kChainRows;
        // The rows start 32 KiB apart and groups 128 bytes apart, so one aligned quad makes all
        // aligned; unaligned pixels are read one at a time. Uniform over the launch.
        const bool aligned = (reinterpret_cast<std::uintptr_t>(in) & 15u) == 0;
        for (int g = blk.index; g < kChainGroups; g += blk.count) {
            const int first = g * kChainGroup;
            blk.threads(kChainGroup, [&](int t) { acc[t] = identity; });
            // Phase s stages rows [s, s + 1) * kChainRows into stage[s % 2] and folds those of
            // stage s - 1, which the barrier before it made visible.
            for (long long s = 0; s <= stages; ++s) {
                blk.sync();
                blk.threads([&](int t) {
                    Quad v[kChainQuads];
                    const long long row0 = s * kChainRows;
                    if (s < stages) {
                        for (int k = 0; k < kChainQuads; ++k) {
                            const int q = k * kChainThreads + t;
                            const long long e = (row0 + q / kRowQuads) * kReduceChains + first +
                                                (q % kRowQuads) * 4;
                            if (aligned && e + 3 < n) {
                                v[k] = *reinterpret_cast<const Quad*>(in + e);
                            } else {
                                for (int j = 0; j < 4; ++j)
                                    v[k].v[j] = e + j < n ? in[e + j] : 0.0f;
                            }
                        }
                    }
                    if (s > 0 && t < kChainGroup) {
                        // The rows of this stage that hold a pixel of chain c.
                        const long long c = first + t;
                        const long long mine = c < n ? (n - 1 - c) / kReduceChains + 1 : 0;
                        const long long left = mine - (s - 1) * kChainRows;
                        const int count = left <= 0           ? 0
                                          : left < kChainRows ? int(left)
                                                              : kChainRows;
                        const Quad* staged = stage[(s - 1) % 2];
                        float a = acc[t];
                        for (int r = 0; r < count; ++r)
                            a = fold(a, staged[r * kRowQuads + t / 4].v[t % 4]);
                        acc[t] = a;
                    }
                    if (s < stages)
                        for (int k = 0; k < kChainQuads; ++k)
                            stage[s % 2][k * kChainThreads + t] = v[k];
                });
            }
            blk.threads(kChainGroup, [&](int t) { chains[first + t] = acc[t]; });
        }
    });
}

// The second pass: block b of the 64 x 128 grid joins chains b * 128 ... b * 128 + 127 in the
// one-pass kernels' tree and writes partial[b]. A launch of another shape does nothing.
template <class Combine>
LMX_DEVICE void combineChains(const float* chains, float* partial, Combine op) {
    forEachBlock([=](Block blk) {
        if (blk.size != kReduceThreads || blk.count > kReduceBlocks) return;  // block-uniform
        LMX_SHARED float slot[kReduceThreads];
        blk.threads([&](int t) { slot[t] = chains[blk.index * kReduceThreads + t]; });
        combineSlots(blk, slot, partial, op);
    });
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

// The two-pass reductions: the chain pass over the pixels, then the partials of the chains.
LMX_KERNEL LumerixPixelSumChainsI2F(float* in, float* chains, int n) {
    lmx::foldChains(in, chains, n, 0.0f, lmx::SumOp{});
}
LMX_KERNEL LumerixPixelMinChainsI2F(float* in, float* chains, int n) {
    lmx::foldChains(in, chains, n, NAN, lmx::MinOp{});
}
LMX_KERNEL LumerixPixelMaxChainsI2F(float* in, float* chains, int n) {
    lmx::foldChains(in, chains, n, NAN, lmx::MaxOp{});
}
LMX_KERNEL LumerixPixelSquaredDeviationChainsI2F(float* in, float* chains, int n, float mean) {
    lmx::foldChains(in, chains, n, 0.0f, lmx::SquaredDeviationOp{mean});
}
LMX_KERNEL LumerixPixelSumTreesI2F(float* chains, float* partial) {
    lmx::combineChains(chains, partial, lmx::SumOp{});
}
LMX_KERNEL LumerixPixelMinTreesI2F(float* chains, float* partial) {
    lmx::combineChains(chains, partial, lmx::MinOp{});
}
LMX_KERNEL LumerixPixelMaxTreesI2F(float* chains, float* partial) {
    lmx::combineChains(chains, partial, lmx::MaxOp{});
}
