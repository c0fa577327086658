#pragma once
// Pixel type conversion kernels: pixel i of the source to pixel i of the destination.

#include "kernels/Dialect.h"
#include "kernels/PixelMath.h"

LMX_KERNEL LumerixPixelInt8ToFloat(unsigned char* src, float* dst, int n) {
    lmx::mapPixels(n, dst, [=](int i) { return static_cast<float>(src[i]); });
}
LMX_KERNEL LumerixPixelFloatToInt8(float* src, unsigned char* dst, int n) {
    lmx::mapPixels(n, dst, [=](int i) { return lmx::px::toUint8(src[i]); });
}
LMX_KERNEL LumerixPixelInt16ToFloat(unsigned short* src, float* dst, int n) {
    lmx::mapPixels(n, dst, [=](int i) { return static_cast<float>(src[i]); });
}
LMX_KERNEL LumerixPixelFloatToInt16(float* src, unsigned short* dst, int n) {
    lmx::mapPixels(n, dst, [=](int i) { return lmx::px::toUint16(src[i]); });
}
LMX_KERNEL LumerixPixelFloatToInt32(float* src, unsigned int* dst, int n) {
    lmx::mapPixels(n, dst, [=](int i) { return lmx::px::toUint32(src[i]); });
}
