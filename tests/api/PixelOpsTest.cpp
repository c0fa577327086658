// Pixel-wise operations: the 16 binary operators in their three forms (image-image,
// image-scalar, scalar-image) and the 4 unary ones against per-pixel reference functions written
// here, worked examples of the edge cases, three-channel merge and split, and what an operation
// leaves behind when it fails.

#include "PixelOpsSupport.h"
#include "TestSupport.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

using namespace cmm;
using namespace lmxtest;

// Checks a result of one form: the kernel that made it, its extents and every pixel.
void expectForm(const BinaryOp& op, const char* form, Lumerix&& r, const cmmDims& dims,
                const std::vector<float>& left, const std::vector<float>& right) {
    if (kCpuBackend) {
        EXPECT_EQ(lastKernel(), std::string("LumerixPixel") + op.name + form);
    }
    EXPECT_EQ(r.GetDimensions(), dims);
    EXPECT_EQ(r.GetDimensions().Size(), dims.Size());
    expectPixels(op, r, left, right);
}

class BinaryOperator : public ::testing::TestWithParam<BinaryOp> {};

TEST_P(BinaryOperator, MatchesTheReferenceInAllThreeFormsAndKeepsItsOperands) {
    const BinaryOp& op = GetParam();
    for (const cmmDims& dims : kShapes) {
        SCOPED_TRACE(::testing::Message()
                     << dims.Dim(0) << "x" << dims.Dim(1) << "x" << dims.Dim(2));
        const std::size_t n = static_cast<std::size_t>(dims.Size());
        const std::vector<float> va = leftValues(n, 11), vb = rightValues(va, 12);
        Lumerix a = imageOf(dims, va), b = imageOf(dims, vb);
        expectForm(op, "II2I", op.imageImage(a, b), dims, va, vb);
        for (float s : kScalars) {
            SCOPED_TRACE(s);
            const std::vector<float> vs(n, s);
            expectForm(op, "IF2I", op.imageScalar(a, s), dims, va, vs);
            expectForm(op, "IF2I_swap", op.scalarImage(s, a), dims, vs, va);
        }
        EXPECT_EQ(a.GetDimensions(), dims);
        EXPECT_TRUE(sameFloats(pixels(a), va));
        EXPECT_TRUE(sameFloats(pixels(b), vb));
    }
}

// Every ordered pair of special values, in each of the three forms.
TEST_P(BinaryOperator, FollowsTheReferenceOnEveryPairOfSpecialValues) {
    const BinaryOp& op = GetParam();
    const std::vector<float> specials(std::begin(kSpecials), std::end(kSpecials));
    const int k = static_cast<int>(specials.size());
    std::vector<float> va, vb;
    for (float x : specials) {
        va.insert(va.end(), specials.size(), x);
        vb.insert(vb.end(), specials.begin(), specials.end());
    }
    Lumerix a = imageOf(cmmDims(k, k), va), b = imageOf(cmmDims(k, k), vb);
    expectForm(op, "II2I", op.imageImage(a, b), cmmDims(k, k), va, vb);
    Lumerix row = imageOf(specials);
    for (float s : specials) {
        SCOPED_TRACE(s);
        const std::vector<float> vs(specials.size(), s);
        expectForm(op, "IF2I", op.imageScalar(row, s), cmmDims(k), specials, vs);
        expectForm(op, "IF2I_swap", op.scalarImage(s, row), cmmDims(k), vs, specials);
    }
}

TEST_P(BinaryOperator, RejectsImagesOfOtherExtentsBeforeAnyWork) {
    const BinaryOp& op = GetParam();
    // As many pixels, other extents.
    const std::vector<float> va = leftValues(48, 5);
    const std::vector<float> vb = rightValues(va, 6);
    Lumerix a = imageOf(cmmDims(8, 6), va);
    Lumerix b = imageOf(cmmDims(6, 8), vb);
    const RuntimeTotals runtime = RuntimeTotals::now();
    const long long locks = lockTotal;
    LMX_EXPECT_RUNTIME_ERROR(op.imageImage(a, b), "Image sizes do not match");
    LMX_EXPECT_RUNTIME_ERROR(op.imageImage(b, a), "Image sizes do not match");
    EXPECT_EQ(lockTotal, locks) << "an operand was locked before the check";
    EXPECT_EQ(RuntimeTotals::now().since(runtime).allocations, 0);
    EXPECT_EQ(RuntimeTotals::now().since(runtime).launches, 0);
    // Both operands keep their data and still work as operands.
    EXPECT_TRUE(sameFloats(pixels(a), va));
    EXPECT_TRUE(sameFloats(pixels(b), vb));
    Lumerix r = op.imageImage(a, a);
    expectPixels(op, r, va, va);
}

INSTANTIATE_TEST_SUITE_P(AllOperators, BinaryOperator, ::testing::ValuesIn(kOps),
                         [](const ::testing::TestParamInfo<BinaryOp>& p) { return p.param.name; });

// Worked examples with their results written out, independent of the reference functions: each
// (operator, result) pair applies the image-image form to the operands a and b.
void expectResults(const std::vector<float>& a, const std::vector<float>& b,
                   std::initializer_list<std::pair<const char*, std::vector<float>>> results) {
    Lumerix ia = imageOf(a), ib = imageOf(b);
    for (const auto& [name, want] : results)
        EXPECT_TRUE(sameFloats(pixels(opNamed(name).imageImage(ia, ib)), want)) << name;
}

TEST(BinaryOps, WorkedExamplesOfTheEdgeCases) {
    // A scalar on the left is the left operand.
    Lumerix a = imageOf({4.0f, -2.0f, 0.5f, 10.0f});
    EXPECT_EQ(pixels(1.0f - a), (std::vector<float>{-3.0f, 3.0f, 0.5f, -9.0f}));
    EXPECT_EQ(pixels(2.0f / a), (std::vector<float>{0.5f, -1.0f, 4.0f, 0.2f}));
    EXPECT_EQ(pixels(5.0f > a), (std::vector<float>{1.0f, 1.0f, 1.0f, 0.0f}));
    // NaN is true in logic and false in every comparison.
    expectResults({kNaN, kNaN, kNaN, kInf, -kInf}, {0, 1, kNaN, 0, -kInf},
                  {{"And", {0, 1, 1, 0, 1}},
                   {"Or", {1, 1, 1, 1, 1}},
                   {"Less", {0, 0, 0, 0, 0}},
                   {"LessEqual", {0, 0, 0, 0, 1}},
                   {"Equal", {0, 0, 0, 0, 1}},
                   {"Greater", {0, 0, 0, 1, 0}}});
    // Every non-zero pixel is true, a denormal included; -0 is false.
    expectResults({0, 2, -3, 0, -0.0f}, {1, 0, 4, 0, 1.0e-40f},
                  {{"And", {0, 0, 1, 0, 0}}, {"Or", {1, 1, 1, 0, 1}}});
    // Bitwise operations truncate toward zero and work in two's complement; values out of
    // range saturate (INT_MAX and INT_MIN as floats are +-2^31) and NaN counts as 0.
    expectResults({6.9f, -6.9f, -1, -5, 0.99f}, {3, 3, 4, 3, 1},
                  {{"BitAnd", {2, 2, 4, 3, 0}},
                   {"BitOr", {7, -5, -1, -5, 1}},
                   {"BitXor", {5, -7, -5, -8, 1}}});
    const float big = 2147483648.0f;
    expectResults({3.0e9f, -3.0e9f, kNaN, kInf, -kInf, big}, {1, 0, 5, 1, 0, 1},
                  {{"BitAnd", {1, 0, 0, 1, 0, 1}}, {"BitOr", {big, -big, 5, big, -big, big}}});
    expectResults({3.0e9f, kNaN, -kInf}, {5, 5, 5},
                  {{"BitXor", {float(INT_MAX ^ 5), 5, float(INT_MIN ^ 5)}}});
    // fmax and fmin ignore a NaN operand.
    expectResults(
        {-2, 0.5f, 3, kNaN, -kInf, kNaN, 4, kNaN}, {0, 1, 1, 0, 1, 2, kNaN, kNaN},
        {{"Max", {0, 1, 3, 0, 1, 2, 4, kNaN}}, {"Min", {-2, 0.5f, 1, 0, -kInf, 2, 4, kNaN}}});
}

TEST(BinaryOps, AnImageWithItselfIsLockedTwiceAndUploadedOnce) {
    const std::vector<float> va = leftValues(1000, 21);
    Lumerix a = imageOf(cmmDims(40, 25), va);
    const RuntimeTotals runtime = RuntimeTotals::now();
    const long long locks = lockTotal;
    Lumerix r = a + a;
    EXPECT_EQ(lockTotal - locks, 3);  // a twice, then the result
    if (kCpuBackend) {
        EXPECT_EQ(RuntimeTotals::now().since(runtime).hostToDevice, 1);
    }
    EXPECT_EQ(a.page->lockCount, 0);
    EXPECT_TRUE(inState(a.page, cmmCached()));
    std::vector<float> doubled = va;
    for (float& x : doubled) x *= 2.0f;
    EXPECT_TRUE(sameFloats(pixels(r), doubled));
    EXPECT_EQ(pixels(a), va);
}

// ---- unary operators ------------------------------------------------------------------------

namespace {

// Within two units in the last place of the correctly rounded value: the device's logf is
// allowed an ulp of its own, and rounding the double reference to float adds half of one.
bool withinUlps(float got, double exact) {
    const float want = static_cast<float>(exact);
    if (sameFloat(got, want)) return true;
    if (!std::isfinite(want) || !std::isfinite(got)) return false;
    const float ulp = std::nextafter(std::fabs(want), kInf) - std::fabs(want);
    return std::fabs(static_cast<double>(got) - exact) <= 2.0 * ulp;
}

struct UnaryOp {
    const char* name;
    Lumerix (*apply)(Lumerix&);
    bool (*check)(float got, float a);  // one result pixel against its argument
    float lo, hi;                       // range of the random arguments
};

const UnaryOp kUnaryOps[] = {
    {"Sqrt", [](Lumerix& a) { return sqrt(a); },
     [](float got, float a) { return sameFloat(got, std::sqrt(a)); }, -4.0f, 1.0e6f},
    {"Log", [](Lumerix& a) { return log(a); },
     [](float got, float a) { return withinUlps(got, std::log(static_cast<double>(a))); }, -1.0f,
     1.0e6f},
    // abs(-0) is +0; abs keeps a NaN a NaN whatever its sign bit.
    {"Abs", [](Lumerix& a) { return abs(a); },
     [](float got, float a) { return sameFloat(got, a < 0.0f ? -a : (a == 0.0f ? 0.0f : a)); },
     -1.0e3f, 1.0e3f},
    {"Not", [](Lumerix& a) { return !a; },
     [](float got, float a) { return sameFloat(got, a == 0.0f ? 1.0f : 0.0f); }, -2.0f, 2.0f},
};

// Zeros, values near 1 (where log is small) and the argument range.
std::vector<float> arguments(const UnaryOp& op, std::size_t n, unsigned seed) {
    std::vector<float> v = randomValues(n, op.lo, op.hi, seed);
    const std::vector<float> nearOne = randomValues(n, 0.5f, 2.0f, seed + 1);
    for (std::size_t i = 0; i < n; ++i) {
        if (i % 7 == 0) v[i] = 0.0f;
        if (i % 3 == 1) v[i] = nearOne[i];
    }
    return v;
}

void expectPixels(const UnaryOp& op, Lumerix& r, const std::vector<float>& args) {
    const std::vector<float> got = pixels(r);
    ASSERT_EQ(got.size(), args.size());
    int failures = 0;
    for (std::size_t i = 0; i < got.size() && failures < 5; ++i) {
        const bool ok = op.check(got[i], args[i]);
        failures += !ok;
        EXPECT_TRUE(ok) << op.name << " of " << args[i] << " at pixel " << i << " gave " << got[i];
    }
}

const float kUnarySpecials[] = {kNaN,    kInf,     -kInf,   0.0f,     -0.0f,     1.0f,  -1.0f,
                                FLT_MAX, -FLT_MAX, FLT_MIN, 1.0e-40f, -1.0e-40f, 2.25f, 0.001f};

}  // namespace

class UnaryOperator : public ::testing::TestWithParam<UnaryOp> {};

TEST_P(UnaryOperator, MatchesTheReferenceAndKeepsItsArgument) {
    const UnaryOp& op = GetParam();
    for (const cmmDims& dims : kShapes) {
        SCOPED_TRACE(dims.Size());
        const std::vector<float> args = arguments(op, static_cast<std::size_t>(dims.Size()), 5);
        Lumerix a = imageOf(dims, args);
        Lumerix r = op.apply(a);
        if (kCpuBackend) {
            EXPECT_EQ(lastKernel(), std::string("LumerixPixel") + op.name + "I2I");
        }
        EXPECT_EQ(r.GetDimensions(), dims);
        expectPixels(op, r, args);
        EXPECT_EQ(a.GetDimensions(), dims);
        EXPECT_TRUE(sameFloats(pixels(a), args));
    }
    const std::vector<float> specials(std::begin(kUnarySpecials), std::end(kUnarySpecials));
    Lumerix a = imageOf(specials);
    Lumerix r = op.apply(a);
    expectPixels(op, r, specials);
}

INSTANTIATE_TEST_SUITE_P(AllOperators, UnaryOperator, ::testing::ValuesIn(kUnaryOps),
                         [](const ::testing::TestParamInfo<UnaryOp>& p) { return p.param.name; });

TEST(UnaryOps, WorkedExamples) {
    Lumerix a = imageOf({0.0f, 1.0f, 4.0f, 2.25f});
    EXPECT_EQ(pixels(sqrt(a)), (std::vector<float>{0.0f, 1.0f, 2.0f, 1.5f}));
    Lumerix b = imageOf({-3.5f, 0.0f, 2.0f, -0.0f, -kInf});
    EXPECT_TRUE(sameFloats(pixels(abs(b)), {3.5f, 0.0f, 2.0f, 0.0f, kInf}));
    Lumerix c = imageOf({0.0f, 1.0f, -2.0f, 0.001f, -0.0f, kNaN, 1.0e-40f});
    EXPECT_EQ(pixels(!c), (std::vector<float>{1.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f}));
    EXPECT_EQ(pixels(!(!c)), (std::vector<float>{0.0f, 1.0f, 1.0f, 1.0f, 0.0f, 1.0f, 1.0f}));
    // The logarithm is natural.
    Lumerix d = imageOf({1.0f, 2.71828183f, 0.0f, -1.0f, kInf});
    const std::vector<float> lg = pixels(log(d));
    EXPECT_EQ(lg[0], 0.0f);
    EXPECT_NEAR(lg[1], 1.0f, 2.0f * FLT_EPSILON);
    EXPECT_EQ(lg[2], -kInf);
    EXPECT_TRUE(std::isnan(lg[3]));
    EXPECT_EQ(lg[4], kInf);
}

// ---- three-channel merge and split: value 3i + k of the merged image is pixel i of channel k --

TEST(Channels, MergeInterleavesAlongTheThirdExtentAndSplitRecoversTheChannels) {
    for (const cmmDims& dims : {cmmDims(1), cmmDims(1, 300), cmmDims(300, 1), cmmDims(37, 29),
                                cmmDims(640, 480), cmmDims(32, 32, 2)}) {
        SCOPED_TRACE(dims.Size());
        Channels ch(dims, 3);
        const RuntimeTotals before = RuntimeTotals::now();
        Lumerix m = merge3(ch.c0, ch.c1, ch.c2);
        if (lmxtest::kCpuBackend) {  // the result is returned, not copied into the caller's
            EXPECT_EQ(RuntimeTotals::now().since(before).deviceToDevice, 0);
        }
        EXPECT_EQ(m.GetDimensions(), cmmDims(dims.Dim(0), dims.Dim(1), 3 * dims.Dim(2)));
        EXPECT_EQ(m.GetDimensions().Size(), 3 * dims.Size());
        const std::vector<float> merged = pixels(m);
        EXPECT_EQ(merged, interleaved(ch.v0, ch.v1, ch.v2));
        EXPECT_EQ(pixels(ch.c0), ch.v0);  // the arguments keep their pixels and extents
        EXPECT_EQ(pixels(ch.c2), ch.v2);
        EXPECT_EQ(ch.c2.GetDimensions(), dims);
        // Whatever the outputs held before: pixels and other extents, extents only, nothing.
        Lumerix o0 = imageOf(cmmDims(5, 7, 2), randomValues(70, 0.0f, 1.0f));
        Lumerix o1(cmmDims(3, 3)), o2;
        split3(m, o0, o1, o2);
        for (Lumerix* out : {&o0, &o1, &o2}) {
            EXPECT_EQ(out->GetDimensions(), dims);
            EXPECT_EQ(out->GetDimensions().Size(), dims.Size());
        }
        EXPECT_EQ(pixels(o0), ch.v0);
        EXPECT_EQ(pixels(o1), ch.v1);
        EXPECT_EQ(pixels(o2), ch.v2);
        EXPECT_EQ(pixels(m), merged) << "the merged image is unchanged";
    }
    Lumerix m = imageOf(cmmDims(2, 1, 3), {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f});
    Lumerix r, g, b;
    split3(m, r, g, b);
    EXPECT_EQ(pixels(r), (std::vector<float>{1.0f, 4.0f}));
    EXPECT_EQ(pixels(g), (std::vector<float>{2.0f, 5.0f}));
    EXPECT_EQ(pixels(b), (std::vector<float>{3.0f, 6.0f}));
}

// Merge needs three channels of equal extents and one volume; split needs whole triples in one
// volume. Both refuse anything else before any work, and leave every image as it was.
TEST(Channels, MergeAndSplitRefuseOtherExtentsBeforeAnyWork) {
    // Enough values for the largest refused shape, (4, 4, 3, 2).
    const std::vector<float> v = randomValues(96, 0.0f, 1.0f), v48(v.begin(), v.begin() + 48);
    const std::vector<float> v64(v.begin(), v.begin() + 64);
    Lumerix a = imageOf(cmmDims(8, 6), v48), b = imageOf(cmmDims(8, 6), v48);
    Lumerix c = imageOf(cmmDims(6, 8), v48), volumes = imageOf(cmmDims(4, 4, 2, 2), v64);
    Lumerix o0 = imageOf({7.0f, 8.0f}), o1 = imageOf({7.0f, 8.0f}), o2 = imageOf({7.0f, 8.0f});
    const RuntimeTotals runtime = RuntimeTotals::now();
    const long long locks = lockTotal;
    LMX_EXPECT_RUNTIME_ERROR(merge3(a, b, c), "Image sizes do not match");
    LMX_EXPECT_RUNTIME_ERROR(merge3(c, a, b), "Image sizes do not match");
    LMX_EXPECT_RUNTIME_ERROR(merge3(a, c, b), "Image sizes do not match");
    EXPECT_THROW(merge3(volumes, volumes, volumes), std::invalid_argument);
    for (const cmmDims& dims :
         {cmmDims(4, 4, 2), cmmDims(4, 4, 4), cmmDims(4, 4, 3, 2), cmmDims(4, 4, 1), cmmDims(12)}) {
        Lumerix m = imageOf(dims, std::vector<float>(v.begin(), v.begin() + dims.Size()));
        EXPECT_THROW(split3(m, o0, o1, o2), std::invalid_argument) << dims.Size();
    }
    EXPECT_EQ(lockTotal, locks);
    EXPECT_EQ(RuntimeTotals::now().since(runtime).allocations, 0);
    for (Lumerix* img : {&a, &b, &c}) EXPECT_EQ(pixels(*img), v48);
    EXPECT_EQ(pixels(volumes), v64);
    for (Lumerix* o : {&o0, &o1, &o2}) {
        EXPECT_EQ(o->GetDimensions(), cmmDims(2));
        EXPECT_EQ(pixels(*o), (std::vector<float>{7.0f, 8.0f}));
    }
    EXPECT_EQ(pixels(merge3(a, b, a)), interleaved(v48, v48, v48));  // still usable
}

TEST(PixelOps, ImagesWithoutPixelsGiveEmptyResultsAndLaunchNothing) {
    Lumerix e, f, g;
    const RuntimeTotals runtime = RuntimeTotals::now();
    for (const BinaryOp& op : kOps) {
        EXPECT_EQ(op.imageImage(e, f).GetDimensions().Size(), 0) << op.name;
        EXPECT_EQ(op.imageScalar(e, 1.0f).GetDimensions().Size(), 0) << op.name;
        EXPECT_EQ(op.scalarImage(1.0f, e).GetDimensions().Size(), 0) << op.name;
    }
    EXPECT_EQ(sqrt(e).GetDimensions().Size() + log(e).GetDimensions().Size() +
                  abs(e).GetDimensions().Size() + (!e).GetDimensions().Size(),
              0);
    merge3(e, f, g);
    EXPECT_EQ(RuntimeTotals::now().since(runtime).launches, 0);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}
