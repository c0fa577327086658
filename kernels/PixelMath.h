#pragma once
// Per-pixel arithmetic shared by the kernels of both backends. Written so that the CPU and the
// GPU give the same bits: plain IEEE operations and comparisons, no library calls whose
// results differ between the two (except logf, which may differ by one ulp).

#include "kernels/Dialect.h"

#include <math.h>

namespace lmx::px {

LMX_HD float truth(bool b) {
    return b ? 1.0f : 0.0f;
}

// The larger / smaller operand; a NaN operand gives the other one (as fmaxf / fminf do).
LMX_HD float larger(float a, float b) {
    return (a > b || b != b) ? a : b;
}
LMX_HD float smaller(float a, float b) {
    return (a < b || b != b) ? a : b;
}

// Truncation toward zero to a signed 32-bit integer, saturating at the range ends, NaN to 0:
// what the GPU's conversion instruction does, made explicit so the CPU agrees.
LMX_HD int toInt(float v) {
    if (v != v) return 0;
    if (v >= 2147483648.0f) return 2147483647;
    if (v <= -2147483648.0f) return -2147483647 - 1;
    return static_cast<int>(v);
}

// Saturating conversions to unsigned integer pixels: the fraction is truncated, values below 0
// and NaN give 0, values above the range give its largest value.
LMX_HD float clampTo(float v, float top) {
    const float low = v > 0.0f ? v : 0.0f;  // NaN fails the test and becomes 0
    return low < top ? low : top;
}
LMX_HD unsigned char toUint8(float v) {
    return static_cast<unsigned char>(static_cast<int>(clampTo(v, 255.0f)));
}
LMX_HD unsigned short toUint16(float v) {
    return static_cast<unsigned short>(static_cast<int>(clampTo(v, 65535.0f)));
}
LMX_HD unsigned int toUint32(float v) {
    return v >= 4294967296.0f ? 4294967295u : (v > 0.0f ? static_cast<unsigned int>(v) : 0u);
}

// The binary operations, by kernel name.
// clang-format off
LMX_HD float Add(float a, float b) { return a + b; }
LMX_HD float Subt(float a, float b) { return a - b; }
LMX_HD float Mul(float a, float b) { return a * b; }
LMX_HD float Div(float a, float b) { return a / b; }
LMX_HD float Greater(float a, float b) { return truth(a > b); }
LMX_HD float GreaterEqual(float a, float b) { return truth(a >= b); }
LMX_HD float Less(float a, float b) { return truth(a < b); }
LMX_HD float LessEqual(float a, float b) { return truth(a <= b); }
LMX_HD float Equal(float a, float b) { return truth(a == b); }
LMX_HD float And(float a, float b) { return truth(a != 0.0f && b != 0.0f); }
LMX_HD float Or(float a, float b) { return truth(a != 0.0f || b != 0.0f); }
LMX_HD float XOr(float a, float b) { return truth((a != 0.0f) != (b != 0.0f)); }
LMX_HD float BitAnd(float a, float b) { return static_cast<float>(toInt(a) & toInt(b)); }
LMX_HD float BitOr(float a, float b) { return static_cast<float>(toInt(a) | toInt(b)); }
LMX_HD float BitXor(float a, float b) { return static_cast<float>(toInt(a) ^ toInt(b)); }
LMX_HD float Max(float a, float b) { return larger(a, b); }
LMX_HD float Min(float a, float b) { return smaller(a, b); }
// clang-format on

}  // namespace lmx::px
