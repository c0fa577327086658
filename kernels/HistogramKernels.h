#pragma once
// 256-bin histogram of 8-bit pixels in two kernels, in two forms: the fixed 64-block pair below,
// and a pair whose counting grid the host sizes to the device (histogram256GridKernel and
// mergeHistogram256GridKernel, at the end of the file).
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

namespace lmx {

// Counts the four pixels of word w into the 256 counters at h.
LMX_DEVICE void countWord(unsigned int* h, unsigned int w) {
    sharedAdd(h + (w & 0xFFu), 1u);
    sharedAdd(h + ((w >> 8) & 0xFFu), 1u);
    sharedAdd(h + ((w >> 16) & 0xFFu), 1u);
    sharedAdd(h + (w >> 24), 1u);
}

// Writes the sum of a block's kHistogramWarps sub-histograms at counts to the 256 counters at
// out, after the block's last barrier.
LMX_DEVICE void writeBlockCounts(Block blk, const unsigned int* counts, unsigned int* out) {
    for (int k = 0; k < kBins; k += kHistogramThreads) {
        blk.threads([&](int t) {
            const int bin = k + t;
            if (bin >= kBins) return;
            unsigned int total = 0;
            for (int w = 0; w < kHistogramWarps; ++w) total += counts[w * kBins + bin];
            out[bin] = total;
        });
    }
}

}  // namespace lmx

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
                countWord(h, w);
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

        writeBlockCounts(blk, counts, partial + 1LL * blk.index * kBins);
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

namespace lmx {

// Four words of 8-bit pixels that one 16-byte load brings on the GPU.
struct alignas(16) WordQuad {
    unsigned int word[4];
};

// How the n 8-bit pixels at a word-aligned address split into the 16-byte quads that the grid
// reads and the few words and bytes around them.
struct ByteSpan {
    const WordQuad* quads;  // the first 16-byte boundary at or after the data
    long long quadCount;
    int headWords;  // words before the first boundary (0 to 3)
    int tailWords;  // words after the last whole quad (0 to 3)
    int tailBytes;  // the last n % 4 pixels, which fill no word
};

LMX_DEVICE ByteSpan byteSpan(const unsigned int* data, int n) {
    const int words = n / 4;
    // Words past the last 16-byte boundary before the data.
    const int past = static_cast<int>((reinterpret_cast<std::uintptr_t>(data) >> 2) & 3u);
    const int head = (4 - past) & 3;
    ByteSpan s;
    s.headWords = head < words ? head : words;
    s.quadCount = (words - s.headWords) / 4;
    s.tailWords = static_cast<int>(words - s.headWords - 4 * s.quadCount);
    s.tailBytes = n % 4;
    s.quads = reinterpret_cast<const WordQuad*>(data + s.headWords);
    return s;
}

}  // namespace lmx

// histogram256GridKernel: any number of blocks of 192 threads, one warp sub-histogram each in
// shared memory as in histogram256Kernel. The grid walks the quads with a stride of all its
// threads, each thread keeping kLoadsInFlight 16-byte loads in flight; the last block also
// counts the words before the first 16-byte boundary, those after the last whole quad and the
// last n % 4 pixels. Block b writes its counts to partial[b * 256 + bin]. A launch of another
// block size does nothing.
//
// partial: one histogram of 256 counters per block; data: the n 8-bit pixels, word-aligned.
LMX_KERNEL histogram256GridKernel(unsigned int* partial, unsigned int* data, int n) {
    using namespace lmx;
    forEachBlock([=](Block blk) {
        if (blk.size != kHistogramThreads) return;  // block-uniform
        LMX_SHARED unsigned int counts[kHistogramWarps * kBins];
        for (int k = 0; k < kHistogramWarps * kBins; k += kHistogramThreads)
            blk.threads([&](int t) { counts[k + t] = 0; });
        blk.sync();

        const ByteSpan span = byteSpan(data, n);
        const long long stride = 1LL * blk.count * kHistogramThreads;
        blk.threads([&](int t) {
            unsigned int* h = counts + (t / 32) * kBins;
            long long i = 1LL * blk.index * kHistogramThreads + t;
            for (; i + (kLoadsInFlight - 1) * stride < span.quadCount;
                 i += kLoadsInFlight * stride) {
                WordQuad v[kLoadsInFlight];
                for (int k = 0; k < kLoadsInFlight; ++k) v[k] = span.quads[i + k * stride];
                for (int k = 0; k < kLoadsInFlight; ++k)
                    for (int j = 0; j < 4; ++j) countWord(h, v[k].word[j]);
            }
            for (; i < span.quadCount; i += stride) {
                const WordQuad v = span.quads[i];
                for (int j = 0; j < 4; ++j) countWord(h, v.word[j]);
            }
        });
        if (blk.index == blk.count - 1) {
            const int edges = span.headWords + span.tailWords;
            blk.threads(edges, [&](int t) {
                const long long at = t < span.headWords ? t : t + 4 * span.quadCount;
                countWord(counts + (t / 32) * kBins, data[at]);
            });
            const unsigned char* tail = reinterpret_cast<const unsigned char*>(data) + n - n % 4;
            blk.threads(span.tailBytes, [&](int t) { sharedAdd(counts + tail[t], 1u); });
        }
        blk.sync();

        writeBlockCounts(blk, counts, partial + 1LL * blk.index * kBins);
    });
}

// mergeHistogram256GridKernel: 32 blocks of 1024 threads; block b owns bins 8b to 8b + 7.
// Thread t sums bin 8b + t % 8 of partial histograms t / 8, t / 8 + 128, ... below
// `histograms`, and the block's tree adds the 128 sums of each bin; result[bin] gets the total.
// result must not overlap partial. A launch of another shape does nothing.
LMX_KERNEL mergeHistogram256GridKernel(unsigned int* result, unsigned int* partial,
                                       int histograms) {
    using namespace lmx;
    forEachBlock([=](Block blk) {
        if (blk.size != kGridMergeThreads || blk.count > kGridMergeBlocks) return;  // uniform
        LMX_SHARED unsigned int slot[kGridMergeThreads];
        blk.threads([&](int t) {
            const int bin = blk.index * kGridMergeBins + t % kGridMergeBins;
            unsigned int total = 0;
            for (long long h = t / kGridMergeBins; h < histograms; h += kGridMergeRows)
                total += partial[h * kBins + bin];
            slot[t] = total;
        });
        // Slots t and t + s hold the same bin while s is a multiple of kGridMergeBins.
        for (int s = kGridMergeThreads / 2; s >= kGridMergeBins; s >>= 1) {
            blk.sync();
            blk.threads(s, [&](int t) { slot[t] += slot[t + s]; });
        }
        // Each of these threads wrote its own slot last: no barrier needed.
        blk.threads(kGridMergeBins,
                    [&](int t) { result[blk.index * kGridMergeBins + t] = slot[t]; });
    });
}
