#pragma once
// The per-axis sampling of scaling: for each result column (or row) the source pixels it reads
// and their weights, shared by the kernels and by the host code that builds the tap tables once
// per call. Positions follow the convention that pixel centres lie at half-integers.

#include "kernels/Borders.h"
#include "kernels/Dialect.h"
#include "kernels/GeometricSampling.h"

#include <math.h>

#include <vector>

namespace lmx::scale {

// The source pixel nearest to the centre of result pixel d, computed in 16.16 fixed point with
// a centre that lies exactly on a pixel boundary going to the lower pixel.
LMX_HD int nearestIndex(int d, int n, int dn) {
    const long long step = ((static_cast<long long>(n) << 16) + dn / 2) / dn;
    const long long s = (step / 2 - 1 + d * step) >> 16;
    return static_cast<int>(s < 0 ? 0 : (s >= n ? n - 1 : s));
}

// The sampling position of result pixel d (its centre mapped back to the source, less half a
// pixel): the integer part in i, the fraction returned.
LMX_HD float centreOf(int d, double scale, int& i) {
    const float f = static_cast<float>((d + 0.5) * scale - 0.5);
    const float fl = floorf(f);
    i = geo::floorIndex(fl);
    return f - fl;
}

// Linear taps i and i + 1 of an axis of n pixels: positions before the first or past the last
// pixel take that pixel with weight 1.
LMX_HD float linearTaps(int& i, float fx, int n) {
    if (i < 0) {
        i = 0;
        fx = 0.0f;
    }
    if (i >= n - 1) {
        i = n - 1;
        fx = 0.0f;
    }
    return fx;
}

// The four cubic weights at fraction x (Keys' kernel with a = -0.75).
LMX_HD void cubicWeights(float x, float* c) {
    const float a = -0.75f;
    c[0] = ((a * (x + 1) - 5 * a) * (x + 1) + 8 * a) * (x + 1) - 4 * a;
    c[1] = ((a + 2) * x - (a + 3)) * x * x + 1;
    c[2] = ((a + 2) * (1 - x) - (a + 3)) * (1 - x) * (1 - x) + 1;
    c[3] = 1.0f - c[0] - c[1] - c[2];
}

// Area weights along one axis when shrinking: result pixel d covers source [d s, d s + s),
// clipped to the n pixels. Pixels first .. last are read; the first and the last get their own
// weights (the parts of them covered), those between `inner`.
struct AreaSpan {
    int first, last;
    float wFirst, inner, wLast;
};

LMX_HD AreaSpan areaSpan(int d, double s, int n) {
    const double from = d * s, to = from + s;
    const double cell = fmin(s, n - from);
    int i1 = static_cast<int>(ceil(from));
    int i2 = static_cast<int>(floor(to));
    i2 = i2 < n - 1 ? i2 : n - 1;
    i1 = i1 < i2 ? i1 : i2;
    AreaSpan a;
    a.inner = static_cast<float>(1.0 / cell);
    const bool head = i1 - from > 1e-3;
    const double tail = fmin(fmin(to - i2, 1.0), cell);
    a.first = head ? i1 - 1 : i1;
    a.wFirst = head ? static_cast<float>((i1 - from) / cell) : a.inner;
    a.last = tail > 1e-3 ? i2 : i2 - 1;
    a.wLast = tail > 1e-3 ? static_cast<float>(tail / cell) : a.inner;
    // A span of one pixel that is both the head and the tail takes the head's weight.
    return a;
}

LMX_HD float areaWeight(const AreaSpan& a, int i) {
    return i == a.first ? a.wFirst : (i == a.last ? a.wLast : a.inner);
}

// Linear taps for growing by area: the fraction of result pixel d that the next source pixel
// covers (inv = result pixels per source pixel).
LMX_HD float areaGrowTaps(int d, double s, double inv, int n, int& i) {
    i = static_cast<int>(floor(d * s));
    float f = static_cast<float>((d + 1) - (i + 1) * inv);
    f = f <= 0.0f ? 0.0f : f - floorf(f);
    return linearTaps(i, f, n);
}

// Tables of one axis: `taps` indices and weights per result pixel (spans: first and count).
struct AxisTaps {
    int taps = 0;
    std::vector<int> index;
    std::vector<float> weight;
};

// Linear taps of an axis of dn result pixels over n source pixels with scale s: indices i and
// i + 1 (the last pixel repeated), weights 1 - f and f.
// Two taps per result pixel d: source i and the next one (the last clamped), weights 1 - f and
// f, where f = fraction(d, i) also sets i.
template <class Fraction>
AxisTaps twoTapAxis(int dn, int n, Fraction fraction) {
    AxisTaps t;
    t.taps = 2;
    t.index.resize(2 * static_cast<std::size_t>(dn));
    t.weight.resize(2 * static_cast<std::size_t>(dn));
    for (int d = 0; d < dn; ++d) {
        int i;
        const float f = fraction(d, i);
        t.index[2 * d] = i;
        t.index[2 * d + 1] = i + 1 < n ? i + 1 : i;
        t.weight[2 * d] = 1.0f - f;
        t.weight[2 * d + 1] = f;
    }
    return t;
}

inline AxisTaps linearAxis(int dn, int n, double s) {
    return twoTapAxis(dn, n, [&](int d, int& i) { return linearTaps(i, centreOf(d, s, i), n); });
}

// Cubic taps: indices i - 1 .. i + 2 clamped to the axis, Keys' weights.
inline AxisTaps cubicAxis(int dn, int n, double s) {
    AxisTaps t;
    t.taps = 4;
    t.index.resize(4 * static_cast<std::size_t>(dn));
    t.weight.resize(4 * static_cast<std::size_t>(dn));
    for (int d = 0; d < dn; ++d) {
        int i;
        cubicWeights(centreOf(d, s, i), &t.weight[4 * d]);
        for (int k = 0; k < 4; ++k) t.index[4 * d + k] = Nearest::index(i - 1 + k, n);
    }
    return t;
}

// Area growing: linear taps at the positions area weighting gives (inv = dn / n).
inline AxisTaps areaGrowAxis(int dn, int n, double s) {
    const double inv = static_cast<double>(dn) / n;
    return twoTapAxis(dn, n, [&](int d, int& i) { return areaGrowTaps(d, s, inv, n, i); });
}

// Area shrinking: per result pixel the first source pixel and the count of those it covers
// (index), and their weights, padded to the widest span (taps).
inline AxisTaps areaSpanAxis(int dn, int n, double s) {
    AxisTaps t;
    std::vector<AreaSpan> spans(static_cast<std::size_t>(dn));
    for (int d = 0; d < dn; ++d) {
        spans[d] = areaSpan(d, s, n);
        const int count = spans[d].last - spans[d].first + 1;
        t.taps = count > t.taps ? count : t.taps;
    }
    t.index.resize(2 * static_cast<std::size_t>(dn));
    t.weight.assign(static_cast<std::size_t>(dn) * t.taps, 0.0f);
    for (int d = 0; d < dn; ++d) {
        const AreaSpan& a = spans[d];
        const int count = a.last - a.first + 1;
        t.index[2 * d] = a.first;
        t.index[2 * d + 1] = count > 0 ? count : 0;
        for (int k = 0; k < count; ++k)
            t.weight[static_cast<std::size_t>(d) * t.taps + k] = areaWeight(a, a.first + k);
    }
    return t;
}

}  // namespace lmx::scale
