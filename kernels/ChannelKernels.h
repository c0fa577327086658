#pragma once
// Three-channel merge and split over the n pixels of one channel: merged value 3i + k is
// pixel i of channel k.

#include "kernels/Dialect.h"

#include <cstddef>

LMX_KERNEL LumerixPixelMerge3(float* c0, float* c1, float* c2, float* m, int n) {
    lmx::forEachPixel(n, [=](int i) {
        float* v = m + 3 * static_cast<std::size_t>(i);
        v[0] = c0[i];
        v[1] = c1[i];
        v[2] = c2[i];
    });
}
LMX_KERNEL LumerixPixelSplit3(float* m, float* c0, float* c1, float* c2, int n) {
    lmx::forEachPixel(n, [=](int i) {
        const float* v = m + 3 * static_cast<std::size_t>(i);
        c0[i] = v[0];
        c1[i] = v[1];
        c2[i] = v[2];
    });
}
