// CPU traversals of the geometric kernels.
//
// The shift, the crop and the canvas change move whole row pieces: per result row the shift is
// two source pieces, the crop one, the canvas change zeros, one piece and zeros. Copying the
// pieces with memcpy (and filling with memset), with streaming stores into a large result,
// moves the same values as the per-pixel bodies at the speed of a copy. The sub-pixel window
// computes its column samples once per launch (they are the same on every row) and blends
// contiguous row pieces where the window does not wrap. The coordinate images and the affine warp
// keep the kernels' per-pixel arithmetic (lmx::geo::affineAt written with vector instructions), so
// their bits are the plain kernels'; a test checks every traversal against the plain body.

#include "backend/cpu/Traversal.h"
#include "kernels/BorderSampling.h"
#include "kernels/GeometricSampling.h"
#include "kernels/Kernels.h"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace lmx::cpu {
namespace {

// The part of a w x h result that a launch covers, as forEachPixel2D computes it.
struct Covered {
    int x, y;
    Covered(int w, int h)
        : x(static_cast<int>(
              std::min<long long>(w, 1LL * currentLaunch.grid.x * currentLaunch.block.x))),
          y(h) {}  // the grid's rows loop over every row
    long long pixels() const { return 1LL * x * y; }
    //! True when the covered result is written with streaming stores.
    bool streams() const { return streamsResult(static_cast<std::size_t>(pixels()) * 4); }
};

// row(y) for every covered row, split between the threads as the engine decides.
template <class F>
void forRows(const Covered& c, F row) {
    parallelRows(c.y, c.pixels(), row);
}

// Row pieces of a large result go out with streaming stores, whole 64-byte lines of it at a
// time (the partial lines at the two ends as usual): the result's lines are then not read
// before they are written, and a copy moves each byte once each way. Rows are a few KiB, below
// the size at which memcpy itself would stream.
constexpr long long kPerLine = kLineBytes / static_cast<long long>(sizeof(float));

void copyFloats(float* dst, const float* src, long long n, bool streaming = false) {
    if (n <= 0) return;
    long long i = 0;
    if (streaming) {
        i = std::min<long long>(n, elementsToLine(dst, 0));
        std::memcpy(dst, src, static_cast<std::size_t>(i) * sizeof(float));
        for (; i + kPerLine <= n; i += kPerLine) streamLine(dst + i, src + i);
    }
    std::memcpy(dst + i, src + i, static_cast<std::size_t>(n - i) * sizeof(float));
}
void zeroFloats(float* dst, long long n, bool streaming = false) {
    if (n <= 0) return;
    long long i = 0;
    if (streaming) {
        alignas(kLineBytes) static const float zeros[kPerLine] = {};
        i = std::min<long long>(n, elementsToLine(dst, 0));
        std::memset(dst, 0, static_cast<std::size_t>(i) * sizeof(float));
        for (; i + kPerLine <= n; i += kPerLine) streamLine(dst + i, zeros);
    }
    std::memset(dst + i, 0, static_cast<std::size_t>(n - i) * sizeof(float));
}

}  // namespace

void shiftRows(float* src, int dx, int dy, float* dst, int w, int h) {
    if (dx < -w || dx > w || dy < -h || dy > h)  // outside the body's single wrap
        return LumerixGeometricShift(src, dx, dy, dst, w, h);
    const Covered c(w, h);
    // Columns [0, split) read column x + first, columns [split, w) column x + second.
    const int split = dx >= 0 ? w - dx : -dx;
    const int first = dx >= 0 ? dx : dx + w, second = dx >= 0 ? dx - w : dx;
    const int left = std::min(split, c.x);
    const bool streaming = c.streams();
    forRows(c, [=](int y) {
        const float* row = src + 1LL * WrapOnce::index(y + dy, h) * w;
        float* out = dst + 1LL * y * w;
        copyFloats(out, row + first, left, streaming);
        copyFloats(out + left, row + left + second, c.x - left, streaming);
        if (streaming) fenceStreamingStores();
    });
}

void sliceRows(float* src, int x0, int y0, int srcW, float* dst, int w, int h) {
    const Covered c(w, h);
    const bool streaming = c.streams();
    forRows(c, [=](int y) {
        copyFloats(dst + 1LL * y * w, src + 1LL * (y + y0) * srcW + x0, c.x, streaming);
        if (streaming) fenceStreamingStores();
    });
}

void resizeRows(float* src, int a, int b, int srcW, int srcH, float* dst, int w, int h) {
    const Covered c(w, h);
    // Source columns land in [lo, hi) of every row that holds a source row.
    const long long lo = std::clamp<long long>(a, 0, c.x);
    const long long hi = std::clamp<long long>(1LL * a + srcW, lo, c.x);
    const bool streaming = c.streams();
    forRows(c, [=](int y) {
        float* out = dst + 1LL * y * w;
        const long long sy = 1LL * y - b;
        if (y < b || sy >= srcH) {
            zeroFloats(out, c.x, streaming);
        } else {
            zeroFloats(out, lo, streaming);
            copyFloats(out + lo, src + sy * srcW + (lo - a), hi - lo, streaming);
            zeroFloats(out + hi, c.x - hi, streaming);
        }
        if (streaming) fenceStreamingStores();
    });
}

namespace {

// One axis of a sub-pixel window: for result index i, the source indices of its two samples and
// the weight of the second, with the body's arithmetic (sample position i + origin, floor,
// wrap modulo n). Along x these do not depend on the row, so they are computed once per launch.
struct WindowTaps {
    int u0, u1;
    float f;
};

WindowTaps windowTaps(int i, float origin, int n) {
    const float s = static_cast<float>(i) + origin;
    const float floor = floorf(s);
    const int k = geo::floorIndex(floor);
    return {WrapModulo::index(k, n), WrapModulo::index(k + 1, n), s - floor};
}

// Columns [begin, end) whose samples are neighbours, u0(i) = base + i and u1(i) = u0(i) + 1
// (read as contiguous row pieces), or, with base kScattered, columns read through the table
// (where the window wraps around the source's edge, or the source is one column wide).
struct ColumnRun {
    int begin, end, base;
};
constexpr int kScattered = INT32_MIN;

std::vector<ColumnRun> columnRuns(const std::vector<WindowTaps>& taps) {
    std::vector<ColumnRun> runs;
    for (int i = 0; i < static_cast<int>(taps.size()); ++i) {
        const WindowTaps& t = taps[static_cast<std::size_t>(i)];
        const bool neighbours = t.u1 == t.u0 + 1;
        const int base = neighbours ? t.u0 - i : kScattered;
        if (!runs.empty() && runs.back().end == i && runs.back().base == base)
            ++runs.back().end;
        else
            runs.push_back({i, i + 1, base});
    }
    return runs;
}

}  // namespace

void sliceSamples(float* src, float x, float y, int srcW, int srcH, float* dst, int w, int h) {
    const Covered c(w, h);
    if (c.pixels() <= 0) return;
    std::vector<WindowTaps> columns(static_cast<std::size_t>(c.x));
    for (int i = 0; i < c.x; ++i) columns[static_cast<std::size_t>(i)] = windowTaps(i, x, srcW);
    const std::vector<ColumnRun> runs = columnRuns(columns);
    const WindowTaps* t = columns.data();
    forRows(c, [&](int j) {
        const WindowTaps r = windowTaps(j, y, srcH);
        const float* r0 = src + 1LL * r.u0 * srcW;
        const float* r1 = src + 1LL * r.u1 * srcW;
        const float fy = r.f;
        float* out = dst + 1LL * j * w;
        for (const ColumnRun& run : runs) {
            if (run.base == kScattered) {
                for (int i = run.begin; i < run.end; ++i)
                    out[i] =
                        geo::blend(r0[t[i].u0], r1[t[i].u0], r0[t[i].u1], r1[t[i].u1], t[i].f, fy);
                continue;
            }
            const float* a0 = r0 + run.base;
            const float* a1 = r1 + run.base;
            LMX_SIMD
            for (int i = run.begin; i < run.end; ++i)
                out[i] = geo::blend(a0[i], a1[i], a0[i + 1], a1[i + 1], t[i].f, fy);
        }
    });
}

#if defined(__AVX2__)

namespace {

// Writes n floats of a row, value(i) for i = 0, 8, 16, ... giving 8 at a time; whole vectors go
// out with streaming stores where the result is large, the tail one by one.
template <class Vector, class Scalar>
void writeRow(float* out, int n, bool streaming, Vector value, Scalar tail) {
    int i = 0;
    if (streaming) {
        // Scalar stores up to the first 32-byte boundary, then aligned streaming stores.
        for (; i < n && (reinterpret_cast<std::uintptr_t>(out + i) & 31u); ++i) out[i] = tail(i);
        for (; i + 8 <= n; i += 8) _mm256_stream_ps(out + i, value(i));
        _mm_sfence();  // by the thread that wrote them, before any other thread reads them
    } else {
        for (; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, value(i));
    }
    for (; i < n; ++i) out[i] = tail(i);
}

template <bool kColumns>
void coordinates(float* dst, int w, int h) {
    const Covered c(w, h);
    const bool streaming = c.streams();
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    forRows(c, [&](int y) {
        float* out = dst + 1LL * y * w;
        if (kColumns) {
            writeRow(
                out, c.x, streaming,
                [&](int i) {
                    return _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(i), lanes));
                },
                [](int i) { return static_cast<float>(i); });
        } else {
            const float v = static_cast<float>(y);
            writeRow(
                out, c.x, streaming, [&](int) { return _mm256_set1_ps(v); },
                [&](int) { return v; });
        }
    });
}

// Pixels (p(i), p(i + 1)) of eight neighbourhoods with corner indices idx: the left and right
// column of one row, each pair one 64-bit load. Gathers of single floats cost several times
// more on the CPUs we measured.
inline void loadPairs(const float* row, const int* idx, __m256& left, __m256& right) {
    // Two floats are only 4-byte aligned: copied out as 64-bit values, which the compiler turns
    // into the same unaligned loads without pretending the floats are doubles.
    auto pair = [&](int k) {
        double d;
        std::memcpy(&d, row + idx[k], sizeof d);
        return d;
    };
    auto two = [&](int k) {
        return _mm_set_pd(pair(k + 1), pair(k));
    };
    // Lanes hold pixels 0, 1 | 4, 5 and 2, 3 | 6, 7, so that one shuffle puts them in order.
    const __m256 a =
        _mm256_castpd_ps(_mm256_insertf128_pd(_mm256_castpd128_pd256(two(0)), two(4), 1));
    const __m256 b =
        _mm256_castpd_ps(_mm256_insertf128_pd(_mm256_castpd128_pd256(two(2)), two(6), 1));
    left = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    right = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
}

// Arguments of one affine launch.
struct AffineLaunch {
    const float* src;
    float a, b, c, d, e, f;
    float* dst;
    int w, h;
};

// True when every position of the launch is finite and below 2^30 in magnitude: the kernel's
// clamp to the int range and its finiteness test then never change a value and can be left out.
bool boundedPositions(const AffineLaunch& k) {
    auto bound = [&](double p, double q, double r) {
        const double m = std::fabs(p) * k.w + std::fabs(q) * k.h + std::fabs(r);
        return std::isfinite(p) && std::isfinite(q) && std::isfinite(r) && m < 1e9;
    };
    return bound(k.a, k.b, k.c) && bound(k.d, k.e, k.f);
}

// Output tiles of kTileRows x kTileColumns: the source pixels that a tile's rows read stay in
// the cache from one row of the tile to the next, whatever the angle.
constexpr int kTileRows = 16, kTileColumns = 256;

// The affine warp, eight result pixels at a time, each with the arithmetic of geo::affineAt:
// the same products and sums in the same order, the corner clamped in float and then in int,
// the same blend, NaN where the position is not finite. Images one pixel wide (whose
// neighbourhood is a single column) take the scalar rule.
template <bool kBounded>
void warpTiles(const AffineLaunch& k, const Covered& cov) {
    const bool streaming = cov.streams();
    const int bands = cov.y / kTileRows + (cov.y % kTileRows ? 1 : 0);
    const float* below = k.src + (k.h > 1 ? k.w : 0);  // the neighbourhood's second row
    parallelRows(bands, cov.pixels(), [&](int band) {
        const __m256 va = _mm256_set1_ps(k.a), vc = _mm256_set1_ps(k.c);
        const __m256 vd = _mm256_set1_ps(k.d), vf = _mm256_set1_ps(k.f);
        const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
        const __m256 range = _mm256_set1_ps(geo::kIntRange), top = _mm256_set1_ps(geo::kFloatMax);
        const __m256 nan = _mm256_set1_ps(NAN);
        const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
        const __m256i lastX = _mm256_set1_epi32(k.w - 2);
        const __m256i lastY = _mm256_set1_epi32(k.h > 1 ? k.h - 2 : 0);
        const __m256i vw = _mm256_set1_epi32(k.w);
        const __m256 useY = k.h > 1 ? _mm256_castsi256_ps(_mm256_set1_epi32(-1)) : zero;
        const __m256 lanes = _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7);
        const int y0 = band * kTileRows, y1 = std::min(cov.y, y0 + kTileRows);
        for (int x0 = 0; x0 < cov.x; x0 += kTileColumns) {
            const int n = std::min(kTileColumns, cov.x - x0);
            for (int y = y0; y < y1; ++y) {
                const float fy = static_cast<float>(y);
                const __m256 by = _mm256_set1_ps(k.b * fy), ey = _mm256_set1_ps(k.e * fy);
                auto pixels = [=](int i) {
                    const __m256 fx =
                        _mm256_add_ps(_mm256_set1_ps(static_cast<float>(x0 + i)), lanes);
                    const __m256 xs = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(va, fx), by), vc);
                    const __m256 ys = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(vd, fx), ey), vf);
                    __m256 cx = _mm256_max_ps(xs, zero), cy = _mm256_max_ps(ys, zero);
                    if (!kBounded) {
                        cx = _mm256_min_ps(cx, range);
                        cy = _mm256_min_ps(cy, range);
                    }
                    const __m256i xc = _mm256_min_epi32(_mm256_cvttps_epi32(cx), lastX);
                    const __m256i yc = _mm256_min_epi32(_mm256_cvttps_epi32(cy), lastY);
                    const __m256 wx = _mm256_sub_ps(xs, _mm256_cvtepi32_ps(xc));
                    const __m256 wy =
                        _mm256_and_ps(_mm256_sub_ps(ys, _mm256_cvtepi32_ps(yc)), useY);
                    alignas(32) int corner[8];
                    _mm256_store_si256(reinterpret_cast<__m256i*>(corner),
                                       _mm256_add_epi32(_mm256_mullo_epi32(yc, vw), xc));
                    // Read the corners back from memory: eight scalar loads cost less than the
                    // lane extractions that the compiler would otherwise choose.
                    asm volatile("" : : "r"(corner) : "memory");
                    __m256 p00, p10, p01, p11;
                    loadPairs(k.src, corner, p00, p10);
                    loadPairs(below, corner, p01, p11);
                    const __m256 ox = _mm256_sub_ps(one, wx), oy = _mm256_sub_ps(one, wy);
                    const __m256 l = _mm256_add_ps(_mm256_mul_ps(oy, p00), _mm256_mul_ps(wy, p01));
                    const __m256 r = _mm256_add_ps(_mm256_mul_ps(oy, p10), _mm256_mul_ps(wy, p11));
                    const __m256 v = _mm256_add_ps(_mm256_mul_ps(ox, l), _mm256_mul_ps(wx, r));
                    if (kBounded) return v;
                    const __m256 finite =
                        _mm256_and_ps(_mm256_cmp_ps(_mm256_and_ps(xs, magnitude), top, _CMP_LE_OQ),
                                      _mm256_cmp_ps(_mm256_and_ps(ys, magnitude), top, _CMP_LE_OQ));
                    return _mm256_blendv_ps(nan, v, finite);
                };
                auto scalar = [&](int i) {
                    return geo::affineAt(k.src, k.a, k.b, k.c, k.d, k.e, k.f, k.w, k.h, x0 + i, y);
                };
                writeRow(k.dst + 1LL * y * k.w + x0, n, streaming, pixels, scalar);
            }
        }
    });
}

// The warp with a border, eight result pixels at a time where all eight neighbourhoods lie
// inside the source: the kernel's blend without the border's tests, with its arithmetic (the
// same products and sums in the same order, the floor, the weights, the corner's row and
// column). A group with any pixel whose neighbourhood reaches past the edge, or whose position
// is not finite, takes the kernel's own rule pixel by pixel, with the border; with the constant
// border, pixels whose neighbourhood lies wholly outside join the vector path with the
// constant in place of their four pixels, as the rule reads them.
template <class Border>
void warpBorderTiles(const AffineLaunch& k, float cval, const Covered& cov) {
    constexpr bool kConstant = std::is_same<Border, Outside>::value;
    const bool streaming = cov.streams();
    const int bands = cov.y / kTileRows + (cov.y % kTileRows ? 1 : 0);
    const float* below = k.src + k.w;  // the neighbourhood's second row, where it is inside
    parallelRows(bands, cov.pixels(), [&](int band) {
        const __m256 va = _mm256_set1_ps(k.a), vc = _mm256_set1_ps(k.c);
        const __m256 vd = _mm256_set1_ps(k.d), vf = _mm256_set1_ps(k.f);
        const __m256 one = _mm256_set1_ps(1.0f);
        const __m256 low = _mm256_set1_ps(-geo::kHalfIntRange);
        const __m256 high = _mm256_set1_ps(geo::kHalfIntRange);
        const __m256i before = _mm256_set1_epi32(-1);
        const __m256i lastX = _mm256_set1_epi32(k.w - 1), lastY = _mm256_set1_epi32(k.h - 1);
        const __m256i vw = _mm256_set1_epi32(k.w);
        const __m256 lanes = _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256 constant = _mm256_set1_ps(cval), top = _mm256_set1_ps(geo::kFloatMax);
        const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
        const int y0 = band * kTileRows, y1 = std::min(cov.y, y0 + kTileRows);
        for (int x0 = 0; x0 < cov.x; x0 += kTileColumns) {
            const int n = std::min(kTileColumns, cov.x - x0);
            for (int y = y0; y < y1; ++y) {
                const float fy = static_cast<float>(y);
                const __m256 by = _mm256_set1_ps(k.b * fy), ey = _mm256_set1_ps(k.e * fy);
                auto scalar = [&](int i) {
                    const float fxp = static_cast<float>(x0 + i);
                    const float xs = k.a * fxp + k.b * fy + k.c;
                    const float ys = k.d * fxp + k.e * fy + k.f;
                    return scale::borderSample<Border>(k.src, k.w, k.h, xs, ys, cval);
                };
                auto pixels = [=](int i) {
                    const __m256 fx =
                        _mm256_add_ps(_mm256_set1_ps(static_cast<float>(x0 + i)), lanes);
                    const __m256 xs = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(va, fx), by), vc);
                    const __m256 ys = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(vd, fx), ey), vf);
                    const __m256 xf = _mm256_floor_ps(xs), yf = _mm256_floor_ps(ys);
                    // floorIndex: NaN and huge values clamp to the range's ends, far outside.
                    const __m256i xi =
                        _mm256_cvttps_epi32(_mm256_min_ps(_mm256_max_ps(xf, low), high));
                    const __m256i yi =
                        _mm256_cvttps_epi32(_mm256_min_ps(_mm256_max_ps(yf, low), high));
                    const __m256i inside =
                        _mm256_and_si256(_mm256_and_si256(_mm256_cmpgt_epi32(xi, before),
                                                          _mm256_cmpgt_epi32(lastX, xi)),
                                         _mm256_and_si256(_mm256_cmpgt_epi32(yi, before),
                                                          _mm256_cmpgt_epi32(lastY, yi)));
                    // With the constant border, a finite position whose neighbourhood lies wholly
                    // outside (both columns or both rows) blends four constants.
                    __m256i away = _mm256_setzero_si256();
                    if (kConstant) {
                        const __m256 finite = _mm256_and_ps(
                            _mm256_cmp_ps(_mm256_and_ps(xs, magnitude), top, _CMP_LE_OQ),
                            _mm256_cmp_ps(_mm256_and_ps(ys, magnitude), top, _CMP_LE_OQ));
                        away = _mm256_and_si256(
                            _mm256_castps_si256(finite),
                            _mm256_or_si256(_mm256_or_si256(_mm256_cmpgt_epi32(before, xi),
                                                            _mm256_cmpgt_epi32(xi, lastX)),
                                            _mm256_or_si256(_mm256_cmpgt_epi32(before, yi),
                                                            _mm256_cmpgt_epi32(yi, lastY))));
                        away = _mm256_andnot_si256(inside, away);
                    }
                    if (_mm256_movemask_epi8(_mm256_or_si256(inside, away)) != -1) {
                        alignas(32) float v[8];
                        for (int l = 0; l < 8; ++l) v[l] = scalar(i + l);
                        return _mm256_load_ps(v);
                    }
                    const __m256 wx = _mm256_sub_ps(xs, xf), wy = _mm256_sub_ps(ys, yf);
                    alignas(32) int corner[8];
                    _mm256_store_si256(
                        reinterpret_cast<__m256i*>(corner),
                        _mm256_and_si256(inside, _mm256_add_epi32(_mm256_mullo_epi32(yi, vw), xi)));
                    asm volatile("" : : "r"(corner) : "memory");
                    __m256 p00, p10, p01, p11;
                    loadPairs(k.src, corner, p00, p10);
                    loadPairs(below, corner, p01, p11);
                    if (kConstant) {
                        const __m256 in = _mm256_castsi256_ps(inside);
                        p00 = _mm256_blendv_ps(constant, p00, in);
                        p10 = _mm256_blendv_ps(constant, p10, in);
                        p01 = _mm256_blendv_ps(constant, p01, in);
                        p11 = _mm256_blendv_ps(constant, p11, in);
                    }
                    const __m256 ox = _mm256_sub_ps(one, wx), oy = _mm256_sub_ps(one, wy);
                    const __m256 l = _mm256_add_ps(_mm256_mul_ps(oy, p00), _mm256_mul_ps(wy, p01));
                    const __m256 r = _mm256_add_ps(_mm256_mul_ps(oy, p10), _mm256_mul_ps(wy, p11));
                    return _mm256_add_ps(_mm256_mul_ps(ox, l), _mm256_mul_ps(wx, r));
                };
                writeRow(k.dst + 1LL * y * k.w + x0, n, streaming, pixels, scalar);
            }
        }
    });
}

}  // namespace

void affineBorderTiles(float* src, float a, float b, float c, float d, float e, float f, int border,
                       float cval, float* dst, int w, int h) {
    // A neighbourhood lies inside only where the source has two rows and two columns, and
    // the vector path reads pixels of both rows even for the groups it fills with the constant.
    if (w < 2 || h < 2)
        return LumerixAffineBorderI2I(src, a, b, c, d, e, f, border, cval, dst, w, h);
    const AffineLaunch k{src, a, b, c, d, e, f, dst, w, h};
    const Covered cov(w, h);
    withBorder(border, [&](auto rule) { warpBorderTiles<decltype(rule)>(k, cval, cov); });
}

void columnCoordinates(float* dst, int w, int h) {
    coordinates<true>(dst, w, h);
}
void rowCoordinates(float* dst, int w, int h) {
    coordinates<false>(dst, w, h);
}

void affineTiles(float* src, float a, float b, float c, float d, float e, float f, float* dst,
                 int w, int h) {
    const AffineLaunch k{src, a, b, c, d, e, f, dst, w, h};
    const Covered cov(k.w, k.h);
    if (k.w < 2) {  // one column: the scalar rule, row by row
        forRows(cov, [&](int y) {
            for (int x = 0; x < cov.x; ++x)
                k.dst[1LL * y * k.w + x] =
                    geo::affineAt(k.src, k.a, k.b, k.c, k.d, k.e, k.f, k.w, k.h, x, y);
        });
    } else if (boundedPositions(k)) {
        warpTiles<true>(k, cov);
    } else {
        warpTiles<false>(k, cov);
    }
}

#endif

}  // namespace lmx::cpu
