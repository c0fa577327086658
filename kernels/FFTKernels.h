#pragma once
// Conversions between images and the FFT's complex working array: complex value k (real part
// in x, imaginary part in y) belongs to pixel k; one thread per pixel, n pixels.
//
// Each complex value is read or written whole, as one float2: one 8-byte access per thread on
// the GPU instead of two 4-byte ones. On the host both spellings compile to the same code.

#include "kernels/Dialect.h"

// Reads image[k]; writes complex[k] = (image[k], 0).
LMX_KERNEL LumerixFFTFloatToComplex(float* image, float2* complex, int n) {
    lmx::forEachPixel(n, [=](int k) { complex[k] = float2{image[k], 0.0f}; });
}

// Reads complex[k]; writes its real part to re[k] and its imaginary part to im[k].
LMX_KERNEL LumerixFFTDeinterleave(float2* complex, float* re, float* im, int n) {
    lmx::forEachPixel(n, [=](int k) {
        const float2 z = complex[k];
        re[k] = z.x;
        im[k] = z.y;
    });
}

// Reads re[k] and im[k]; writes complex[k] = (re[k], im[k]).
LMX_KERNEL LumerixFFTInterleave(float* re, float* im, float2* complex, int n) {
    lmx::forEachPixel(n, [=](int k) { complex[k] = float2{re[k], im[k]}; });
}

// Reads the real part of complex[k]; writes it to out[k]. (A 4-byte read: the imaginary part
// is not needed, and a warp's reads touch the same sectors either way.)
LMX_KERNEL LumerixFFTComplexToFloat(float2* complex, float* out, int n) {
    lmx::forEachPixel(n, [=](int k) { out[k] = complex[k].x; });
}
