#pragma once
// The pixel-wise tests' operators, operand values and reference results, shared by the tests
// of both backends (api/PixelOpsTest.cpp) and those of the CPU backend's stand-in.

#include "TestSupport.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace lmxtest {

using cmm::cmmDims;

// ---- the operator table with its reference arithmetic, one float operation per pixel --------

inline float truth(bool b) {
    return b ? 1.0f : 0.0f;
}

// Truncation toward zero to a 32-bit integer; NaN gives 0 and values outside the range give the
// nearest end of it.
inline int toInt32(float v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483648.0f) return INT_MAX;
    if (v < -2147483648.0f) return INT_MIN;
    return static_cast<int>(v);
}

struct BinaryOp {
    const char* name;  // the operation in the kernel names
    Lumerix (*imageImage)(Lumerix&, Lumerix&);
    Lumerix (*imageScalar)(Lumerix&, const float&);
    Lumerix (*scalarImage)(const float&, Lumerix&);
    float (*reference)(float a, float b);
    // fmax and fmin choose between equal operands; which zero they give for +0 and -0 is open.
    bool zeroSignOpen;
};

// clang-format off
#define LMX_ROW(name, call, reference, zeroSignOpen)                                        \
    BinaryOp {                                                                              \
        #name, [](Lumerix& a, Lumerix& b) { return call(a, b); },                           \
            [](Lumerix& a, const float& b) { return call(a, b); },                          \
            [](const float& a, Lumerix& b) { return call(a, b); },                          \
            [](float a, float b) { return static_cast<float>(reference); }, zeroSignOpen    \
    }
#define LMX_INFIX(op) [](auto& x, auto& y) { return x op y; }

// A NaN operand of fmax and fmin gives the other operand.
const BinaryOp kOps[] = {
    LMX_ROW(Add, LMX_INFIX(+), a + b, false),
    LMX_ROW(Subt, LMX_INFIX(-), a - b, false),
    LMX_ROW(Mul, LMX_INFIX(*), a * b, false),
    LMX_ROW(Div, LMX_INFIX(/), a / b, false),
    LMX_ROW(Greater, LMX_INFIX(>), truth(a > b), false),
    LMX_ROW(GreaterEqual, LMX_INFIX(>=), truth(a >= b), false),
    LMX_ROW(Less, LMX_INFIX(<), truth(a < b), false),
    LMX_ROW(LessEqual, LMX_INFIX(<=), truth(a <= b), false),
    LMX_ROW(Equal, LMX_INFIX(==), truth(a == b), false),
    LMX_ROW(And, LMX_INFIX(&&), truth(a != 0.0f && b != 0.0f), false),
    LMX_ROW(Or, LMX_INFIX(||), truth(a != 0.0f || b != 0.0f), false),
    LMX_ROW(BitAnd, LMX_INFIX(&), toInt32(a) & toInt32(b), false),
    LMX_ROW(BitOr, LMX_INFIX(|), toInt32(a) | toInt32(b), false),
    LMX_ROW(BitXor, LMX_INFIX(^), toInt32(a) ^ toInt32(b), false),
    LMX_ROW(Max, fmax, std::isnan(a) ? b : std::isnan(b) ? a : a > b ? a : b, true),
    LMX_ROW(Min, fmin, std::isnan(a) ? b : std::isnan(b) ? a : a < b ? a : b, true),
};

#undef LMX_ROW
#undef LMX_INFIX
// clang-format on

inline const BinaryOp& opNamed(const std::string& name) {
    return *std::find_if(std::begin(kOps), std::end(kOps),
                         [&](const BinaryOp& o) { return o.name == name; });
}

// Compares every pixel of r with the reference applied to the given operand values.
inline void expectPixels(const BinaryOp& op, Lumerix& r, const std::vector<float>& left,
                         const std::vector<float>& right) {
    const std::vector<float> got = pixels(r);
    ASSERT_EQ(got.size(), left.size());
    int failures = 0;
    for (std::size_t i = 0; i < got.size() && failures < 5; ++i) {
        const float want = op.reference(left[i], right[i]);
        const bool same = op.zeroSignOpen ? (got[i] == want || (got[i] != got[i] && want != want))
                                          : sameFloat(got[i], want);
        failures += !same;
        EXPECT_TRUE(same) << op.name << " at pixel " << i << " of (" << left[i] << ", " << right[i]
                          << "): got " << got[i] << ", want " << want;
    }
}

// Operands with zeros and equal pairs mixed in, so that comparisons and logic see every case.
inline std::vector<float> leftValues(std::size_t n, unsigned seed) {
    std::vector<float> v = randomValues(n, -300.0f, 300.0f, seed);
    for (std::size_t i = 0; i < n; i += 7) v[i] = 0.0f;
    return v;
}
inline std::vector<float> rightValues(const std::vector<float>& left, unsigned seed) {
    std::vector<float> v = randomValues(left.size(), -300.0f, 300.0f, seed);
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i % 5 == 1) v[i] = left[i];
        if (i % 11 == 3) v[i] = 0.0f;
        if (i % 13 == 4) v[i] = std::trunc(v[i]);
    }
    return v;
}

// Awkward sizes around the block of 256 threads, and images of three and four extents.
const cmmDims kShapes[] = {cmmDims(1, 1),   cmmDims(1, 300),  cmmDims(300, 1),
                           cmmDims(37, 29), cmmDims(1000, 3), cmmDims(256, 1),
                           cmmDims(257, 1), cmmDims(5, 4, 3), cmmDims(3, 4, 5, 2)};
const float kScalars[] = {2.5f, -3.0f, 0.0f, 7.75f};

// Values that probe every rule at once: NaN, infinities, signed zeros, fractions of both signs,
// the ends of the 32-bit integer range and beyond, the largest and a denormal float.
const float kSpecials[] = {kNaN,          kInf,           -kInf,  0.0f,    -0.0f,   1.0f,
                           -1.0f,         0.5f,           -2.5f,  6.9f,    3.0f,    2147483520.0f,
                           2147483648.0f, -2147483648.0f, 3.0e9f, -3.0e9f, FLT_MAX, 1.0e-40f};

inline std::vector<float> interleaved(const std::vector<float>& c0, const std::vector<float>& c1,
                                      const std::vector<float>& c2) {
    std::vector<float> m;
    for (std::size_t i = 0; i < c0.size(); ++i) m.insert(m.end(), {c0[i], c1[i], c2[i]});
    return m;
}

struct Channels {
    std::vector<float> v0, v1, v2;
    Lumerix c0, c1, c2;
    Channels(const cmmDims& dims, unsigned seed)
        : v0(randomValues(static_cast<std::size_t>(dims.Size()), -5.0f, 5.0f, seed)),
          v1(randomValues(static_cast<std::size_t>(dims.Size()), 10.0f, 20.0f, seed + 1)),
          v2(randomValues(static_cast<std::size_t>(dims.Size()), -50.0f, -40.0f, seed + 2)),
          c0(imageOf(dims, v0)),
          c1(imageOf(dims, v1)),
          c2(imageOf(dims, v2)) {}
};

}  // namespace lmxtest
