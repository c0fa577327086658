#pragma once
// Conversions between images and the FFT's complex working array: complex value k (real part
// in x, imaginary part in y) belongs to pixel k; one thread per pixel, n pixels.

#include "kernels/Dialect.h"

// Reads image[k]; writes complex[k] = (image[k], 0).
LMX_KERNEL LumerixFFTFloatToComplex(float* image, float2* complex, int n) {
    lmx::forEachPixel(n, [=](int k) {
        complex[k].x = image[k];
        complex[k].y = 0.0f;
    });
}

// Reads complex[k]; writes its real part to re[k] and its imaginary part to im[k].
LMX_KERNEL LumerixFFTDeinterleave(float2* complex, float* re, float* im, int n) {
    lmx::forEachPixel(n, [=](int k) {
        re[k] = complex[k].x;
        im[k] = complex[k].y;
    });
}

// Reads re[k] and im[k]; writes complex[k] = (re[k], im[k]).
LMX_KERNEL LumerixFFTInterleave(float* re, float* im, float2* complex, int n) {
    lmx::forEachPixel(n, [=](int k) {
        complex[k].x = re[k];
        complex[k].y = im[k];
    });
}

// Reads the real part of complex[k]; writes it to out[k].
LMX_KERNEL LumerixFFTComplexToFloat(float2* complex, float* out, int n) {
    lmx::forEachPixel(n, [=](int k) { out[k] = complex[k].x; });
}
