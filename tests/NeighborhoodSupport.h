#pragma once
// The neighbourhood tests' plain loops (erosion, dilation, correlation) and test images, shared
// by the tests of both backends and those of the CPU backend's stand-in.

#include "TestSupport.h"

#include <initializer_list>
#include <vector>

namespace lmxtest {

// Reflection with the edge pixel repeated, bounced until the position lies inside.
inline int reflect(int p, int n) {
    while (p < 0 || p >= n) p = p < 0 ? -p - 1 : 2 * n - p - 1;
    return p;
}

struct Plane {
    int w, h;
};
// Sides below, at and beyond one block of 16 x 12, 1 x N, N x 1, and one large enough for the
// CPU backend to split the rows between threads.
const Plane kPlanes[] = {{1, 1}, {1, 9}, {9, 1}, {2, 2}, {16, 12}, {17, 13}, {3, 40}, {200, 190}};

inline std::vector<float> plainErosion(std::vector<float> cur, int w, int h, int iterations,
                                       int shape, bool dilate) {
    std::vector<float> next(cur.size());
    for (int i = 0; i < iterations; ++i) {
        const bool square = shape == 2 || (shape != 1 && i % 2 == 1);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                float m = dilate ? -kInf : kInf;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        if (!square && dx != 0 && dy != 0) continue;
                        const float v = cur[reflect(y + dy, h) * w + reflect(x + dx, w)];
                        if (dilate ? v > m : v < m) m = v;  // NaN never replaces m
                    }
                next[y * w + x] = m;
            }
        std::swap(cur, next);
    }
    return cur;
}

inline std::vector<float> plainCorrelation(const std::vector<float>& in, int w, int h,
                                           const std::vector<float>& taps, int xr, int yr) {
    std::vector<float> out(in.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float acc = 0.0f;
            for (int dy = -yr; dy <= yr; ++dy)
                for (int dx = -xr; dx <= xr; ++dx)
                    acc = std::fmaf(taps[(dy + yr) * (2 * xr + 1) + dx + xr],
                                    in[reflect(y + dy, h) * w + reflect(x + dx, w)], acc);
            out[y * w + x] = acc;
        }
    return out;
}

// Random pixels with a few infinities and a NaN among them.
inline std::vector<float> testPixels(int w, int h, unsigned seed) {
    std::vector<float> v = randomValues(static_cast<std::size_t>(w) * h, -100.0f, 100.0f, seed);
    if (v.size() > 5) {
        v[v.size() / 2] = kInf;
        v[v.size() / 3] = -kInf;
        v[v.size() / 5] = kNaN;
    }
    return v;
}

inline void expectUnlocked(std::initializer_list<Lumerix*> images) {
    for (Lumerix* img : images) EXPECT_EQ(img->page->lockCount, 0);
}

}  // namespace lmxtest
