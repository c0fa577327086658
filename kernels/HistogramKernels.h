#pragma once
// 256-bin histogram of 8-bit pixels in two kernels.
//
// histogram256Kernel: 64 blocks of 192 threads (6 warps). Each warp counts into its own
// sub-histogram of 256 counters in shared memory (atomic adds on the GPU, thread order on the
// CPU); each block then writes the sum of its six sub-histograms to partial[block * 256 + bin].
// The data is read as 32-bit words of four pixels (on the GPU, four words per 16-byte load where
// the buffer is 16-byte aligned); the last n % 4 pixels, which fill no whole word, are counted by
// the first threads of block 0.
//
// mergeHistogram256Kernel: 256 blocks of 64 threads, one block per bin; block b sums bin b of
// the 64 partial histograms and writes it to partial[b]. Only block b touches entry b, so the
// merge works in place.
//
// Shared arrays and loops follow the constants of the two shapes, never the launch: a launch of
// another block size, or of more blocks than the buffer has histograms (bins), does nothing.

#include "kernels/Dialect.h"
#include "kernels/Shapes.h"

// partial: 64 x 256 counters; data: the n 8-bit pixels; n: the pixel count.
LMX_KERNEL histogram256Kernel(unsigned int* partial, unsigned int* data, int n) {
    using namespace lmx;
    forEachBlock([=](Block blk) {
        if (blk.size != kHistogramThreads || blk.count > kHistogramBlocks) return;  // uniform
        LMX_SHARED unsigned int counts[kHistogramWarps * kBins];
        for (int k = 0; k < kHistogramWarps * kBins; k += kHistogramThreads)
            blk.threads([&](int t) { counts[k + t] = 0; });
        blk.sync();

        const int words = n / 4;
        const long long stride = 1LL * blk.count * kHistogramThreads;
        // Each thread reads its words kLoadsInFlight at a time before it counts them, so that
        // the loads are in flight together rather than one between shared-memory updates.
        blk.threads([&](int t) {
            unsigned int* h = counts + (t / 32) * kBins;
            const auto count = [h](unsigned int w) {
                sharedAdd(h + (w & 0xFFu), 1u);
                sharedAdd(h + ((w >> 8) & 0xFFu), 1u);
                sharedAdd(h + ((w >> 16) & 0xFFu), 1u);
                sharedAdd(h + (w >> 24), 1u);
            };
            long long i = 1LL * blk.index * kHistogramThreads + t;
#if defined(__CUDACC__)
            // On the GPU the words are read 16 bytes (four words) at a time where the buffer is
            // aligned for it, so each load brings four times the data; the words after the last
            // whole group of four are then read one at a time. Counts are exact integers, so
            // which block counts which word changes no merged count.
            const long long quads =
                (reinterpret_cast<unsigned long long>(data) & 15u) == 0 ? words / 4 : 0;
            const uint4* q = reinterpret_cast<const uint4*>(data);
            for (; i + (kLoadsInFlight - 1) * stride < quads; i += kLoadsInFlight * stride) {
                uint4 v[kLoadsInFlight];
                for (int k = 0; k < kLoadsInFlight; ++k) v[k] = q[i + k * stride];
                for (int k = 0; k < kLoadsInFlight; ++k) {
                    count(v[k].x);
                    count(v[k].y);
                    count(v[k].z);
                    count(v[k].w);
                }
            }
            for (; i < quads; i += stride) {
                const uint4 v = q[i];
                count(v.x);
                count(v.y);
                count(v.z);
                count(v.w);
            }
            i = 4 * quads + 1LL * blk.index * kHistogramThreads + t;
#endif
            for (; i + (kLoadsInFlight - 1) * stride < words; i += kLoadsInFlight * stride) {
                unsigned int v[kLoadsInFlight];
                for (int k = 0; k < kLoadsInFlight; ++k) v[k] = data[i + k * stride];
                for (int k = 0; k < kLoadsInFlight; ++k) count(v[k]);
            }
            for (; i < words; i += stride) count(data[i]);
        });
        if (blk.index == 0) {
            const unsigned char* tail = reinterpret_cast<const unsigned char*>(data) + 4LL * words;
            blk.threads(n % 4, [&](int t) { sharedAdd(counts + (t / 32) * kBins + tail[t], 1u); });
        }
        blk.sync();

        for (int k = 0; k < kBins; k += kHistogramThreads) {
            blk.threads([&](int t) {
                const int bin = k + t;
                if (bin >= kBins) return;
                unsigned int total = 0;
                for (int w = 0; w < kHistogramWarps; ++w) total += counts[w * kBins + bin];
                partial[blk.index * kBins + bin] = total;
            });
        }
    });
}

LMX_KERNEL mergeHistogram256Kernel(unsigned int* partial) {
    using namespace lmx;
    forEachBlock([=](Block blk) {
        if (blk.size != kHistogramBlocks || blk.count > kBins) return;  // block-uniform
        LMX_SHARED unsigned int slot[kHistogramBlocks];
        blk.threads([&](int t) { slot[t] = partial[t * kBins + blk.index]; });
        for (int s = kHistogramBlocks / 2; s > 0; s >>= 1) {
            blk.sync();
            blk.threads(s, [&](int t) { slot[t] += slot[t + s]; });
        }
        blk.threads(1, [&](int) { partial[blk.index] = slot[0]; });
    });
}
