// Element-wise binary operators: the 16 operations in their three forms (image-image,
// image-scalar, scalar-image) against per-pixel reference functions written here.

#include "TestSupport.h"

#include <cfloat>
#include <cstdlib>
#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

using lmxtest::imageOf;
using lmxtest::pixels;
using lmxtest::sameFloat;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// ---- reference arithmetic, one float operation per pixel -----------------------------------

float truth(bool b) { return b ? 1.0f : 0.0f; }

// Truncation toward zero to a 32-bit integer; NaN gives 0 and values outside the range give the
// nearest end of it.
int toInt32(float v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483648.0f) return INT_MAX;
    if (v < -2147483648.0f) return INT_MIN;
    return static_cast<int>(v);
}

float refAdd(float a, float b) { return a + b; }
float refSubt(float a, float b) { return a - b; }
float refMul(float a, float b) { return a * b; }
float refDiv(float a, float b) { return a / b; }
float refGreater(float a, float b) { return truth(a > b); }
float refGreaterEqual(float a, float b) { return truth(a >= b); }
float refLess(float a, float b) { return truth(a < b); }
float refLessEqual(float a, float b) { return truth(a <= b); }
float refEqual(float a, float b) { return truth(a == b); }
float refAnd(float a, float b) { return truth(a != 0.0f && b != 0.0f); }
float refOr(float a, float b) { return truth(a != 0.0f || b != 0.0f); }
float refBitAnd(float a, float b) { return static_cast<float>(toInt32(a) & toInt32(b)); }
float refBitOr(float a, float b) { return static_cast<float>(toInt32(a) | toInt32(b)); }
float refBitXor(float a, float b) { return static_cast<float>(toInt32(a) ^ toInt32(b)); }
// A NaN operand gives the other operand.
float refMax(float a, float b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return a > b ? a : b;
}
float refMin(float a, float b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return a < b ? a : b;
}

// ---- the operator table -------------------------------------------------------------------

struct BinaryOp {
    const char* name;  // the operation in the kernel names
    Lumerix (*imageImage)(Lumerix&, Lumerix&);
    Lumerix (*imageScalar)(Lumerix&, const float&);
    Lumerix (*scalarImage)(const float&, Lumerix&);
    float (*reference)(float, float);
    // fmax and fmin choose between equal operands; which zero they give for +0 and -0 is open.
    bool zeroSignOpen;
};

#define LMX_OPERATOR_ROW(name, op, zeroSignOpen)                                          \
    BinaryOp {                                                                            \
        #name, [](Lumerix& a, Lumerix& b) { return a op b; },                             \
            [](Lumerix& a, const float& s) { return a op s; },                            \
            [](const float& s, Lumerix& a) { return s op a; }, &ref##name, zeroSignOpen   \
    }
#define LMX_FUNCTION_ROW(name, fn)                                                        \
    BinaryOp {                                                                            \
        #name, [](Lumerix& a, Lumerix& b) { return fn(a, b); },                           \
            [](Lumerix& a, const float& s) { return fn(a, s); },                          \
            [](const float& s, Lumerix& a) { return fn(s, a); }, &ref##name, true         \
    }

const BinaryOp kOps[] = {
    LMX_OPERATOR_ROW(Add, +, false),          LMX_OPERATOR_ROW(Subt, -, false),
    LMX_OPERATOR_ROW(Mul, *, false),          LMX_OPERATOR_ROW(Div, /, false),
    LMX_OPERATOR_ROW(Greater, >, false),      LMX_OPERATOR_ROW(GreaterEqual, >=, false),
    LMX_OPERATOR_ROW(Less, <, false),         LMX_OPERATOR_ROW(LessEqual, <=, false),
    LMX_OPERATOR_ROW(Equal, ==, false),       LMX_OPERATOR_ROW(And, &&, false),
    LMX_OPERATOR_ROW(Or, ||, false),          LMX_OPERATOR_ROW(BitAnd, &, false),
    LMX_OPERATOR_ROW(BitOr, |, false),        LMX_OPERATOR_ROW(BitXor, ^, false),
    LMX_FUNCTION_ROW(Max, fmax),              LMX_FUNCTION_ROW(Min, fmin),
};

#undef LMX_OPERATOR_ROW
#undef LMX_FUNCTION_ROW

::testing::AssertionResult sameResult(const BinaryOp& op, float got, float want) {
    const bool same = op.zeroSignOpen ? (got == want || (std::isnan(got) && std::isnan(want)))
                                      : sameFloat(got, want);
    if (same) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got " << got << ", want " << want;
}

// Compares every pixel of r with the reference applied to the given operand values.
void expectPixels(const BinaryOp& op, Lumerix& r, const std::vector<float>& left,
                  const std::vector<float>& right) {
    const std::vector<float> got = pixels(r);
    ASSERT_EQ(got.size(), left.size());
    int failures = 0;
    for (std::size_t i = 0; i < got.size() && failures < 5; ++i) {
        const auto same = sameResult(op, got[i], op.reference(left[i], right[i]));
        if (!same) ++failures;
        EXPECT_TRUE(same) << op.name << " at pixel " << i << " of (" << left[i] << ", "
                          << right[i] << ")";
    }
}

void expectSameDims(const cmm::cmmDims& got, const cmm::cmmDims& want) {
    ASSERT_EQ(got.Dims(), 4);
    for (int d = 0; d < 4; ++d) EXPECT_EQ(got.Dim(d), want.Dim(d)) << "extent " << d;
    EXPECT_EQ(got.Size(), want.Size());
}

// Operands with zeros and equal pairs mixed in, so that comparisons and logic see every case.
std::vector<float> leftValues(std::size_t n, unsigned seed) {
    std::vector<float> v = lmxtest::randomValues(n, -300.0f, 300.0f, seed);
    for (std::size_t i = 0; i < n; i += 7) v[i] = 0.0f;
    return v;
}
std::vector<float> rightValues(const std::vector<float>& left, unsigned seed) {
    std::vector<float> v = lmxtest::randomValues(left.size(), -300.0f, 300.0f, seed);
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i % 5 == 1) v[i] = left[i];
        if (i % 11 == 3) v[i] = 0.0f;
        if (i % 13 == 4) v[i] = std::trunc(v[i]);
    }
    return v;
}

const float kScalars[] = {2.5f, -3.0f, 0.0f, 7.75f};

struct Shape {
    int w, h;
};
const Shape kShapes[] = {{1, 1}, {1, 300}, {300, 1}, {37, 29}, {1000, 3}, {256, 1}, {257, 1}};

// Values that probe every rule at once: NaN, infinities, signed zeros, fractions of both signs,
// the ends of the 32-bit integer range and beyond, the largest and a denormal float.
const float kSpecials[] = {kNaN,          kInf,          -kInf,          0.0f,      -0.0f,
                           1.0f,          -1.0f,         0.5f,           -2.5f,     6.9f,
                           3.0f,          2147483520.0f, 2147483648.0f,  -2147483648.0f,
                           3.0e9f,        -3.0e9f,       FLT_MAX,        1.0e-40f};

#if defined(LMX_BACKEND_CPU)
// The kernel that the most recent launch ran.
std::string lastKernel() {
    const auto& log = lmx::cpu::launchLog();
    return log.empty() ? std::string() : log.back().kernel;
}

// Leaves no fault pending and the capacity as it was, however the test ends.
struct DeviceGuard {
    std::size_t capacity = lmx::cpu::deviceCapacity();
    ~DeviceGuard() {
        lmx::cpu::clearFaults();
        lmx::cpu::setDeviceCapacity(capacity);
        cudaGetLastError();
    }
};
#endif

std::string thrownMessage(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

}  // namespace

// ---- every operator, every form, on random images of awkward sizes --------------------------

class BinaryOperatorOnImage : public ::testing::TestWithParam<std::tuple<BinaryOp, Shape>> {};

TEST_P(BinaryOperatorOnImage, MatchesTheReferenceInAllThreeForms) {
    const BinaryOp& op = std::get<0>(GetParam());
    const Shape shape = std::get<1>(GetParam());
    const cmm::cmmDims dims(shape.w, shape.h);
    const std::size_t n = static_cast<std::size_t>(dims.Size());
    const std::vector<float> va = leftValues(n, 11);
    const std::vector<float> vb = rightValues(va, 12);
    Lumerix a = imageOf(dims, va);
    Lumerix b = imageOf(dims, vb);

    Lumerix r = op.imageImage(a, b);
#if defined(LMX_BACKEND_CPU)
    EXPECT_EQ(lastKernel(), std::string("LumerixPixel") + op.name + "II2I");
#endif
    expectSameDims(r.GetDimensions(), dims);
    expectPixels(op, r, va, vb);

    for (float s : kScalars) {
        SCOPED_TRACE(s);
        const std::vector<float> vs(n, s);
        Lumerix rs = op.imageScalar(a, s);
#if defined(LMX_BACKEND_CPU)
        EXPECT_EQ(lastKernel(), std::string("LumerixPixel") + op.name + "IF2I");
#endif
        expectSameDims(rs.GetDimensions(), dims);
        expectPixels(op, rs, va, vs);

        Lumerix sr = op.scalarImage(s, a);
#if defined(LMX_BACKEND_CPU)
        EXPECT_EQ(lastKernel(), std::string("LumerixPixel") + op.name + "IF2I_swap");
#endif
        expectSameDims(sr.GetDimensions(), dims);
        expectPixels(op, sr, vs, va);
    }

    // The operands keep their pixels and extents.
    expectSameDims(a.GetDimensions(), dims);
    expectSameDims(b.GetDimensions(), dims);
    const std::vector<float> pa = pixels(a), pb = pixels(b);
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_TRUE(sameFloat(pa[i], va[i])) << i;
        ASSERT_TRUE(sameFloat(pb[i], vb[i])) << i;
    }
}

std::string shapeName(const ::testing::TestParamInfo<std::tuple<BinaryOp, Shape>>& param) {
    const Shape s = std::get<1>(param.param);
    return std::string(std::get<0>(param.param).name) + "_" + std::to_string(s.w) + "x" +
           std::to_string(s.h);
}

INSTANTIATE_TEST_SUITE_P(AllOperators, BinaryOperatorOnImage,
                         ::testing::Combine(::testing::ValuesIn(kOps),
                                            ::testing::ValuesIn(kShapes)),
                         shapeName);

class BinaryOperator : public ::testing::TestWithParam<BinaryOp> {};

TEST_P(BinaryOperator, FollowsTheReferenceOnSpecialValues) {
    const BinaryOp& op = GetParam();
    // Every ordered pair of special values, once as image-image and once through each scalar form.
    const std::size_t k = std::size(kSpecials);
    std::vector<float> va, vb;
    for (float x : kSpecials) {
        for (float y : kSpecials) {
            va.push_back(x);
            vb.push_back(y);
        }
    }
    Lumerix a = imageOf(cmm::cmmDims(static_cast<int>(k), static_cast<int>(k)), va);
    Lumerix b = imageOf(cmm::cmmDims(static_cast<int>(k), static_cast<int>(k)), vb);
    Lumerix r = op.imageImage(a, b);
    expectPixels(op, r, va, vb);

    const std::vector<float> specials(std::begin(kSpecials), std::end(kSpecials));
    Lumerix row = imageOf(specials);
    for (float s : kSpecials) {
        SCOPED_TRACE(s);
        const std::vector<float> vs(k, s);
        Lumerix rs = op.imageScalar(row, s);
        expectPixels(op, rs, specials, vs);
        Lumerix sr = op.scalarImage(s, row);
        expectPixels(op, sr, vs, specials);
    }
}

TEST_P(BinaryOperator, KeepsTheExtentsOfThreeAndFourDimensionalImages) {
    const BinaryOp& op = GetParam();
    for (const cmm::cmmDims& dims : {cmm::cmmDims(5, 4, 3), cmm::cmmDims(3, 4, 5, 2)}) {
        const std::vector<float> va = leftValues(static_cast<std::size_t>(dims.Size()), 3);
        const std::vector<float> vb = rightValues(va, 4);
        Lumerix a = imageOf(dims, va);
        Lumerix b = imageOf(dims, vb);
        Lumerix r = op.imageImage(a, b);
        expectSameDims(r.GetDimensions(), dims);
        expectPixels(op, r, va, vb);
        Lumerix rs = op.imageScalar(a, 1.5f);
        expectSameDims(rs.GetDimensions(), dims);
        Lumerix sr = op.scalarImage(1.5f, a);
        expectSameDims(sr.GetDimensions(), dims);
    }
}

TEST_P(BinaryOperator, RejectsImagesOfOtherExtentsAndLeavesThemUsable) {
    const BinaryOp& op = GetParam();
    // As many pixels, other extents.
    const std::vector<float> va = leftValues(48, 5);
    const std::vector<float> vb = rightValues(va, 6);
    Lumerix a = imageOf(cmm::cmmDims(8, 6), va);
    Lumerix b = imageOf(cmm::cmmDims(6, 8), vb);
#if defined(LMX_BACKEND_CPU)
    const lmx::cpu::Counters before = lmx::cpu::counters();
#endif
    const int locksBefore = cmm::lockTotal;
    EXPECT_EQ(thrownMessage([&] { op.imageImage(a, b); }), "Image sizes do not match");
    EXPECT_EQ(thrownMessage([&] { op.imageImage(b, a); }), "Image sizes do not match");
    EXPECT_EQ(cmm::lockTotal, locksBefore) << "an operand was locked before the check";
#if defined(LMX_BACKEND_CPU)
    EXPECT_EQ(lmx::cpu::counters().allocations, before.allocations);
    EXPECT_EQ(lmx::cpu::counters().launches, before.launches);
#endif
    // Both operands are unlocked and keep their data; they still work as operands.
    const std::vector<float> pa = pixels(a), pb = pixels(b);
    for (std::size_t i = 0; i < va.size(); ++i) {
        EXPECT_TRUE(sameFloat(pa[i], va[i]));
        EXPECT_TRUE(sameFloat(pb[i], vb[i]));
    }
    Lumerix r = op.imageImage(a, a);
    expectPixels(op, r, va, va);
}

std::string opName(const ::testing::TestParamInfo<BinaryOp>& param) { return param.param.name; }

INSTANTIATE_TEST_SUITE_P(AllOperators, BinaryOperator, ::testing::ValuesIn(kOps), opName);

// ---- worked examples ------------------------------------------------------------------------

TEST(BinaryOps, ScalarOnTheLeftIsTheLeftOperand) {
    Lumerix a = imageOf({4.0f, -2.0f, 0.5f, 10.0f});
    Lumerix minusOne = a - 1.0f;
    Lumerix oneMinus = 1.0f - a;
    Lumerix half = a / 2.0f;
    Lumerix twoOver = 2.0f / a;
    EXPECT_EQ(pixels(minusOne), (std::vector<float>{3.0f, -3.0f, -0.5f, 9.0f}));
    EXPECT_EQ(pixels(oneMinus), (std::vector<float>{-3.0f, 3.0f, 0.5f, -9.0f}));
    EXPECT_EQ(pixels(half), (std::vector<float>{2.0f, -1.0f, 0.25f, 5.0f}));
    EXPECT_EQ(pixels(twoOver), (std::vector<float>{0.5f, -1.0f, 4.0f, 0.2f}));
}

TEST(BinaryOps, ComparisonsWithAScalarOnEitherSide) {
    Lumerix a = imageOf({0.2f, 0.5f, 0.9f});
    Lumerix right = a > 0.5f;
    Lumerix left = 0.5f > a;
    EXPECT_EQ(pixels(right), (std::vector<float>{0.0f, 0.0f, 1.0f}));
    EXPECT_EQ(pixels(left), (std::vector<float>{1.0f, 0.0f, 0.0f}));
}

TEST(BinaryOps, AnImageComparedWithItselfIsEqualExceptWhereNaN) {
    Lumerix a = imageOf({1.0f, -0.0f, kNaN, kInf, -kInf, 3.5f});
    Lumerix gt = a > a;
    Lumerix ge = a >= a;
    Lumerix eq = a == a;
    EXPECT_EQ(pixels(gt), (std::vector<float>(6, 0.0f)));
    EXPECT_EQ(pixels(ge), (std::vector<float>{1.0f, 1.0f, 0.0f, 1.0f, 1.0f, 1.0f}));
    EXPECT_EQ(pixels(eq), (std::vector<float>{1.0f, 1.0f, 0.0f, 1.0f, 1.0f, 1.0f}));
}

TEST(BinaryOps, NaNIsTrueInLogicAndFalseInEveryComparison) {
    Lumerix a = imageOf({kNaN, kNaN, kNaN, kInf, -kInf});
    Lumerix b = imageOf({0.0f, 1.0f, kNaN, 0.0f, -kInf});
    Lumerix conj = a && b;
    Lumerix disj = a || b;
    Lumerix lt = a < b;
    Lumerix le = a <= b;
    Lumerix eq = a == b;
    EXPECT_EQ(pixels(conj), (std::vector<float>{0.0f, 1.0f, 1.0f, 0.0f, 1.0f}));
    EXPECT_EQ(pixels(disj), (std::vector<float>{1.0f, 1.0f, 1.0f, 1.0f, 1.0f}));
    EXPECT_EQ(pixels(lt), (std::vector<float>{0.0f, 0.0f, 0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(pixels(le), (std::vector<float>{0.0f, 0.0f, 0.0f, 0.0f, 1.0f}));
    EXPECT_EQ(pixels(eq), (std::vector<float>{0.0f, 0.0f, 0.0f, 0.0f, 1.0f}));
}

TEST(BinaryOps, LogicTreatsEveryNonZeroPixelAsTrue) {
    Lumerix a = imageOf({0.0f, 2.0f, -3.0f, 0.0f, -0.0f});
    Lumerix b = imageOf({1.0f, 0.0f, 4.0f, 0.0f, 1.0e-40f});
    Lumerix conj = a && b;
    Lumerix disj = a || b;
    EXPECT_EQ(pixels(conj), (std::vector<float>{0.0f, 0.0f, 1.0f, 0.0f, 0.0f}));
    EXPECT_EQ(pixels(disj), (std::vector<float>{1.0f, 1.0f, 1.0f, 0.0f, 1.0f}));
}

TEST(BinaryOps, BitwiseOperatorsTruncateTowardZero) {
    Lumerix a = imageOf({6.9f, -6.9f, -1.0f, -5.0f, 0.99f});
    Lumerix b = imageOf({3.0f, 3.0f, 4.0f, 3.0f, 1.0f});
    Lumerix band = a & b;
    Lumerix bor = a | b;
    Lumerix bxor = a ^ b;
    // 6 & 3, -6 & 3, -1 & 4, -5 & 3, 0 & 1 and so on, in two's complement.
    EXPECT_EQ(pixels(band), (std::vector<float>{2.0f, 2.0f, 4.0f, 3.0f, 0.0f}));
    EXPECT_EQ(pixels(bor), (std::vector<float>{7.0f, -5.0f, -1.0f, -5.0f, 1.0f}));
    EXPECT_EQ(pixels(bxor), (std::vector<float>{5.0f, -7.0f, -5.0f, -8.0f, 1.0f}));
}

TEST(BinaryOps, BitwiseOperatorsSaturateOutOfRangeValuesAndTakeNaNAsZero) {
    Lumerix a = imageOf({3.0e9f, -3.0e9f, kNaN, kInf, -kInf, 2147483648.0f});
    Lumerix band = a & 1.0f;
    Lumerix bor = 0.0f | a;
    Lumerix bxor = a ^ 5.0f;
    // INT_MAX is odd; INT_MIN even. As floats both ends round to +-2^31.
    EXPECT_EQ(pixels(band), (std::vector<float>{1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 1.0f}));
    EXPECT_EQ(pixels(bor), (std::vector<float>{2147483648.0f, -2147483648.0f, 0.0f,
                                               2147483648.0f, -2147483648.0f, 2147483648.0f}));
    EXPECT_EQ(pixels(bxor)[2], 5.0f);
    EXPECT_EQ(pixels(bxor)[0], static_cast<float>(INT_MAX ^ 5));
}

TEST(BinaryOps, MaximumAndMinimumClampAndIgnoreNaN) {
    Lumerix a = imageOf({-2.0f, 0.5f, 3.0f, kNaN, -kInf});
    Lumerix lower = fmax(a, 0.0f);
    Lumerix upper = fmin(1.0f, a);
    EXPECT_EQ(pixels(lower), (std::vector<float>{0.0f, 0.5f, 3.0f, 0.0f, 0.0f}));
    EXPECT_EQ(pixels(upper), (std::vector<float>{-2.0f, 0.5f, 1.0f, 1.0f, -kInf}));
    Lumerix n = imageOf({kNaN, 4.0f, kNaN});
    Lumerix m = imageOf({2.0f, kNaN, kNaN});
    Lumerix hi = fmax(n, m);
    Lumerix lo = fmin(m, n);
    const std::vector<float> ph = pixels(hi), pl = pixels(lo);
    EXPECT_EQ(ph[0], 2.0f);
    EXPECT_EQ(ph[1], 4.0f);
    EXPECT_TRUE(std::isnan(ph[2]));
    EXPECT_EQ(pl[0], 2.0f);
    EXPECT_EQ(pl[1], 4.0f);
    EXPECT_TRUE(std::isnan(pl[2]));
}

TEST(BinaryOps, ExtentsWithATrailingOneAreTheSameExtents) {
    Lumerix a = imageOf(cmm::cmmDims(6, 4), leftValues(24, 1));
    Lumerix b = imageOf(cmm::cmmDims(6, 4, 1), leftValues(24, 2));
    Lumerix r = a + b;
    expectSameDims(r.GetDimensions(), cmm::cmmDims(6, 4, 1, 1));
}

TEST(BinaryOps, AnImageAddedToItselfIsLockedTwiceAndDoubled) {
    const std::vector<float> va = leftValues(1000, 21);
    Lumerix a = imageOf(cmm::cmmDims(40, 25), va);
#if defined(LMX_BACKEND_CPU)
    const long uploads = lmx::cpu::counters().hostToDevice();
#endif
    const int locks = cmm::lockTotal;
    Lumerix r = a + a;
    EXPECT_EQ(cmm::lockTotal - locks, 3);  // a twice, then the result
#if defined(LMX_BACKEND_CPU)
    EXPECT_EQ(lmx::cpu::counters().hostToDevice() - uploads, 1) << "a is uploaded once";
#endif
    EXPECT_EQ(a.page->lockCount, 0);
    EXPECT_TRUE(a.page->state == cmm::cmmCached());
    const std::vector<float> got = pixels(r);
    for (std::size_t i = 0; i < va.size(); ++i) ASSERT_EQ(got[i], 2.0f * va[i]) << i;
    EXPECT_EQ(pixels(a), va);
}

TEST(BinaryOps, AChainOfOperationsCopiesNothingBackUntilTheHostReads) {
    LMX_CPU_BACKEND_ONLY();
#if defined(LMX_BACKEND_CPU)
    const cmm::cmmDims dims(37, 29);
    const std::vector<float> va = leftValues(1073, 31), vb = leftValues(1073, 32),
                             vc = leftValues(1073, 33);
    Lumerix a = imageOf(dims, va), b = imageOf(dims, vb), c = imageOf(dims, vc);
    const lmx::cpu::Counters before = lmx::cpu::counters();
    Lumerix result = fmax((a + b) * c - 2.0f, 0.0f) / (1.0f + (a > b));
    EXPECT_EQ(lmx::cpu::counters().deviceToHost(), before.deviceToHost());
    EXPECT_EQ(lmx::cpu::counters().hostToDevice() - before.hostToDevice(), 3);
    const std::vector<float> got = pixels(result);
    EXPECT_EQ(lmx::cpu::counters().deviceToHost() - before.deviceToHost(), 1);
    for (std::size_t i = 0; i < got.size(); ++i) {
        const float want =
            refMax((va[i] + vb[i]) * vc[i] - 2.0f, 0.0f) / (1.0f + refGreater(va[i], vb[i]));
        ASSERT_TRUE(sameFloat(got[i], want)) << i;
    }
#endif
}

TEST(BinaryOps, ImagesWithoutPixelsGiveEmptyResultsAndLaunchNothing) {
    Lumerix e;
    Lumerix f;
#if defined(LMX_BACKEND_CPU)
    const long launches = lmx::cpu::counters().launches;
#endif
    for (const BinaryOp& op : kOps) {
        Lumerix r = op.imageImage(e, f);
        Lumerix rs = op.imageScalar(e, 1.0f);
        Lumerix sr = op.scalarImage(1.0f, e);
        EXPECT_EQ(r.GetDimensions().Size(), 0) << op.name;
        EXPECT_EQ(rs.GetDimensions().Size(), 0) << op.name;
        EXPECT_EQ(sr.GetDimensions().Size(), 0) << op.name;
    }
#if defined(LMX_BACKEND_CPU)
    EXPECT_EQ(lmx::cpu::counters().launches, launches);
#endif
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

#if defined(LMX_BACKEND_CPU)

namespace {

// Puts the operands' data on the device, unlocked, with no zombie left to reclaim.
void onDevice(std::initializer_list<Lumerix*> images) {
    for (Lumerix* img : images) {
        img->Lock();
        img->Release();
    }
    lmxtest::putDownAllZombies();
}

void expectUnlockedWith(Lumerix& img, const std::vector<float>& values) {
    EXPECT_EQ(img.page->lockCount, 0);
    EXPECT_TRUE(img.page->state == cmm::cmmCached());
    EXPECT_EQ(pixels(img), values);
}

}  // namespace

TEST(BinaryOps, OutOfMemoryForTheResultReleasesTheOperands) {
    LMX_CPU_BACKEND_ONLY();
    const std::vector<float> va = leftValues(500, 41), vb = leftValues(500, 42);
    // Only the operands of the form are on the device: a bystander there would be spilled and
    // its memory would make room for the result.
    {
        Lumerix a = imageOf(va), b = imageOf(vb);
        onDevice({&a, &b});
        DeviceGuard guard;
        lmx::cpu::injectPersistentFault(lmx::cpu::Fault::Allocation, 1, cudaErrorMemoryAllocation);
        EXPECT_EQ(thrownMessage([&] { a - b; }), "Out of memory");
        lmx::cpu::clearFaults();
        expectUnlockedWith(a, va);
        expectUnlockedWith(b, vb);
    }
    using Form = std::function<Lumerix(Lumerix&)>;
    const Form forms[] = {
        [](Lumerix& a) { return a - 1.0f; },
        [](Lumerix& a) { return 1.0f - a; },
        [](Lumerix& a) { return a * a; },
    };
    for (const Form& form : forms) {
        Lumerix a = imageOf(va);
        onDevice({&a});
        DeviceGuard guard;
        lmx::cpu::injectPersistentFault(lmx::cpu::Fault::Allocation, 1, cudaErrorMemoryAllocation);
        EXPECT_EQ(thrownMessage([&] { form(a); }), "Out of memory");
        lmx::cpu::clearFaults();
        expectUnlockedWith(a, va);
    }
}

TEST(BinaryOps, OutOfMemoryReleasesOnlyTheLocksTheOperationTook) {
    LMX_CPU_BACKEND_ONLY();
    const std::vector<float> va = leftValues(300, 45), vb = leftValues(300, 46);
    Lumerix a = imageOf(va), b = imageOf(vb);
    onDevice({&b});
    a.Lock();  // the caller's own lock
    {
        DeviceGuard guard;
        lmx::cpu::injectPersistentFault(lmx::cpu::Fault::Allocation, 1, cudaErrorMemoryAllocation);
        EXPECT_EQ(thrownMessage([&] { a + b; }), "Out of memory");
    }
    EXPECT_EQ(a.page->lockCount, 1);
    EXPECT_TRUE(a.page->state == cmm::cmmLocked());
    a.Release();
    expectUnlockedWith(a, va);
    expectUnlockedWith(b, vb);
}

TEST(BinaryOps, ADeviceTooSmallForTheResultLeavesTheOperandsUsable) {
    LMX_CPU_BACKEND_ONLY();
    const std::vector<float> va = leftValues(4096, 43), vb = leftValues(4096, 44);
    Lumerix a = imageOf(va), b = imageOf(vb);
    onDevice({&a, &b});
    {
        DeviceGuard guard;
        lmx::cpu::setDeviceCapacity(lmx::cpu::deviceBytesInUse() + 1024);
        EXPECT_EQ(thrownMessage([&] { a + b; }), "Out of memory");
    }
    expectUnlockedWith(a, va);
    expectUnlockedWith(b, vb);
    Lumerix r = a + b;  // works again once there is room
    EXPECT_EQ(pixels(r)[7], va[7] + vb[7]);
}

namespace {

// Catches "Out of memory" from a + b, then goes on with operations that need no new device
// memory (a sum, whose partial buffer is cached) and that do (another a + b); exits 0 when
// both give the right values.
[[noreturn]] void goOnAfterOutOfMemory() {
    Lumerix a = imageOf({1.0f, 2.0f, 3.0f});
    Lumerix b = imageOf({4.0f, 5.0f, 6.0f});
    const bool warm = sum(a) == 6.0f;  // leaves the partial buffer in the chunk cache
    onDevice({&a, &b});
    const std::size_t capacity = lmx::cpu::deviceCapacity();
    lmx::cpu::setDeviceCapacity(lmx::cpu::deviceBytesInUse());
    try {
        a + b;
    } catch (const std::runtime_error&) {
    }
    lmx::cpu::setDeviceCapacity(capacity);
    const bool summed = sum(b) == 15.0f;
    Lumerix r = a + b;
    const bool added = pixels(r) == std::vector<float>{5.0f, 7.0f, 9.0f};
    std::exit(warm && summed && added ? 0 : 2);
}

}  // namespace

// The caller may catch "Out of memory" and go on: nothing of the failed attempt may reach the
// launch check of a later operation. Run in a child process, since that check ends the process.
TEST(BinaryOpsDeathTest, AnOperationAfterOutOfMemoryRunsNormally) {
    LMX_CPU_BACKEND_ONLY();
    EXPECT_EXIT(goOnAfterOutOfMemory(), ::testing::ExitedWithCode(0), "");
}

#endif  // LMX_BACKEND_CPU
