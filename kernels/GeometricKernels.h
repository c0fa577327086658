#pragma once
// Geometric kernels: one thread per pixel (x, y) of the result's first W x H plane, launched in
// the plane shape (16 x 12 blocks). Each reads the source positions its rule names and writes
// only its own result pixel.

#include "kernels/Borders.h"
#include "kernels/Dialect.h"
#include "kernels/GeometricSampling.h"

// Indices are ints: every pixel index of a plane is below its pixel count, which an int holds.

// Circular shift: result (x, y) reads source (x + dx, y + dy), each wrapped once into the image
// (the host reduces the offsets into range first). W x H is the size of both images. The sums
// are formed in 64 bits: x + dx passes INT_MAX on rows wider than 2^30 pixels.
LMX_KERNEL LumerixGeometricShift(float* src, int dx, int dy, float* dst, int w, int h) {
    lmx::forEachPixel2D(w, h, [=](int x, int y) {
        const int xs = static_cast<int>(lmx::WrapOnce::index64(1LL * x + dx, w));
        const int ys = static_cast<int>(lmx::WrapOnce::index64(1LL * y + dy, h));
        dst[y * w + x] = src[ys * w + xs];
    });
}

// Window: result (x, y) of a w x h result reads source (x + x0, y + y0); the source row stride
// is srcW (the host checks that the window lies inside the source).
LMX_KERNEL LumerixGeometricSlice(float* src, int x0, int y0, int srcW, float* dst, int w, int h) {
    lmx::forEachPixel2D(w, h,
                        [=](int x, int y) { dst[y * w + x] = src[(y + y0) * srcW + (x + x0)]; });
}

// Sub-pixel window: result (i, j) samples source position (i + x, j + y) bilinearly from the
// pixels at floor(position) and floor(position) + 1, columns and rows wrapped modulo the
// source's size. Reads four source pixels, writes one.
LMX_KERNEL LumerixGeometricSliceInterp(float* src, float x, float y, int srcW, int srcH, float* dst,
                                       int w, int h) {
    lmx::forEachPixel2D(w, h, [=](int i, int j) {
        const float sx = static_cast<float>(i) + x, sy = static_cast<float>(j) + y;
        const float xf = floorf(sx), yf = floorf(sy);
        const float fx = sx - xf, fy = sy - yf;
        const int xi = lmx::geo::floorIndex(xf), yi = lmx::geo::floorIndex(yf);
        const int u0 = lmx::WrapModulo::index(xi, srcW), u1 = lmx::WrapModulo::index(xi + 1, srcW);
        const int v0 = lmx::WrapModulo::index(yi, srcH) * srcW;
        const int v1 = lmx::WrapModulo::index(yi + 1, srcH) * srcW;
        dst[j * w + i] =
            lmx::geo::blend(src[v0 + u0], src[v1 + u0], src[v0 + u1], src[v1 + u1], fx, fy);
    });
}

// Coordinate images: pixel (x, y) of the W x H plane holds x (XX) or y (YY). Write only.
LMX_KERNEL LumerixGeometricXX(float* dst, int w, int h) {
    lmx::forEachPixel2D(w, h, [=](int x, int y) { dst[y * w + x] = static_cast<float>(x); });
}
LMX_KERNEL LumerixGeometricYY(float* dst, int w, int h) {
    lmx::forEachPixel2D(w, h, [=](int x, int y) { dst[y * w + x] = static_cast<float>(y); });
}

// Affine warp: result (x, y) of the W x H plane samples the source (of the same size) at
// (a x + b y + c, d x + e y + f); see lmx::geo::affineAt. Reads four source pixels, writes one.
LMX_KERNEL LumerixGeometricAffine(float* src, float a, float b, float c, float d, float e, float f,
                                  float* dst, int w, int h) {
    lmx::forEachPixel2D(w, h, [=](int x, int y) {
        dst[y * w + x] = lmx::geo::affineAt(src, a, b, c, d, e, f, w, h, x, y);
    });
}

// Canvas change: result (x, y) reads source (x - a, y - b) where that lies inside the srcW x
// srcH source, else writes 0 (tests in the order x < a, x - a >= srcW, y < b, y - b >= srcH).
LMX_KERNEL LumerixGeometricResize(float* src, int a, int b, int srcW, int srcH, float* dst, int w,
                                  int h) {
    lmx::forEachPixel2D(w, h, [=](int x, int y) {
        const long long sx = 1LL * x - a, sy = 1LL * y - b;
        float v = 0.0f;
        if (!(x < a) && !(sx >= srcW) && !(y < b) && !(sy >= srcH))
            v = src[static_cast<int>(sy) * srcW + static_cast<int>(sx)];
        dst[y * w + x] = v;
    });
}
