#pragma once
// Region statistics in one pass over the labels, in three kernels.
//
// LumerixRegionsScanI2I: 64 blocks of 256 threads. Block b writes the largest label among its
// pixels (a contiguous 64th of the plane) to largest[b], and to bad[b] the first pixel whose label
// is not a whole number in [0, 2^24] (NaN and infinities included), or n when there is none.
//
// LumerixRegionsCountI2I: B blocks of 256 threads over `slots` labels (slot = label, 0 unused).
// Block b owns slots [b slots, (b + 1) slots) of every partial array, sets them empty, then counts
// the pixels [b c, (b + 1) c) (c = n / B rounded up) into them: area, the sums of x and of y
// (integers, exact), the sum of the values in double, the box and the extremes of the values.
// The extremes are kept as ordered integer keys (valueKey), so that integer minima and maxima
// order them as floats; a NaN value sets the maximum key to INT_MAX (no finite value nor an
// infinity reaches it), which the host reads as "min and max are NaN".
//
// LumerixRegionsMergeI2I: the pixel-wise shape over the slots; slot s folds the B blocks'
// partials for s into block 0's. Area, box and coordinate sums are exact; the sum of the values
// is the blocks' double sums added in block order.

#include "kernels/Dialect.h"
#include "kernels/Shapes.h"

#include <math.h>

#include <climits>
#include <cstdint>
#include <cstring>

namespace lmx::regions {

//! Partial arrays: per slot one area, two coordinate sums (x, y), one value sum and six ints
//! (x0, y0, x1, y1 inclusive, the minimum key, the maximum key).
constexpr int kCoordSums = 2;
constexpr int kBoxInts = 6;

//! Largest label a float numbers exactly.
constexpr float kMaxLabel = 16777216.0f;

//! An integer key whose order is the float order of the values (NaN handled by the caller).
LMX_HD int valueKey(float v) {
    int bits;
    memcpy(&bits, &v, sizeof bits);
    return bits ^ ((bits >> 31) & 0x7fffffff);
}

//! The value of a key made by valueKey.
LMX_HD float keyValue(int key) {
    const int bits = key ^ ((key >> 31) & 0x7fffffff);
    float v;
    memcpy(&v, &bits, sizeof v);
    return v;
}

// Whole numbers in [0, 2^24], tested without branches: the label is clamped to the range (NaN
// goes to 0) before it is converted, and only a whole number in range survives the round trip.
LMX_HD bool validLabel(float l) {
    const float c = fminf(fmaxf(l, 0.0f), kMaxLabel);
    return static_cast<float>(static_cast<int>(c)) == l;
}

}  // namespace lmx::regions

// (labels, n, largest[64], bad[64])
LMX_KERNEL LumerixRegionsScanI2I(float* labels, int n, float* largest, int* bad) {
    using namespace lmx;
    forEachBlock([=](Block blk) {
        if (blk.size != kRegionThreads || blk.count != kRegionBlocks) return;  // uniform
        LMX_SHARED float top[kRegionThreads];
        LMX_SHARED int first[kRegionThreads];
        blk.threads([&](int t) {
            top[t] = 0.0f;
            first[t] = n;
        });
        // The block reads a contiguous run of the pixels, its threads side by side.
        const long long chunk = (1LL * n + kRegionBlocks - 1) / kRegionBlocks;
        const long long lo = chunk * blk.index;
        const long long hi = lo + chunk < n ? lo + chunk : n;
        for (long long i0 = lo; i0 < hi; i0 += kRegionThreads) {
            blk.threads([&](int t) {
                const long long i = i0 + t;
                if (i >= hi) return;
                const float l = labels[i];
                const bool valid = regions::validLabel(l);
                const int at = static_cast<int>(i);
                first[t] = valid || first[t] < at ? first[t] : at;
                top[t] = valid && l > top[t] ? l : top[t];
            });
        }
        for (int s = kRegionThreads / 2; s > 0; s >>= 1) {
            blk.sync();
            blk.threads(s, [&](int t) {
                top[t] = top[t + s] > top[t] ? top[t + s] : top[t];
                first[t] = first[t + s] < first[t] ? first[t + s] : first[t];
            });
        }
        blk.threads(1, [&](int) {
            largest[blk.index] = top[0];
            bad[blk.index] = first[0];
        });
    });
}

// (labels, values, w, n, slots, area, coords, sum, box): the partial arrays hold B x slots
// entries (coords 2 and box 6 per entry).
LMX_KERNEL LumerixRegionsCountI2I(float* labels, float* values, int w, int n, int slots,
                                  unsigned long long* area, unsigned long long* coords, double* sum,
                                  int* box) {
    using namespace lmx;
    using namespace lmx::regions;
    forEachBlock([=](Block blk) {
        if (blk.size != kRegionThreads || blk.count > kRegionBlocks) return;  // uniform
        const long long base = 1LL * blk.index * slots;
        unsigned long long* a = area + base;
        unsigned long long* c = coords + kCoordSums * base;
        double* s = sum + base;
        int* b = box + kBoxInts * base;
        for (int k0 = 0; k0 < slots; k0 += kRegionThreads) {
            blk.threads([&](int t) {
                const int k = k0 + t;
                if (k >= slots) return;
                a[k] = 0;
                c[kCoordSums * k] = c[kCoordSums * k + 1] = 0;
                s[k] = 0.0;
                int* e = b + kBoxInts * k;
                e[0] = e[1] = e[4] = INT_MAX;
                e[2] = e[3] = e[5] = INT_MIN;
            });
        }
        blk.sync();
        const long long chunk = (1LL * n + blk.count - 1) / blk.count;
        const long long lo = chunk * blk.index;
        const long long hi = lo + chunk < n ? lo + chunk : n;
        for (long long i0 = lo; i0 < hi; i0 += kRegionThreads) {
            blk.threads([&](int t) {
                const long long i = i0 + t;
                if (i >= hi) return;
                const float l = labels[i];
                if (l == 0.0f) return;
                const int k = static_cast<int>(l);
                const int at = static_cast<int>(i);  // below n, an int
                const int x = at % w, y = at / w;
                const float v = values[i];
                int* e = b + kBoxInts * k;
                blockAdd(a + k, 1ULL);
                blockAdd(c + kCoordSums * k, static_cast<unsigned long long>(x));
                blockAdd(c + kCoordSums * k + 1, static_cast<unsigned long long>(y));
                blockAdd(s + k, static_cast<double>(v));
                blockMin(e, x);
                blockMin(e + 1, y);
                blockMax(e + 2, x);
                blockMax(e + 3, y);
                if (v != v) {  // NaN
                    blockMax(e + 5, INT_MAX);
                } else {
                    const int key = valueKey(v);
                    blockMin(e + 4, key);
                    blockMax(e + 5, key);
                }
            });
        }
    });
}

// (slots, blocks, area, coords, sum, box): the pixel-wise shape over the slots.
LMX_KERNEL LumerixRegionsMergeI2I(int slots, int blocks, unsigned long long* area,
                                  unsigned long long* coords, double* sum, int* box) {
    using namespace lmx::regions;
    lmx::forEachPixel(slots, [=](int k) {
        unsigned long long a = area[k], cx = coords[kCoordSums * k],
                           cy = coords[kCoordSums * k + 1];
        double s = sum[k];
        int e[kBoxInts];
        for (int j = 0; j < kBoxInts; ++j) e[j] = box[kBoxInts * k + j];
        for (int blk = 1; blk < blocks; ++blk) {
            const long long o = 1LL * blk * slots + k;
            a += area[o];
            cx += coords[kCoordSums * o];
            cy += coords[kCoordSums * o + 1];
            s += sum[o];
            const int* f = box + kBoxInts * o;
            e[0] = f[0] < e[0] ? f[0] : e[0];
            e[1] = f[1] < e[1] ? f[1] : e[1];
            e[2] = f[2] > e[2] ? f[2] : e[2];
            e[3] = f[3] > e[3] ? f[3] : e[3];
            e[4] = f[4] < e[4] ? f[4] : e[4];
            e[5] = f[5] > e[5] ? f[5] : e[5];
        }
        area[k] = a;
        coords[kCoordSums * k] = cx;
        coords[kCoordSums * k + 1] = cy;
        sum[k] = s;
        for (int j = 0; j < kBoxInts; ++j) box[kBoxInts * k + j] = e[j];
    });
}
