// CPU traversals of the filters with a chosen border (BorderFilterKernels.h).
//
// Run through the plain loop shape, each pixel resolves every read through its border rule.
// These traversals resolve a row's neighbour rows once, run the columns whose window lies
// inside as strips of accumulators (one-dimensional passes) or of windows held lane by lane
// (3 x 3 and 5 x 5 medians) that the compiler vectorises, and the edge columns through the
// kernel's own body. Every pixel meets its taps in the kernel's order (one fused multiply-add
// each from 0.0), and a median is one value under the kernels' total order whichever way it is
// selected, so the results are the kernels' bits, which a test checks.

#include "backend/cpu/FilterPaths.h"
#include "backend/cpu/PlaneTraversal.h"
#include "backend/cpu/Registry.h"
#include "backend/cpu/Streaming.h"
#include "kernels/BorderFilterOps.h"
#include "kernels/FilterUpload.h"
#include "kernels/Kernels.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstddef>
#include <vector>

namespace lmx::cpu {
namespace {

// Result pixels of a strip: eight vector accumulators, enough independent fused multiply-adds
// to hide their latency.
constexpr int kLanes = 64;
constexpr long long kMostStripTaps = 1 << 16;
constexpr int kMedianChunk = 512;  // columns whose sorted columns a median traversal keeps hot  //
                                   // taps of the largest table run in strips

// The kernel body at (x, y): what the plain shape would write there.
template <class Border, class F>
inline float atPixel(const float* in, int w, int h, float cval, int x, int y, F f) {
    return f(ReadWindow<bf::Source<Border>>{bf::Source<Border>{in, w, h, cval}, x, y});
}

// Where a traversal writes a result row: straight into the result, or, for results large
// enough to be written with streaming stores (Streaming.h), into a row of its own that put()
// then streams out, so that the result's lines are not read from memory before being written.
class RowOut {
public:
    RowOut(float* out, int w, int h)
        : out_(out),
          w_(w),
          stream_(streamsResult(static_cast<std::size_t>(w) * h * sizeof(float))),
          row_(stream_ ? static_cast<std::size_t>(w) : 0) {}
    RowOut(const RowOut&) = delete;
    RowOut& operator=(const RowOut&) = delete;
    ~RowOut() {
        if (stream_) fenceStreamingStores();
    }

    //! Where row y is computed.
    float* at(int y) { return stream_ ? row_.data() : out_ + static_cast<std::size_t>(y) * w_; }
    //! Row y, computed at at(y), goes to the result.
    void put(int y) {
        if (!stream_) return;
        float* dst = out_ + static_cast<std::size_t>(y) * w_;
        const float* src = row_.data();
        int i = 0;
        const int head = std::min(w_, elementsToLine(dst, 0));
        for (; i < head; ++i) dst[i] = src[i];
        for (; i + kLineBytes / 4 <= w_; i += kLineBytes / 4) streamLine(dst + i, src + i);
        for (; i < w_; ++i) dst[i] = src[i];
    }

private:
    float* out_;
    int w_;
    bool stream_;
    std::vector<float> row_;
};

// ---- one-dimensional passes ------------------------------------------------------------------

// out[i] for kLanes pixels: taps outer over the rows[k] (row k of the window already resolved,
// offset to the first pixel), accumulators in registers.
#if defined(__AVX2__) && defined(__FMA__)
inline void tapStrip(const float* const* rows, const float* taps, int count, float* out) {
    static_assert(kLanes == 64, "eight vectors of eight");
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0;
    for (int k = 0; k < count; ++k) {
        const __m256 c = _mm256_broadcast_ss(taps + k);
        const float* p = rows[k];
        a0 = _mm256_fmadd_ps(c, _mm256_loadu_ps(p), a0);
        a1 = _mm256_fmadd_ps(c, _mm256_loadu_ps(p + 8), a1);
        a2 = _mm256_fmadd_ps(c, _mm256_loadu_ps(p + 16), a2);
        a3 = _mm256_fmadd_ps(c, _mm256_loadu_ps(p + 24), a3);
        a4 = _mm256_fmadd_ps(c, _mm256_loadu_ps(p + 32), a4);
        a5 = _mm256_fmadd_ps(c, _mm256_loadu_ps(p + 40), a5);
        a6 = _mm256_fmadd_ps(c, _mm256_loadu_ps(p + 48), a6);
        a7 = _mm256_fmadd_ps(c, _mm256_loadu_ps(p + 56), a7);
    }
    _mm256_storeu_ps(out, a0);
    _mm256_storeu_ps(out + 8, a1);
    _mm256_storeu_ps(out + 16, a2);
    _mm256_storeu_ps(out + 24, a3);
    _mm256_storeu_ps(out + 32, a4);
    _mm256_storeu_ps(out + 40, a5);
    _mm256_storeu_ps(out + 48, a6);
    _mm256_storeu_ps(out + 56, a7);
}
#else
inline void tapStrip(const float* const* rows, const float* taps, int count, float* out) {
    float acc[kLanes] = {};
    for (int k = 0; k < count; ++k) {
        const float c = taps[k];
        const float* row = rows[k];
#pragma omp simd
        for (int i = 0; i < kLanes; ++i) acc[i] = fmaf(c, row[i], acc[i]);
    }
    for (int i = 0; i < kLanes; ++i) out[i] = acc[i];
}
#endif

inline void tapStripAnyWidth(const float* const* rows, const float* taps, int count, int n,
                             float* out) {
    float acc[kLanes] = {};
    for (int k = 0; k < count; ++k)
        for (int i = 0; i < n; ++i) acc[i] = fmaf(taps[k], rows[k][i], acc[i]);
    for (int i = 0; i < n; ++i) out[i] = acc[i];
}

// Runs [lo, hi) of a row in strips; rows[k] + x + shift is the k-th input of pixel x (never
// before rows[k] for x >= lo).
inline void strips(const float* const* rows, int shift, const float* taps, int count, int lo,
                   int hi, float* out, const float** moved) {
    int x = lo;
    for (; x + kLanes <= hi; x += kLanes) {
        for (int k = 0; k < count; ++k) moved[k] = rows[k] + (x + shift);
        tapStrip(moved, taps, count, out + x);
    }
    if (x < hi) {
        for (int k = 0; k < count; ++k) moved[k] = rows[k] + (x + shift);
        tapStripAnyWidth(moved, taps, count, hi - x, out + x);
    }
}

// Scratch pointer arrays of one thread, for windows of any length.
struct Scratch {
    std::vector<const float*> rows, moved;
    explicit Scratch(int count) : rows(count), moved(count) {}
};

template <class Border>
void rowPass(const float* in, const float* taps, float* out, int w, int h, int r, float cval) {
    const int count = 2 * r + 1;
    // Columns [lo, hi) have their whole window inside the row.
    const int lo = std::min(r, w), hi = std::max(w - r, lo);
    const auto body = [=](const auto& win) {
        return bf::correlateWindow(win, taps, r, 0);
    };
#pragma omp parallel if (1LL * w * h * count >= kParallelThreshold)
    {
        Scratch s(count);
        RowOut result(out, w, h);
#pragma omp for schedule(static)
        for (int y = 0; y < h; ++y) {
            const float* row = in + static_cast<std::size_t>(y) * w;
            float* o = result.at(y);
            for (int k = 0; k < count; ++k) s.rows[k] = row + k;  // pixel x reads x - r + k
            for (int x = 0; x < lo; ++x) o[x] = atPixel<Border>(in, w, h, cval, x, y, body);
            strips(s.rows.data(), -r, taps, count, lo, hi, o, s.moved.data());
            for (int x = hi; x < w; ++x) o[x] = atPixel<Border>(in, w, h, cval, x, y, body);
            result.put(y);
        }
    }
}

template <class Border>
void columnPass(const float* in, const float* taps, float* out, int w, int h, int r, float cval) {
    const int count = 2 * r + 1;
#pragma omp parallel if (1LL * w * h * count >= kParallelThreshold)
    {
        Scratch s(count);
        RowOut result(out, w, h);
        // Rows outside the plane under Constant read a row of cval.
        std::vector<float> constantRow(static_cast<std::size_t>(w), cval);
#pragma omp for schedule(static)
        for (int y = 0; y < h; ++y) {
            for (int k = 0; k < count; ++k) {
                const int ry = Border::index(y - r + k, h);
                s.rows[k] = ry < 0 ? constantRow.data() : in + static_cast<std::size_t>(ry) * w;
            }
            strips(s.rows.data(), 0, taps, count, 0, w, result.at(y), s.moved.data());
            result.put(y);
        }
    }
}

// The two-dimensional correlation: each row's window rows resolved once (a row of cval for
// rows outside under Constant), the inner columns in strips over every tap in the kernel's
// order (dy outer, dx inner).
template <class Border>
void correlateRows(const float* in, const float* taps, float* out, int w, int h, int xr, int yr,
                   float cval) {
    const int span = 2 * xr + 1, count = span * (2 * yr + 1);
    const int lo = std::min(xr, w), hi = std::max(w - xr, lo);
    const auto body = [=](const auto& win) {
        return bf::correlateWindow(win, taps, xr, yr);
    };
#pragma omp parallel if (1LL * w * h * count >= kParallelThreshold)
    {
        Scratch s(count);
        RowOut result(out, w, h);
        std::vector<float> constantRow(static_cast<std::size_t>(w), cval);
#pragma omp for schedule(static)
        for (int y = 0; y < h; ++y) {
            for (int dy = 0; dy < 2 * yr + 1; ++dy) {
                const int ry = Border::index(y - yr + dy, h);
                const float* row =
                    ry < 0 ? constantRow.data() : in + static_cast<std::size_t>(ry) * w;
                for (int dx = 0; dx < span; ++dx) s.rows[dy * span + dx] = row + dx;
            }
            float* o = result.at(y);
            for (int x = 0; x < lo; ++x) o[x] = atPixel<Border>(in, w, h, cval, x, y, body);
            strips(s.rows.data(), -xr, taps, count, lo, hi, o, s.moved.data());
            for (int x = hi; x < w; ++x) o[x] = atPixel<Border>(in, w, h, cval, x, y, body);
            result.put(y);
        }
    }
}

// Taps in d_kernel (I2I, taps null here) or in device memory (IT2I).
template <bool kTable>
void runCorrelate(void** args) {
    const void* kernel = kTable ? reinterpret_cast<const void*>(&LumerixCorrelateBorderI2I)
                                : reinterpret_cast<const void*>(&LumerixCorrelateBorderIT2I);
    const int a = kTable ? 0 : 1;  // IT2I has the taps after the source
    const int w = launchArg<int>(args, 2 + a), h = launchArg<int>(args, 3 + a);
    const int xr = launchArg<int>(args, 4 + a), yr = launchArg<int>(args, 5 + a);
    const int border = launchArg<int>(args, 6 + a);
    const long long count = (2LL * xr + 1) * (2LL * yr + 1);
    // Very large tables keep the kernel's walk: the traversal holds a pointer per tap.
    if (!coversPlane(w, h) || xr < 0 || yr < 0 || count > kMostStripTaps ||
        (kTable && count > kMaxFilterTaps))
        return runPlain(kernel, args);
    if (w <= 0 || h <= 0) return;
    const float* in = launchArg<float*>(args, 0);
    const float* taps = kTable ? filterTaps() : launchArg<float*>(args, 1);
    float* out = launchArg<float*>(args, 1 + a);
    const float cval = launchArg<float>(args, 7 + a);
    const bool known = withBorder(border, [&](auto rule) {
        correlateRows<decltype(rule)>(in, taps, out, w, h, xr, yr, cval);
    });
    if (!known) runPlain(kernel, args);
}

template <bool kRows>
void runPass(void** args) {
    const void* kernel = kRows ? reinterpret_cast<const void*>(&LumerixCorrelateRowsIT2I)
                               : reinterpret_cast<const void*>(&LumerixCorrelateColumnsIT2I);
    const int w = launchArg<int>(args, 3), h = launchArg<int>(args, 4);
    const int r = launchArg<int>(args, 5), border = launchArg<int>(args, 6);
    if (!coversPlane(w, h) || r < 0 || r > (1 << 24)) return runPlain(kernel, args);
    if (w <= 0 || h <= 0) return;
    const float* in = launchArg<float*>(args, 0);
    const float* taps = launchArg<float*>(args, 1);
    float* out = launchArg<float*>(args, 2);
    const float cval = launchArg<float>(args, 7);
    const bool known = withBorder(border, [&](auto rule) {
        using Border = decltype(rule);
        if (kRows)
            rowPass<Border>(in, taps, out, w, h, r, cval);
        else
            columnPass<Border>(in, taps, out, w, h, r, cval);
    });
    if (!known) runPlain(kernel, args);
}

// ---- 3 x 3 and 5 x 5 medians -----------------------------------------------------------------
//
// Both start from the window's columns sorted (each column sorted once per result row, shared
// by the pixels whose windows hold it). For 3 x 3 the median is then the median of three: the
// greatest of the column minima, the median of the middles, the least of the maxima. For 5 x 5,
// sorting the five rows of ranks as well leaves 13 pixels that can still be the median (the
// others have at least 13 pixels on one side of them, six below and six above); it is the
// median of those 13. Keys are compared, so the value is the kernel's under its total order.

inline int least(int a, int b) {
    return a < b ? a : b;
}
inline int most(int a, int b) {
    return a < b ? b : a;
}
inline int median3(int a, int b, int c) {
    return most(least(a, b), least(most(a, b), c));
}

// Exchanges two scalars into order. Scalars, not array elements: the compiler keeps them in
// vector registers across the lanes of the loop that calls it.
#define LMX_CX(a, b)                     \
    do {                                 \
        const int lmxLow_ = least(a, b); \
        b = most(a, b);                  \
        a = lmxLow_;                     \
    } while (0)

inline void sort5(int& a, int& b, int& c, int& d, int& e) {
    LMX_CX(a, b);
    LMX_CX(d, e);
    LMX_CX(c, e);
    LMX_CX(c, d);
    LMX_CX(a, d);
    LMX_CX(a, c);
    LMX_CX(b, e);
    LMX_CX(b, d);
    LMX_CX(b, c);
}

// The median of 13 by the kernel's forgetful selection written out: c0 .. c7 held; round k
// moves the least held to ck and the greatest to c(7 + k), drops both, and takes in c(8 + k)
// in the greatest's place; after six rounds c6 is the median.
inline int median13(int c0, int c1, int c2, int c3, int c4, int c5, int c6, int c7, int c8, int c9,
                    int c10, int c11, int c12) {
    LMX_CX(c0, c1);
    LMX_CX(c0, c2);
    LMX_CX(c0, c3);
    LMX_CX(c0, c4);
    LMX_CX(c0, c5);
    LMX_CX(c0, c6);
    LMX_CX(c0, c7);
    LMX_CX(c1, c7);
    LMX_CX(c2, c7);
    LMX_CX(c3, c7);
    LMX_CX(c4, c7);
    LMX_CX(c5, c7);
    LMX_CX(c6, c7);
    LMX_CX(c1, c2);
    LMX_CX(c1, c3);
    LMX_CX(c1, c4);
    LMX_CX(c1, c5);
    LMX_CX(c1, c6);
    LMX_CX(c1, c8);
    LMX_CX(c2, c8);
    LMX_CX(c3, c8);
    LMX_CX(c4, c8);
    LMX_CX(c5, c8);
    LMX_CX(c6, c8);
    LMX_CX(c2, c3);
    LMX_CX(c2, c4);
    LMX_CX(c2, c5);
    LMX_CX(c2, c6);
    LMX_CX(c2, c9);
    LMX_CX(c3, c9);
    LMX_CX(c4, c9);
    LMX_CX(c5, c9);
    LMX_CX(c6, c9);
    LMX_CX(c3, c4);
    LMX_CX(c3, c5);
    LMX_CX(c3, c6);
    LMX_CX(c3, c10);
    LMX_CX(c4, c10);
    LMX_CX(c5, c10);
    LMX_CX(c6, c10);
    LMX_CX(c4, c5);
    LMX_CX(c4, c6);
    LMX_CX(c4, c11);
    LMX_CX(c5, c11);
    LMX_CX(c6, c11);
    LMX_CX(c5, c6);
    LMX_CX(c5, c12);
    LMX_CX(c6, c12);
    return c6;
}

// Converts each needed input row to keys once per thread: up to 2 kSpan rows kept, a row of
// the constant 0 for rows outside under Constant.
template <int kSpan>
class KeyRows {
public:
    explicit KeyRows(int w) : w_(w), keys_(static_cast<std::size_t>(w) * 2 * kSpan) {
        for (int& t : tags_) t = kEmpty;
    }

    //! rows[k] = the keys of input row need[k] (-1: the constant row).
    void fetch(const float* in, const int* need, const int** rows) {
        bool used[2 * kSpan] = {};
        int slot[kSpan];
        for (int k = 0; k < kSpan; ++k) {
            slot[k] = -1;
            for (int s = 0; s < 2 * kSpan; ++s)
                if (tags_[s] == need[k]) slot[k] = s;
            if (slot[k] >= 0) used[slot[k]] = true;
        }
        for (int k = 0; k < kSpan; ++k) {
            if (slot[k] < 0) {
                int s = 0;
                while (used[s]) ++s;
                fill(in, need[k], s);
                used[s] = true;
                for (int j = k; j < kSpan; ++j)
                    if (need[j] == need[k]) slot[j] = s;
            }
            rows[k] = keys_.data() + static_cast<std::size_t>(slot[k]) * w_;
        }
    }

private:
    static constexpr int kEmpty = -2;
    void fill(const float* in, int row, int s) {
        int* k = keys_.data() + static_cast<std::size_t>(s) * w_;
        const float* p = in + static_cast<std::size_t>(row < 0 ? 0 : row) * w_;
        const bool zero = row < 0;
#pragma omp simd
        for (int x = 0; x < w_; ++x) k[x] = bf::medianKey(zero ? 0.0f : p[x]);
        tags_[s] = row;
    }
    int w_;
    std::vector<int> keys_;
    int tags_[2 * kSpan];
};

template <int kRadius, class Border>
void medianRows(const float* in, float* out, int w, int h) {
    constexpr int kSpan = 2 * kRadius + 1;
    const int lo = std::min(kRadius, w), hi = std::max(w - kRadius, lo);
    const auto body = [=](const auto& win) {
        return bf::medianWindow(win, kRadius, kRadius);
    };
#pragma omp parallel if (1LL * w * h * kSpan * kSpan >= kParallelThreshold)
    {
        KeyRows<kSpan> cache(w);
        RowOut result(out, w, h);
        // sorted[i][x]: the i-th least of column x of the window rows.
        std::vector<int> sortedColumns(static_cast<std::size_t>(w) * kSpan);
        int* sorted[kSpan];
        for (int i = 0; i < kSpan; ++i)
            sorted[i] = sortedColumns.data() + static_cast<std::size_t>(i) * w;
#pragma omp for schedule(static)
        for (int y = 0; y < h; ++y) {
            int need[kSpan];
            const int* rows[kSpan];
            for (int k = 0; k < kSpan; ++k) need[k] = Border::index(y - kRadius + k, h);
            cache.fetch(in, need, rows);
            float* o = result.at(y);
            for (int x = 0; x < lo; ++x) o[x] = atPixel<Border>(in, w, h, 0.0f, x, y, body);
            // Columns in chunks, so that each chunk's sorted columns are still in the nearest
            // cache when its results read them.
            for (int x0 = 0; x0 < w; x0 += kMedianChunk) {
                const int sortFrom = std::max(0, x0 - kRadius);
                const int sortTo = std::min(w, x0 + kMedianChunk + kRadius);
                const int from = std::max(lo, x0), to = std::min(hi, x0 + kMedianChunk);
                if constexpr (kRadius == 1) {
                    int* s0 = sorted[0];
                    int* s1 = sorted[1];
                    int* s2 = sorted[2];
#pragma omp simd
                    for (int x = sortFrom; x < sortTo; ++x) {
                        const int a = rows[0][x], b = rows[1][x], c = rows[2][x];
                        const int ab = least(a, b), ba = most(a, b);
                        const int top = most(ba, c), mid = least(ba, c);
                        s0[x] = least(ab, mid);
                        s1[x] = most(ab, mid);
                        s2[x] = top;
                    }
#pragma omp simd
                    for (int x = from; x < to; ++x) {
                        const int low = most(most(s0[x - 1], s0[x]), s0[x + 1]);
                        const int high = least(least(s2[x - 1], s2[x]), s2[x + 1]);
                        const int middle = median3(s1[x - 1], s1[x], s1[x + 1]);
                        o[x] = bf::medianValue(median3(low, middle, high));
                    }
                } else {
                    int* const* s = sorted;
#pragma omp simd
                    for (int x = sortFrom; x < sortTo; ++x) {
                        int a = rows[0][x], b = rows[1][x], c = rows[2][x], d = rows[3][x],
                            e = rows[4][x];
                        sort5(a, b, c, d, e);
                        s[0][x] = a;
                        s[1][x] = b;
                        s[2][x] = c;
                        s[3][x] = d;
                        s[4][x] = e;
                    }
                    const int *q0 = s[0], *q1 = s[1], *q2 = s[2], *q3 = s[3], *q4 = s[4];
#pragma omp simd
                    for (int x = from; x < to; ++x) {
                        // Row i holds the i-th least of each of the five columns.
#define LMX_ROW(i, q)                                                               \
    int r##i##0 = q[x - 2], r##i##1 = q[x - 1], r##i##2 = q[x], r##i##3 = q[x + 1], \
        r##i##4 = q[x + 2];                                                         \
    sort5(r##i##0, r##i##1, r##i##2, r##i##3, r##i##4)
                        LMX_ROW(0, q0);
                        LMX_ROW(1, q1);
                        LMX_ROW(2, q2);
                        LMX_ROW(3, q3);
                        LMX_ROW(4, q4);
#undef LMX_ROW
                        o[x] = bf::medianValue(median13(r03, r04, r12, r13, r14, r21, r22, r23, r30,
                                                        r31, r32, r40, r41));
                    }
                }
            }
            for (int x = hi; x < w; ++x) o[x] = atPixel<Border>(in, w, h, 0.0f, x, y, body);
            result.put(y);
        }
    }
}

void runMedian(void** args) {
    const void* kernel = reinterpret_cast<const void*>(&LumerixMedianI2I);
    const int w = launchArg<int>(args, 2), h = launchArg<int>(args, 3);
    const int xr = launchArg<int>(args, 4), yr = launchArg<int>(args, 5);
    const int border = launchArg<int>(args, 6);
    if (!coversPlane(w, h) || xr != yr || (xr != 1 && xr != 2)) return runPlain(kernel, args);
    if (w <= 0 || h <= 0) return;
    const float* in = launchArg<float*>(args, 0);
    float* out = launchArg<float*>(args, 1);
    const bool known = withBorder(border, [&](auto rule) {
        using Border = decltype(rule);
        if (xr == 1)
            medianRows<1, Border>(in, out, w, h);
        else
            medianRows<2, Border>(in, out, w, h);
    });
    if (!known) runPlain(kernel, args);
}

}  // namespace

void installBorderFilterTraversals() {
    overrideKernel(reinterpret_cast<const void*>(&LumerixCorrelateRowsIT2I), &runPass<true>);
    overrideKernel(reinterpret_cast<const void*>(&LumerixCorrelateColumnsIT2I), &runPass<false>);
    overrideKernel(reinterpret_cast<const void*>(&LumerixMedianI2I), &runMedian);
    overrideKernel(reinterpret_cast<const void*>(&LumerixCorrelateBorderI2I), &runCorrelate<true>);
    overrideKernel(reinterpret_cast<const void*>(&LumerixCorrelateBorderIT2I),
                   &runCorrelate<false>);
}

}  // namespace lmx::cpu
